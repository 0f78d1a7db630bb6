// Developer check of case folding, driven by case_fold_check.py.
//
//   case_fold_check            reads records from stdin: a flag byte, a u32 length
//                              (little-endian), then that many bytes of text. For
//                              each it writes the folded length (u32) and the folded
//                              bytes, then, if the flag byte is 1, source_start(f)
//                              and source_end(f) (u64 each) for every f in
//                              [0, folded length].
//   case_fold_check --selftest checks FoldMap arithmetic on synthetic runs, including
//                              offsets past 4 GiB where size_t allows them, and that
//                              folding a str's code units (every width, long ASCII
//                              runs) gives what folding their UTF-8 form gives.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "engine/case_fold.h"
#include "engine/code_units.h"
#include "engine/utf8.h"

namespace {

int failures = 0;

void expect_eq(size_t got, size_t want, const char* what, size_t arg) {
  if (got != want) {
    std::fprintf(stderr, "FAIL %s(%zu): got %zu, want %zu\n", what, arg, got, want);
    ++failures;
  }
}

void put(std::string& out, uint64_t v, int bytes) {
  for (int k = 0; k < bytes; ++k) out.push_back(static_cast<char>(v >> (8 * k)));
}

int run_records() {
  std::string text, folded, reply;
  kwsieve::FoldMap map;
  unsigned char head[5];
  while (std::fread(head, 1, 5, stdin) == 5) {
    const uint32_t len = head[1] | (head[2] << 8) | (head[3] << 16) | (uint32_t{head[4]} << 24);
    text.resize(len);
    if (std::fread(text.data(), 1, len, stdin) != len) {
      std::fprintf(stderr, "truncated record\n");
      return 2;
    }
    kwsieve::fold_case(text, folded, &map);
    reply.clear();
    put(reply, folded.size(), 4);
    reply += folded;
    if (head[0] == 1) {
      for (size_t f = 0; f <= folded.size(); ++f) put(reply, map.source_start(f), 8);
      for (size_t f = 0; f <= folded.size(); ++f) put(reply, map.source_end(f), 8);
    }
    std::fwrite(reply.data(), 1, reply.size(), stdout);
  }
  return 0;
}

// A map of the runs (source, source length, folded, folded length) of a text of the
// given sizes, built by hand, so the arithmetic is checked independently of the tables
// and at offsets no test text could reach.
kwsieve::FoldMap map_of(std::initializer_list<std::tuple<size_t, uint8_t, size_t, uint8_t>> runs,
                        size_t source_size, size_t folded_size) {
  kwsieve::FoldMap m;
  m.reset();
  for (auto [s, sl, f, fl] : runs) m.record(s, sl, f, fl);
  m.finish(source_size, folded_size);
  return m;
}

void expect_offsets(const kwsieve::FoldMap& m, std::initializer_list<size_t> starts,
                    std::initializer_list<size_t> ends, const char* what) {
  size_t f = 0;
  for (size_t s : starts) expect_eq(m.source_start(f), s, what, f), ++f;
  f = 0;
  for (size_t e : ends) expect_eq(m.source_end(f), e, what, f), ++f;
}

void selftest() {
  kwsieve::FoldMap identity;
  for (size_t f : {size_t{0}, size_t{7}, SIZE_MAX - 1, SIZE_MAX}) {
    expect_eq(identity.source_start(f), f, "identity.source_start", f);
    expect_eq(identity.source_end(f), f, "identity.source_end", f);
  }
  // Source "xİİy" (1 + 2 + 2 + 1 bytes) folded to "xi̇i̇y" (1 + 3 + 3 + 1 bytes): two
  // adjacent runs merge into one.
  const kwsieve::FoldMap m = map_of({{1, 2, 1, 3}, {3, 2, 4, 3}}, 6, 8);
  expect_eq(m.shifts().size(), 1, "merged runs", 0);
  expect_offsets(m, {0, 1, 1, 1, 3, 3, 3, 5, 6, 6}, {0, 1, 3, 3, 3, 5, 5, 5, 6, 6}, "xIIy");
  const auto span = m.source_span(2, 2);
  expect_eq(span.first, 1, "empty span start", 2);
  expect_eq(span.second, 1, "empty span end", 2);
  // A shrinking character (Kelvin sign, 3 bytes to 1) then a growing one, apart.
  expect_offsets(map_of({{0, 3, 0, 1}, {5, 2, 3, 3}}, 8, 7), {0, 3, 4, 5, 5, 5, 7, 8},
                 {0, 3, 4, 5, 7, 7, 7, 8}, "kelvin");
  if constexpr (sizeof(size_t) >= 8) {
    // A growing character just past 4 GiB in a text of 6 GiB.
    const size_t g = size_t{1} << 32;
    const kwsieve::FoldMap big = map_of({{g + 10, 2, g + 10, 3}}, 6 * g, 6 * g + 1);
    expect_eq(big.source_start(g + 9), g + 9, "big.source_start", g + 9);
    expect_eq(big.source_start(g + 12), g + 10, "big.source_start", g + 12);
    expect_eq(big.source_end(g + 11), g + 12, "big.source_end", g + 11);
    expect_eq(big.source_start(5 * g), 5 * g - 1, "big.source_start", 5 * g);
    expect_eq(big.source_end(6 * g + 1), 6 * g, "big.source_end", 6 * g + 1);
  }
  // Folding resets a reused map and output, and stray bytes pass through unchanged.
  std::string out = "stale";
  kwsieve::FoldMap reused;
  kwsieve::fold_case("\xC4\xB0", out, &reused);
  kwsieve::fold_case("A\xFF\xC4", out, &reused);
  if (out != "a\xFF\xC4" || !reused.empty()) {
    std::fprintf(stderr, "FAIL reuse: got '%s'\n", out.c_str());
    ++failures;
  }
  expect_eq(reused.source_start(3), 3, "reused.source_start", 3);
}

}  // namespace

