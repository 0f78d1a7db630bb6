// The worker pool: workers, injection queue, idle loop, sleep protocol, creation.
//
// Idle loop (wait_until), in the shape of a task executor's worker loop: exploit the
// own deque, explore the other deques starting at a random victim, then take
// injected work; after kIdleRounds fruitless rounds separated by sched_yield(), sleep.
//
// Sleep protocol. Every push or injection bumps `epoch` and then, if `sleepers` is
// not 0, wakes one sleeping worker (every one, for an injection). A worker about to sleep reads `epoch` before its
// last search, then under its own mutex counts itself in `sleepers` and sleeps only
// if `epoch` is unchanged. All four accesses are seq_cst, so for any push racing
// with a sleeper either the pusher sees the sleeper counted (and, locking the
// sleeper's mutex, finds it asleep and wakes it) or the sleeper sees the new epoch
// (and searches again). A worker waiting in a join also gives up sleeping when the
// job it waits for is done; the thief that finished the job wakes it by name.
#include "pool/pool.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/fault.h"
#include "pool/deque.h"

namespace kwsieve::pool {
namespace detail {
namespace {

constexpr std::size_t kMaxThreads = 255;
// Fruitless rounds before sleeping: long enough to bridge the gap between the pieces
// of one batch and between back-to-back small batches (waking a sleeping worker costs
// tens of microseconds here, several times over for one batch), short enough that idle
// workers leave the processors within about a millisecond.
constexpr unsigned kIdleRounds = 1024;
// Worker stacks hold fork-join frames (depth bounded by the width of size_t) and the
// engine's per-text work, which keeps its own state on the heap. 2 MiB also keeps
// 255 workers within the address space of a 32-bit process.
constexpr std::size_t kStackSize = std::size_t{2} << 20;

}  // namespace

struct Pool;

class alignas(64) Worker {
 public:
  Pool* pool = nullptr;
  std::size_t index = 0;
  int cpu = -1;  // the one CPU this worker keeps to, or -1 for any
  std::uint32_t rng = 0;  // victim choice; owner only
  WorkStealingDeque<Job*> deque;
  std::mutex mu;
  std::condition_variable cv;
  bool sleeping = false;  // guarded by mu
};

struct Pool {
  explicit Pool(std::size_t n) : size(n), workers(new Worker[n]) {
    for (std::size_t i = 0; i < n; ++i) {
      workers[i].pool = this;
      workers[i].index = i;
      // xorshift needs a non-zero seed; spread them so the first victims differ.
      workers[i].rng = (static_cast<std::uint32_t>(i) * 0x9E3779B9u) | 1u;
    }
  }

  const std::size_t size;
  const std::unique_ptr<Worker[]> workers;

  // Injection queue: FIFO of jobs from threads outside the pool, linked through
  // Job::next. `injected` lets idle workers skip the mutex when it is empty; it is
  // written under inject_mu before the epoch bump that announces the job.
  std::mutex inject_mu;
  Job* inject_head = nullptr;
  Job* inject_tail = nullptr;
  std::atomic<std::size_t> injected{0};

  std::atomic<std::uint64_t> epoch{0};
  std::atomic<std::uint32_t> sleepers{0};
  std::atomic<std::uint32_t> wake_cursor{0};
  // Set only when the pool failed to start; ends the loops of the workers started.
  std::atomic<bool> terminating{false};

  // Start-up: each new worker reports whether it could equip itself (0 or an error
  // number) before the next one is created.
  std::mutex start_mu;
  std::condition_variable start_cv;
  std::size_t reported = 0;  // guarded by start_mu
  int start_error = 0;       // guarded by start_mu

