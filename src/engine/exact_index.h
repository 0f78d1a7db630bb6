// The exact walk's form of the trie: one 16-byte record per node.
//
// An exact scan does one child lookup per text byte along each path, so what matters is
// touching as little memory per step as possible. A record holds the keys of up to seven
// children inline (found with one 8-byte compare), the id of its first child (children
// are consecutive ids, in the read view's numbering of the trie), and its clean-name
// index. Nodes with more children, or with a key that is not a byte (only a decoded state
// has those), are set nodes: they test a 256-bit set of their keys and count the bits below the byte to find
// the child: 40 bytes per such node instead of a 1 KiB table. The root alone, which every
// walk starts from, keeps a direct 256-entry table.
//
// Most starts in real text lead to no match, and a walk that fails still costs a few
// dependent loads and a mispredicted exit. A filter answers first, from the text alone,
// whether a match can start at a position: a match there means the longest keyword K the
// text spells from p ends where the text ends or a non-word byte follows, so either
// |K| >= 8 and the 8 bytes at p are K's first 8 bytes, or |K| < 8 and p + |K| is such an
// end within the next 7 bytes, with the bytes before it spelling K. The filter holds, as
// (bytes, length) keys, the first 8 bytes of every path 8 deep and every keyword shorter
// than 8 bytes; a start is walked only when one of its keys may be present.
//
// With many keywords the 8-byte key alone lets through most starts of a phrase that begins
// with a common word ("the prin" of "the princess ..."), and their walks then fail a byte
// or two later, mostly on cache misses. When only a keyword of 8 bytes or more can match,
// the same argument is applied once more: |K| >= 16 and the 16 bytes at p are K's first
// 16, or p + |K| is an end at 8..15 with the bytes before it spelling K. A second filter
// holds those keys; with many keywords it removes most of the walks that fail (figures:
// bench/README.md).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/blocked_bloom.h"
#include "engine/byte_classes.h"
#include "engine/portable.h"
#include "engine/view_id.h"

namespace kwsieve {

// The trie numbered for the read view (read_view.cpp): node i's children are the ids
// [first, first + count), in ascending key order; `name` is its clean-name index when it
// is terminal, else kNotTerminal. Transient: the exact index keeps all of it in its own
// records.
struct TrieNumbering {
  struct Node {
    ViewId first;
    uint32_t count;
    uint32_t name;
  };
  std::vector<Node> nodes;
  std::vector<uint32_t> keys;  // key of each node (the root's is unused)
};

namespace detail {
// Mask of the high bit of the first `count` bytes of a little-endian 64-bit word.
constexpr uint64_t inline_key_mask(int count) {
  return count == 0 ? 0 : (((count == 8 ? 0 : (1ull << (8 * count))) - 1) & 0x8080808080808080ull);
}
inline constexpr uint64_t kInlineKeyMask[8] = {inline_key_mask(0), inline_key_mask(1), inline_key_mask(2),
                                               inline_key_mask(3), inline_key_mask(4), inline_key_mask(5),
                                               inline_key_mask(6), inline_key_mask(7)};

}  // namespace detail

class ExactIndex {
 public:
  static constexpr uint8_t kSetNode = 0xFF;
  static constexpr int kInline = 7;

  // Byte classes for finding start positions quickly.
  static constexpr uint8_t kWordByte = 1;   // a word byte
  static constexpr uint8_t kRootByte = 2;   // the root has a child under it

  struct Node {
    uint8_t keys[kInline];  // ascending; for a set node, bytes 0..3 hold its row
    uint8_t count;          // children when at most kInline, else kSetNode
    ViewId first;           // id of the first child
    uint32_t name;          // clean-name index when terminal, else kNotTerminal
  };
  static_assert(sizeof(Node) == 16);

  // `word_byte`: which bytes are word bytes (ReadView::word_byte).
  ExactIndex(const TrieNumbering& numbering, const std::array<bool, 256>& word_byte, bool allow_overlaps);

  // Heap bytes held, in all and by the start filter alone (for benchmarks).
  std::size_t memory() const {
    return nodes_.capacity() * sizeof(Node) + sets_.capacity() * sizeof(KeySet) +
           other_keys_.capacity() * sizeof(OtherKey) + filter_memory();
  }

