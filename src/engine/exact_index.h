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
#pragma once

#include <array>
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

  // Class bits of a working-text byte, and of an ASCII byte read as its lowercase.
  uint8_t cls(unsigned char b) const { return cls_[b]; }
  uint8_t cls_lowered(unsigned char b) const { return cls_lowered_[b]; }

 private:
  // Baseline x86-64 has no popcnt instruction, and the builtin then becomes a libgcc call.
  static uint32_t popcount(uint64_t x) {
    x = x - ((x >> 1) & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<uint32_t>((x * 0x0101010101010101ull) >> 56);
  }

  // The byte keys of a wide node, and how many keys lie below each 64-key quarter.
  // Keys above 255 sort after every byte key, so they never shift a byte key's rank.
  struct KeySet {
    uint64_t bits[4];
    uint16_t before[4];
  };

  std::vector<Node> nodes_;
  std::vector<KeySet> sets_;
  std::array<uint32_t, 256> root_{};
  std::array<uint8_t, 256> cls_{};
  std::array<uint8_t, 256> cls_lowered_{};
};

}  // namespace kwsieve