  Pool* abandoned_next = nullptr;
};

namespace {

// Which worker the calling thread is. Not a thread_local: the module is loaded with
// dlopen(), so glibc allocates its thread-local storage in each thread on first touch,
// and aborts the process when that allocation fails, as it can for a worker started under
// a memory cap. A thread-specific key is kept in the thread's own descriptor (for the
// first 32 keys of the process; a later one needs memory, and setting it then reports
// ENOMEM rather than aborting). Made once, under g_create_mu.
pthread_key_t g_worker_key;
std::atomic<bool> g_worker_key_made{false};

// What a worker allocates to show that memory is there before it touches the C++
// runtime's per-thread state (see equip()).
constexpr std::size_t kEquipProbe = std::size_t{64} << 10;

// Creation is serialised by g_create_mu, which the fork handlers also hold across
// fork() so that a child never inherits a half-built pool.
std::mutex g_create_mu;
std::atomic<Pool*> g_pool{nullptr};
bool g_atfork_registered = false;  // under g_create_mu
// Pools that failed to start or were inherited through fork(): still referenced by
// stray threads or simply not worth freeing, kept reachable so they are not leaks.
Pool* g_abandoned = nullptr;  // under g_create_mu

void abandon(Pool* p) {
  p->abandoned_next = g_abandoned;
  g_abandoned = p;
}

void wake_one(Pool& p) {
  std::size_t start = p.wake_cursor.fetch_add(1, std::memory_order_relaxed) % p.size;
  for (std::size_t k = 0; k < p.size; ++k) {
    std::size_t v = start + k;
    if (v >= p.size) v -= p.size;
    Worker& w = p.workers[v];
    std::lock_guard<std::mutex> lock(w.mu);
    if (w.sleeping) {
      w.sleeping = false;
      w.cv.notify_one();
      return;
    }
  }
}

void wake_all(Pool& p) {
  for (std::size_t v = 0; v < p.size; ++v) {
    Worker& w = p.workers[v];
    std::lock_guard<std::mutex> lock(w.mu);
    if (w.sleeping) {
      w.sleeping = false;
      w.cv.notify_one();
    }
  }
}

// Announces new work: see the sleep protocol above. A job pushed by a worker is one
// job, and one sleeper is enough for it. A job injected from outside is a whole batch
// that will split into work for every worker: waking them all now, rather than each
// by the split before it, keeps a small batch from paying one wake-up after another.
void notify_work(Pool& p, bool fan_out = false) {
  p.epoch.fetch_add(1, std::memory_order_seq_cst);
  if (p.sleepers.load(std::memory_order_seq_cst) == 0) return;
  if (fan_out) {
    wake_all(p);
  } else {
    wake_one(p);
  }
}

Job* take_injected(Pool& p) {
  // acquire: pairs with the epoch bump after the job was queued (see Pool).
  if (p.injected.load(std::memory_order_acquire) == 0) return nullptr;
  std::lock_guard<std::mutex> lock(p.inject_mu);
  Job* job = p.inject_head;
  if (job == nullptr) return nullptr;
  p.inject_head = job->next;
  if (p.inject_head == nullptr) p.inject_tail = nullptr;
  job->next = nullptr;
  p.injected.fetch_sub(1, std::memory_order_relaxed);
  return job;
}

std::uint32_t next_random(Worker& w) {
  std::uint32_t x = w.rng;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  w.rng = x;
  return x;
}

// One round of looking for work. Sets *moved when the job came from another thread.
Job* find_work(Worker& w, bool* moved) {
  *moved = false;
  if (Job* job = w.deque.pop()) return job;
  Pool& p = *w.pool;
  *moved = true;
  if (p.size > 1) {
    std::size_t start = next_random(w) % p.size;
    for (std::size_t k = 0; k < p.size; ++k) {
      std::size_t v = start + k;
      if (v >= p.size) v -= p.size;
      if (v == w.index) continue;
      if (Job* job = p.workers[v].deque.steal()) return job;
    }
  }
  return take_injected(p);
}

void sleep_until_work(Worker& w, std::uint64_t epoch_seen, const std::atomic<bool>& done) {
  Pool& p = *w.pool;
  std::unique_lock<std::mutex> lock(w.mu);
  p.sleepers.fetch_add(1, std::memory_order_seq_cst);
  if (p.epoch.load(std::memory_order_seq_cst) == epoch_seen &&
      !done.load(std::memory_order_acquire)) {
    w.sleeping = true;
    while (w.sleeping) w.cv.wait(lock);
  }
  p.sleepers.fetch_sub(1, std::memory_order_relaxed);
}

// Readies the calling worker thread before it may take work; 0 or an error number.
// Throwing or catching an exception uses the C++ runtime's per-thread state, which lives
// in the thread-local storage of a library loaded with the module, so glibc allocates it
// lazily and aborts if it cannot: that must happen here, once a probe allocation has
// shown that memory is there (the creator starts no other worker meanwhile), and not
// later under a bad_alloc. Then the worker's identity.
int equip(Worker* w) {
  void* probe = std::malloc(kEquipProbe);
  if (probe == nullptr) return ENOMEM;
  asm volatile("" : : "r"(probe) : "memory");  // keep the compiler from eliding the pair
  std::free(probe);
  (void)std::uncaught_exceptions();
  return pthread_setspecific(g_worker_key, w);
}

void* worker_main(void* arg) {
  auto* w = static_cast<Worker*>(arg);
  Pool& p = *w->pool;
  const int err = equip(w);
  {
    std::lock_guard<std::mutex> lock(p.start_mu);
    ++p.reported;
    if (err != 0) p.start_error = err;
    p.start_cv.notify_one();
  }
  if (err != 0) return nullptr;
  char name[16];
  std::snprintf(name, sizeof name, "kwsieve-%zu", w->index);
  pthread_setname_np(pthread_self(), name);
  if (w->cpu >= 0) {
    // Best effort: a worker that cannot be pinned simply runs where the scheduler puts it.
    if (cpu_set_t* set = CPU_ALLOC(w->cpu + 1)) {
      const std::size_t bytes = CPU_ALLOC_SIZE(w->cpu + 1);
      CPU_ZERO_S(bytes, set);
      CPU_SET_S(static_cast<std::size_t>(w->cpu), bytes, set);
      pthread_setaffinity_np(pthread_self(), bytes, set);
      CPU_FREE(set);
    }
  }
  wait_until(w, p.terminating);
  pthread_setspecific(g_worker_key, nullptr);
  return nullptr;
}

void fork_prepare() { g_create_mu.lock(); }
void fork_parent() { g_create_mu.unlock(); }
void fork_child() {
  // Only the forking thread exists here: the old pool's workers are gone, and its
  // mutexes may be held by threads that no longer exist, so never touch it again.
  if (Pool* p = g_pool.load(std::memory_order_relaxed)) {
    abandon(p);
    g_pool.store(nullptr, std::memory_order_relaxed);
  }
  if (g_worker_key_made.load(std::memory_order_relaxed)) pthread_setspecific(g_worker_key, nullptr);
  g_create_mu.unlock();
}

std::string error_text(int err) {
  char buf[128];
  // The GNU strerror_r returns the message, not always in buf.
  return strerror_r(err, buf, sizeof buf);
}

[[noreturn]] void fail_to_start(const std::string& why) {
  throw Fault("The global thread pool has not been initialized.: " + why);
}

Pool& start_pool() {
  std::lock_guard<std::mutex> lock(g_create_mu);
  if (Pool* p = g_pool.load(std::memory_order_relaxed)) return *p;
  if (!g_atfork_registered) {
    int rc = pthread_atfork(fork_prepare, fork_parent, fork_child);
    if (rc != 0) fail_to_start("pthread_atfork: " + error_text(rc));
    g_atfork_registered = true;
  }
  if (!g_worker_key_made.load(std::memory_order_relaxed)) {
    int rc = pthread_key_create(&g_worker_key, nullptr);
    if (rc != 0) fail_to_start("pthread_key_create: " + error_text(rc));
    // release: a thread that sees the flag sees the key.
    g_worker_key_made.store(true, std::memory_order_release);
  }
  // The fault below is thrown on this thread, perhaps with memory exhausted by the
  // workers' stacks: its exception state must exist already (see equip()).
  (void)std::uncaught_exceptions();
  std::size_t n = thread_count();
  auto pool = std::make_unique<Pool>(n);
  // One worker per CPU the process may use: each keeps to its own CPU. A batch wakes
  // every worker at once, and the scheduler tends to place a woken thread next to the
  // thread that woke it, so unpinned workers can share one CPU for milliseconds while
  // another idles (a batch of 10,000 paragraphs at T = 2 took 11-13 ms unpinned,
  // 8.4-9 ms pinned). With any other count, placement is left to the scheduler.
  std::vector<int> cpus = affinity_cpus();
  if (cpus.size() == n) {
    for (std::size_t i = 0; i < n; ++i) pool->workers[i].cpu = cpus[i];
  }

  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) fail_to_start("pthread_attr_init: " + error_text(rc));
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, kStackSize);
  std::size_t started = 0;
  const char* failed = "start";
  for (; started < n; ++started) {
    pthread_t thread;
    rc = pthread_create(&thread, &attr, worker_main, &pool->workers[started]);
    if (rc != 0) break;
    // One worker at a time: while it equips itself no other one is being created.
    std::unique_lock<std::mutex> lock(pool->start_mu);
    pool->start_cv.wait(lock, [&] { return pool->reported == started + 1; });
    rc = pool->start_error;
    if (rc != 0) {
      failed = "equip";  // that worker has left already
      break;
    }
  }
  pthread_attr_destroy(&attr);
  if (started < n) {
    // The started workers only ever look at this pool; stop them and leave it.
    Pool* p = pool.release();
    p->terminating.store(true, std::memory_order_release);
    for (std::size_t i = 0; i < p->size; ++i) wake_worker(&p->workers[i]);
    abandon(p);
    fail_to_start(std::string("could not ") + failed + " worker thread " + std::to_string(started + 1) +
                  " of " + std::to_string(n) + ": " + error_text(rc));
  }
  Pool* p = pool.release();
  // release: a thread that finds the pool through g_pool sees it fully built.
  g_pool.store(p, std::memory_order_release);
  return *p;
}

Pool& current_pool() {
  // acquire: pairs with the release in start_pool().
  if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;
  return start_pool();
}

// Reads at most `limit` bytes of a small system file; nullopt if it cannot be read.
std::optional<std::string> read_file(const std::string& path, std::size_t limit) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t got = ::read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buf, static_cast<std::size_t>(got));
    if (text.size() >= limit) break;
  }
  ::close(fd);
  return text;
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Unsigned decimal, nothing else, saturating at UINT64_MAX.
std::optional<std::uint64_t> parse_u64(std::string_view s) {
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    std::uint64_t d = static_cast<std::uint64_t>(c - '0');
    if (v > (std::numeric_limits<std::uint64_t>::max() - d) / 10) {
      v = std::numeric_limits<std::uint64_t>::max();
    } else {
      v = v * 10 + d;
    }
  }
  return v;
}

