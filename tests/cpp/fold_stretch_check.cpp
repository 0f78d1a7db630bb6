// Folding a long text with a Cancel goes in stretches, growing its output piece by piece
// (case_fold.cpp, Stretches); it must give exactly what folding in one go gives: the same
// bytes and the same offset map, from code units and from UTF-8, into a fresh buffer and a
// reused one. Texts mix ASCII with characters that grow when lowercased or encoded ('İ',
// 'Ⱥ', 'ẞ', CJK, 4-byte) and sigmas whose form depends on their neighbours. Built and run
// under ASan+UBSan by .ci/run.
#include <cstdio>
#include <random>
#include <string>
#include <vector>
#include "engine/cancel.h"
#include "engine/case_fold.h"
#include "engine/code_units.h"
#include "engine/utf8.h"
using namespace kwsieve;
int main() {
  std::mt19937 rng(1);
  const uint32_t pool[] = {'a', 'B', ' ', 0xE9, 0xC9, 0x130, 0x3A3, 0x3C3, 0x23A, 0x6771, 0x1F600, 0xDF, 'Z', 0x1E9E};
  int bad = 0;
  for (int round = 0; round < 6; ++round) {
    const std::size_t n = (std::size_t{9} << 20) + rng() % 100000;
    std::vector<uint32_t> units(n);
    const int span = round % 2 ? 14 : 5;
    for (auto& u : units) u = pool[rng() % span];
    std::string utf8;
    for (uint32_t c : units) append_utf8(utf8, c);
    CodeUnits cu(units.data(), n, 4, false);
    std::string a, b, c = std::string(round * 1000, 'x'), d;
    Cancel cancel;
    fold_case(cu, a);
    fold_case(cu, c, &cancel);  // reused buffer with contents
    FoldMap m1, m2;
    fold_case(utf8, b, &m1);
    fold_case(utf8, d, &m2, &cancel);
    if (a != c || b != d || a != b) ++bad;
    for (std::size_t f : {std::size_t{0}, std::size_t{1} << 20, b.size() / 2, b.size()})
      if (m1.source_start(f) != m2.source_start(f) || m1.source_end(f) != m2.source_end(f)) ++bad;
    std::printf("round %d: %zu units -> %zu bytes, %s\n", round, n, a.size(), bad ? "DIFF" : "same");
  }
  return bad != 0;
}