// Folding from code units must give what folding their UTF-8 form gives, in every storage
// width a str may use, and sizing/encoding the units must match a plain encoder. Random
// code points are drawn mostly from ASCII runs and from characters that fold specially.
void units_agree_with_utf8() {
  const uint32_t specials[] = {0x3A3, 0x3A3, 0x391, 0x301, 0x345, 0x2B0, 0xAD, 0xE0001, 0x130, 0x212A,
                               0x1E9E, 0xC0, 0xE9, 0xDF, 0x10400, 0x1F600, 0x4E00, 0xFF, 0x100, 0x27};
  uint64_t seed = 0x9E3779B97F4A7C15ull;
  auto next = [&seed] {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(seed >> 33);
  };
  std::string utf8, folded_utf8, folded_units, encoded;
  for (int round = 0; round < 20000; ++round) {
    // ASCII runs of up to 40 units between other characters, so that the block paths
    // start and stop at every offset.
    std::vector<uint32_t> cps;
    for (const size_t len = next() % 80; cps.size() < len;) {
      for (uint32_t run = next() % 41; run > 0; --run) cps.push_back(0x20 + next() % 0x5F);
      const uint32_t r = next() % 4;
      uint32_t c = r < 3 ? specials[next() % 20] : next() % 0x110000;
      cps.push_back(c >= 0xD800 && c <= 0xDFFF ? 'x' : c);
    }
    uint32_t top = 0;
    for (uint32_t c : cps) top = std::max(top, c);
    utf8.clear();
    for (uint32_t c : cps) kwsieve::append_utf8(utf8, c);
    std::vector<uint8_t> u1(cps.begin(), cps.end());
    std::vector<uint16_t> u2(cps.begin(), cps.end());
    const int width = top < 0x100 ? 1 : top < 0x10000 ? 2 : 4;
    const void* data = width == 1 ? static_cast<const void*>(u1.data())
                       : width == 2 ? static_cast<const void*>(u2.data()) : static_cast<const void*>(cps.data());
    const kwsieve::CodeUnits units(data, cps.size(), width, top < 0x80);
    const std::optional<size_t> size = units.utf8_size();
    expect_eq(size.value_or(SIZE_MAX), utf8.size(), "utf8_size", static_cast<size_t>(round));
    if (!size) continue;
    expect_eq(units.utf8(encoded) == std::optional<std::string_view>(utf8), true, "utf8", static_cast<size_t>(round));
    kwsieve::fold_case(utf8, folded_utf8);
    expect_eq(kwsieve::fold_case(units, folded_units) && folded_units == folded_utf8, true, "fold_case(units)",
              static_cast<size_t>(round));
  }
  // A lone surrogate anywhere has no UTF-8 form.
  for (size_t at = 0; at < 40; ++at) {
    std::vector<uint16_t> u(40, 'a');
    u[at] = static_cast<uint16_t>(0xD800 + at);
    const kwsieve::CodeUnits units(u.data(), u.size(), 2, false);
    expect_eq(units.utf8_size().has_value() || kwsieve::fold_case(units, folded_units), false, "surrogate", at);
  }
}

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--selftest") == 0) {
    selftest();
    units_agree_with_utf8();
    if (failures == 0) std::printf("selftest ok (Unicode %s)\n", kwsieve::case_tables_unicode_version());
    return failures == 0 ? 0 : 1;
  }
  return run_records();
}
