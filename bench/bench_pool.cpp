// Overhead of pool::run_pieces over trivial items, called from a thread outside the
// pool as the binding does. "warm": calls back to back, workers still looking for
// work; "cold": 5 ms between calls, so the workers have gone to sleep and each call
// pays for waking them.
//
//   g++ -std=c++20 -O2 -Isrc -pthread bench/bench_pool.cpp src/pool/pool.cpp src/pool/cpu_count.cpp -o bench_pool
//   RAYON_NUM_THREADS=4 ./bench_pool
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

#include "pool/pool.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<std::size_t> sink{0};

// Median microseconds per call over `reps` calls.
double per_call_us(std::size_t n, int reps, bool cold) {
  std::vector<double> us;
  us.reserve(static_cast<std::size_t>(reps));
  for (int r = 0; r < reps; ++r) {
    if (cold) usleep(5000);
    auto t0 = Clock::now();
    kwsieve::pool::run_pieces(n, [](std::size_t b, std::size_t e) {
      std::size_t s = 0;
      for (std::size_t i = b; i < e; ++i) s += i;
      sink.fetch_add(s, std::memory_order_relaxed);
    });
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  std::nth_element(us.begin(), us.begin() + reps / 2, us.end());
  return us[static_cast<std::size_t>(reps / 2)];
}

}  // namespace

int main() {
  std::printf("T = %zu\n", kwsieve::pool::num_threads());
  std::printf("%8s %12s %12s\n", "n", "warm us", "cold us");
  for (std::size_t n : {1, 10, 10000}) {
    per_call_us(n, 200, false);
    double warm = per_call_us(n, 2000, false);
    double cold = per_call_us(n, 200, true);
    std::printf("%8zu %12.2f %12.2f\n", n, warm, cold);
  }
  return 0;
}
