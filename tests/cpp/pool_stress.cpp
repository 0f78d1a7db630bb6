// Stress and property tests of the work-stealing deque and the worker pool.
// Built and run by run_tsan.sh under ThreadSanitizer and under ASan/UBSan.
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/cancel.h"
#include "engine/fault.h"
#include "pool/cpu_count.h"
#include "pool/deque.h"
#include "pool/pool.h"

namespace {

namespace pool = kwsieve::pool;
using Range = std::pair<std::size_t, std::size_t>;
using Item = std::uintptr_t;

int failures = 0;
#define CHECK(cond)                                                                 \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                                   \
    }                                                                               \
  } while (0)

// Single-threaded differential test against std::deque (pop LIFO, steal FIFO) across
// many growths of a ring that starts at 2 slots; then one owner pushes and pops while
// thieves steal, and every item must be taken exactly once.
void deque_model_and_exactly_once_under_theft() {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    pool::WorkStealingDeque<Item> q(2);
    std::deque<Item> model;
    for (Item next = 1, op = 0; op < 2000; ++op) {
      unsigned r = rng() % 10;
      if (r < 5) { q.push(next); model.push_back(next++); continue; }
      Item want = model.empty() ? 0 : r < 8 ? model.back() : model.front();
      if (!model.empty()) r < 8 ? model.pop_back() : model.pop_front();
      CHECK((r < 8 ? q.pop() : q.steal()) == want);
    }
  }
  constexpr Item kItems = 100000;
  constexpr int kThieves = 3;
  for (int round = 0; round < 8; ++round) {
    pool::WorkStealingDeque<Item> q(4);
    std::atomic<int> ready{0};
    std::atomic<bool> owner_done{false};
    std::vector<std::atomic<int>> taken(kItems + 1);
    std::vector<std::thread> thieves;
    for (int i = 0; i < kThieves; ++i) {
      thieves.emplace_back([&] {
        ready.fetch_add(1);
        for (;;) {
          bool done = owner_done.load(std::memory_order_acquire);
          if (Item x = q.steal()) taken[x]++;
          else if (done) return;
        }
      });
    }
    while (ready.load() < kThieves) std::this_thread::yield();
    // Bursts keep the deque short, so the owner's pop and the thieves' steals meet
    // at the last item again and again; a stretch without pops makes the ring grow.
    for (Item x = 1; x <= kItems;) {
      bool grow = x > kItems / 2 && x < kItems / 2 + 5000;
      for (unsigned k = 1 + rng() % 4; k > 0 && x <= kItems; --k) q.push(x++);
      for (unsigned k = grow ? 0 : rng() % 5; k > 0; --k)
        if (Item y = q.pop()) taken[y]++;
    }
    while (Item y = q.pop()) taken[y]++;
    owner_done.store(true, std::memory_order_release);
    for (auto& t : thieves) t.join();
    CHECK(std::count_if(taken.begin() + 1, taken.end(), [](auto& n) { return n.load() == 1; }) == kItems);
  }
}

// Leaves of the split tree when no piece is stolen, for a call from outside the pool.
std::vector<Range> unstolen_pieces(std::size_t n, std::size_t t) {
  struct Node { std::size_t begin, len, budget; bool moved; };
  std::vector<Range> out;
  std::vector<Node> stack{{0, n, t, false}};
  while (!stack.empty()) {
    Node p = stack.back();
    stack.pop_back();
    if (p.len == 0) continue;
    std::size_t b = p.moved ? std::max(p.budget / 2, t) : p.budget / 2;
    if (p.len < 2 || (!p.moved && p.budget == 0)) {
      out.push_back({p.begin, p.begin + p.len});
      continue;
    }
    bool top = p.begin == 0 && p.len == n;  // halves of the submitted split moved
    stack.push_back({p.begin + p.len / 2, p.len - p.len / 2, b, top});
    stack.push_back({p.begin, p.len / 2, b, top});
  }
  return out;
}

std::vector<Range> record_pieces(std::size_t n) {
  std::mutex mu;
  std::vector<Range> seen;
  pool::run_pieces(n, [&](std::size_t b, std::size_t e) {
    std::lock_guard<std::mutex> lock(mu);
    seen.push_back({b, e});
  });
  std::sort(seen.begin(), seen.end());
  return seen;
}

bool tiles(const std::vector<Range>& pieces, std::size_t n) {
  std::size_t at = 0;
  for (auto [b, e] : pieces) {
    if (b != at || e <= b) return false;
    at = e;
  }
  return at == n;
}

// Steals only deepen the split: every piece lies inside one of the unstolen tree.
bool refines(const std::vector<Range>& pieces, const std::vector<Range>& coarse) {
  for (auto [b, e] : pieces) {
    auto it = std::upper_bound(coarse.begin(), coarse.end(), Range{b, SIZE_MAX});
    if (it == coarse.begin() || std::prev(it)->second < e) return false;
  }
  return true;
}

