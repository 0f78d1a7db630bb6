#include "engine/tail_arena.h"

#include <algorithm>
#include <new>

namespace kwsieve {

TailArena::TailArena(const TailArena& other) : live_(other.live_), dead_(other.dead_) {
  if (other.size_ != 0) {
    grow(other.size_);
    std::memcpy(bytes_.get(), other.bytes_.get(), other.size_);
    std::memcpy(ends_.get(), other.ends_.get(), (other.size_ / 64 + 1) * sizeof(uint64_t));
    size_ = other.size_;
  }
}

void TailArena::allocate(std::size_t cap, std::unique_ptr<unsigned char[]>& bytes,
                         std::unique_ptr<uint64_t[]>& ends) {
  bytes.reset(new unsigned char[cap]);
  ends.reset(new uint64_t[cap / 64 + 1]());
}

// Grows the arena by four (or to the exact size if that cannot be had), like the trie's
// other stores; its capacity never passes kLimit. The old buffers are swapped out only
// once both new ones exist, so a failure leaves the arena as it was.
void TailArena::grow(std::size_t extra) {
  const std::size_t need = size_ + extra;
  const std::size_t grown = capacity_ > kLimit / 4 ? kLimit : capacity_ * 4;
  std::size_t cap = std::min(std::max({need, grown, std::size_t{256}}), kLimit);
  std::unique_ptr<unsigned char[]> bytes;
  std::unique_ptr<uint64_t[]> ends;
  try {
    allocate(cap, bytes, ends);
  } catch (const std::bad_alloc&) {
    cap = need;
    allocate(cap, bytes, ends);
  }
  if (size_ != 0) {
    std::memcpy(bytes.get(), bytes_.get(), size_);
    std::memcpy(ends.get(), ends_.get(), (size_ / 64 + 1) * sizeof(uint64_t));
  }
  bytes_.swap(bytes);
  ends_.swap(ends);
  capacity_ = cap;
}

}  // namespace kwsieve
