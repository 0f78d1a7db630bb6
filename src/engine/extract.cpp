#include "engine/extract.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/fault.h"
#include "engine/processor.h"
#include "engine/read_view.h"

namespace kwsieve {

namespace {

constexpr bool is_edge_space(unsigned char b) {
  return b == '\t' || b == '\n' || b == '\r' || b == ' ';
}

constexpr bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

bool all_ascii(std::string_view s) {
  const char* p = s.data();
  std::size_t n = s.size();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x;
    std::memcpy(&x, p + i, 8);
    if (x & 0x8080808080808080ull) return false;
  }
  for (; i < n; ++i) {
    if (static_cast<unsigned char>(p[i]) & 0x80) return false;
  }
  return true;
}

struct LowerTable {
  unsigned char map[256];
  constexpr LowerTable() : map() {
    for (unsigned b = 0; b < 256; ++b) map[b] = static_cast<unsigned char>(b >= 'A' && b <= 'Z' ? b + 32 : b);
  }
};
constexpr LowerTable kLower;

// Working-text bytes read straight from the text.
struct PlainBytes {
  const unsigned char* p;
  const ExactIndex& x;
  unsigned char operator[](std::size_t i) const { return p[i]; }
  uint8_t cls(std::size_t i) const { return x.cls(p[i]); }
};
// Working-text bytes of an ASCII text, lowercased as they are read: ASCII folding keeps
// every offset, so the working text need not be built at all.
struct LoweredAscii {
  const unsigned char* p;
  const ExactIndex& x;
  unsigned char operator[](std::size_t i) const { return kLower.map[p[i]]; }
  uint8_t cls(std::size_t i) const { return x.cls_lowered(p[i]); }
};

float round_similarity(float s) { return std::round(s * 100.0f) / 100.0f; }

}  // namespace

float check_threshold(std::optional<float> threshold) {
  float t = threshold.value_or(1.0f);
  if (!(t >= 0.0f && t <= 1.0f)) throw Fault("Threshold must be between 0 and 1");
  return t;
}

std::string_view Extractor::working_text(std::string_view text, FoldMap* map) {
  if (view_.case_sensitive()) return text;
  fold_case(text, work_, map);
  return work_;
}

template <class Bytes>
void Extractor::scan_exact(const Bytes& w, std::size_t n, std::vector<KeywordMatch>& out) const {
  const ExactIndex& x = view_.exact();
  const uint8_t word_mask = view_.allow_overlaps() ? 0 : ExactIndex::kWordByte;
  std::size_t p = 0;
  // Whether the byte before p blocks a start there.
  bool blocked = false;
  while (p < n) {
    // Find the next start: a byte the root has a child for, not after a word byte. Eight
    // bytes at a time: their classes are independent loads, and the start test for all
    // eight is a few word operations, instead of a chain of one branch per byte.
    constexpr uint64_t kLow = 0x0101010101010101ull;
    const uint64_t word_bits = word_mask ? kLow : 0;
    while (p + 8 <= n) {
      uint64_t c = 0;
      for (int i = 0; i < 8; ++i) c |= uint64_t{w.cls(p + i)} << (8 * i);
      uint64_t root = (c >> 1) & kLow;
      uint64_t word = c & word_bits;
      uint64_t starts = root & ~((word << 8) | uint64_t{blocked});
      if (starts != 0) {
        p += static_cast<std::size_t>(__builtin_ctzll(starts) >> 3);
        blocked = false;
        break;
      }
      blocked = (word >> 56) & 1;
      p += 8;
    }
    for (;;) {
      if (p == n) return;
      uint8_t c = w.cls(p);
      if ((c & ExactIndex::kRootByte) && !blocked) break;
      blocked = c & word_mask;
      ++p;
    }

    uint32_t node = 0;
    uint32_t last = ExactIndex::kNone;
    std::size_t last_len = 0;
    std::size_t k = 0;
    while (!x.leaf(node)) {
      uint32_t c = x.step(node, w[p + k]);
      if (c == ExactIndex::kNone) break;
      node = c;
      ++k;
      if (x.terminal(c)) {
        last = c;
        last_len = k;
      }
      if (p + k == n) break;
    }
    if (last == ExactIndex::kNone) {
      blocked = w.cls(p) & word_mask;
      ++p;
      continue;
    }
    std::size_t e = p + last_len;
    if (e != n && (w.cls(e) & word_mask)) {
      // The longest keyword does not end a word; shorter ones are not tried.
      blocked = w.cls(p) & word_mask;
      ++p;
      continue;
    }
    std::size_t start = is_edge_space(w[p]) ? p + 1 : p;
    out.push_back({view_.exact_name(last), 1.0f, start, e});
    blocked = w.cls(e - 1) & word_mask;
    p = e;
  }
}

