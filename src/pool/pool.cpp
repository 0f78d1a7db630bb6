// The worker pool: workers, injection queue, idle loop, sleep protocol, creation.
//
// Idle loop (wait_until), in the shape of a task executor's worker loop: exploit the
// own deque, explore the other deques starting at a random victim, then take
// injected work; after kIdleRounds fruitless rounds separated by yields, sleep.
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

// Workers are POSIX threads, for their stack size and fork handlers; Windows, which has
// neither fork() nor pthreads, gets std::thread and its default stack.
#if !defined(_WIN32)
#include <pthread.h>
#include <sched.h>
#endif

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "pool/cpu_count.h"
#include "pool/deque.h"

namespace kwsieve::pool {
namespace detail {
namespace {

constexpr std::size_t kMaxThreads = 255;
// Fruitless rounds before sleeping: long enough to bridge the gap between the pieces
// of one batch and between back-to-back small batches (waking a sleeping worker costs
// far more than a round, several times over for one batch), short enough that idle
// workers soon leave the processors to others.
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
#if defined(_WIN32)
// Windows sets up a library's thread-local storage when a thread is created, never lazily,
// so a thread_local is safe there.
thread_local Worker* t_worker = nullptr;
std::atomic<bool> g_worker_key_made{true};
int set_current_worker(Worker* w) {
  t_worker = w;
  return 0;
}
Worker* get_current_worker() { return t_worker; }
#else
pthread_key_t g_worker_key;
std::atomic<bool> g_worker_key_made{false};
int set_current_worker(Worker* w) { return pthread_setspecific(g_worker_key, w); }
Worker* get_current_worker() { return static_cast<Worker*>(pthread_getspecific(g_worker_key)); }
#endif

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
  // Keep the compiler from eliding the pair.
#if defined(__GNUC__)
  asm volatile("" : : "r"(probe) : "memory");
#else
  static void* volatile sink;
  sink = probe;
#endif
  std::free(probe);
  (void)std::uncaught_exceptions();
  return set_current_worker(w);
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
#if defined(__linux__)
  pthread_setname_np(pthread_self(), name);
#elif defined(__APPLE__)
  pthread_setname_np(name);
#endif
#if defined(__linux__)
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
#endif
  wait_until(w, p.terminating);
  set_current_worker(nullptr);
  return nullptr;
}

#if !defined(_WIN32)
void fork_prepare() { g_create_mu.lock(); }
void fork_parent() { g_create_mu.unlock(); }
void fork_child() {
  // Only the forking thread exists here: the old pool's workers are gone, and its
  // mutexes may be held by threads that no longer exist, so never touch it again.
  if (Pool* p = g_pool.load(std::memory_order_relaxed)) {
    abandon(p);
    g_pool.store(nullptr, std::memory_order_relaxed);
  }
  if (g_worker_key_made.load(std::memory_order_relaxed)) set_current_worker(nullptr);
  g_create_mu.unlock();
}
#endif

std::string error_text(int err) { return std::generic_category().message(err); }

[[noreturn]] void fail_to_start(const std::string& why) {
  throw StartFailure("The global thread pool has not been initialized.: " + why);
}

Pool& start_pool() {
  std::lock_guard<std::mutex> lock(g_create_mu);
  if (Pool* p = g_pool.load(std::memory_order_relaxed)) return *p;
#if !defined(_WIN32)
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
#endif
  std::size_t n = thread_count();
  auto pool = std::make_unique<Pool>(n);
  // One worker per CPU the process may use: each keeps to its own CPU. A batch wakes
  // every worker at once, and the scheduler tends to place a woken thread next to the
  // thread that woke it, so unpinned workers can share one CPU for a while as another
  // idles, which costs a short batch a good part of its time (bench/README.md). With
  // any other count, placement is left to the scheduler.
  std::vector<int> cpus = affinity_cpus();
  if (cpus.size() == n) {
    for (std::size_t i = 0; i < n; ++i) pool->workers[i].cpu = cpus[i];
  }

  std::size_t started = 0;
  const char* failed = "start";
#if defined(_WIN32)
  int rc = 0;
  for (; started < n; ++started) {
    try {
      std::thread(worker_main, &pool->workers[started]).detach();
    } catch (const std::system_error& e) {
      rc = e.code().value();
      break;
    }
  }
#else
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) fail_to_start("pthread_attr_init: " + error_text(rc));
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, kStackSize);
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
#endif
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

}  // namespace

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
  return get_current_worker();
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
      std::this_thread::yield();
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
