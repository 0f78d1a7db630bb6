// The per-worker job queue of the pool.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kwsieve::pool {

// Chase-Lev work-stealing deque: one owner pushes and pops at the bottom, any number
// of thieves steal from the top.
//
// D. Chase and Y. Lev, "Dynamic Circular Work-Stealing Deque", SPAA 2005, with the
// memory orders of N. M. Lê, A. Pop, A. Cohen and F. Zappa Nardelli, "Correct and
// Efficient Work-Stealing for Weak Memory Models", PPoPP 2013. ThreadSanitizer does
// not model std::atomic_thread_fence, so where the paper puts a fence next to a
// relaxed access this class makes the access itself stronger instead: push() stores
// bottom_ with release (paper: release fence, relaxed store), and pop() and steal()
// order their bottom_/top_ pair with seq_cst accesses (paper: seq_cst fence between
// relaxed accesses). On x86 both forms compile to the same instructions.
//
// T is a pointer-like trivially copyable type; a default-constructed T (nullptr)
// means "nothing taken", so callers never push one.
//
// Indices grow without wrapping (64 bits even where size_t has 32), and the ring is
// addressed by index & mask. A ring that fills up is replaced by one twice as large;
// the old ring is kept in retired_ until the deque dies, because a thief that loaded
// the old ring pointer may still read from it. The owner keeps the queue shallow
// (fork-join depth), so the retired rings stay few and small.
template <class T>
class WorkStealingDeque {
 public:
  explicit WorkStealingDeque(std::int64_t capacity = 64)
      : ring_(new Ring(round_up_pow2(capacity))) {}

  ~WorkStealingDeque() { delete ring_.load(std::memory_order_relaxed); }

  WorkStealingDeque(const WorkStealingDeque&) = delete;
  WorkStealingDeque& operator=(const WorkStealingDeque&) = delete;

  // Owner only. Throws std::bad_alloc when the ring must grow and cannot; the deque
  // is then unchanged.
  void push(T item) {
    // relaxed: only the owner writes bottom_.
    std::int64_t b = bottom_.load(std::memory_order_relaxed);
    // acquire: pairs with the thieves' successful CAS on top_, so a thief's read of a
    // slot happens before we reuse that slot below.
    std::int64_t t = top_.load(std::memory_order_acquire);
    // relaxed: only the owner writes ring_.
    Ring* r = ring_.load(std::memory_order_relaxed);
    if (b - t > r->mask) r = grow(r, b, t);
    r->put(b, item);
    // release: a thief that sees the new bottom_ also sees the slot and everything the
    // owner wrote into the job before pushing it.
    bottom_.store(b + 1, std::memory_order_release);
  }

  // Owner only. Takes the most recently pushed item, or T{} when empty.
  T pop() {
    std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
    Ring* r = ring_.load(std::memory_order_relaxed);
    // seq_cst store then seq_cst load: the store of the reservation must be visible
    // to thieves before we read top_ (a store-load order only seq_cst gives), or an
    // owner and a thief could both take the last item.
    bottom_.store(b, std::memory_order_seq_cst);
    std::int64_t t = top_.load(std::memory_order_seq_cst);
    if (t > b) {
      // Empty. release (not relaxed): keeps every store of bottom_ a release, so a
      // thief that reads any value of it has seen the pushes below it.
      bottom_.store(b + 1, std::memory_order_release);
      return T{};
    }
    T item = r->get(b);
    if (t == b) {
      // The last item: race the thieves for it through top_ like one of them.
      // seq_cst: part of the same total order as the thieves' CAS; relaxed on failure
      // because we then return nothing read through top_.
      if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                        std::memory_order_relaxed)) {
        item = T{};
      }
      bottom_.store(b + 1, std::memory_order_release);
    }
    return item;
  }

  // Any thread. Takes the oldest item, or T{} when the deque is empty. A lost race
  // for the top item is retried, so T{} means the deque was seen empty.
  T steal() {
    for (;;) {
      // seq_cst load then seq_cst load: pairs with pop()'s store-then-load so that a
      // thief and the owner never both miss each other's reservation.
      std::int64_t t = top_.load(std::memory_order_seq_cst);
      std::int64_t b = bottom_.load(std::memory_order_seq_cst);
      if (t >= b) return T{};
      // acquire: pairs with grow()'s release, so the new ring's slots and mask are
      // initialised before we read them. An older ring is also fine: it still holds
      // index t, and it is not freed before the deque.
      Ring* r = ring_.load(std::memory_order_acquire);
      T item = r->get(t);
      // seq_cst: one total order with pop()'s CAS decides who takes the last item.
      // relaxed on failure: we retry and read top_ again anyway.
      if (top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                       std::memory_order_relaxed)) {
        return item;
      }
    }
  }

 private:
  struct Ring {
    explicit Ring(std::int64_t capacity)
        : mask(capacity - 1), slots(new std::atomic<T>[static_cast<std::size_t>(capacity)]) {}
    // Slots are atomics because a thief may read a slot while the owner rewrites it
    // after a wrap; such a read is discarded by the failing CAS, but it must not be a
    // data race. relaxed: ordering comes from bottom_, top_ and ring_.
    T get(std::int64_t i) const {
      return slots[static_cast<std::size_t>(i & mask)].load(std::memory_order_relaxed);
    }
    void put(std::int64_t i, T item) {
      slots[static_cast<std::size_t>(i & mask)].store(item, std::memory_order_relaxed);
    }
    std::int64_t capacity() const { return mask + 1; }

    const std::int64_t mask;
    const std::unique_ptr<std::atomic<T>[]> slots;
  };

  static std::int64_t round_up_pow2(std::int64_t n) {
    std::int64_t c = 2;
    while (c < n) c *= 2;
    return c;
  }

  // Owner only, with b - t == capacity. Copies the live items [t, b) to a ring twice
  // the size and publishes it; allocates everything before changing anything.
  Ring* grow(Ring* old, std::int64_t b, std::int64_t t) {
    auto fresh = std::make_unique<Ring>(old->capacity() * 2);
    retired_.reserve(retired_.size() + 1);
    for (std::int64_t i = t; i < b; ++i) fresh->put(i, old->get(i));
    Ring* r = fresh.release();
    // release: pairs with steal()'s acquire load of ring_.
    ring_.store(r, std::memory_order_release);
    retired_.emplace_back(old);
    return r;
  }

  // top_ is written by thieves, bottom_ by the owner: separate cache lines keep a
  // thief's CAS from stalling the owner's pushes.
  alignas(64) std::atomic<std::int64_t> top_{0};
  alignas(64) std::atomic<std::int64_t> bottom_{0};
  std::atomic<Ring*> ring_;
  std::vector<std::unique_ptr<Ring>> retired_;  // owner only
};

}  // namespace kwsieve::pool
