#include "engine/name_table.h"

#include <new>

#include "engine/grow.h"

namespace kwsieve {

void NameTable::reserve(std::size_t bytes) {
  if (free_head_ == kNone) {
    if (slots_.size() >= kNone) throw std::bad_alloc();
    grow_for(slots_, 1);
  }
  grow_for(arena_, bytes);
}

// Out of line and marked hot like the rest of the insertion path (see trie.cpp).
[[gnu::hot]] uint32_t NameTable::store(std::string_view name) noexcept {
  uint32_t id;
  const Slot slot{arena_.size(), name.size()};
  if (free_head_ != kNone) {
    id = free_head_;
    free_head_ = static_cast<uint32_t>(slots_[id].offset);
    slots_[id] = slot;
  } else {
    id = static_cast<uint32_t>(slots_.size());
    slots_.push_back(slot);
  }
  arena_.append(name);
  return id;
}

// Purely an optimisation: if memory is short, skip it.
void NameTable::compact() noexcept {
  try {
    std::string fresh;
    fresh.reserve(arena_.size() - dead_);
    for (Slot& s : slots_) {
      if (s.length == kFreeSlot) continue;
      std::size_t at = fresh.size();
      fresh.append(arena_, s.offset, s.length);
      s.offset = at;
    }
    arena_.swap(fresh);
    dead_ = 0;
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace kwsieve
