// UTF-8: the one place that knows its byte ranges. Everything that decodes, encodes,
// measures or validates it (the codec, the listing, case folding, code units, the column
// import) goes through here.
//
// Strict UTF-8 is what the Unicode standard calls well-formed: no overlong forms, no
// surrogates, nothing above U+10FFFF. Only the byte after a lead byte has a range of its
// own (second_byte_min/max); every later byte of a sequence is 80..BF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kwsieve {

// ---- code points ----

constexpr bool is_surrogate(uint32_t c) { return (c & 0xFFFFF800u) == 0xD800u; }

// Bytes of the UTF-8 form of scalar value c.
constexpr unsigned utf8_len(uint32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

// Writes the UTF-8 form of scalar value c (< 0x110000, not a surrogate) at out, which has
// room for four bytes; returns its length.
template <class Byte>
inline unsigned encode_utf8(uint32_t c, Byte* out) {
  static_assert(sizeof(Byte) == 1);
  if (c < 0x80) {
    out[0] = static_cast<Byte>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<Byte>(0xC0 | (c >> 6));
    out[1] = static_cast<Byte>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<Byte>(0xE0 | (c >> 12));
    out[1] = static_cast<Byte>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<Byte>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<Byte>(0xF0 | (c >> 18));
  out[1] = static_cast<Byte>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<Byte>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<Byte>(0x80 | (c & 0x3F));
  return 4;
}

// Appends the UTF-8 form of scalar value c to a string or vector of char.
template <class Out>
inline void append_utf8(Out& out, uint32_t c) {
  char bytes[4];
  const unsigned n = encode_utf8(c, bytes);
  out.insert(out.end(), bytes, bytes + n);
}

// ---- byte ranges ----

// Length of the sequence that lead byte b starts: 1 to 4, or 0 for a byte that starts
// none (a continuation byte, C0, C1, F5..FF).
constexpr unsigned sequence_length(unsigned char b) {
  return b < 0x80 ? 1 : b < 0xC2 ? 0 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF5 ? 4 : 0;
}

// The range of the byte after lead byte b (of a sequence of 2 to 4 bytes): narrower than
// 80..BF after E0 and F0 (no overlong forms), ED (no surrogates) and F4 (nothing above
// U+10FFFF).
constexpr unsigned char second_byte_min(unsigned char b) { return b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80; }
constexpr unsigned char second_byte_max(unsigned char b) { return b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF; }

constexpr bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// ---- decoding ----

// Decodes the sequence at p, which must be before end: returns its length (1 to 4) and
// sets c, or returns 0 when p does not start a well-formed sequence that ends by `end`.
inline unsigned decode_utf8(const unsigned char* p, const unsigned char* end, char32_t& c) {
  const unsigned b0 = p[0];
  const std::size_t avail = static_cast<std::size_t>(end - p);
  if (b0 < 0x80) {
    c = b0;
    return 1;
  }
  if (b0 < 0xC2) return 0;
  if (b0 < 0xE0) {
    if (avail < 2 || !is_continuation(p[1])) return 0;
    c = (char32_t{b0 & 0x1F} << 6) | (p[1] & 0x3F);
    return 2;
  }
  if (b0 < 0xF0) {
    if (avail < 3) return 0;
    if (p[1] < second_byte_min(static_cast<unsigned char>(b0)) || p[1] > second_byte_max(static_cast<unsigned char>(b0)) ||
        !is_continuation(p[2])) {
      return 0;
    }
    c = (char32_t{b0 & 0x0F} << 12) | (char32_t{p[1] & 0x3Fu} << 6) | (p[2] & 0x3F);
    return 3;
  }
  if (b0 < 0xF5) {
    if (avail < 4) return 0;
    if (p[1] < second_byte_min(static_cast<unsigned char>(b0)) || p[1] > second_byte_max(static_cast<unsigned char>(b0)) ||
        !is_continuation(p[2]) || !is_continuation(p[3])) {
      return 0;
    }
    c = (char32_t{b0 & 0x07} << 18) | (char32_t{p[1] & 0x3Fu} << 12) | (char32_t{p[2] & 0x3Fu} << 6) | (p[3] & 0x3F);
    return 4;
  }
  return 0;
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
  while (at > 0 && i - at < 3 && is_continuation(s[at])) --at;
  const unsigned char lead = s[at];
  const std::size_t len = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (len == 1 || at + len <= i || at + len > n) return {s[i], i + 1};
  uint32_t c = lead & (0x7Fu >> len);
  for (std::size_t k = 1; k < len; ++k) {
    if (!is_continuation(s[at + k])) return {s[i], i + 1};
    c = (c << 6) | (s[at + k] & 0x3Fu);
  }
  return {c, at + len};
}

// ---- validation ----

// Strict validation one byte at a time: after every byte it knows whether the bytes so far
// are valid UTF-8 (at_boundary), valid but cut inside a character, or beyond repair
// (rejected). Three bytes, so that a walk can keep one per level.
class Utf8Stepper {
 public:
  bool at_boundary() const { return need_ == 0; }
  bool rejected() const { return need_ == kRejected; }

  // Takes the next byte; false once no continuation of the bytes so far can be valid.
  bool step(unsigned char b) {
    if (need_ == 0) {
      const unsigned len = sequence_length(b);
      if (len == 0) return reject();
      need_ = static_cast<uint8_t>(len - 1);
      min_ = second_byte_min(b);
      max_ = second_byte_max(b);
      return true;
    }
    if (need_ == kRejected || b < min_ || b > max_) return reject();
    --need_;
    min_ = 0x80;
    max_ = 0xBF;
    return true;
  }

 private:
  static constexpr uint8_t kRejected = 0xFF;
  bool reject() {
    need_ = kRejected;
    return false;
  }
  uint8_t need_ = 0;  // bytes still to come in the current character
  uint8_t min_ = 0x80;  // the range of the next of them
  uint8_t max_ = 0xBF;
};

struct Utf8Check {
  bool ok;
  std::size_t valid_up_to;  // length of the longest valid prefix
  std::size_t error_len;    // bytes of the bad sequence (0: the input ended inside one)
};

// Strict UTF-8 check of a whole text, a sequence at a time; a bad sequence is measured
// byte by byte.
inline Utf8Check check_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    char32_t c;
    const unsigned len = decode_utf8(p + i, p + n, c);
    if (len == 0) {
      Utf8Stepper v;
      std::size_t j = 0;
      while (i + j < n && v.step(p[i + j])) ++j;
      if (!v.rejected()) return {false, i, 0};
      return {false, i, j == 0 ? 1 : j};
    }
    i += len;
  }
  return {true, n, 0};
}

}  // namespace kwsieve