void run_pieces_splits_by_the_rule() {
  auto worked = unstolen_pieces(100, 4);  // T=4, N=100: 32 pieces of 3 or 4
  CHECK(worked.size() == 32);
  for (auto [b, e] : worked) CHECK(e - b == 3 || e - b == 4);
  std::size_t t = pool::num_threads();
  for (std::size_t n : {0, 1, 2, 3, 5, 8, 17, 100, 255, 256, 1000, 100000}) {
    for (int rep = 0; rep < 5; ++rep) {
      auto seen = record_pieces(n);
      CHECK(tiles(seen, n));
      CHECK(refines(seen, unstolen_pieces(n, t)));
      if (t == 1) CHECK(seen == unstolen_pieces(n, t));
    }
  }
  // n <= 1 stays on the caller; larger batches run on workers only; nested calls from
  // inside a worker's piece cover every index once too.
  auto caller = std::this_thread::get_id();
  std::atomic<int> bad{0};
  pool::run_pieces(1, [&](std::size_t, std::size_t) {
    if (std::this_thread::get_id() != caller || pool::on_worker()) bad++;
  });
  pool::run_pieces(8, [&](std::size_t, std::size_t) {
    if (!pool::on_worker()) bad++;
    std::vector<std::atomic<int>> hits(333);
    pool::run_pieces(hits.size(), [&](std::size_t b, std::size_t e) {
      for (std::size_t i = b; i < e; ++i) hits[i]++;
    });
    for (auto& h : hits) if (h.load() != 1) bad++;
  });
  // Outside: both halves of a join moved. On a worker: the left half never moved, the
  // right half moved exactly when another thread ran it.
  bool outside_a = false, outside_b = false;
  pool::join([&](bool m) { outside_a = m; }, [&](bool m) { outside_b = m; });
  CHECK(outside_a && outside_b);
  pool::run_pieces(64, [&](std::size_t, std::size_t) {
    for (int i = 0; i < 50; ++i) {
      auto forker = std::this_thread::get_id();
      pool::join([&](bool m) { if (m || std::this_thread::get_id() != forker) bad++; },
                 [&](bool m) { if (m != (std::this_thread::get_id() != forker)) bad++; });
    }
  });
  CHECK(bad.load() == 0);
}

// The first fault in index order leaves run_pieces, and only after every other piece has
// run (a fault never cuts a join short): every piece starts, nothing runs twice, and a
// piece stops only at a fault of its own. Three outside threads at once share the
// injection queue. Outside calls also arrive while workers are on their way to sleep: a
// lost wake-up would hang the caller (the alarm in main() then fails the run).
void run_pieces_faults_and_wake_ups() {
  std::atomic<int> bad{0};
  auto caller = [&bad](unsigned seed) {
    std::mt19937 rng(seed);
    for (int round = 0; round < 100; ++round) {
      const std::size_t n = 2 + rng() % 2000, f1 = rng() % n, f2 = rng() % n;
      std::vector<std::atomic<int>> hits(n);
      std::mutex mu;
      std::vector<Range> pieces;
      std::string caught;
      try {
        pool::run_pieces(n, [&](std::size_t b, std::size_t e) {
          {
            std::lock_guard<std::mutex> lock(mu);
            pieces.push_back({b, e});
          }
          for (std::size_t i = b; i < e; ++i) {
            hits[i]++;
            if (i == f1 || i == f2) throw kwsieve::Fault(std::to_string(i));
          }
        });
      } catch (const kwsieve::Fault& f) {
        caught = f.what();
      }
      std::sort(pieces.begin(), pieces.end());
      if (caught != std::to_string(std::min(f1, f2)) || !tiles(pieces, n)) bad++;
      for (auto [b, e] : pieces) {
        bool stopped = false;  // at a fault of this piece: nothing after it ran
        for (std::size_t i = b; i < e; ++i) {
          if (hits[i].load() != (stopped ? 0 : 1)) bad++;
          stopped = stopped || i == f1 || i == f2;
        }
      }
      if (round % 10 == 0) usleep(2000);
    }
  };
  std::vector<std::thread> callers;
  for (unsigned c = 0; c < 3; ++c) callers.emplace_back(caller, 5 + c);
  for (auto& t : callers) t.join();
  CHECK(bad.load() == 0);
  std::mt19937 rng(5);
  std::atomic<int> sum{0};
  for (int i = 0; i < 3000; ++i) {
    usleep(rng() % 200);
    pool::run_pieces(2, [&](std::size_t b, std::size_t e) { sum += static_cast<int>(e - b); });
  }
  CHECK(sum.load() == 6000);
}

