#include "alloc_failure.h"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace alloc_failure {
namespace {

// The drivers are single-threaded; plain counters keep the replaced operators trivial.
std::size_t count = 0;      // allocations so far
std::size_t fail_at = 0;    // the count at which to fail; 0: unarmed
Mode fail_mode = Mode::kFromNth;
bool failed = false;        // a failure was injected since arm()
SweepStats sum;

// Whether this allocation (already counted) must fail.
bool must_fail() {
  if (fail_at == 0 || count < fail_at) return false;
  if (fail_mode == Mode::kOnlyNth && count != fail_at) return false;
  failed = true;
  return true;
}

void* allocate(std::size_t size, std::size_t align) noexcept {
  ++count;
  if (must_fail()) return nullptr;
  if (size == 0) size = 1;
  if (align <= alignof(std::max_align_t)) return std::malloc(size);
  return std::aligned_alloc(align, (size + align - 1) / align * align);
}

void* allocate_or_throw(std::size_t size, std::size_t align) {
  void* p = allocate(size, align);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void arm(std::size_t nth, Mode mode) {
  fail_at = count + nth;
  fail_mode = mode;
  failed = false;
}

bool disarm() {
  fail_at = 0;
  return failed;
}

std::size_t allocations() { return count; }

SweepStats sweep(const std::function<void()>& attempt, const std::function<void()>& after_failure,
                 const std::function<void()>& after_absorbed) {
  SweepStats stats;
  bool complete = false;
  for (std::size_t nth = 1; !complete; ++nth) {
    if (nth > 1'000'000) {
      std::fprintf(stderr, "alloc_failure: an operation keeps allocating past a million\n");
      std::exit(1);
    }
    for (Mode mode : {Mode::kFromNth, Mode::kOnlyNth}) {
      ++stats.attempts;
      bool threw = false;
      arm(nth, mode);
      try {
        attempt();
      } catch (const std::bad_alloc&) {
        threw = true;
      }
      const bool hit = disarm();
      if (threw && !hit) {
        std::fprintf(stderr, "alloc_failure: std::bad_alloc without an injected failure\n");
        std::exit(1);
      }
      if (!hit) {  // the operation made fewer than nth allocations and is complete
        complete = true;
        break;
      }
      if (threw) {
        ++stats.thrown;
        after_failure();
      } else {
        ++stats.absorbed;
        after_absorbed();
      }
    }
  }
  sum.thrown += stats.thrown;
  sum.absorbed += stats.absorbed;
  sum.attempts += stats.attempts;
  return stats;
}

const SweepStats& totals() { return sum; }

}  // namespace alloc_failure

// The replaceable global allocation functions. The nothrow forms are replaced as well:
// the library's own would not consult the counter.
void* operator new(std::size_t n) { return alloc_failure::allocate_or_throw(n, 0); }
void* operator new[](std::size_t n) { return alloc_failure::allocate_or_throw(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) {
  return alloc_failure::allocate_or_throw(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return alloc_failure::allocate_or_throw(n, static_cast<std::size_t>(a));
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return alloc_failure::allocate(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return alloc_failure::allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return alloc_failure::allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return alloc_failure::allocate(n, static_cast<std::size_t>(a));
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
