// The exact walk's form of the trie: one 16-byte record per node.
//
// An exact scan does one child lookup per text byte along each path, so what matters is
// touching as little memory per step as possible. A record holds the keys of up to seven
// children inline (found with one 8-byte compare), the id of its first child (children
// are consecutive ids, in the same breadth-first numbering as ReadView), and its clean-name
// index. Nodes with more children, or with a key that is not a byte (only a decoded state
// has those), test a 256-bit set of their keys and count the bits below the byte to find
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
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kwsieve {

class ReadView;

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
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr uint8_t kWide = 0xFF;
  static constexpr int kInline = 7;

  // Byte classes for finding start positions quickly.
  static constexpr uint8_t kWordByte = 1;   // a word byte
  static constexpr uint8_t kRootByte = 2;   // the root has a child under it

  struct Node {
    uint8_t keys[kInline];  // ascending; for a wide node, bytes 0..3 hold its row
    uint8_t count;          // children when at most kInline, else kWide
    uint32_t first;         // id of the first child
    uint32_t name;          // clean-name index when terminal, else kNone
  };
  static_assert(sizeof(Node) == 16);

  ExactIndex() = default;
  explicit ExactIndex(const ReadView& view);

  bool terminal(uint32_t n) const { return nodes_[n].name != kNone; }
  uint32_t name_index(uint32_t n) const { return nodes_[n].name; }
  bool leaf(uint32_t n) const { return nodes_[n].count == 0; }

  uint32_t step(uint32_t n, unsigned char b) const {
    const Node& nd = nodes_[n];
    if (nd.count == kWide) {
      if (n == 0) return root_[b];
      uint32_t row;
      std::memcpy(&row, nd.keys, sizeof row);
      const KeySet& set = sets_[row];
      uint64_t word = set.bits[b >> 6];
      uint64_t below = word & ((uint64_t{1} << (b & 63)) - 1);
      if (!((word >> (b & 63)) & 1)) return kNone;
      return nd.first + set.before[b >> 6] + popcount(below);
    }
    // Zero-byte search over the inline keys: the lowest flagged byte is always a true
    // match (a false flag needs a borrow from a true zero below it), keys are unique,
    // and bytes past `count` are masked off.
    uint64_t x;
    std::memcpy(&x, nd.keys, sizeof x);
    uint64_t y = x ^ (0x0101010101010101ull * b);
    uint64_t z = (y - 0x0101010101010101ull) & ~y & detail::kInlineKeyMask[nd.count];
    if (z == 0) return kNone;
    return nd.first + static_cast<uint32_t>(__builtin_ctzll(z) >> 3);
  }

  // Whether a match may start at p. `bytes`: the working text from p, little endian, zero
  // past its end. `full`: at least 8 bytes remain. `ends`: bit j - 1 set for each j in
  // 1..7 where p + j is the text's end or a non-word byte (an end test there can pass).
  // False means no match starts at p; true, only that one may.
  bool may_start(uint64_t bytes, uint32_t ends, bool full) const {
    if (full && probe(key(bytes, 8))) return true;
    while (ends != 0) {
      const unsigned j = static_cast<unsigned>(__builtin_ctz(ends)) + 1;
      ends &= ends - 1;
      if (probe(key(bytes & ((uint64_t{1} << (8 * j)) - 1), j))) return true;
    }
    return false;
  }

  // Class bits of a working-text byte, and of an ASCII byte read as its lowercase.
  uint8_t cls(unsigned char b) const { return cls_[b]; }
  uint8_t cls_lowered(unsigned char b) const { return cls_lowered_[b]; }
  const uint8_t* classes() const { return cls_.data(); }
  const uint8_t* classes_lowered() const { return cls_lowered_.data(); }

 private:
  // Baseline x86-64 has no popcnt instruction, and the builtin then becomes a libgcc call.
  static uint32_t popcount(uint64_t x) {
    x = x - ((x >> 1) & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<uint32_t>((x * 0x0101010101010101ull) >> 56);
  }

  // The filter key of `len` text bytes (already masked to them). The length goes in the
  // top byte, which is zero for a key shorter than 8 bytes, and the mix spreads every
  // input bit over the high half and the low bits the probe reads.
  static uint64_t key(uint64_t bytes, unsigned len) {
    uint64_t h = bytes ^ (uint64_t{len} << 56);
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return h;
  }
  // A blocked Bloom filter: the key picks one 64-bit word and three bits in it.
  static uint64_t key_bits(uint64_t h) {
    return (uint64_t{1} << (h & 63)) | (uint64_t{1} << ((h >> 6) & 63)) | (uint64_t{1} << ((h >> 12) & 63));
  }
  bool probe(uint64_t h) const {
    const uint64_t bits = key_bits(h);
    return (filter_[static_cast<std::size_t>(h >> filter_shift_)] & bits) == bits;
  }
  void build_filter(const ReadView& view);

  // The byte keys of a wide node, and how many keys lie below each 64-key quarter.
  // Keys above 255 sort after every byte key, so they never shift a byte key's rank.
  struct KeySet {
    uint64_t bits[4];
    uint16_t before[4];
  };

  std::vector<Node> nodes_;
  std::vector<KeySet> sets_;
  std::vector<uint64_t> filter_;
  unsigned filter_shift_ = 63;  // 64 - log2(filter_.size())
  std::array<uint32_t, 256> root_{};
  std::array<uint8_t, 256> cls_{};
  std::array<uint8_t, 256> cls_lowered_{};
};

}  // namespace kwsieve
