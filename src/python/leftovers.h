// What an interrupted call leaves behind, freed after the exception has left.
//
// A batch stopped by Ctrl-C may hold millions of result objects, engine results and
// references to its texts. Freeing them takes longer than the user should wait for the
// prompt, and none of it decides anything: so the call hands them over here and raises at
// once, and the interpreter frees them a slice at a time through its pending calls, on the
// main thread, between the bytecodes of whatever runs next. Everything handed over is freed
// unless the interpreter exits first (then the process's end takes it back).
//
// Calling thread only, with the interpreter lock held.
#pragma once

#include <Python.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "python/compat.h"
#include "python/ref.h"

namespace kwsieve::py {

namespace leftovers {

// Items freed per pending call: small enough that the program running meanwhile does not
// stall, large enough that the per-call cost does not matter.
inline constexpr std::size_t kSlice = 4096;

class Pile {
 public:
  virtual ~Pile() = default;
  // Frees up to kSlice items; true once nothing is left but the pile itself.
  virtual bool free_some() = 0;
};

template <class T>
class VectorPile final : public Pile {
 public:
  explicit VectorPile(std::vector<T>&& v) : v_(std::move(v)) {}
  bool free_some() override {
    for (std::size_t k = 0; k < kSlice && !v_.empty(); ++k) v_.pop_back();
    return v_.empty();
  }

 private:
  std::vector<T> v_;
};

// A list whose items are dropped from the end, a slice at a time.
class ListPile final : public Pile {
 public:
  explicit ListPile(Ref list) : list_(std::move(list)) {}
  bool free_some() override {
    Py_ssize_t n = PyList_GET_SIZE(list_.get());
    Py_ssize_t from = n > static_cast<Py_ssize_t>(kSlice) ? n - static_cast<Py_ssize_t>(kSlice) : 0;
    if (PyList_SetSlice(list_.get(), from, n, nullptr) < 0) {
      PyErr_Clear();  // cannot fail for a list of ours; if it did, the list goes whole
      return true;
    }
    return from == 0;
  }

 private:
  Ref list_;
};

// Never destroyed: piles left at exit must not be freed after the interpreter is gone.
inline std::deque<std::unique_ptr<Pile>>& piles() {
  static auto* p = new std::deque<std::unique_ptr<Pile>>();
  return *p;
}

inline bool& scheduled() {
  static bool s = false;
  return s;
}

inline void schedule();

inline int free_slice(void*) {
  auto& all = piles();
  // The exception this runs beside is kept as it is.
  PyObject* pending = PyErr_Occurred() ? PyErr_GetRaisedException() : nullptr;
  if (!all.empty() && all.front()->free_some()) all.pop_front();
  if (pending != nullptr) PyErr_SetRaisedException(pending);
  scheduled() = false;
  schedule();
  return 0;
}

inline void schedule() {
  auto& all = piles();
  if (scheduled() || all.empty()) return;
  if (Py_AddPendingCall(&free_slice, nullptr) == 0) {
    scheduled() = true;
  } else {
    all.clear();  // the queue of pending calls is full: free them now
  }
}

template <class T>
void add(std::vector<T>&& v) {
  piles().push_back(std::make_unique<VectorPile<T>>(std::move(v)));
}
inline void add(Ref&& list) { piles().push_back(std::make_unique<ListPile>(std::move(list))); }

}  // namespace leftovers

// Hands vectors and lists over to be freed later, each left empty. Never throws: what
// cannot be queued (no memory) stays with its owner, who frees it as usual.
template <class... Items>
void free_later(Items&&... items) noexcept {
  try {
    (leftovers::add(std::move(items)), ...);
  } catch (...) {
  }
  leftovers::schedule();
}

}  // namespace kwsieve::py
