// The suffix index of the approximate search's root expansion (see approx.h), cut at a depth.
//
// The trie of the keyword paths below the root's children with their first byte cut off,
// merged. Its node for a string y lists every pair (child x of the root, node u) where u is
// reached from x along y, so one walk along the text finds, for all the root's children at
// once, those whose subtree can follow it: the approximate search's root expansion asks
// exactly that of every child. Node 0 (the empty string) lists every child of the root with
// itself.
//
// A walk at threshold t stops by the offset where one edit opens the budget again, so it
// reads nodes of strings of at most least - 1 bytes (least: the least span at which a cost
// of 1 passes), never deeper; built whole, the index would hold about as many nodes as the
// trie, most of them deeper than any threshold up to 0.9 reaches. So it is built only to the
// depth asked for: nodes of strings of up to depth() bytes, with their pairs; the nodes at
// that depth have no children. ReadView keeps one and hands it out to the searchers, deeper
// when a threshold needs more.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/view_id.h"

namespace kwsieve {

class SearchTables;

class SuffixIndex {
 public:
  // No suffix node (step).
  static constexpr uint32_t kNoSuffix = UINT32_MAX;

  // Nodes of strings of up to `depth` bytes, from the search tables (which must outlive the
  // call only).
  SuffixIndex(const SearchTables& tables, uint64_t depth);

  // The depth built to, and whether that is the whole index (no path of the trie below a
  // root's child goes deeper), which then serves any depth.
  uint64_t depth() const { return depth_; }
  bool whole() const { return whole_; }
  // Whether the index holds every node of strings of `len` bytes that the whole one does.
  bool holds(uint64_t len) const { return whole_ || len <= depth_; }

  struct Node {
    uint32_t first;    // first child; children are consecutive ids, ascending key, up to
                       // the next node's first
    uint32_t begin;    // first pair (pair_node(), pair_child()); its pairs run up to the next node's begin
    uint32_t longest;  // longest clean name among its pairs' terminal nodes (saturated), else 0
  };
  Node node(uint32_t t) const {
    const Packed& p = nodes_[t];
    return {p.first, p.begin, p.longest != kWide ? uint32_t{p.longest} : kLongest};
  }
  // The pairs of node t are those numbered [node(t).begin, end(t)); pair i is
  // (x, u) = (pair_child(i), pair_node(i)), x the index among the root's children.
  uint32_t end(uint32_t t) const { return nodes_[t + 1].begin; }
  ViewId pair_node(uint32_t i) const { return pair_nodes_[i]; }
  // The root has at most 256 children under bytes: 16 bits hold their index unless a decoded
  // state gives it tens of thousands more.
  uint32_t pair_child(uint32_t i) const {
    return pair_children_.empty() ? pair_wide_children_[i] : pair_children_[i];
  }
  // The child of node t under byte b, or kNoSuffix. A node at depth() has none listed: the
  // walk must not step from one unless the index is whole (holds()).
  uint32_t step(uint32_t t, unsigned char b) const {
    const uint32_t first = nodes_[t].first;
    const uint8_t* k = keys_.data() + first;
    const uint8_t* end = keys_.data() + nodes_[t + 1].first;
    const uint8_t* hit = std::lower_bound(k, end, b);
    return hit != end && *hit == b ? first + static_cast<uint32_t>(hit - k) : kNoSuffix;
  }

  // Heap bytes held (for benchmarks).
  std::size_t memory() const;

 private:
  // A longest name of kWide bytes or more is kept as kWide and read as kLongest, beyond every
  // span a walk compares it with.
  static constexpr uint8_t kWide = UINT8_MAX;
  static constexpr uint32_t kLongest = UINT32_MAX - 1;
  // A node as kept: the saturated name in a byte, unaligned, so nine bytes where Node takes
  // twelve.
  struct [[gnu::packed]] Packed {
    uint32_t first;
    uint32_t begin;
    uint8_t longest;
  };
  static_assert(sizeof(Packed) == 9);

  uint64_t depth_;
  bool whole_ = true;
  // nodes_ ends with an entry past the last node that closes its runs.
  std::vector<Packed> nodes_;
  std::vector<uint8_t> keys_;  // key of each node
  std::vector<ViewId> pair_nodes_;
  std::vector<uint16_t> pair_children_;
  std::vector<uint32_t> pair_wide_children_;  // in place of pair_children_ when those do not fit
};

}  // namespace kwsieve