std::string_view trim(std::string_view s) {
  const char* ws = " \t\n\r";
  std::size_t b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

std::string_view first_line(std::string_view s) { return s.substr(0, s.find('\n')); }

bool has_item(std::string_view list, std::string_view item) {
  while (!list.empty()) {
    std::size_t comma = list.find(',');
    if (list.substr(0, comma) == item) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

std::string join_path(const std::string& dir, std::string_view rel) {
  return rel.empty() ? dir : dir + "/" + std::string(rel);
}

// Strips one trailing path component; false when `dir` is already `top`.
bool up(std::string* dir, const std::string& top) {
  if (dir->size() <= top.size()) return false;
  std::size_t slash = dir->rfind('/');
  if (slash == std::string::npos || slash < top.size()) {
    *dir = top;
  } else {
    dir->resize(slash);
  }
  return true;
}

std::uint64_t quota_ratio(std::optional<std::uint64_t> limit,
                          std::optional<std::uint64_t> period) {
  if (limit && period && *period > 0) return *limit / *period;
  return std::numeric_limits<std::uint64_t>::max();
}

// cgroup v2: cpu.max ("max 100000" or "150000 100000") from the group up to the root.
std::uint64_t quota_v2(const std::string& root, std::string_view group) {
  std::uint64_t quota = std::numeric_limits<std::uint64_t>::max();
  std::string dir = join_path(root, group);
  if (!exists(dir + "/cgroup.controllers")) return quota;
  do {
    if (auto text = read_file(dir + "/cpu.max", 256)) {
      std::string_view line = first_line(*text);
      std::size_t space = line.find(' ');
      if (space != std::string_view::npos) {
        quota = std::min(quota, quota_ratio(parse_u64(line.substr(0, space)),
                                            parse_u64(trim(line.substr(space + 1)))));
      }
    }
  } while (up(&dir, root));
  return quota;
}

// cgroup v1: cpu.cfs_quota_us / cpu.cfs_period_us (quota -1 means none) from the
// group up to the mount point of the cpu controller.
std::uint64_t quota_v1(const std::string& root, std::string_view group,
                       std::string_view mountinfo) {
  std::uint64_t quota = std::numeric_limits<std::uint64_t>::max();
  auto walk = [&](const std::string& mount, std::string_view rel) {
    std::string dir = join_path(mount, rel);
    if (!exists(dir)) return false;
    do {
      auto limit = read_file(dir + "/cpu.cfs_quota_us", 256);
      auto period = read_file(dir + "/cpu.cfs_period_us", 256);
      if (limit && period) {
        quota = std::min(quota, quota_ratio(parse_u64(trim(*limit)), parse_u64(trim(*period))));
      }
    } while (up(&dir, mount));
    return true;
  };
  // The usual mount points first; then the mount table, which also finds bind
  // mounts of a subtree (a container's view), whose root is stripped from the group.
  if (walk(root + "/cpu", group) || walk(root + "/cpu,cpuacct", group)) return quota;
  while (!mountinfo.empty()) {
    std::size_t eol = mountinfo.find('\n');
    std::string_view line = trim(mountinfo.substr(0, eol));
    mountinfo.remove_prefix(eol == std::string_view::npos ? mountinfo.size() : eol + 1);
    // "id parent major:minor root mount-point options... - fstype source super-options"
    std::string_view field[5];
    std::size_t i = 0;
    std::string_view rest = line;
    for (; i < 5 && !rest.empty(); ++i) {
      std::size_t sp = rest.find(' ');
      field[i] = rest.substr(0, sp);
      rest.remove_prefix(sp == std::string_view::npos ? rest.size() : sp + 1);
    }
    std::size_t dash = line.find(" - ");
    if (i < 5 || dash == std::string_view::npos) continue;
    std::string_view tail = line.substr(dash + 3);  // "fstype source super-options"
    std::size_t sp1 = tail.find(' ');
    std::size_t sp2 = tail.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1) continue;
    if (tail.substr(0, sp1) != "cgroup" || !has_item(tail.substr(sp2 + 1), "cpu")) continue;
    std::string_view sub = field[3];
    while (!sub.empty() && sub.front() == '/') sub.remove_prefix(1);
    std::string_view rel = group;
    if (!sub.empty()) {
      if (rel.substr(0, sub.size()) != sub) continue;
      rel.remove_prefix(sub.size());
      if (!rel.empty() && rel.front() != '/') continue;  // "a/bc" is not under "a/b"
      while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
    }
    walk(std::string(field[4]), rel);
    break;
  }
  return quota;
}

}  // namespace

std::vector<int> affinity_cpus() {
  // Grow the set until the kernel's mask fits (EINVAL means it did not).
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return {};
    std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    int rc = sched_getaffinity(0, bytes, set);
    int err = errno;
    std::vector<int> list;
    if (rc == 0) {
      for (int c = 0; c < cpus; ++c) {
        if (CPU_ISSET_S(c, bytes, set)) list.push_back(c);
      }
    }
    CPU_FREE(set);
    if (rc == 0 || err != EINVAL) return list;
  }
  return {};
}

