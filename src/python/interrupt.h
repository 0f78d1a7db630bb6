// Ctrl-C for long calls.
//
// Signal handlers run only on the main thread and only when the interpreter lets them. A
// call that keeps the interpreter lock from start to end lets them when an Interrupt runs
// the interpreter's signal check, at bounded intervals of the call's work; a call that
// releases the lock for its work (Unlocked below) takes it back for a moment to run the
// same check. Once a handler has raised, the call unwinds with that exception set. Engine
// work on the calling thread checks through here() (a Cancel whose poll runs the check);
// pool workers check workers(), a plain flag, which tick() raises while the calling thread
// waits for them (run_pieces() below). Loops of the binding's own (converting arguments,
// building results) call every().
//
// Whatever stops the call surfaces as kwsieve::Cancelled, which the entry guard treats as
// "a Python exception is already set"; every borrow and reference unwinds on the way.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstddef>
#include <utility>

#include "engine/cancel.h"
#include "pool/pool.h"

namespace kwsieve::py {

class Interrupt {
 public:
  // Items of a binding loop between two checks.
  static constexpr std::size_t kEveryItems = 4096;

  Interrupt() : here_(&poll, this) {}
  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;

  // For engine work on the calling thread.
  Cancel* here() { return &here_; }
  // For engine work on pool workers: never runs interpreter code.
  Cancel* workers() { return &workers_; }

  // On the calling thread while it waits for workers: if a signal handler raises, tells
  // the workers to stop. Does not throw; see raised(). With the lock released (Unlocked),
  // takes it back for the check.
  void tick() {
    if (raised_) return;
    if (released_ == nullptr) {
      if (PyErr_CheckSignals() != 0) stop();
      return;
    }
    PyEval_RestoreThread(released_);
    const bool raised = PyErr_CheckSignals() != 0;
    released_ = PyEval_SaveThread();
    if (raised) stop();
  }
  // Whether a handler raised: its exception is set, and the call must end with it.
  bool raised() const { return raised_; }
  // Throws Cancelled if a handler has raised.
  void throw_if_raised() const {
    if (raised_) throw Cancelled{};
  }

  // In a binding loop, at item i: checks every kEveryItems items, throwing Cancelled if
  // a handler raises.
  void every(std::size_t i) {
    if (i % kEveryItems == kEveryItems - 1) {
      tick();
      throw_if_raised();
    }
  }

 private:
  static bool poll(void* self) {
    auto* me = static_cast<Interrupt*>(self);
    me->tick();
    return me->raised_;
  }
  void stop() {
    raised_ = true;
    here_.request();
    workers_.request();
  }

  friend class Unlocked;
  Cancel here_;
  Cancel workers_;
  bool raised_ = false;
  PyThreadState* released_ = nullptr;  // the calling thread's state while Unlocked
};

// Lets other Python threads run while this one works without touching Python objects (or
// waits for the pool); the lock is taken back however the stretch ends. The interrupt's
// checks meanwhile take the lock for themselves.
class Unlocked {
 public:
  explicit Unlocked(Interrupt& interrupt) : interrupt_(interrupt) { interrupt_.released_ = PyEval_SaveThread(); }
  ~Unlocked() { PyEval_RestoreThread(std::exchange(interrupt_.released_, nullptr)); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  Interrupt& interrupt_;
};

// Runs process(begin, end, cancel) over pieces of [0, n) on the pool (pool::run_pieces),
// the calling thread checking for signals while it waits. `cancel` is the one for the
// piece's engine work and for checking between items (interrupt.workers() on a worker,
// interrupt.here() when the piece runs on the calling thread, as a batch of one does). If a
// handler raised, throws Cancelled once every piece has finished, whatever they threw.
// `on_wait`, if given, also runs on the calling thread at each of its wakes, every
// `period`, unless a handler has raised; like a tick, it must not throw.
template <class Process, class OnWait = pool::NoTick>
void run_pieces(Interrupt& interrupt, std::size_t n, Process&& process, OnWait&& on_wait = {},
                std::chrono::milliseconds period = pool::kTickPeriod) {
  try {
    pool::run_pieces(n, [&](std::size_t begin, std::size_t end) {
      process(begin, end, pool::on_worker() ? *interrupt.workers() : *interrupt.here());
    }, [&] {
      interrupt.tick();
      if (!interrupt.raised()) on_wait();
    }, period);
  } catch (...) {
    interrupt.throw_if_raised();
    throw;
  }
  interrupt.throw_if_raised();
}

}  // namespace kwsieve::py
