// The vector and the table forms of byte classification agree, on random class tables
// (dense, sparse, high bytes only ...) and random text, for every group count.
//
//   g++ -std=c++20 -O2 -Isrc tests/cpp/classify_check.cpp -o classify_check && ./classify_check
#include <cstdio>
#include <random>

#include "engine/byte_classes.h"

int main() {
#if defined(KWSIEVE_CLASSIFY_SSSE3)
  if (!kwsieve::cpu_has_ssse3()) {
    std::puts("classify_check: no SSSE3 here, nothing to compare");
    return 0;
  }
  std::mt19937_64 rng(20261207);
  uint8_t table[256];
  unsigned char text[64];
  long failures = 0;
  for (int round = 0; round < 20000; ++round) {
    // Each bit of a class is set with one of a few densities, so that both sets are
    // sometimes empty, sometimes full, and usually mixed across all 16 nibble rows.
    const unsigned density[2] = {static_cast<unsigned>(rng() % 5), static_cast<unsigned>(rng() % 5)};
    for (unsigned b = 0; b < 256; ++b) {
      table[b] = 0;
      for (unsigned k = 0; k < 2; ++k) {
        if (rng() % 4 < density[k]) table[b] |= static_cast<uint8_t>(1u << k);
      }
    }
    const uint8_t word_bit = round % 2 ? 1 : 2, root_bit = round % 2 ? 2 : 1;
    const kwsieve::ClassMasks masks = kwsieve::make_class_masks(table, word_bit, root_bit);
    for (unsigned char& c : text) c = static_cast<unsigned char>(rng());
    const std::size_t bytes = 8 * (1 + rng() % 8);
    uint64_t w1, r1, w2, r2;
    kwsieve::detail::classify64_table(text, bytes, table, word_bit, root_bit, w1, r1);
    kwsieve::detail::classify64_ssse3(text, bytes, masks, w2, r2);
    const uint64_t valid = bytes == 64 ? ~uint64_t{0} : (uint64_t{1} << bytes) - 1;
    if (((w1 ^ w2) | (r1 ^ r2)) & valid) {
      if (++failures <= 5) std::printf("round %d: word %016llx/%016llx root %016llx/%016llx\n", round,
                                       (unsigned long long)w1, (unsigned long long)w2,
                                       (unsigned long long)r1, (unsigned long long)r2);
    }
  }
  std::printf("classify_check: %ld failures\n", failures);
  return failures == 0 ? 0 : 1;
#else
  std::puts("classify_check: no vector form on this target");
  return 0;
#endif
}
