#include "engine/extract.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

#include "engine/fault.h"
#include "engine/portable.h"
#include "engine/processor.h"
#include "engine/read_view.h"

namespace kwsieve {

namespace {

constexpr bool is_edge_space(unsigned char b) {
  return b == '\t' || b == '\n' || b == '\r' || b == ' ';
}

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

// The bytes from i on, little endian, zero past n (i < n).
inline uint64_t load_bytes(const unsigned char* p, std::size_t i, std::size_t n) {
  uint64_t x = 0;
  if (n - i >= 8) {
    std::memcpy(&x, p + i, 8);
  } else {
    for (std::size_t k = 0; k < n - i; ++k) x |= uint64_t{p[i + k]} << (8 * k);
  }
  return x;
}

// Eight ASCII bytes lowercased: a byte's high bit after adding 0x3F says it is at least
// 'A', after adding 0x25 that it is past 'Z'; neither sum carries out of an ASCII byte.
inline uint64_t lower_ascii(uint64_t x) {
  const uint64_t at_least_a = x + 0x3F3F3F3F3F3F3F3Full;
  const uint64_t past_z = x + 0x2525252525252525ull;
  return x | (((at_least_a & ~past_z) & 0x8080808080808080ull) >> 2);
}

// Working-text bytes read straight from the text; `table` holds the byte classes.
struct PlainBytes {
  static constexpr bool kAsciiOnly = false;
  const unsigned char* p;
  const uint8_t* table;
  const ClassMasks* masks;
  unsigned char operator[](std::size_t i) const { return p[i]; }
  uint8_t cls(std::size_t i) const { return table[p[i]]; }
  uint64_t load(std::size_t i, std::size_t n) const { return load_bytes(p, i, n); }
};
// Working-text bytes of an ASCII text, lowercased as they are read: ASCII folding keeps
// every offset, so the working text need not be built at all. Its table classifies each
// byte as its lowercase.
struct LoweredAscii {
  static constexpr bool kAsciiOnly = true;
  const unsigned char* p;
  const uint8_t* table;
  const ClassMasks* masks;
  unsigned char operator[](std::size_t i) const { return kLower.map[p[i]]; }
  uint8_t cls(std::size_t i) const { return table[p[i]]; }
  uint64_t load(std::size_t i, std::size_t n) const { return lower_ascii(load_bytes(p, i, n)); }
};

// Word and root bits of the 64 positions from b: bit i of `word` says byte b + i is a word
// byte, of `root` that a keyword starts with it. Positions past n get neither. The last,
// partial block is copied into a zeroed one first, and only its groups of eight that hold
// text are classified: short texts (a paragraph each) would otherwise spend as much on
// their last block as on the rest.
template <class Bytes>
inline void classify(const Bytes& w, std::size_t b, std::size_t n, uint64_t& word, uint64_t& root) {
  uint64_t wd = 0, rt = 0;
  if (b < n) {
    const unsigned char* from = w.p + b;
    unsigned char padded[64];
    uint64_t valid = ~uint64_t{0};
    std::size_t bytes = 64;
    if (n - b < 64) {
      std::memset(padded, 0, sizeof padded);
      std::memcpy(padded, from, n - b);
      from = padded;
      valid = (uint64_t{1} << (n - b)) - 1;
      bytes = (n - b + 7) & ~std::size_t{7};
    }
    classify64(from, bytes, w.table, *w.masks, ExactIndex::kWordByte, ExactIndex::kRootByte, wd, rt);
    wd &= valid;
    rt &= valid;
  }
  word = wd;
  root = rt;
}

// The word tests of a match [p, e) of the text w[0, n) on whole characters: the character
// ending just before p and the one holding byte e are not word characters.
bool whole_word(const ReadView& v, const unsigned char* w, std::size_t n, std::size_t p, std::size_t e) {
  return (p == 0 || !v.word_before(w, n, p)) && (e == n || !v.word_char_at(w, n, e));
}

float round_similarity(float s) { return std::round(s * 100.0f) / 100.0f; }

}  // namespace

float check_threshold(std::optional<float> threshold) {
  float t = threshold.value_or(1.0f);
  if (!(t >= 0.0f && t <= 1.0f)) throw Fault("Threshold must be between 0 and 1");
  return t;
}

std::string_view Extractor::working_text(std::string_view text, FoldMap* map) {
  if (view_.case_sensitive()) return text;
  fold_case(text, work_, map, cancel_);
  return work_;
}

template <class Bytes>
void Extractor::scan_exact(const Bytes& w, std::size_t n, std::vector<KeywordMatch>& out) const {
  const ExactIndex& x = view_.exact();
  const bool overlaps = view_.allow_overlaps();
  const bool by_char = view_.by_char() && !overlaps;
  // With overlaps allowed every byte may end a match and every root byte starts one: the
  // scan then reads all positions as non-word ones.
  const uint64_t open = overlaps ? ~uint64_t{0} : 0;
  // The scan looks at 64 positions from `base` at a time. nonword/root: bits of those
  // positions (past the text: non-word, not root); the *_next pair covers the 64 after,
  // so that every start sees the 7 bytes following it. `prev`: a start at base is
  // permitted by the byte before it.
  std::size_t base = 0;
  uint64_t nonword, root, nonword_next, root_next;
  bool prev = true;
  // Where the next check of the Cancel is due (never, without one).
  std::size_t next_poll = cancel_ != nullptr ? Cancel::kPollBytes : SIZE_MAX;
  auto load_blocks = [&] {
    classify(w, base, n, nonword, root);
    classify(w, base + 64, n, nonword_next, root_next);
    nonword = ~nonword | open;
    nonword_next = ~nonword_next | open;
  };
  load_blocks();
  for (;;) {
    if (base >= next_poll) [[unlikely]] {
      cancel_->check();
      next_poll = base + Cancel::kPollBytes;
    }
    // Permitted starts: root bytes whose previous byte is not a word byte.
    uint64_t starts = root & ((nonword << 1) | uint64_t{prev});
    bool rebased = false;
    while (starts != 0) {
      const unsigned i = lowest_bit(starts);
      starts &= starts - 1;
      const std::size_t p = base + i;
      const std::size_t left = n - p;
      // Bit k: position p + 1 + k is one where an end test can pass (k < 64).
      const uint64_t after = ((nonword >> i) >> 1) | (nonword_next << (63 - i));
      // Positions p + 1 .. p + 7, within the text.
      uint32_t ends = static_cast<uint32_t>(after & 0x7F);
      if (left < 8) ends &= (1u << left) - 1;
      const uint64_t bytes = w.load(p, n);
      const ExactIndex::Verdict verdict = x.may_start(bytes, ends, left >= 8);
      if (verdict == ExactIndex::kNoMatch) [[likely]] continue;
      if (verdict == ExactIndex::kLongOnly) {
        // Positions p + 8 .. p + 15, within the text (left >= 8 here).
        uint32_t ends2 = static_cast<uint32_t>((after >> 7) & 0xFF);
        if (left < 16) ends2 &= (1u << (left - 7)) - 1;
        if (!x.may_go_on(bytes, left > 8 ? w.load(p + 8, n) : 0, ends2, left >= 16)) continue;
      }

      uint32_t node = 0;
      uint32_t last = kNoView;
      std::size_t last_len = 0;
      std::size_t k = 0;
      while (!x.leaf(node)) {
        uint32_t c = x.step(node, w[p + k]);
        if (c == kNoView) break;
        node = c;
        ++k;
        if (x.terminal(c)) {
          last = c;
          last_len = k;
        }
        if (p + k == n) break;
      }
      if (last == kNoView) continue;
      const std::size_t e = p + last_len;
      // The longest keyword must end a word; shorter ones are not tried.
      if (!overlaps && e != n && (w.cls(e) & ExactIndex::kWordByte)) continue;
      // With word characters beyond ASCII the masks took every byte of a multi-byte
      // character for a non-word byte; the characters on either side decide.
      if constexpr (!Bytes::kAsciiOnly) {
        if (by_char && !whole_word(view_, w.p, n, p, e)) continue;
      }
      const std::size_t start = is_edge_space(w[p]) ? p + 1 : p;
      out.push_back({view_.exact_name(last), 1.0f, start, e});
      if (e == n) return;
      if (e - base >= 64) {
        base = e;
        prev = overlaps || !(w.cls(e - 1) & ExactIndex::kWordByte);
        load_blocks();
        rebased = true;
        break;
      }
      starts &= ~uint64_t{0} << (e - base);
    }
    if (rebased) continue;
    base += 64;
    if (base >= n) return;
    prev = nonword >> 63;
    nonword = nonword_next;
    root = root_next;
    classify(w, base + 64, n, nonword_next, root_next);
    nonword_next = ~nonword_next | open;
  }
}

Extractor::Extractor(const ReadView& view) : view_(view), exceptions_(std::uncaught_exceptions()) {}

Extractor::~Extractor() {
  if (approx_ && std::uncaught_exceptions() == exceptions_) {
    approx_->shed();
    view_.keep_searcher(std::move(approx_));
  }
}

ApproxSearcher& Extractor::approx() {
  if (!approx_) approx_ = view_.take_searcher();
  if (!approx_) approx_ = std::make_unique<ApproxSearcher>(view_);
  return *approx_;
}

void Extractor::scan_approx(std::string_view text, float t, std::vector<KeywordMatch>& out) {
  view_.ensure_search();
  ApproxSearcher& searcher = approx();
  const ReadView& v = view_;
  const bool overlaps = v.allow_overlaps();
  const auto* w = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t p = 0;
  unsigned until_poll = Cancel::kPollStarts;
  while (p < n) {
    if (cancel_ != nullptr && --until_poll == 0) {
      cancel_->check();
      until_poll = Cancel::kPollStarts;
    }
    if (!overlaps && p > 0 && v.word_before(w, n, p)) {
      ++p;
      continue;
    }
    Candidate cand = searcher.search(text, p, t);
    // A candidate covering no text (a clean name longer than its keyword scored at
    // offset 0) cannot be placed or advanced past: treat it as no candidate.
    if (cand.node == kNoView || cand.length == 0) {
      ++p;
      continue;
    }
    std::size_t e = p + cand.length;
    std::size_t e_trim = is_edge_space(w[e - 1]) ? e - 1 : e;
    bool accept = overlaps || e_trim == n;
    if (!accept && v.by_char()) {
      // The same window of three, in characters: the one holding byte e_trim (which may
      // have begun inside the match) and the two after it.
      for (std::size_t i = e_trim, k = 0; !accept && i < n && k < 3; ++k) {
        const CharAt ch = char_holding(w, n, i);
        accept = !v.words().contains(ch.c);
        i = ch.end;
      }
    } else {
      for (std::size_t i = e_trim; !accept && i < n && i < e_trim + 3; ++i) accept = !v.word_byte(w[i]);
    }
    if (!accept) {
      ++p;
      continue;
    }
    std::size_t start = is_edge_space(w[p]) ? p + 1 : p;
    // A match made of one edge whitespace byte trims to nothing (start past end): it
    // covers no text, so it is not reported; the scan still moves past it.
    if (start <= e_trim) out.push_back({v.exact_name(cand.node), round_similarity(cand.similarity), start, e_trim});
    p = e;
  }
}

void Extractor::scan(std::string_view s, Form form, float t, FoldMap* map, std::vector<KeywordMatch>& out) {
  if (s.empty()) return;
  const ExactIndex& x = view_.exact();
  // A case-sensitive processor's working text is the text itself.
  const bool working = form == Form::kWorking || view_.case_sensitive();
  if (t < 1.0f) {
    scan_approx(working ? s : working_text(s, map), t, out);
  } else if (!working && (form == Form::kAsciiText || all_ascii(s))) {
    scan_exact(LoweredAscii{reinterpret_cast<const unsigned char*>(s.data()), x.classes_lowered(),
                            &x.class_masks_lowered()}, s.size(), out);
  } else {
    const std::string_view w = working ? s : working_text(s, map);
    scan_exact(PlainBytes{reinterpret_cast<const unsigned char*>(w.data()), x.classes(), &x.class_masks()},
               w.size(), out);
  }
}

void Extractor::extract(std::string_view text, std::optional<float> threshold,
                        std::vector<KeywordMatch>& out) {
  scan(text, Form::kText, check_threshold(threshold), nullptr, out);
}

bool Extractor::extract(const CodeUnits& text, std::optional<float> threshold, std::vector<KeywordMatch>& out,
                        std::string& buffer) {
  const float t = check_threshold(threshold);
  if (text.ascii()) {
    scan(text.ascii_view(), Form::kAsciiText, t, nullptr, out);
  } else if (view_.case_sensitive()) {
    std::optional<std::string_view> utf8 = text.utf8(buffer, cancel_);
    if (!utf8) return false;
    scan(*utf8, Form::kText, t, nullptr, out);
  } else {
    if (!fold_case(text, work_, cancel_)) return false;
    scan(work_, Form::kWorking, t, nullptr, out);
  }
  return true;
}

// Matches handled between two looks at the cancel flag in the loops over a text's matches.
constexpr std::size_t kPollMatches = std::size_t{1} << 16;

void Extractor::to_source_spans(std::string_view text, const FoldMap& map, std::vector<KeywordMatch>& matches,
                                std::size_t from) {
  // Carry each span back to the given text and widen it to whole characters, so that
  // exactly the matched words are covered and cutting the text there keeps it valid
  // UTF-8. Going from the last match to the first, a span that widening pushed into the
  // next (already placed) one is cut at that one's start.
  const auto* src = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t limit = n;
  for (std::size_t i = matches.size(); i-- > from;) {
    if (cancel_ != nullptr && i % kPollMatches == 0) cancel_->check();
    KeywordMatch& m = matches[i];
    std::size_t s = std::min(map.source_start(m.start), n);
    std::size_t e = std::min(map.source_end(m.end), n);
    while (s > 0 && s < n && is_continuation(src[s])) --s;
    while (e < n && is_continuation(src[e])) ++e;
    e = std::min(e, limit);
    s = std::min(s, e);
    m.start = s;
    m.end = e;
    limit = s;
  }
}

void Extractor::extract_spans(std::string_view text, std::optional<float> threshold,
                              std::vector<KeywordMatch>& out) {
  const std::size_t from = out.size();
  map_.reset();
  scan(text, Form::kText, check_threshold(threshold), &map_, out);
  if (out.size() > from) to_source_spans(text, map_, out, from);
}

bool Extractor::replace_into(std::string_view text, std::optional<float> threshold, std::string& out) {
  matches_.clear();
  extract_spans(text, threshold, matches_);
  if (matches_.empty()) return false;
  std::size_t out_len = text.size();
  for (const KeywordMatch& m : matches_) out_len = out_len - (m.end - m.start) + m.keyword.size();
  out.reserve(out.size() + out_len);
  std::size_t at = 0;
  for (std::size_t i = 0; i < matches_.size(); ++i) {
    if (cancel_ != nullptr && i % kPollMatches == kPollMatches - 1) cancel_->check();
    const KeywordMatch& m = matches_[i];
    out.append(text, at, m.start - at);
    out.append(m.keyword);
    at = m.end;
  }
  out.append(text, at, text.size() - at);
  return true;
}

std::optional<std::string> Extractor::replace(std::string_view text, std::optional<float> threshold) {
  std::string out;
  if (!replace_into(text, threshold, out)) return std::nullopt;
  return out;
}

void to_char_offsets(std::string_view text, std::vector<KeywordMatch>& matches, std::size_t from) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t byte = 0;
  std::size_t chars = 0;
  auto advance = [&](std::size_t to) {
    for (; byte < to; ++byte) chars += !is_continuation(p[byte]);
    return chars;
  };
  // Spans come in text order and do not overlap, so one walk serves them all.
  for (std::size_t i = from; i < matches.size(); ++i) {
    KeywordMatch& m = matches[i];
    m.start = advance(m.start);
    m.end = advance(m.end);
  }
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
