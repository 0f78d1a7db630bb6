// The trie's name table: the clean names of its keywords, by 32-bit id.
//
// Names lie back to back in one arena and are found through a slot per id; freed slots
// are reused first (linked through their offsets), so ids stay dense. A replaced or
// removed name leaves dead bytes that a compaction drops once they outweigh the live ones.
//
// Like the trie's other stores, the table changes in two steps: reserve() makes room for
// one more name and may throw std::bad_alloc but changes nothing a reader sees; store(),
// release() and compaction cannot fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kwsieve {

class NameTable {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  std::string_view operator[](uint32_t id) const {
    const Slot& s = slots_[id];
    return {arena_.data() + s.offset, s.length};
  }
  // The id the next store() hands out.
  uint32_t next_id() const { return free_head_ != kNone ? free_head_ : static_cast<uint32_t>(slots_.size()); }

  // Whether store() of a name of `bytes` bytes needs reserve() first. Inline: insertion
  // asks once per keyword and almost never needs to grow.
  bool needs_room(std::size_t bytes) const {
    return (free_head_ == kNone && slots_.size() == slots_.capacity()) || bytes > arena_.capacity() - arena_.size();
  }
  // Room for one more name of `bytes` bytes. May throw std::bad_alloc; changes only
  // capacity.
  void reserve(std::size_t bytes);

  // Stores `name` and returns its id. Needs reserve(name.size()); cannot fail.
  uint32_t store(std::string_view name) noexcept;
  void release(uint32_t id) noexcept {
    dead_ += slots_[id].length;
    slots_[id].offset = free_head_;
    slots_[id].length = kFreeSlot;
    free_head_ = id;
  }

  void maybe_compact() noexcept {
    if (dead_ >= 4096 && dead_ >= arena_.size() / 2) compact();
  }

 private:
  static constexpr std::size_t kFreeSlot = static_cast<std::size_t>(-1);
  struct Slot {
    std::size_t offset = 0;  // into arena_; for a free slot, the next free slot
    std::size_t length = 0;  // kFreeSlot for a free slot
  };

  void compact() noexcept;

  std::vector<Slot> slots_;
  uint32_t free_head_ = kNone;
  std::string arena_;     // the names, back to back
  std::size_t dead_ = 0;  // bytes of arena_ no live name uses
};

}  // namespace kwsieve