void Extractor::scan_approx(std::string_view text, float t, std::vector<KeywordMatch>& out) {
  view_.ensure_search();
  const ReadView& v = view_;
  const bool overlaps = v.allow_overlaps();
  const auto* w = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t p = 0;
  while (p < n) {
    if (!overlaps && p > 0 && v.word_byte(w[p - 1])) {
      ++p;
      continue;
    }
    Candidate cand = approx_.search(text, p, t);
    // A candidate covering no text (a clean name longer than its keyword scored at
    // offset 0) cannot be placed or advanced past: treat it as no candidate.
    if (cand.node == ReadView::kNone || cand.length == 0) {
      ++p;
      continue;
    }
    std::size_t e = p + cand.length;
    std::size_t e_trim = is_edge_space(w[e - 1]) ? e - 1 : e;
    bool accept = overlaps || e_trim == n;
    for (std::size_t i = e_trim; !accept && i < n && i < e_trim + 3; ++i) accept = !v.word_byte(w[i]);
    if (!accept) {
      ++p;
      continue;
    }
    std::size_t start = is_edge_space(w[p]) ? p + 1 : p;
    // A match made of one edge whitespace byte trims to nothing (start past end): it
    // covers no text, so it is not reported; the scan still moves past it.
    if (start <= e_trim) out.push_back({v.name(cand.node), round_similarity(cand.similarity), start, e_trim});
    p = e;
  }
}

void Extractor::extract(std::string_view text, std::optional<float> threshold,
                        std::vector<KeywordMatch>& out) {
  float t = check_threshold(threshold);
  if (text.empty()) return;
  if (t < 1.0f) {
    scan_approx(working_text(text, nullptr), t, out);
    return;
  }
  const auto* raw = reinterpret_cast<const unsigned char*>(text.data());
  if (view_.case_sensitive()) {
    scan_exact(PlainBytes{raw, view_.exact()}, text.size(), out);
  } else if (all_ascii(text)) {
    scan_exact(LoweredAscii{raw, view_.exact()}, text.size(), out);
  } else {
    std::string_view w = working_text(text, nullptr);
    scan_exact(PlainBytes{reinterpret_cast<const unsigned char*>(w.data()), view_.exact()}, w.size(), out);
  }
}

std::optional<std::string> Extractor::replace(std::string_view text, std::optional<float> threshold) {
  float t = check_threshold(threshold);
  matches_.clear();
  FoldMap map;
  if (!text.empty()) {
    if (t < 1.0f) {
      scan_approx(working_text(text, &map), t, matches_);
    } else if (view_.case_sensitive() || all_ascii(text)) {
      extract(text, threshold, matches_);
    } else {
      std::string_view w = working_text(text, &map);
      scan_exact(PlainBytes{reinterpret_cast<const unsigned char*>(w.data()), view_.exact()}, w.size(),
                 matches_);
    }
  }
  if (matches_.empty()) return std::nullopt;

  // Carry each span back to the given text and widen it to whole characters, so that
  // exactly the matched words are replaced and the output stays valid UTF-8. Going from
  // the last match to the first, a span that widening pushed into the next (already
  // placed) one is cut at that one's start.
  const auto* src = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t limit = n;
  std::size_t out_len = n;
  for (std::size_t i = matches_.size(); i-- > 0;) {
    KeywordMatch& m = matches_[i];
    std::size_t s = std::min(map.source_start(m.start), n);
    std::size_t e = std::min(map.source_end(m.end), n);
    while (s > 0 && s < n && is_continuation(src[s])) --s;
    while (e < n && is_continuation(src[e])) ++e;
    e = std::min(e, limit);
    s = std::min(s, e);
    m.start = s;
    m.end = e;
    limit = s;
    out_len = out_len - (e - s) + m.keyword.size();
  }
  std::string out;
  out.reserve(out_len);
  std::size_t at = 0;
  for (const KeywordMatch& m : matches_) {
    out.append(text, at, m.start - at);
    out.append(m.keyword);
    at = m.end;
  }
  out.append(text, at, n - at);
  return out;
}

std::vector<KeywordMatch> extract_keywords(const KeywordProcessor& processor,
                                           std::string_view text,
                                           std::optional<float> threshold) {
  check_threshold(threshold);
  std::vector<KeywordMatch> out;
  Extractor x(processor.read_view());
  x.extract(text, threshold, out);
  return out;
}

std::string replace_keywords(const KeywordProcessor& processor, std::string_view text,
                             std::optional<float> threshold) {
  check_threshold(threshold);
  Extractor x(processor.read_view());
  std::optional<std::string> out = x.replace(text, threshold);
  return out ? std::move(*out) : std::string(text);
}

}  // namespace kwsieve
