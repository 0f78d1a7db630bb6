// Allocation failure on demand, for the drivers that check the strong guarantee.
//
// alloc_failure.cpp replaces the global operator new and delete (every form: plain, array,
// aligned, nothrow, sized) of the program it is linked into. While armed, the Nth
// allocation from the arming on fails as the system's would: the throwing forms throw
// std::bad_alloc, the nothrow forms return null. The deletes are replaced too, because
// allocations are served by malloc and a runtime's own delete (a sanitizer's) would not
// take them back.
//
// sweep() runs an operation with N = 1, 2, 3... until it completes without reaching the
// failure, checking what the caller asks after each failure. Each N is tried in two ways,
// both from the state before the operation: the Nth allocation and all later ones fail
// (memory that stays short), then only the Nth fails (so that a fallback such as "retry
// with the exact size" is taken and succeeds).
#pragma once

#include <cstddef>
#include <functional>

namespace alloc_failure {

enum class Mode {
  kFromNth,  // the Nth allocation and every later one fail
  kOnlyNth,  // the Nth allocation fails, later ones succeed
};

// Fails the `nth` allocation from now on (1 = the next one), as `mode` says.
void arm(std::size_t nth, Mode mode);
// Stops failing; returns whether a failure was injected since arm().
bool disarm();
// Allocations made since the program started (or reset()); counts while unarmed too.
std::size_t allocations();

// What sweep() learned about one operation.
struct SweepStats {
  std::size_t thrown = 0;     // attempts that ended in std::bad_alloc
  std::size_t absorbed = 0;   // attempts that met a failure and still completed
  std::size_t attempts = 0;
};

// Runs `attempt` under sweep (see above). After an attempt that ended in std::bad_alloc,
// calls `after_failure` (unarmed), which checks that nothing changed and that the structure
// still works. After an attempt that met a failure and still completed (an optimisation
// that gave up quietly), calls `after_absorbed` (unarmed), which checks the result and puts
// things back as they were before the attempt, so that the sweep can go on. Returns once an
// attempt completes without meeting the failure; the caller then checks that result. A
// std::bad_alloc the injection did not cause fails the program.
SweepStats sweep(const std::function<void()>& attempt, const std::function<void()>& after_failure,
                 const std::function<void()>& after_absorbed);

// Totals over every sweep so far, for the drivers' final summary.
const SweepStats& totals();

}  // namespace alloc_failure
