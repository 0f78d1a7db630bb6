// The process-wide work-stealing pool that runs batch calls.
//
// T worker threads, created on first use and never joined. Each worker owns a
// Chase-Lev deque (deque.h); threads outside the pool submit through an injection
// queue and sleep on a latch of their own. Work is expressed as fork-join: join(a, b)
// runs a at once and offers b to thieves, and run_pieces() splits an index range by
// recursive halving on top of it.
//
// Faults: any exception thrown by a task is carried back as std::exception_ptr. A
// join always lets both halves finish before it rethrows, so no task outlives the
// stack frame that owns it; when both halves throw, the left exception wins.
//
// fork(): the child inherits the pool's memory but none of its threads. The first
// call in a child starts a fresh pool (the old one is left allocated and unused).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <cstdint>
#include <mutex>
#include <optional>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace kwsieve::pool {

// T, fixed when the pool starts: RAYON_NUM_THREADS if it holds a decimal integer
// above 0 (0 selects the default), else RAYON_RS_NUM_CPUS if it holds one above 0,
// else the processors the process may run on (affinity mask limited by the cgroup
// CPU quota, at least 1); at most 255. Starts the pool if it is not running in this
// process yet. Throws StartFailure when a worker thread cannot be started; the next
// call tries again.
std::size_t num_threads();

// The pool's one failure of its own: it could not start (a thread, a fork handler or
// the worker key could not be made). Like the engine's faults it records where it was
// raised, for the diagnostic the binding prints.
class StartFailure : public std::runtime_error {
 public:
  explicit StartFailure(const std::string& message,
                        std::source_location where = std::source_location::current())
      : std::runtime_error(message), where_(where) {}

  const std::source_location& where() const noexcept { return where_; }

 private:
  std::source_location where_;
};

// Whether the calling thread is a worker of this process's pool.
bool on_worker();

// Runs a(moved) and b(moved), possibly in parallel, and returns when both are done.
// `moved` tells a task whether it runs on another thread than the one that forked it.
// Called from a worker: a runs here (moved = false); b is offered to thieves and, if
// nobody took it, runs here afterwards (moved = false). Called from outside the pool:
// the pair is submitted as one job and both halves count as moved. Exceptions: the
// left one if a threw, else the right one if b threw.
template <class A, class B>
void join(A&& a, B&& b);

// What a thread outside the pool does while it waits for its work: with NoTick it
// sleeps until the work is done, with no timeout.
struct NoTick {
  void operator()() const {}
};

// How often a thread outside the pool that waits for its work wakes up to call its tick.
inline constexpr std::chrono::milliseconds kTickPeriod{20};

// Runs f() on a pool worker and blocks the calling thread on its own latch (no
// spinning) until it is done; rethrows what f threw. On a worker, calls f() directly.
// With a tick other than NoTick, the calling thread wakes every `period` while it
// waits to call tick() (on itself: the interpreter's signal check, say, or work on what
// f has finished so far). A tick cannot
// cut the wait short: it may only ask f to finish early (through a Cancel that f
// checks), and the wait lasts until f has returned, so nothing f uses is released
// under it. tick must not throw.
template <class F, class Tick = NoTick>
void run_and_wait(F&& f, Tick&& tick = Tick{}, std::chrono::milliseconds period = kTickPeriod);

// Calls process(begin, end) over disjoint non-empty ranges that together cover
// [0, n), split by the batch rule:
//  - a piece of length L has split point L / 2; a piece of 0 or 1 items runs as is;
//  - its split budget (T at the top) becomes max(budget / 2, T) when the piece was
//    moved, budget / 2 when it was not; a piece that was not moved and has budget 0
//    runs as is;
//  - the two halves run as a join() pair.
// From outside the pool, n <= 1 runs on the caller without touching any worker (the
// pool is still started); otherwise the caller sleeps until every piece has run.
// Pieces run in no particular order; rethrows as join() does, once every piece that
// was started has finished. Recursion depth is bounded by the bit width of size_t,
// since every level halves the piece.
// The calling thread calls tick() while it waits, as run_and_wait(f, tick, period) does
// (not for n <= 1, which runs on the caller).
template <class F, class Tick = NoTick>
void run_pieces(std::size_t n, F&& process, Tick&& tick = Tick{},
                std::chrono::milliseconds period = kTickPeriod);