namespace {

std::size_t affinity_count() { return affinity_cpus().size(); }

}  // namespace

std::optional<std::uint64_t> parse_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  std::string_view s(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  return parse_u64(s);
}

std::uint64_t cgroup_cpu_limit(const std::string& root, std::string_view proc_cgroup,
                               std::string_view mountinfo) {
  // "hierarchy:controllers:path" per line; an empty controller list is cgroup v2.
  // A v1 hierarchy that names the cpu controller wins over the v2 one.
  std::optional<std::string_view> v1, v2;
  while (!proc_cgroup.empty()) {
    std::size_t eol = proc_cgroup.find('\n');
    std::string_view line = proc_cgroup.substr(0, eol);
    proc_cgroup.remove_prefix(eol == std::string_view::npos ? proc_cgroup.size() : eol + 1);
    std::size_t c1 = line.find(':');
    if (c1 == std::string_view::npos) continue;
    std::size_t c2 = line.find(':', c1 + 1);
    if (c2 == std::string_view::npos) continue;
    std::string_view controllers = line.substr(c1 + 1, c2 - c1 - 1);
    std::string_view path = line.substr(c2 + 1);
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    if (controllers.empty()) {
      if (!v2) v2 = path;
    } else if (has_item(controllers, "cpu")) {
      v1 = path;
    }
  }
  if (v1) return quota_v1(root, *v1, mountinfo);
  if (v2) return quota_v2(root, *v2);
  return std::numeric_limits<std::uint64_t>::max();
}