  // The numbering read back, for building other tables over the same ids (not for scans).
  std::size_t size() const { return nodes_.size(); }
  ViewId first(ViewId n) const { return nodes_[n].first; }
  // Calls f(id, key) for each child of n, in ascending key order; returns their number.
  template <class F>
  uint32_t for_each_child(ViewId n, F&& f) const;
  std::size_t filter_memory() const { return filter_.memory() + filter2_.memory(); }

  bool terminal(ViewId n) const { return nodes_[n].name != kNotTerminal; }
  uint32_t name_index(ViewId n) const { return nodes_[n].name; }
  bool leaf(ViewId n) const { return nodes_[n].count == 0; }

  ViewId step(ViewId n, unsigned char b) const {
    const Node& nd = nodes_[n];
    if (nd.count == kSetNode) {
      if (n == 0) return root_[b];
      uint32_t row;
      std::memcpy(&row, nd.keys, sizeof row);
      const KeySet& set = sets_[row];
      uint64_t word = set.bits[b >> 6];
      uint64_t below = word & ((uint64_t{1} << (b & 63)) - 1);
      if (!((word >> (b & 63)) & 1)) return kNoView;
      return nd.first + set.before[b >> 6] + popcount(below);
    }
    // Zero-byte search over the inline keys: the lowest flagged byte is always a true
    // match (a false flag needs a borrow from a true zero below it), keys are unique,
    // and bytes past `count` are masked off.
    uint64_t x;
    std::memcpy(&x, nd.keys, sizeof x);
    uint64_t y = x ^ (0x0101010101010101ull * b);
    uint64_t z = (y - 0x0101010101010101ull) & ~y & detail::kInlineKeyMask[nd.count];
    if (z == 0) return kNoView;
    return nd.first + (lowest_bit(z) >> 3);
  }

  // What the filter says of a start: no match starts there; a match may start there; or
  // only a keyword of 8 bytes or more can match there, which may_go_on then decides.
  enum Verdict : int { kNoMatch = 0, kMayMatch = 1, kLongOnly = 2 };

  // Whether a match may start at p. `bytes`: the working text from p, little endian, zero
  // past its end. `full`: at least 8 bytes remain. `ends`: bit j - 1 set for each j in
  // 1..7 where p + j is the text's end or a non-word byte (an end test there can pass).
  //
  // A keyword shorter than 8 bytes that matches spells the text up to its own length j,
  // which is one of the ends; the first end is j itself unless the keyword has a non-word
  // byte inside, which lies at the first end. The first end's word therefore also says
  // whether later ends need probing at all, so most starts cost one or two probes.
  // Inlined by force: it runs at every start, and a call costs about as much as a probe.
  [[gnu::always_inline]] Verdict may_start(uint64_t bytes, uint32_t ends, bool full) const {
    const unsigned first = lowest_bit(ends | 0x80) + 1;  // 8: none
    const uint64_t h = key(bytes & (~uint64_t{0} >> (64 - 8 * first)), first);
    const uint64_t word = filter_.word(h);
    const uint64_t bits = BlockedBloom::pattern(h);
    // With no end within 7 bytes the first probe is the 8-byte one.
    const bool hit = (word & bits) == bits;
    const bool shorter = first < 8 && hit;
    const bool longer = first < 8 ? full && filter_.may_hold(key(bytes, 8)) : hit;
    if (!(shorter | longer)) [[likely]] {
      // One branch for both conditions: each alone is close to random.
      ends &= ends - 1;
      const uint64_t more = more_bits(h);
      if (!(((word & more) == more) & (ends != 0))) [[likely]] return kNoMatch;
      return may_end_later(bytes, ends) ? kMayMatch : kNoMatch;
    }
    if (shorter) return kMayMatch;
    ends &= ends - 1;
    if (ends != 0) {
      const uint64_t more = more_bits(h);
      if ((word & more) == more && may_end_later(bytes, ends)) return kMayMatch;
    }
    return kLongOnly;
  }

