// Geometric growth for the trie's stores.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>

namespace kwsieve {

// vector::reserve allocates exactly what it is asked for; growing one element at a time
// through it would be quadratic, so round the request up geometrically. By four rather
// than two: every regrowth copies the whole buffer (for the clean names of 100k keywords
// those copies were a tenth of insertion's cache misses), while capacity not yet written
// is, for the large buffers, not resident. If the generous size cannot be had, the exact
// one is tried before giving up. Changes only the capacity, never the contents.
template <class V>
void grow_for(V& v, std::size_t extra) {
  if (extra > v.max_size() - v.size()) throw std::bad_alloc();
  const std::size_t need = v.size() + extra;
  if (need <= v.capacity()) return;
  const std::size_t cap = v.capacity() > v.max_size() / 4 ? v.max_size() : v.capacity() * 4;
  try {
    v.reserve(std::max(need, cap));
  } catch (const std::bad_alloc&) {
    v.reserve(need);
  }
}

}  // namespace kwsieve
