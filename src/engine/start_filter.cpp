#include "engine/start_filter.h"

#include <algorithm>
#include <bit>
#include <iterator>

#include "engine/exact_index.h"
#include "engine/search_tables.h"

namespace kwsieve {

namespace {

// Hashes of key sequences for the start filter. pre[i] is the unfinished hash of the first i
// keys (a key k enters as k + 1, so that no value hashes like an absent one); the sequence
// with position i left out hashes from two of them in constant time.
constexpr uint64_t kHashBase = 0x9E3779B97F4A7C15ull;
struct HashPowers {
  uint64_t p[StartFilter::kMaxWindow + 2];
  constexpr HashPowers() : p{} {
    p[0] = 1;
    for (std::size_t i = 1; i < std::size(p); ++i) p[i] = p[i - 1] * kHashBase;
  }
};
constexpr HashPowers kHashPowers;

inline uint64_t finish(uint64_t h, std::size_t len) {
  h ^= static_cast<uint64_t>(len) * 0xD6E8FEB86659FD93ull;
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ull;
  h ^= h >> 29;
  return h;
}

// The hash of pre's first n keys without key i.
inline uint64_t without(const uint64_t* pre, std::size_t n, std::size_t i) {
  const uint64_t w = kHashPowers.p[n - 1 - i];
  return finish(pre[i] * w + (pre[n] - pre[i + 1] * w), n - 1);
}

constexpr uint32_t kWild = UINT32_MAX;

// For each mask of pattern positions, the bytes it keeps of a little-endian word.
struct MaskBytes {
  uint64_t of[16];
  constexpr MaskBytes() : of{} {
    for (unsigned m = 0; m < 16; ++m) {
      for (unsigned i = 0; i < 4; ++i) {
        if ((m >> i) & 1) of[m] |= uint64_t{0xFF} << (8 * i);
      }
    }
  }
};
constexpr MaskBytes kMaskBytes;

// Whether u[0, j) is within one edit of k[0, d): past their common prefix, the rest must be
// equal after substituting, or skipping one byte of the longer side, at the first mismatch.
bool within_one_edit(const unsigned char* u, std::size_t j, const uint32_t* k, std::size_t d) {
  std::size_t i = 0;
  const std::size_t m = std::min(j, d);
  while (i < m && u[i] == k[i]) ++i;
  if (j == d) {
    for (std::size_t r = i + 1; r < d; ++r) {
      if (u[r] != k[r]) return false;
    }
    return true;
  }
  if (j == d + 1) {
    for (std::size_t r = i; r < d; ++r) {
      if (u[r + 1] != k[r]) return false;
    }
    return true;
  }
  if (j + 1 == d) {
    for (std::size_t r = i; r < j; ++r) {
      if (u[r] != k[r + 1]) return false;
    }
    return true;
  }
  return false;
}

}  // namespace

std::shared_ptr<const StartFilter> StartFilter::make(const SearchTables& tables, uint64_t least_one) {
  return std::make_shared<const StartFilter>(tables, least_one);
}

StartFilter::StartFilter(const SearchTables& v, uint64_t least_one)
    : window_(static_cast<uint32_t>(std::min<uint64_t>(least_one - 1, kMaxWindow))) {
  const std::size_t w = window_;
  // Depth-first over the paths down to w + 1, twice: once to size the Bloom filter, once to
  // fill it. The path's keys and their prefix hashes are kept per depth.
  struct Frame {
    uint32_t node;
    uint32_t next;  // the next child to visit
  };
  std::vector<Frame> path;
  uint32_t keys[kMaxWindow + 2];
  uint64_t pre[kMaxWindow + 2];
  pre[0] = 0;
  uint64_t entries = 0;
  auto walk = [&](auto&& enter) {
    path.clear();
    path.push_back({0, 0});
    enter(0, std::size_t{0});
    while (!path.empty()) {
      Frame& f = path.back();
      const std::size_t d = path.size() - 1;
      const SearchTables::Node& nd = v.node(f.node);
      if (d > w || f.next >= nd.count) {
        path.pop_back();
        continue;
      }
      const uint32_t c = nd.first + f.next++;
      keys[d] = v.key(c);
      pre[d + 1] = pre[d] * kHashBase + keys[d] + 1;
      path.push_back({c, 0});
      enter(c, d + 1);
    }
  };
  walk([&](uint32_t, std::size_t d) {
    if (d == w - 1) entries += 1;
    if (d == w || d == w + 1) entries += w + 1;
  });
  // 16 bits or more per entry (the words reach entries / 4 + 1), from 64 words up to 16 MiB
  // (then only false positives grow).
  bloom_.reset(entries + 4, 6, 21);
  long_at_.push_back(0);
  uint32_t aligned[kMaxWindow + 2];
  std::vector<Pattern> patterns;
  Slot* last = nullptr;
  walk([&](uint32_t n, std::size_t d) {
    if (d == w - 1) bloom_.add(finish(pre[d], d));
    if (d == w) {
      bloom_.add(finish(pre[w], w));
      for (std::size_t i = 0; i < w; ++i) bloom_.add(without(pre, w, i));
    }
    if (d == w + 1) {
      for (std::size_t i = 0; i <= w; ++i) bloom_.add(without(pre, w + 1, i));
    }
    if (d > w || !v.terminal(n) || v.name(n).size() < least_one) return;
    // A long-named keyword (of depth 0 or 1, its substitutions fix no byte: always_).
    const uint32_t id = static_cast<uint32_t>(long_at_.size() - 1);
    long_keys_.insert(long_keys_.end(), keys, keys + d);
    long_at_.push_back(static_cast<uint32_t>(long_keys_.size()));
    // The text bytes a one-edit alignment of the keyword with text[0, j) fixes among the
    // first kPatternBytes, for every such alignment with 1 <= j < w.
    auto emit = [&](std::size_t j) {
      if (j < 1 || j >= w) return;
      uint64_t key = 0;
      unsigned mask = 0;
      for (std::size_t i = 0; i < kPatternBytes && i < j; ++i) {
        if (aligned[i] == kWild) continue;
        if (aligned[i] > 255) return;  // no text byte is that key
        mask |= 1u << i;
        key |= uint64_t{aligned[i]} << (8 * (i + 1));
      }
      if (mask == 0) {
        always_ = true;
        return;
      }
      key |= mask;
      masks_ |= static_cast<uint16_t>(1u << mask);
      patterns.push_back({key, id});
    };
    std::copy(keys, keys + d, aligned);
    emit(d);  // no edit
    for (std::size_t i = 0; i < d; ++i) {  // keyword byte i substituted
      aligned[i] = kWild;
      emit(d);
      aligned[i] = keys[i];
    }
    for (std::size_t i = 0; i < d; ++i) {  // keyword byte i skipped
      std::copy(keys, keys + i, aligned);
      std::copy(keys + i + 1, keys + d, aligned + i);
      emit(d - 1);
    }
    for (std::size_t i = 0; i <= d; ++i) {  // a text byte skipped before keyword byte i
      std::copy(keys, keys + i, aligned);
      aligned[i] = kWild;
      std::copy(keys + i, keys + d, aligned + i + 1);
      emit(d + 1);
    }
  });
  // Group the keywords of each pattern, and index the groups by pattern in an open-addressed
  // table at most a quarter full (keys are never 0: their mask is not).
  std::sort(patterns.begin(), patterns.end());
  patterns.erase(std::unique(patterns.begin(), patterns.end()), patterns.end());
  std::size_t groups = 0;
  for (std::size_t i = 0; i < patterns.size(); ++i) groups += i == 0 || patterns[i].key != patterns[i - 1].key;
  std::size_t size = 16;
  while (size < 4 * groups) size *= 2;
  slots_.assign(size, Slot{0, 0, 0});
  pattern_ids_.reserve(patterns.size());
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    if (i == 0 || patterns[i].key != patterns[i - 1].key) {
      std::size_t at = slot_of(patterns[i].key);
      while (slots_[at].key != 0) at = (at + 1) & (size - 1);
      const uint32_t begin = static_cast<uint32_t>(pattern_ids_.size());
      slots_[at] = Slot{patterns[i].key, begin, begin};
      last = &slots_[at];
    }
    pattern_ids_.push_back(patterns[i].id);
    ++last->end;
    const uint32_t bit = present_bit(patterns[i].key);
    present_[bit >> 6] |= uint64_t{1} << (bit & 63);
  }
}

