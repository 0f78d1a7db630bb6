// The trie's tail arena: the lone-child chains that end single keywords, stored as bytes.
//
// Each tail is its bytes back to back, followed by the 4 bytes of its keyword's clean-name
// id; a bit per arena position (of the capacity) is set at each tail's last byte, so that
// the end of a tail is found a word of bits at a time. Bytes past size() are unwritten and
// their bits are zero. The trie addresses tails by arena position; what a position means
// as a node, and which nodes hold tails, is the trie's business.
//
// Like the trie's other stores, the arena changes in two steps: reserve() makes room and
// may throw std::bad_alloc but changes nothing a reader sees; append() and the bookkeeping
// calls after it cannot fail.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

// Most bytes the tail arena may hold (the trie's tail ids need its positions below
// 2^31 - 1); past it, keywords are stored as chains of real nodes. Tests shrink it to
// reach that path.
#ifndef KWSIEVE_TRIE_TAIL_BYTES
#define KWSIEVE_TRIE_TAIL_BYTES 0x7FFFFFFF
#endif

namespace kwsieve {

class TailArena {
 public:
  static constexpr std::size_t kLimit = KWSIEVE_TRIE_TAIL_BYTES;
  static_assert(kLimit <= 0x7FFFFFFF);

  TailArena() = default;
  TailArena(const TailArena& other);
  TailArena(TailArena&&) noexcept = default;
  TailArena& operator=(const TailArena&) = delete;
  TailArena& operator=(TailArena&&) noexcept = default;

  uint32_t byte(std::size_t p) const { return bytes_[p]; }
  bool is_last(std::size_t p) const { return (ends_[p >> 6] >> (p & 63)) & 1; }
  // The last byte of the tail that position p lies in.
  std::size_t last(std::size_t p) const {
    std::size_t w = p >> 6;
    uint64_t bits = ends_[w] & (~uint64_t{0} << (p & 63));
    while (bits == 0) bits = ends_[++w];
    return w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
  }
  // The clean-name id of the tail whose last byte is at `last`.
  uint32_t name(std::size_t last) const {
    uint32_t id;
    std::memcpy(&id, bytes_.get() + last + 1, sizeof id);
    return id;
  }
  void set_name(std::size_t last, uint32_t id) noexcept { std::memcpy(bytes_.get() + last + 1, &id, sizeof id); }

  // Bytes held, the dead ones included.
  std::size_t size() const { return size_; }
  // Live tail bytes, each a node to the trie's readers.
  std::size_t live_bytes() const { return live_; }

  // Whether a tail of `len` bytes may still be stored at all.
  bool fits(std::size_t len) const {
    const std::size_t room = kLimit - size_;
    return room >= 4 && len <= room - 4;
  }
  // Room for a tail of `len` bytes (fits(len) must hold). May throw std::bad_alloc;
  // changes only the capacity.
  void reserve(std::size_t len) {
    if (len + 4 > capacity_ - size_) grow(len + 4);
  }
  // Stores a tail of `len` bytes (len >= 1) ending a keyword named `name` and returns the
  // position of its first byte. Needs reserve(len); cannot fail.
  std::size_t append(const unsigned char* bytes, std::size_t len, uint32_t name) noexcept {
    const std::size_t p = size_;
    std::memcpy(bytes_.get() + p, bytes, len);
    std::memcpy(bytes_.get() + p + len, &name, sizeof name);
    size_ += len + 4;
    const std::size_t last = p + len - 1;
    ends_[last >> 6] |= uint64_t{1} << (last & 63);
    live_ += len;
    return p;
  }
  // The tail from p to `last` is no longer used, name id included.
  void drop(std::size_t p, std::size_t last) noexcept {
    live_ -= last - p + 1;
    dead_ += last - p + 5;
  }
  // The first `m` bytes of a tail became real nodes; `whole` when that was all of it, its
  // name id included.
  void drop_front(std::size_t m, bool whole) noexcept {
    live_ -= m;
    dead_ += m + (whole ? 4 : 0);
  }

  // Compaction reads every real id, so it waits until the dead bytes outweigh the live
  // ones and a quarter of the real ids (and a minimum), which keeps it O(1) per dead byte.
  bool worth_compacting(std::size_t id_bound) const {
    return dead_ >= kCompactFrom && dead_ >= size_ / 2 && dead_ >= id_bound / 4;
  }
  // Rewrites the arena without its dead bytes. `for_each_tail(f)` must call f(p) for the
  // first position p of every live tail, in any order, and store the position f returns
  // in its place. Purely an optimisation: if memory is short, or the live tails are not
  // what the counters say, nothing changes.
  template <class ForEachTail>
  void compact(ForEachTail for_each_tail) noexcept;

 private:
  static constexpr std::size_t kCompactFrom = kLimit / 8 < 4096 ? kLimit / 8 : 4096;

  void grow(std::size_t extra);
  // Fresh buffers for `cap` bytes; both or neither (std::bad_alloc).
  static void allocate(std::size_t cap, std::unique_ptr<unsigned char[]>& bytes,
                       std::unique_ptr<uint64_t[]>& ends);

  std::unique_ptr<unsigned char[]> bytes_;
  std::unique_ptr<uint64_t[]> ends_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t live_ = 0;
  std::size_t dead_ = 0;  // bytes no tail uses
};

template <class ForEachTail>
void TailArena::compact(ForEachTail for_each_tail) noexcept {
  const std::size_t live = size_ - dead_;
  std::unique_ptr<unsigned char[]> bytes;
  std::unique_ptr<uint64_t[]> ends;
  try {
    allocate(live + 1, bytes, ends);
  } catch (const std::bad_alloc&) {
    return;
  }
  std::size_t counted = 0;
  for_each_tail([&](std::size_t p) {
    counted += last(p) - p + 5;
    return p;
  });
  if (counted > live) return;
  std::size_t at = 0;
  for_each_tail([&](std::size_t p) {
    const std::size_t end = last(p);
    std::memcpy(bytes.get() + at, bytes_.get() + p, end - p + 5);
    const std::size_t moved_end = at + (end - p);
    ends[moved_end >> 6] |= uint64_t{1} << (moved_end & 63);
    const std::size_t moved = at;
    at += end - p + 5;
    return moved;
  });
  bytes_.swap(bytes);
  ends_.swap(ends);
  size_ = at;
  capacity_ = live + 1;
  dead_ = 0;
}

}  // namespace kwsieve
