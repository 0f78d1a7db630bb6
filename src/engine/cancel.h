// Stopping long work from outside it.
//
// A Cancel is a flag that any thread may raise, plus an optional poll that only the thread
// which owns the work may run: long loops call check() at bounded intervals of work, and
// check() throws Cancelled once the flag is up. The binding's poll asks the interpreter
// whether a signal handler raised (it runs on the thread that holds the interpreter lock);
// pool workers get a Cancel without a poll, whose flag the calling thread raises. With no
// Cancel given (a null pointer) the loops only compare a counter, so normal calls pay
// nothing measurable.
#pragma once

#include <atomic>
#include <cstddef>

namespace kwsieve {

// Thrown by Cancel::check(): the work was stopped. Not a std::exception, so that no
// generic handler mistakes it for a fault; whoever raised the flag knows why.
struct Cancelled {};

class Cancel {
 public:
  // True: stop. Called only by the thread that calls check() on this Cancel.
  using Poll = bool (*)(void* context);

  // Work between two checks, in bytes of text read or written (the scans and folding)
  // or in start positions (the approximate scan, whose searches are longer).
  static constexpr std::size_t kPollBytes = std::size_t{1} << 18;
  static constexpr unsigned kPollStarts = 4;

  Cancel() = default;
  Cancel(Poll poll, void* context) : poll_(poll), context_(context) {}
  Cancel(const Cancel&) = delete;
  Cancel& operator=(const Cancel&) = delete;

  // Any thread. The work stops at its next check().
  void request() noexcept { stop_.store(true, std::memory_order_relaxed); }
  bool requested() const noexcept { return stop_.load(std::memory_order_relaxed); }

  // Runs the poll, if any, and throws Cancelled if the work is to stop.
  void check() {
    if (poll_ != nullptr && poll_(context_)) request();
    if (requested()) throw Cancelled{};
  }

 private:
  // relaxed: the flag carries no data; whoever raised it learns the outcome through the
  // pool's own synchronisation when the work returns.
  std::atomic<bool> stop_{false};
  Poll poll_ = nullptr;
  void* context_ = nullptr;
};

}  // namespace kwsieve