bool StartFilter::long_named_near(const unsigned char* text, std::size_t remaining) const {
  const std::size_t w = window_;
  // The first kPatternBytes bytes, and the masks whose fixed bytes all lie before
  // `remaining` (a pattern fixes only bytes of the text it aligns with).
  uint64_t bytes = 0;
  const std::size_t known = std::min(remaining, kPatternBytes);
  for (std::size_t i = 0; i < known; ++i) bytes |= uint64_t{text[i]} << (8 * i);
  unsigned masks = masks_ & ((1u << (1u << known)) - 1);
  while (masks != 0) {
    const unsigned m = static_cast<unsigned>(std::countr_zero(masks));
    masks &= masks - 1;
    const uint64_t key = m | (bytes & kMaskBytes.of[m]) << 8;
    const uint32_t bit = present_bit(key);
    if (!((present_[bit >> 6] >> (bit & 63)) & 1)) continue;
    const Slot* found = nullptr;
    for (std::size_t i = slot_of(key);; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i].key == key) found = &slots_[i];
      if (slots_[i].key == key || slots_[i].key == 0) break;
    }
    if (found == nullptr) continue;
    for (uint32_t at = found->begin; at < found->end; ++at) {
      const uint32_t id = pattern_ids_[at];
      const uint32_t* k = long_keys_.data() + long_at_[id];
      const std::size_t d = long_at_[id + 1] - long_at_[id];
      const std::size_t hi = std::min({d + 1, w - 1, remaining});
      for (std::size_t j = d - 1; j <= hi; ++j) {
        if (within_one_edit(text, j, k, d)) return true;
      }
    }
  }
  return false;
}

