// A blocked Bloom filter over 64-bit hashes: a hash picks one 64-bit word by its top bits
// and a pattern of three bits in it by its low bits, so a probe is one load of the word and
// one of the pattern.
//
// The patterns come from a table of 1024 patterns of three distinct bits (8 KiB, which stays
// in the first level cache): one load instead of three variable shifts, which cost more than
// the probe's own load when the filter is warm. A caller that keeps a second kind of
// membership in the same words (ExactIndex's "probe the later ends") takes another pattern
// from other bits of the hash (pattern_at()).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kwsieve {

namespace detail {
// Patterns of three distinct bits of a 64-bit word, drawn from a fixed generator.
struct BitPatterns {
  uint64_t at[1024];
  constexpr BitPatterns() : at() {
    uint64_t state = 0x243F6A8885A308D3ull;
    for (uint64_t& pattern : at) {
      pattern = 0;
      while (std::popcount(pattern) < 3) {
        state += 0x9E3779B97F4A7C15ull;  // splitmix64
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        pattern |= uint64_t{1} << ((z ^ (z >> 31)) >> 58);
      }
    }
  }
};
inline constexpr BitPatterns kBitPatterns;
}  // namespace detail

class BlockedBloom {
 public:
  // Empties the filter and sizes it for `keys` keys: about 16 to 32 bits per key (a few false
  // passes in a thousand), 2^min_log2 words at least and 2^max_log2 at most (max_log2 <= 32).
  void reset(uint64_t keys, unsigned min_log2, unsigned max_log2) {
    unsigned log2 = min_log2;
    while ((uint64_t{1} << log2) < keys / 4 && log2 < max_log2) ++log2;
    words_.assign(static_cast<std::size_t>(uint64_t{1} << log2), 0);
    shift_ = 64 - log2;
  }

  // The pattern of hash h, and the other patterns a caller may draw (i < 1024).
  static uint64_t pattern(uint64_t h) { return pattern_at(h & 1023); }
  static uint64_t pattern_at(uint64_t i) { return detail::kBitPatterns.at[i]; }

  // The word of hash h.
  uint64_t word(uint64_t h) const { return words_[static_cast<std::size_t>(h >> shift_)]; }
  void add(uint64_t h, uint64_t bits) { words_[static_cast<std::size_t>(h >> shift_)] |= bits; }
  void add(uint64_t h) { add(h, pattern(h)); }
  bool may_hold(uint64_t h, uint64_t bits) const { return (word(h) & bits) == bits; }
  bool may_hold(uint64_t h) const { return may_hold(h, pattern(h)); }

  // Heap bytes held.
  std::size_t memory() const { return words_.capacity() * sizeof(uint64_t); }

 private:
  std::vector<uint64_t> words_;
  unsigned shift_ = 64;  // 64 - log2 of the words; a hash's top bits pick its word
};

}  // namespace kwsieve