  // After kLongOnly: whether a keyword of 8 bytes or more may match at p, asked of a second
  // filter. Such a keyword K either has at least 16 bytes, and then the 16 text bytes at p
  // are its first 16, or it ends at one of the ends p + 8 .. p + 15. `bytes` and `more`:
  // the text from p and from p + 8, as for may_start. `ends`: bit j - 8 set for each j in
  // 8..15 where p + j is an end (and within the text). `full`: at least 16 bytes remain.
  // The first stage keys only on 8 bytes, which many texts share with phrases that
  // begin with a common word ("the prin..."); the second cuts most of those walks.
  bool may_go_on(uint64_t bytes, uint64_t more, uint32_t ends, bool full) const {
    if (full && filter2_.may_hold(key2(bytes, more, 16))) return true;
    for (; ends != 0; ends &= ends - 1) {
      const unsigned j = lowest_bit(ends);  // length 8 + j
      const uint64_t rest = j == 0 ? 0 : more & (~uint64_t{0} >> (64 - 8 * j));
      if (filter2_.may_hold(key2(bytes, rest, 8 + j))) return true;
    }
    return false;
  }

  // Class bits of a working-text byte, and of an ASCII byte read as its lowercase.
  uint8_t cls(unsigned char b) const { return cls_[b]; }
  uint8_t cls_lowered(unsigned char b) const { return cls_lowered_[b]; }
  const uint8_t* classes() const { return cls_.data(); }
  const uint8_t* classes_lowered() const { return cls_lowered_.data(); }
  const ClassMasks& class_masks() const { return masks_; }
  const ClassMasks& class_masks_lowered() const { return masks_lowered_; }

 private:

  // The filter hash of `len` text bytes (already masked to them). The length goes in the
  // top byte, which is zero for fewer than 8 bytes. The word index comes from the top bits
  // of the product, which depend on every input bit; the bit positions in the word from
  // the low bits once the high half is folded into them.
  static uint64_t key(uint64_t bytes, unsigned len) {
    const uint64_t h = (bytes ^ (uint64_t{len} << 56)) * 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 32);
  }
  // A key's word holds its membership pattern and, from other bits of its hash, a second
  // one for "probe the later ends" (see may_start).
  static uint64_t more_bits(uint64_t h) { return BlockedBloom::pattern_at((h >> 10) & 1023); }
  // The hash of 9 to 16 text bytes: the first 8, and the rest (masked to them) with the
  // length.
  static uint64_t key2(uint64_t bytes, uint64_t rest, unsigned len) {
    const uint64_t h = (bytes * 0xC2B2AE3D27D4EB4Full ^ ((rest << 5) | (rest >> 59)) ^ len) * 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 32);
  }
  // The probes of may_start at the ends after the first: rarely needed, kept out of line.
  bool may_end_later(uint64_t bytes, uint32_t ends) const;
  void build_filter(const TrieNumbering& numbering, const std::array<bool, 256>& word_byte, bool allow_overlaps);

  // The byte keys of a set node, and how many keys lie below each 64-key quarter.
  // Keys above 255 sort after every byte key, so they never shift a byte key's rank.
  struct KeySet {
    uint64_t bits[4];
    uint16_t before[4];
  };

  // Children whose key is not a byte (only a decoded state has them), by id; a set node
  // has them after its byte-keyed children (in a set node).
  struct OtherKey {
    uint32_t id;
    uint32_t key;
    uint32_t parent;
  };

  std::vector<Node> nodes_;
  std::vector<KeySet> sets_;
  std::vector<OtherKey> other_keys_;
  BlockedBloom filter_;
  BlockedBloom filter2_;  // the second stage (may_go_on)
  std::array<ViewId, 256> root_{};
  std::array<uint8_t, 256> cls_{};
  std::array<uint8_t, 256> cls_lowered_{};
  ClassMasks masks_{};
  ClassMasks masks_lowered_{};
};

template <class F>
uint32_t ExactIndex::for_each_child(uint32_t n, F&& f) const {
  const Node& nd = nodes_[n];
  if (nd.count != kSetNode) {
    for (uint32_t j = 0; j < nd.count; ++j) f(nd.first + j, uint32_t{nd.keys[j]});
    return nd.count;
  }
  uint32_t row;
  std::memcpy(&row, nd.keys, sizeof row);
  const KeySet& set = sets_[row];
  uint32_t id = nd.first;
  for (uint32_t k = 0; k < 256; ++k) {
    if ((set.bits[k >> 6] >> (k & 63)) & 1) f(id++, k);
  }
  auto other = std::lower_bound(other_keys_.begin(), other_keys_.end(), id,
                                [](const OtherKey& o, uint32_t i) { return o.id < i; });
  for (; other != other_keys_.end() && other->id == id && other->parent == n; ++other) f(id++, other->key);
  return id - nd.first;
}

}  // namespace kwsieve