bool StartFilter::may_match(const ExactIndex& x, const unsigned char* text, std::size_t remaining) const {
  if (always_) return true;
  const std::size_t w = window_;
  // E: a keyword spelled exactly, shorter than the window. The walk also finds r, the length
  // of the longest prefix of the window that is a path.
  uint32_t n = 0;
  std::size_t r = 0;
  const std::size_t walk = std::min<std::size_t>(remaining, w);
  while (r < walk) {
    const uint32_t m = x.step(n, text[r]);
    if (m == kNoView) break;
    n = m;
    if (++r < w && x.terminal(n)) return true;
  }
  // M: the window within one edit of a path. The whole window a path is the case of no edit.
  // Otherwise the bytes before the edit spell a path, so it lies at a position i <= r: x
  // minus byte i is probed for those only (a substitution or a text byte skipped there),
  // and x itself for a keyword byte skipped.
  if (remaining >= w) {
    if (r == w) return true;
    uint64_t pre[kMaxWindow + 1];
    pre[0] = 0;
    for (std::size_t i = 0; i < kMaxWindow; ++i) {
      if (i == w) break;
      pre[i + 1] = pre[i] * kHashBase + text[i] + 1;
    }
    if (bloom_.may_hold(finish(pre[w], w))) return true;
    for (std::size_t i = 0; i <= r; ++i) {
      if (bloom_.may_hold(without(pre, w, i))) return true;
    }
  }
  // N: a long-named keyword within one edit of a shorter prefix.
  return masks_ != 0 && long_named_near(text, remaining);
}

}  // namespace kwsieve
