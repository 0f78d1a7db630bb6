// Word and root bits of 64 text bytes at a time, for the exact scan.
//
// A byte's class comes from a 256-entry table (the word-character set and the root's
// children make it arbitrary). Read byte by byte that costs about six instructions per
// byte, as much as the rest of the scan on text where few starts pass the filter. Where
// the processor has SSSE3 (checked once at run time, so the build still targets baseline
// x86-64 and i686), each of the two sets is looked up sixteen bytes per instruction as
// in a nibble-split bitmap: the low nibble of a byte picks one of 16 table bytes (one
// table for bytes below 0x80, one for the others), and the high nibble picks the bit in
// it. Both ways give the same bits; tests compare them on random tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/portable.h"

#if defined(KWSIEVE_X86)
#include <immintrin.h>
#define KWSIEVE_CLASSIFY_SSSE3 1
#endif

namespace kwsieve {

// The two sets of a class table, as nibble-split bitmaps: bit (b >> 4) & 7 of
// lo[b & 15] (bytes below 0x80) or hi[b & 15] (the others) says b is in the set.
struct ClassMasks {
  uint8_t word_lo[16], word_hi[16], root_lo[16], root_hi[16];
};

inline ClassMasks make_class_masks(const uint8_t* table, uint8_t word_bit, uint8_t root_bit) {
  ClassMasks m{};
  for (unsigned b = 0; b < 256; ++b) {
    const auto bit = static_cast<uint8_t>(1u << ((b >> 4) & 7));
    if (table[b] & word_bit) (b < 0x80 ? m.word_lo : m.word_hi)[b & 15] |= bit;
    if (table[b] & root_bit) (b < 0x80 ? m.root_lo : m.root_hi)[b & 15] |= bit;
  }
  return m;
}

namespace detail {

constexpr uint64_t kLowBits = 0x0101010101010101ull;

// The low bits of the eight bytes of c, as bits 0..7. The products of the multiply land on
// distinct bit positions, so nothing carries into the top byte.
inline uint64_t low_bits(uint64_t c) { return ((c & kLowBits) * 0x0102040810204080ull) >> 56; }

// One table load per byte, eight gathered into a word at a time: independent loads, no
// branches.
inline void classify64_table(const unsigned char* p, std::size_t bytes, const uint8_t* table,
                             uint8_t word_bit, uint8_t root_bit, uint64_t& word, uint64_t& root) {
  const unsigned word_shift = lowest_bit(unsigned{word_bit});
  const unsigned root_shift = lowest_bit(unsigned{root_bit});
  uint64_t wd = 0, rt = 0;
  for (unsigned g = 0; g < bytes; g += 8) {
    const unsigned char* at = p + g;
    const uint64_t c = (uint64_t{table[at[0]]} | uint64_t{table[at[1]]} << 8) |
                       (uint64_t{table[at[2]]} << 16 | uint64_t{table[at[3]]} << 24) |
                       ((uint64_t{table[at[4]]} << 32 | uint64_t{table[at[5]]} << 40) |
                        (uint64_t{table[at[6]]} << 48 | uint64_t{table[at[7]]} << 56));
    wd |= low_bits(c >> word_shift) << g;
    rt |= low_bits(c >> root_shift) << g;
  }
  word = wd;
  root = rt;
}

#if defined(KWSIEVE_CLASSIFY_SSSE3)
[[gnu::target("ssse3")]] inline void classify64_ssse3(const unsigned char* p, std::size_t bytes,
                                                       const ClassMasks& m, uint64_t& word, uint64_t& root) {
  auto load = [](const void* at) { return _mm_loadu_si128(static_cast<const __m128i*>(at)); };
  const __m128i word_lo = load(m.word_lo), word_hi = load(m.word_hi);
  const __m128i root_lo = load(m.root_lo), root_hi = load(m.root_hi);
  const __m128i bit_of = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i flip = _mm_set1_epi8(-128);
  const __m128i zero = _mm_setzero_si128();
  uint64_t wd = 0, rt = 0;
  for (unsigned g = 0; g < bytes; g += 16) {
    const __m128i v = load(p + g);
    const __m128i bit = _mm_shuffle_epi8(bit_of, _mm_and_si128(_mm_srli_epi16(v, 4), nibble));
    // A shuffle index with its top bit set gives 0, so each byte reads only the table of
    // its half.
    const __m128i high_half = _mm_xor_si128(v, flip);
    const __m128i w = _mm_or_si128(_mm_shuffle_epi8(word_lo, v), _mm_shuffle_epi8(word_hi, high_half));
    const __m128i r = _mm_or_si128(_mm_shuffle_epi8(root_lo, v), _mm_shuffle_epi8(root_hi, high_half));
    const auto w_out = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(w, bit), zero)));
    const auto r_out = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(r, bit), zero)));
    wd |= uint64_t{~w_out & 0xFFFFu} << g;
    rt |= uint64_t{~r_out & 0xFFFFu} << g;
  }
  word = wd;
  root = rt;
}

#endif

}  // namespace detail

// Bit i of `word` / `root`: byte p[i] is in the word / root set, for i below `bytes` (a
// multiple of 8, at most 64); the bits from there on may hold anything. All 64 bytes
// from p must be readable.
inline void classify64(const unsigned char* p, std::size_t bytes, const uint8_t* table, const ClassMasks& masks,
                       uint8_t word_bit, uint8_t root_bit, uint64_t& word, uint64_t& root) {
#if defined(KWSIEVE_CLASSIFY_SSSE3)
  if (cpu_has_ssse3()) {
    detail::classify64_ssse3(p, bytes, masks, word, root);
    return;
  }
#endif
  (void)masks;
  detail::classify64_table(p, bytes, table, word_bit, root_bit, word, root);
}

}  // namespace kwsieve