// A tick from the waiting caller raises a Cancel that the pieces check between items: the
// run ends early with Cancelled, every piece that started has finished by then, and the
// ticks ran on the calling thread only.
void ticks_cancel_a_long_run() {
  const std::thread::id caller = std::this_thread::get_id();
  for (int round = 0; round < 3; ++round) {
    kwsieve::Cancel cancel;
    constexpr std::size_t kItems = 1'000'000;  // about ten seconds of spinning, left alone
    std::atomic<std::size_t> done{0};
    std::atomic<int> running{0};
    int ticks = 0;
    bool ticks_on_caller = true, stopped = false;
    try {
      pool::run_pieces(kItems, [&](std::size_t b, std::size_t e) {
        running++;
        try {
          for (std::size_t i = b; i < e; ++i) {
            cancel.check();
            for (int k = 0; k < 2000; ++k) asm volatile("");  // a little work per item
            done++;
          }
        } catch (...) {
          running--;
          throw;
        }
        running--;
      }, [&] {
        ticks_on_caller &= std::this_thread::get_id() == caller;
        if (++ticks == 2 + round) cancel.request();
      });
    } catch (const kwsieve::Cancelled&) {
      stopped = true;
    }
    CHECK(stopped);
    CHECK(ticks >= 2 + round);
    CHECK(ticks_on_caller);
    CHECK(running.load() == 0);
    CHECK(done.load() < kItems);
  }
}

// Runs `body` in a forked child and returns its exit status, or -1 if it crashed or
// was still running after 30 seconds.
int in_child(const std::function<int()>& body) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  for (int waited = 0; waited < 3000; ++waited, usleep(10000)) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

void pool_size_from_environment_and_fork() {
  auto threads_with = [](const char* num_threads, const char* rs_num_cpus) {
    for (auto [name, v] : {std::pair{"RAYON_NUM_THREADS", num_threads}, std::pair{"RAYON_RS_NUM_CPUS", rs_num_cpus}})
      v ? setenv(name, v, 1) : unsetenv(name);
    const int n = static_cast<int>(pool::detail::thread_count());
    unsetenv("RAYON_NUM_THREADS"), unsetenv("RAYON_RS_NUM_CPUS");
    return n;
  };
  const int def = threads_with(nullptr, nullptr);
  CHECK(def >= 1 && def == static_cast<int>(std::min<std::size_t>(pool::detail::default_thread_count(), 255)));
  // 0 means the default, not the next rule; junk falls through to RAYON_RS_NUM_CPUS.
  struct { const char *num, *cpus; int want; } cases[] = {
      {"1", "5", 1}, {"3", nullptr, 3}, {"+2", nullptr, 2}, {"300", nullptr, 255},
      {"99999999999999999999999", nullptr, 255}, {"0", "5", def}, {nullptr, "0", def},
      {nullptr, "many", def}, {"3x", "5", 5}, {" 3", "5", 5}, {"-1", "5", 5}, {"", "5", 5},
      {"0x4", "5", 5}, {"\u0663", "5", 5}};
  for (auto& c : cases) CHECK(threads_with(c.num, c.cpus) == c.want);
  // The pool reads its size once, when it starts.
  CHECK(in_child([] { setenv("RAYON_NUM_THREADS", "3", 1); return static_cast<int>(pool::num_threads()); }) == 3);
  // A child (and grandchild) of a process whose pool is running gets a pool of its
  // own, and the parent's pool is untouched by the fork.
  CHECK(record_pieces(1000).size() > 1);
  CHECK(in_child([] {
    int grandchild = in_child([] { return tiles(record_pieces(77), 77) ? 0 : 1; });
    return tiles(record_pieces(5000), 5000) && grandchild == 0 ? 0 : 1;
  }) == 0);
  CHECK(tiles(record_pieces(3000), 3000));
  CHECK(in_child([] {  // one thread gives exactly the unstolen split tree
    setenv("RAYON_NUM_THREADS", "1", 1);
    for (std::size_t n : {2, 3, 100, 1001}) if (record_pieces(n) != unstolen_pieces(n, 1)) return 1;
    return 0;
  }) == 0);
  // One worker per allowed CPU: each keeps to a single CPU of the mask. Any other count:
  // workers keep the whole mask.
  auto worker_masks_with = [](std::size_t threads) {
    return in_child([threads] {
      setenv("RAYON_NUM_THREADS", std::to_string(threads).c_str(), 1);
      const std::vector<int> all = pool::detail::affinity_cpus();
      std::mutex mu;
      bool ok = true;
      pool::run_pieces(4000, [&](std::size_t, std::size_t) {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(0, sizeof set, &set) != 0) return;
        std::size_t count = static_cast<std::size_t>(CPU_COUNT(&set));
        std::lock_guard<std::mutex> lock(mu);
        ok &= threads == all.size() ? count == 1 && std::count(all.begin(), all.end(), sched_getcpu()) == 1
                                    : count == all.size();
      });
      return ok ? 0 : 1;
    });
  };
  const std::size_t cpus = pool::detail::affinity_cpus().size();
  CHECK(cpus >= 1);
  CHECK(worker_masks_with(cpus) == 0);
  CHECK(worker_masks_with(cpus + 1) == 0);
