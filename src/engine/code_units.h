// Strings held as fixed-width code units (1, 2 or 4 bytes per code point), the way the
// interpreter stores a str, and their UTF-8 form.
//
// Encoding needs nothing but the units, so a batch's texts are encoded (and checked for
// lone surrogates) by the threads that scan them, rather than one after another by the
// caller before any work starts. Case folding can also read the units directly
// (case_fold.h), which spares building the UTF-8 form at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "engine/cancel.h"
#include "engine/utf8.h"

namespace kwsieve {

class CodeUnits {
 public:
  CodeUnits() = default;
  // `width` is 1, 2 or 4; `ascii` says every unit is below 0x80 (then the units are
  // already the UTF-8 form).
  CodeUnits(const void* data, std::size_t length, int width, bool ascii)
      : data_(data), length_(length), width_(static_cast<uint8_t>(width)), ascii_(ascii) {}

  bool ascii() const { return ascii_; }
  std::size_t length() const { return length_; }
  std::string_view ascii_view() const { return {static_cast<const char*>(data_), length_}; }

  // Calls f(pointer to the units) with the pointer typed by the width.
  template <class F>
  decltype(auto) visit(F&& f) const {
    switch (width_) {
      case 1: return f(static_cast<const uint8_t*>(data_));
      case 2: return f(static_cast<const uint16_t*>(data_));
      default: return f(static_cast<const uint32_t*>(data_));
    }
  }

  // Whether a unit is a surrogate, which has no UTF-8 form.
  bool has_surrogate() const { return !ascii_ && !utf8_size(); }

  // Bytes of the UTF-8 form; nothing if a unit is a surrogate; std::bad_alloc if the
  // form would not fit in memory. One pass with no branch per unit (counting surrogates
  // rather than stopping at the first lets the compiler vectorise it; they are rare
  // enough that stopping early would save nothing).
  // With `cancel`, checks it before each chunk of kChunk units.
  std::optional<std::size_t> utf8_size(Cancel* cancel = nullptr) const {
    if (ascii_) return length_;
    return visit([this, cancel](const auto* p) -> std::optional<std::size_t> {
      std::size_t size = length_;
      bool bad = false;
      // 32-bit counters over chunks that cannot overflow them vectorise with twice the
      // lanes of size_t ones.
      for (std::size_t at = 0; at < length_; at += kChunk) {
        if (cancel != nullptr) cancel->check();
        const std::size_t end = length_ - at < kChunk ? length_ : at + kChunk;
        uint32_t extra = 0;
        uint32_t surrogates = 0;
        for (std::size_t i = at; i < end; ++i) {
          const uint32_t c = p[i];
          extra += utf8_len(c) - 1;
          surrogates += is_surrogate(c);
        }
        // Only a 32-bit process could hold a str whose UTF-8 form outgrows size_t.
        if (extra > SIZE_MAX - size) throw std::bad_alloc();
        size += extra;
        bad |= surrogates != 0;
      }
      if (bad) return std::nullopt;
      return size;
    });
  }

  // The UTF-8 form: ASCII in place, anything else encoded into `buffer`; nothing if a
  // unit is a surrogate.
  std::optional<std::string_view> utf8(std::string& buffer, Cancel* cancel = nullptr) const {
    if (ascii_) return ascii_view();
    std::optional<std::size_t> size = utf8_size(cancel);
    if (!size) return std::nullopt;
    buffer.resize(*size);
    visit([this, &buffer, cancel](const auto* p) {
      char* q = buffer.data();
      for (std::size_t at = 0; at < length_; at += kChunk) {
        if (cancel != nullptr) cancel->check();
        q = encode(p, at, length_ - at < kChunk ? length_ : at + kChunk, q);
      }
    });
    return std::string_view(buffer);
  }

 private:
  static constexpr std::size_t kChunk = std::size_t{1} << 20;

  // Encodes units [i, end) at q; returns the end of what it wrote.
  template <class Unit>
  static char* encode(const Unit* p, std::size_t i, std::size_t end, char* q) {
    // Runs of ASCII, which most text mostly is, go four units at a time without a branch
    // per character.
    while (i < end) {
      while (end - i >= 4 && (uint32_t{p[i]} | p[i + 1] | p[i + 2] | p[i + 3]) < 0x80) {
        q[0] = static_cast<char>(p[i]);
        q[1] = static_cast<char>(p[i + 1]);
        q[2] = static_cast<char>(p[i + 2]);
        q[3] = static_cast<char>(p[i + 3]);
        q += 4;
        i += 4;
      }
      if (i == end) break;
      q += encode_utf8(p[i++], q);
    }
    return q;
  }

  const void* data_ = nullptr;
  std::size_t length_ = 0;
  uint8_t width_ = 1;
  bool ascii_ = true;
};

}  // namespace kwsieve