namespace detail {

class Worker;

// T by the rules of num_threads(), read from the environment now (the default count
// comes from cpu_count.h).
std::size_t thread_count();

// A unit of work in a deque or the injection queue. run() is told whether the job
// was moved, that is taken by another thread than the one that queued it.
struct Job {
  using Run = void (*)(Job*, bool moved);
  explicit Job(Run r) : run(r) {}
  Run run;
  Job* next = nullptr;  // link in the injection queue
};

// The calling thread's worker in the current pool, or nullptr.
Worker* current_worker();
// Owner side of the worker's deque. push() may throw std::bad_alloc.
void push(Worker* w, Job* job);
Job* pop(Worker* w);
// Keeps `w` busy with other work (own queue, steals, injected jobs) until *done is
// true, sleeping when there is none; wake_worker() ends such a sleep.
void wait_until(Worker* w, const std::atomic<bool>& done);
void wake_worker(Worker* w);
// Queues `job` for the pool's workers, starting the pool if needed.
void inject(Job* job);

// Completion latch of a thread outside the pool: a mutex and condition variable.
class LockLatch {
 public:
  void set() {
    // Notify while holding the lock: the waiter may destroy the latch as soon as it
    // can see done_, and it cannot until we unlock.
    std::lock_guard<std::mutex> lock(mu_);
    done_ = true;
    cv_.notify_one();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return done_; });
  }
  // Whether it was set within `period`.
  bool wait_for(std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, period, [this] { return done_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
};

// The right half of a join, living in the forking frame. The owner either pops it
// back and runs the body inline, or waits for `done` after a thief ran it.
template <class B>
class JoinJob final : public Job {
 public:
  JoinJob(B& body, Worker* owner) : Job(&run_queued), body_(body), owner_(owner) {}

  void run_inline(bool moved) {
    try {
      body_(moved);
    } catch (...) {
      error_ = std::current_exception();
    }
  }

  std::atomic<bool> done{false};
  std::exception_ptr error() const { return error_; }

 private:
  static void run_queued(Job* job, bool moved) {
    auto* self = static_cast<JoinJob*>(job);
    self->run_inline(moved);
    // Read the owner first: once done is true the owner may return and the job,
    // which lives in the owner's frame, is gone. Workers live as long as the process.
    Worker* owner = self->owner_;
    // release: the body's writes and error_ are visible to the owner's acquire.
    self->done.store(true, std::memory_order_release);
    wake_worker(owner);
  }

  B& body_;
  Worker* owner_;
  std::exception_ptr error_;
};

template <class F>
class InjectedJob final : public Job {
 public:
  explicit InjectedJob(F& f) : Job(&run_injected), f_(f) {}
  LockLatch latch;
  std::exception_ptr error;

 private:
  static void run_injected(Job* job, bool) {
    auto* self = static_cast<InjectedJob*>(job);
    try {
      self->f_();
    } catch (...) {
      self->error = std::current_exception();
    }
    self->latch.set();
  }
  F& f_;
};

// join() on worker `w`; `injected` marks a pair submitted from outside the pool,
// whose halves both count as moved.
template <class A, class B>
void join_on(Worker* w, A& a, B& b, bool injected) {
  JoinJob<B> right(b, w);
  push(w, &right);  // on bad_alloc nothing has run yet; the fault travels as is
  std::exception_ptr left_error;
  try {
    a(injected);
  } catch (...) {
    left_error = std::current_exception();
  }
  // Every join nested in a() has taken its own right half back, so the top of our
  // deque is `right` unless a thief stole it, and then the deque is empty (thieves
  // take the oldest jobs first). Either way, wait for it even if a() threw: it lives
  // in this frame.
  while (!right.done.load(std::memory_order_acquire)) {
    Job* job = pop(w);
    if (job == &right) {
      right.run_inline(injected);
      break;
    }
    if (job == nullptr) {
      wait_until(w, right.done);
      break;
    }
    job->run(job, false);
  }
  if (left_error) std::rethrow_exception(left_error);
  if (right.error()) std::rethrow_exception(right.error());
}

// A piece of run_pieces; `tick` serves a join made from outside the pool (the top one).
template <class F, class Tick>
void run_piece(F& process, std::size_t begin, std::size_t len, std::size_t budget,
               bool moved, std::size_t threads, Tick& tick, std::chrono::milliseconds period) {
  std::size_t mid = len / 2;
  if (mid == 0) {
    if (len != 0) process(begin, begin + len);
    return;
  }
  if (moved) {
    budget = std::max(budget / 2, threads);
  } else if (budget == 0) {
    process(begin, begin + len);
    return;
  } else {
    budget /= 2;
  }
  NoTick none;
  auto left = [&](bool m) { run_piece(process, begin, mid, budget, m, threads, none, period); };
  auto right = [&](bool m) {
    run_piece(process, begin + mid, len - mid, budget, m, threads, none, period);
  };
  if (Worker* w = current_worker()) {
    join_on(w, left, right, false);
  } else {
    run_and_wait([&] { join_on(current_worker(), left, right, true); }, tick, period);
  }
}

}  // namespace detail

template <class A, class B>
void join(A&& a, B&& b) {
  if (detail::Worker* w = detail::current_worker()) {
    detail::join_on(w, a, b, false);
    return;
  }
  run_and_wait([&] { detail::join_on(detail::current_worker(), a, b, true); });
}

template <class F, class Tick>
void run_and_wait(F&& f, Tick&& tick, std::chrono::milliseconds period) {
  if (detail::current_worker() != nullptr) {
    f();
    return;
  }
  using Fn = std::remove_reference_t<F>;
  detail::InjectedJob<Fn> job(f);
  detail::inject(&job);
  if constexpr (std::is_same_v<std::remove_cvref_t<Tick>, NoTick>) {
    job.latch.wait();
  } else {
    while (!job.latch.wait_for(period)) tick();
  }
  if (job.error) std::rethrow_exception(job.error);
}

template <class F, class Tick>
void run_pieces(std::size_t n, F&& process, Tick&& tick, std::chrono::milliseconds period) {
  std::size_t threads = num_threads();
  detail::run_piece(process, 0, n, threads, false, threads, tick, period);
}

}  // namespace kwsieve::pool