#if !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
  // Thread start fails under an address-space limit: a fault, and a later call retries.
  CHECK(in_child([] {
    setenv("RAYON_NUM_THREADS", "255", 1);
    rlimit old{};
    getrlimit(RLIMIT_AS, &old);
    rlimit small{256u << 20, old.rlim_max};  // room for the process, not for 255 stacks of 2 MiB
    setrlimit(RLIMIT_AS, &small);
    // Under an emulator the limit may bind the emulator, not us: nothing to test then.
    if (mmap(nullptr, 512u << 20, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != MAP_FAILED) return 0;
    std::string what;
    try { pool::num_threads(); } catch (const pool::StartFailure& f) { what = f.what(); }
    setrlimit(RLIMIT_AS, &old);
    bool faulted = what.rfind("The global thread pool has not been initialized.", 0) == 0;
    return faulted && pool::num_threads() == 255 && tiles(record_pieces(999), 999) ? 0 : 1;
  }) == 0);
#endif
}

void cgroup_quota_is_read_from_both_versions() {
  namespace fs = std::filesystem;
  std::string root = (fs::temp_directory_path() / ("kwsieve-cgroup-" + std::to_string(getpid()))).string();
  auto put = [&](const std::string& rel, const char* text) {
    fs::create_directories(fs::path(root + rel).parent_path());
    std::ofstream(root + rel) << text;
  };
  auto limit = [&](const std::string& r, const char* cg, const std::string& mounts = "") {
    return pool::detail::cgroup_cpu_limit(r, cg, mounts);
  };
  const std::uint64_t none = UINT64_MAX;
  std::pair<const char*, const char*> files[] = {
      {"/cgroup.controllers", "cpu\n"}, {"/a/cgroup.controllers", "cpu\n"},
      {"/a/b/cgroup.controllers", "cpu\n"}, {"/a/cpu.max", "250000 100000\n"},
      {"/a/b/cpu.max", "max 100000\n"},
      {"/cpu,cpuacct/g/h/cpu.cfs_quota_us", "-1\n"}, {"/cpu,cpuacct/g/h/cpu.cfs_period_us", "100000\n"},
      {"/cpu,cpuacct/g/cpu.cfs_quota_us", "400000\n"}, {"/cpu,cpuacct/g/cpu.cfs_period_us", "100000\n"},
      {"/elsewhere/cpu.cfs_quota_us", "300000\n"}, {"/elsewhere/cpu.cfs_period_us", "100000\n"},
      {"/elsewhere/h/.keep", ""}};
  for (auto [rel, text] : files) put(rel, text);
  // v2: the smallest quota on the way up to the root counts.
  CHECK(limit(root, "0::/a/b\n") == 2);
  CHECK(limit(root, "0::/missing\n") == none);
  // v1 at a usual mount point wins over v2; -1 means no quota at that level.
  CHECK(limit(root, "0::/a/b\n3:cpu,cpuacct:/g/h\n") == 4);
  CHECK(limit(root, "2:cpuacct:/g/h\n1:memory:/x\n") == none);
  // v1 found through the mount table, a bind mount of the subtree /g.
  std::string mountinfo = "30 1 0:27 / /proc rw - proc proc rw\n32 31 0:29 /g " + root +
                          "/elsewhere rw,relatime - cgroup cgroup rw,cpu,cpuacct\n";
  CHECK(limit(root + "/nowhere", "5:cpu:/g/h\n", mountinfo) == 3);
  CHECK(limit(root + "/nowhere", "5:cpu:/gh\n", mountinfo) == none);
  put("/a/b/cpu.max", "50000 100000\n");  // below one CPU
  CHECK(limit(root, "0::/a/b\n") == 0);
  fs::remove_all(root);
}

}  // namespace

int main() {
  alarm(300);  // a lost wake-up hangs; let it fail instead
  deque_model_and_exactly_once_under_theft();
  cgroup_quota_is_read_from_both_versions();
  run_pieces_splits_by_the_rule();
  run_pieces_faults_and_wake_ups();
  ticks_cancel_a_long_run();
  pool_size_from_environment_and_fork();
  std::printf("pool_stress: %d failure(s), T=%zu\n", failures, pool::num_threads());
  return failures == 0 ? 0 : 1;
}
