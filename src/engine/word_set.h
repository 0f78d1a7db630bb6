// The word-character set: one bit per code point, U+0000 to U+10FFFF.
//
// Stored as 17,408 little-endian-numbered 64-bit words (bit c % 64 of word c / 64) because
// that is exactly the layout the processor state writes; membership is one bit test.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kwsieve {

class WordSet {
 public:
  static constexpr std::size_t kWords = 17408;  // 0x110000 / 64
  static constexpr uint32_t kCodePoints = 0x110000;

  // The 63 defaults: ASCII letters, digits and the underscore.
  static WordSet defaults() {
    WordSet s;
    s.add_defaults();
    return s;
  }

  // One immutable default set for the whole process, which every processor that keeps
  // the defaults points at instead of holding 139 KB of its own. Only its first page is
  // ever written; the rest stays the zero page.
  static const WordSet& shared_defaults() {
    static constinit WordSet set;  // all zero before any code runs
    static const bool filled = (set.add_defaults(), true);
    (void)filled;
    return set;
  }

  bool contains(uint32_t c) const {
    return c < kCodePoints && ((words_[c >> 6] >> (c & 63)) & 1u);
  }
  void add(uint32_t c) {
    if (c < kCodePoints) words_[c >> 6] |= uint64_t{1} << (c & 63);
  }
  void clear() { words_.fill(0); }
  void add_defaults() {
    for (uint32_t c = '0'; c <= '9'; ++c) add(c);
    for (uint32_t c = 'A'; c <= 'Z'; ++c) add(c);
    for (uint32_t c = 'a'; c <= 'z'; ++c) add(c);
    add('_');
  }

  // Whether a code point of U+0080 or above is a member. The word tests then look at whole
  // characters; with ASCII members only, a byte test gives the same answers, faster.
  bool beyond_ascii() const {
    for (std::size_t i = 0x80 / 64; i < kWords; ++i) {
      if (words_[i] != 0) return true;
    }
    return false;
  }

  const std::array<uint64_t, kWords>& words() const { return words_; }
  std::array<uint64_t, kWords>& words() { return words_; }

  bool operator==(const WordSet&) const = default;

 private:
  std::array<uint64_t, kWords> words_{};
};

}  // namespace kwsieve