std::size_t default_thread_count() {
  std::size_t count = affinity_count();
  if (count == 0) {
    long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    count = online > 0 ? static_cast<std::size_t>(online) : 1;
  }
  auto cgroup = read_file("/proc/self/cgroup", 1 << 16);
  if (cgroup) {
    auto mountinfo = read_file("/proc/self/mountinfo", 1 << 20);
    std::uint64_t quota =
        cgroup_cpu_limit("/sys/fs/cgroup", *cgroup, mountinfo ? *mountinfo : std::string());
    // A quota below one processor still lets one thread run.
    quota = std::max<std::uint64_t>(quota, 1);
    if (quota < count) count = static_cast<std::size_t>(quota);
  }
  return std::max<std::size_t>(count, 1);
}

std::size_t thread_count() {
  std::uint64_t n = 0;
  std::optional<std::uint64_t> primary = parse_count(std::getenv("RAYON_NUM_THREADS"));
  if (primary && *primary > 0) {
    n = *primary;
  } else if (!primary) {
    std::optional<std::uint64_t> legacy = parse_count(std::getenv("RAYON_RS_NUM_CPUS"));
    if (legacy && *legacy > 0) n = *legacy;
  }
  if (n == 0) n = default_thread_count();
  return static_cast<std::size_t>(std::min<std::uint64_t>(n, kMaxThreads));
}

