// Strings held as fixed-width code units (1, 2 or 4 bytes per code point), the way the
// interpreter stores a str, and their UTF-8 form.
//
// Encoding needs nothing but the units, so a batch's texts are encoded (and checked for
// lone surrogates) by the threads that scan them, rather than one after another by the
// caller before any work starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kwsieve {

class CodeUnits {
 public:
  CodeUnits() = default;
  // `width` is 1, 2 or 4; `ascii` says every unit is below 0x80 (then the units are
  // already the UTF-8 form).
  CodeUnits(const void* data, std::size_t length, int width, bool ascii)
      : data_(data), length_(length), width_(static_cast<uint8_t>(width)), ascii_(ascii) {}

  bool ascii() const { return ascii_; }
  std::string_view ascii_view() const { return {static_cast<const char*>(data_), length_}; }

  // Whether a unit is a surrogate, which has no UTF-8 form. Latin-1 units never are.
  bool has_surrogate() const {
    switch (width_) {
      case 2: return surrogates(static_cast<const uint16_t*>(data_)) != 0;
      case 4: return surrogates(static_cast<const uint32_t*>(data_)) != 0;
      default: return false;
    }
  }

  // The UTF-8 form: ASCII in place, anything else encoded into `buffer`; nothing if a
  // unit is a surrogate.
  std::optional<std::string_view> utf8(std::string& buffer) const {
    if (ascii_) return ascii_view();
    bool ok;
    switch (width_) {
      case 1: ok = encode(static_cast<const uint8_t*>(data_), buffer); break;
      case 2: ok = encode(static_cast<const uint16_t*>(data_), buffer); break;
      default: ok = encode(static_cast<const uint32_t*>(data_), buffer); break;
    }
    if (!ok) return std::nullopt;
    return std::string_view(buffer);
  }

 private:
  static bool is_surrogate(uint32_t c) { return (c & 0xFFFFF800u) == 0xD800u; }

  // Counting rather than stopping at the first one lets the compiler vectorise the loop;
  // lone surrogates are rare enough that finding one early would save nothing.
  template <class Unit>
  std::size_t surrogates(const Unit* p) const {
    std::size_t hits = 0;
    for (std::size_t i = 0; i < length_; ++i) hits += is_surrogate(p[i]);
    return hits;
  }

  template <class Unit>
  bool encode(const Unit* p, std::string& out) const {
    std::size_t size = length_;
    std::size_t bad = 0;
    for (std::size_t i = 0; i < length_; ++i) {
      uint32_t c = p[i];
      size += (c >= 0x80) + (c >= 0x800) + (c >= 0x10000);
      bad += is_surrogate(c);
    }
    if (bad != 0) return false;
    out.resize(size);
    char* q = out.data();
    std::size_t i = 0;
    // Runs of ASCII, which most text mostly is, go four units at a time without a branch
    // per character.
    constexpr uint32_t kAsciiBound = 0x80;
    while (i < length_) {
      while (length_ - i >= 4 && (uint32_t{p[i]} | p[i + 1] | p[i + 2] | p[i + 3]) < kAsciiBound) {
        q[0] = static_cast<char>(p[i]);
        q[1] = static_cast<char>(p[i + 1]);
        q[2] = static_cast<char>(p[i + 2]);
        q[3] = static_cast<char>(p[i + 3]);
        q += 4;
        i += 4;
      }
      if (i == length_) break;
      uint32_t c = p[i++];
      if (c < 0x80) {
        *q++ = static_cast<char>(c);
      } else if (c < 0x800) {
        *q++ = static_cast<char>(0xC0 | (c >> 6));
        *q++ = static_cast<char>(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
        *q++ = static_cast<char>(0xE0 | (c >> 12));
        *q++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *q++ = static_cast<char>(0x80 | (c & 0x3F));
      } else {
        *q++ = static_cast<char>(0xF0 | (c >> 18));
        *q++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *q++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *q++ = static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    return true;
  }

  const void* data_ = nullptr;
  std::size_t length_ = 0;
  uint8_t width_ = 1;
  bool ascii_ = true;
};

}  // namespace kwsieve
