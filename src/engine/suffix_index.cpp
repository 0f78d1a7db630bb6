#include "engine/suffix_index.h"

#include <array>

#include "engine/search_tables.h"

namespace kwsieve {

namespace {
template <class T>
std::size_t held(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}
}  // namespace

std::size_t SuffixIndex::memory() const {
  return held(nodes_) + held(keys_) + held(pair_nodes_) + held(pair_children_) + held(pair_wide_children_);
}

// Breadth first over the merged trie: a node's pairs are its parent's pairs moved one byte
// down, grouped by that byte. Each trie node below the root enters at most one suffix node
// (the one for its path without the first byte), so there are at most as many pairs as such
// nodes, and at most as many suffix nodes. Keys above 255 are left out: no text byte follows
// them. The count of pairs fits 32 bits because the node ids do. Nodes are made in id order
// and each makes its children at once, so both a node's children and its pairs run up to
// where the next node's begin; a last entry closes the runs of the last node. Breadth first
// also makes the nodes one level after another, so the depth of the node at hand is known by
// where the current level ends, and the nodes at `depth` make no children.
//
// Room for the most nodes and pairs there can be is reserved at once (pages never written
// stay unused), so no growing copies add to what the build leaves resident; the kept vectors
// are then copied to their exact size.
SuffixIndex::SuffixIndex(const SearchTables& v, uint64_t depth) : depth_(depth) {
  const SearchTables::Node root = v.node(0);
  const std::size_t most = v.size() + 1;
  const bool narrow_children = root.count <= uint32_t{UINT16_MAX} + 1;
  std::vector<Packed> nodes;
  std::vector<uint8_t> keys;
  std::vector<ViewId> pair_nodes;
  std::vector<uint16_t> pair_children;
  std::vector<uint32_t> pair_wide_children;
  nodes.reserve(most);
  keys.reserve(most);
  pair_nodes.reserve(most);
  (narrow_children ? pair_children.reserve(most) : pair_wide_children.reserve(most));
  auto add_pair = [&](uint32_t child, ViewId u) {
    pair_nodes.push_back(u);
    if (narrow_children) {
      pair_children.push_back(static_cast<uint16_t>(child));
    } else {
      pair_wide_children.push_back(child);
    }
  };
  auto child_of = [&](uint32_t i) { return narrow_children ? uint32_t{pair_children[i]} : pair_wide_children[i]; };
  for (uint32_t i = 0; i < root.count; ++i) add_pair(i, root.first + i);
  nodes.push_back({0, 0, 0});
  keys.push_back(0);
  struct Moved {
    uint32_t key;
    uint32_t child;
    ViewId node;
  };
  std::vector<Moved> moved, sorted;
  std::array<uint32_t, 257> bucket;
  uint64_t level = 0;         // depth of node t
  std::size_t level_end = 1;  // the first node of the next level
  bool whole = true;
  for (std::size_t t = 0; t < nodes.size(); ++t) {
    if (t == level_end) {
      ++level;
      level_end = nodes.size();
    }
    const bool last = level >= depth;
    // The pairs of the last node made so far end where the pairs made so far do.
    const uint32_t begin = nodes[t].begin;
    const uint32_t end = t + 1 < nodes.size() ? nodes[t + 1].begin : static_cast<uint32_t>(pair_nodes.size());
    uint32_t longest = 0;
    moved.clear();
    for (uint32_t i = begin; i < end; ++i) {
      const SearchTables::Node u = v.node(pair_nodes[i]);
      if (u.name != kNotTerminal) {
        longest = std::max<uint32_t>(longest, static_cast<uint32_t>(std::min<std::size_t>(v.name(pair_nodes[i]).size(), kWide)));
      }
      for (uint32_t c = u.first; c < u.first + u.count; ++c) {
        const uint32_t k = v.key(c);
        if (k >= 256) continue;
        if (last) {
          whole = false;
          break;
        }
        moved.push_back({k, child_of(i), c});
      }
    }
    nodes[t].longest = static_cast<uint8_t>(longest);
    nodes[t].first = static_cast<uint32_t>(nodes.size());
    // Group by key, keeping each key's pairs in child order: insertion sort for the short
    // lists that most nodes have, counting sort for long ones.
    if (moved.size() <= 32) {
      for (std::size_t i = 1; i < moved.size(); ++i) {
        const Moved m = moved[i];
        std::size_t k = i;
        for (; k > 0 && moved[k - 1].key > m.key; --k) moved[k] = moved[k - 1];
        moved[k] = m;
      }
    } else {
      bucket.fill(0);
      for (const Moved& m : moved) ++bucket[m.key + 1];
      for (unsigned k = 1; k < 257; ++k) bucket[k] += bucket[k - 1];
      sorted.resize(moved.size());
      for (const Moved& m : moved) sorted[bucket[m.key]++] = m;
      moved.swap(sorted);
    }
    for (std::size_t from = 0; from < moved.size();) {
      std::size_t to = from + 1;
      while (to < moved.size() && moved[to].key == moved[from].key) ++to;
      nodes.push_back({0, static_cast<uint32_t>(pair_nodes.size()), 0});
      keys.push_back(static_cast<uint8_t>(moved[from].key));
      for (std::size_t i = from; i < to; ++i) add_pair(moved[i].child, moved[i].node);
      from = to;
    }
  }
  nodes.push_back({static_cast<uint32_t>(nodes.size()), static_cast<uint32_t>(pair_nodes.size()), 0});
  // Copies of the exact size.
  nodes_.assign(nodes.begin(), nodes.end());
  keys_.assign(keys.begin(), keys.end());
  pair_nodes_.assign(pair_nodes.begin(), pair_nodes.end());
  pair_children_.assign(pair_children.begin(), pair_children.end());
  pair_wide_children_.assign(pair_wide_children.begin(), pair_wide_children.end());
  whole_ = whole;
}

}  // namespace kwsieve