Worker* current_worker() {
  // acquire: pairs with the release when the key was made.
  if (!g_worker_key_made.load(std::memory_order_acquire)) return nullptr;
  return static_cast<Worker*>(pthread_getspecific(g_worker_key));
}

void push(Worker* w, Job* job) {
  w->deque.push(job);
  notify_work(*w->pool);
}

Job* pop(Worker* w) { return w->deque.pop(); }

void wait_until(Worker* w, const std::atomic<bool>& done) {
  unsigned idle = 0;
  std::uint64_t epoch_seen = 0;
  // acquire: the thief's writes into the finished job become visible to us.
  while (!done.load(std::memory_order_acquire)) {
    // Read the epoch before the last search: a push that this search misses will
    // then show up as a changed epoch in sleep().
    if (idle == kIdleRounds) epoch_seen = w->pool->epoch.load(std::memory_order_seq_cst);
    bool moved = false;
    if (Job* job = find_work(*w, &moved)) {
      job->run(job, moved);
      idle = 0;
      continue;
    }
    if (idle < kIdleRounds) {
      ++idle;
      sched_yield();
      continue;
    }
    sleep_until_work(*w, epoch_seen, done);
    idle = 0;
  }
}

void wake_worker(Worker* w) {
  std::lock_guard<std::mutex> lock(w->mu);
  if (w->sleeping) {
    w->sleeping = false;
    w->cv.notify_one();
  }
}

void inject(Job* job) {
  Pool& p = current_pool();
  {
    std::lock_guard<std::mutex> lock(p.inject_mu);
    job->next = nullptr;
    if (p.inject_tail != nullptr) {
      p.inject_tail->next = job;
    } else {
      p.inject_head = job;
    }
    p.inject_tail = job;
    p.injected.fetch_add(1, std::memory_order_relaxed);
  }
  notify_work(p, true);
}

}  // namespace detail

std::size_t num_threads() { return detail::current_pool().size; }

bool on_worker() { return detail::current_worker() != nullptr; }

}  // namespace kwsieve::pool
