// engine/utf8.h against UTF-8 as the standard defines it: a byte string is well-formed
// exactly when it is the shortest encoding of a sequence of scalar values. The reference
// below knows no byte ranges: it reads a sequence's bits and re-encodes the value.
//
//   g++ -std=c++20 -O2 -Isrc tests/cpp/utf8_check.cpp -o utf8_check && ./utf8_check
//
// Every scalar value round-trips; every sequence of up to three bytes, and every fourth
// byte after the interesting three-byte prefixes, gets the same verdict from the decoder,
// the step-by-step validator and the whole-text check as from the reference.
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_set>

#include "engine/utf8.h"

namespace {

int failures = 0;

void fail(const char* what, std::string_view bytes) {
  if (++failures > 20) return;
  std::printf("%s:", what);
  for (unsigned char b : bytes) std::printf(" %02X", b);
  std::printf("\n");
}

// The length of the well-formed character at the start of s, 0 if there is none: the lead
// byte's leading ones give the length, the rest of the bits the value, which must be a
// scalar value whose shortest encoding is these very bytes.
std::size_t reference_char(std::string_view s) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  std::size_t len = 0;
  while (len < 8 && (b0 & (0x80u >> len))) ++len;
  if (len == 0) return 1;
  if (len == 1 || len > 4 || s.size() < len) return 0;
  uint32_t c = b0 & (0xFFu >> (len + 1));
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[k]);
    if ((b >> 6) != 2) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  const std::size_t shortest = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  return shortest == len ? len : 0;
}

bool reference_valid(std::string_view s) {
  while (!s.empty()) {
    const std::size_t len = reference_char(s);
    if (len == 0) return false;
    s.remove_prefix(len);
  }
  return true;
}

// The proper prefixes of the encodings of all scalar values (made from the encoder, which
// the round trip in main checks against the reference).
std::unordered_set<std::string> g_prefixes;

// Whether some continuation of s is valid: what follows its longest valid prefix is
// nothing or the start of a character.
bool reference_may_continue(std::string_view s) {
  std::size_t at = 0;
  while (at < s.size() && reference_char(s.substr(at)) != 0) at += reference_char(s.substr(at));
  return at == s.size() || g_prefixes.count(std::string(s.substr(at))) != 0;
}

void check_bytes(std::string_view s) {
  const bool valid = reference_valid(s);
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());

  char32_t c = 0;
  const unsigned len = kwsieve::decode_utf8(p, p + s.size(), c);
  if (len != reference_char(s)) fail("decode_utf8 length", s);

  kwsieve::Utf8Stepper v;
  for (unsigned char b : s) v.step(b);
  if (v.at_boundary() != valid) fail("Utf8Stepper boundary", s);
  if (v.rejected() == reference_may_continue(s)) fail("Utf8Stepper rejected", s);

  const kwsieve::Utf8Check whole = kwsieve::check_utf8(s);
  if (whole.ok != valid) fail("check_utf8", s);
  if (!whole.ok) {
    // The longest valid prefix ends where the reference stops; an incomplete tail has no
    // error length, a wrong one the bytes before the offending byte (at least one).
    std::size_t at = 0;
    while (at < s.size() && reference_char(s.substr(at)) != 0) at += reference_char(s.substr(at));
    if (whole.valid_up_to != at) fail("check_utf8 valid_up_to", s);
    const std::string_view rest = s.substr(at);
    if ((whole.error_len == 0) != reference_may_continue(rest)) fail("check_utf8 error_len", s);
    if (whole.error_len != 0) {
      std::size_t keep = 1;
      while (keep < rest.size() && reference_may_continue(rest.substr(0, keep + 1))) ++keep;
      if (whole.error_len != keep) fail("check_utf8 error_len value", s);
    }
  }
}

}  // namespace

int main() {
  // Every scalar value: encode, measure, decode back, validate.
  for (uint32_t c = 0; c <= 0x10FFFF; ++c) {
    if (kwsieve::is_surrogate(c) != (c >= 0xD800 && c <= 0xDFFF)) fail("is_surrogate", "");
    if (kwsieve::is_surrogate(c)) continue;
    std::string s;
    kwsieve::append_utf8(s, c);
    if (s.size() != kwsieve::utf8_len(c) || reference_char(s) != s.size()) fail("encode", s);
    char32_t back = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    if (kwsieve::decode_utf8(p, p + s.size(), back) != s.size() || back != c) fail("round trip", s);
    if (!kwsieve::check_utf8(s).ok) fail("check_utf8 of an encoding", s);
    for (std::size_t k = 1; k < s.size(); ++k) g_prefixes.insert(s.substr(0, k));
    const kwsieve::CharAt at = kwsieve::char_holding(p, s.size(), s.size() - 1);
    if (at.c != c || at.end != s.size()) fail("char_holding", s);
  }
  // Every sequence of one to three bytes.
  std::string s;
  for (int a = 0; a < 256; ++a) {
    s.assign(1, static_cast<char>(a));
    check_bytes(s);
    for (int b = 0; b < 256; ++b) {
      s.assign({static_cast<char>(a), static_cast<char>(b)});
      check_bytes(s);
      // The third byte matters only after a lead of three or four bytes.
      if (a < 0xE0 || a > 0xF7) continue;
      for (int d = 0; d < 256; ++d) {
        s.assign({static_cast<char>(a), static_cast<char>(b), static_cast<char>(d)});
        check_bytes(s);
      }
    }
  }
  // Fourth bytes after the leads whose second byte range is narrowed, and their edges.
  for (int a : {0xF0, 0xF1, 0xF4, 0xF5}) {
    for (int b : {0x7F, 0x80, 0x8F, 0x90, 0xBF, 0xC0}) {
      for (int d : {0x7F, 0x80, 0xBF, 0xC0}) {
        for (int e = 0; e < 256; ++e) {
          s.assign({static_cast<char>(a), static_cast<char>(b), static_cast<char>(d), static_cast<char>(e)});
          check_bytes(s);
        }
      }
    }
  }
  std::printf("utf8_check: %d failures\n", failures);
  return failures == 0 ? 0 : 1;
}
