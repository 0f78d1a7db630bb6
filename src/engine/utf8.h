// UTF-8 helpers shared by the codec, listing and the word tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kwsieve {

struct Utf8Check {
  bool ok;
  std::size_t valid_up_to;  // length of the longest valid prefix
  std::size_t error_len;    // bytes of the bad sequence (0: the input ended inside one)
};

// Strict UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
inline Utf8Check check_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    unsigned char b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return {false, i, 1};
    }
    std::size_t j = 1;
    for (; j < len; ++j) {
      if (i + j >= n) return {false, i, 0};
      unsigned char c = p[i + j];
      if (j == 1 ? (c < lo || c > hi) : (c & 0xC0) != 0x80) return {false, i, j};
    }
    i += len;
  }
  return {true, n, 0};
}

// Appends the UTF-8 encoding of scalar value c (< 0x110000, not a surrogate).
template <class Out>
inline void append_utf8(Out& out, uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// A character of a text, and the offset one past its last byte.
struct CharAt {
  uint32_t c;
  std::size_t end;
};

// The character that holds byte i of the UTF-8 text s[0, n) (i < n), which may begin up to
// three bytes before i. A text is valid UTF-8, but offsets into it need not fall on
// character boundaries (an approximate match may end inside a character); a byte that is
// no part of a well-formed sequence stands for the code point with its number.
inline CharAt char_holding(const unsigned char* s, std::size_t n, std::size_t i) {
  std::size_t at = i;
  while (at > 0 && i - at < 3 && (s[at] & 0xC0) == 0x80) --at;
  const unsigned char lead = s[at];
  const std::size_t len = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (len == 1 || at + len <= i || at + len > n) return {s[i], i + 1};
  uint32_t c = lead & (0x7Fu >> len);
  for (std::size_t k = 1; k < len; ++k) {
    if ((s[at + k] & 0xC0) != 0x80) return {s[i], i + 1};
    c = (c << 6) | (s[at + k] & 0x3Fu);
  }
  return {c, at + len};
}

inline std::size_t utf8_len(uint32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

}  // namespace kwsieve
