#include "engine/approx.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/read_view.h"

namespace kwsieve {

namespace {

// Integers below this are exact in binary32.
constexpr std::size_t kExactFloat = std::size_t{1} << 24;

// Single-precision similarity of `cost` edits over `d` bytes, as both searches score it.
inline float similarity(int32_t cost, std::size_t d) {
  return 1.0f - static_cast<float>(cost) / static_cast<float>(d);
}

inline std::size_t mix(uint32_t node, std::size_t offset) {
  uint64_t h = (uint64_t{node} << 32 | static_cast<uint32_t>(offset)) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(h >> 32 ^ h);
}

}  // namespace

ApproxSearcher::ApproxSearcher(const ReadView& view)
    : view_(view), bounded_(view.max_name() < ReadView::kNone - 1) {}

void ApproxSearcher::Seen::next_start() {
  if (++stamp_ == 0) {
    // The stamp wrapped: forget every slot so that no stale one looks current.
    for (Slot& s : slots_) s.stamp = 0;
    stamp_ = 1;
  }
  used_ = 0;
}

void ApproxSearcher::Seen::grow() {
  std::vector<Slot> old;
  old.swap(slots_);
  slots_.assign(old.empty() ? kMinSlots : old.size() * 2, Slot{0, 0, 0, 0});
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.stamp != stamp_) continue;
    std::size_t i = mix(s.node, s.offset) & mask;
    while (slots_[i].stamp == stamp_) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

bool ApproxSearcher::Seen::admit(uint32_t node, std::size_t offset, int32_t cost) {
  if (used_ * 2 >= slots_.size() && slots_.size() < kMaxSlots) grow();
  // At most half the slots hold the current stamp, so the probe meets a free one.
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = mix(node, offset) & mask;
  for (; slots_[i].stamp == stamp_; i = (i + 1) & mask) {
    Slot& s = slots_[i];
    if (s.node == node && s.offset == offset) {
      if (s.cost <= cost) return false;
      s.cost = cost;
      return true;
    }
  }
  if (used_ * 2 < slots_.size()) {
    slots_[i] = Slot{node, stamp_, cost, offset};
    ++used_;
  }
  return true;
}

inline float ApproxSearcher::bound(uint32_t node, std::size_t offset, int32_t cost, bool exact) const {
  const ReadView::Reach& r = view_.reach(node);
  if (r.depth == ReadView::kNone) return -std::numeric_limits<float>::infinity();
  if (!bounded_) return 1.0f;
  uint64_t x = std::max<uint64_t>({uint64_t{offset} + r.depth, r.name, 1});
  if (exact) return 1.0f - static_cast<float>(cost) / static_cast<float>(x);
  // Each of the three roundings in cost' / D moves it by at most 2^-24 relatively, so a
  // quotient lowered by 2^-20 and rounded down stays below every score's quotient.
  double q = static_cast<double>(cost) / static_cast<double>(x) * (1.0 - 0x1p-20);
  float lo = static_cast<float>(q);
  if (static_cast<double>(lo) > q) lo = std::nextafter(lo, 0.0f);
  return 1.0f - lo;
}

// Whether pushing (node, offset, cost) can change anything. A state that may not make edit
// moves follows the text exactly until its budget returns, so its subtree down to there is a
// chain; if the chain breaks off (or reaches the end of the text) before the budget returns,
// and no state on it can score above the best similarity so far, popping it would change
// nothing, now or later, since the best similarity only grows. Such a state is not pushed,
// nor is one whose bound already rules it out. (A score that passes implies a passing bound.)
inline bool ApproxSearcher::live(const Scan& sc, uint32_t n, std::size_t j, int32_t c, bool open) const {
  const ReadView& v = view_;
  for (;;) {
    if (j < sc.remaining && open) return passes(sc, bound(n, j, c, sc.exact));
    if (j > 0 && v.terminal(n) && passes(sc, similarity(c, std::max(j, v.name(n).size())))) return true;
    if (j >= sc.remaining) return false;
    n = v.step(n, sc.text[j]);
    if (n == ReadView::kNone) return false;
    ++j;
    open = similarity(c, j + 1) >= sc.t;
  }
}

Candidate ApproxSearcher::search(std::string_view w, std::size_t p, float t) {
  const ReadView& v = view_;
  const std::size_t remaining = w.size() - p;
  Candidate best{ReadView::kNone, 0, 0.0f};
  // Every cost, offset and D met from here is at most remaining + 2 + max_keyword, and every
  // clean name length at most max_name: below 2^24 all of them are exact floats.
  const Scan sc{reinterpret_cast<const unsigned char*>(w.data()) + p, remaining, t, &best,
                !widened_ && remaining < kExactFloat && v.max_keyword() < kExactFloat - remaining - 2 &&
                    v.max_name() < kExactFloat};
  seen_.next_start();
  stack_.clear();
  stack_.push_back({0, 0, 0});
  while (!stack_.empty()) {
    const State s = stack_.back();
    stack_.pop_back();
    ++visited_;
    if (!seen_.admit(s.node, s.offset, s.cost)) continue;
    if (!passes(sc, bound(s.node, s.offset, s.cost, sc.exact))) continue;
    if (s.offset > 0 && v.terminal(s.node)) {
      const float sim = similarity(s.cost, std::max(s.offset, v.name(s.node).size()));
      if (sim >= t && sim > best.similarity) {
        best = {s.node, s.offset, sim};
        if (sim == 1.0f) break;
      }
    }
    if (s.offset >= remaining) continue;
    const unsigned char b = sc.text[s.offset];
    const std::size_t j1 = s.offset + 1;
    const uint32_t m = v.step(s.node, b);
    if (m != ReadView::kNone && live(sc, m, j1, s.cost, similarity(s.cost, j1 + 1) >= t)) {
      stack_.push_back({m, s.cost, j1});
    }
    if (similarity(s.cost, j1) >= t) {
      // Every edit move costs the same, and lands on offset j + 1 (text byte skipped,
      // substitution) or stays on j (keyword byte skipped): two budgets serve them all.
      const int32_t c1 = s.cost + 1;
      const bool open_next = similarity(c1, j1 + 1) >= t;
      const bool open_here = similarity(c1, j1) >= t;
      if (live(sc, s.node, j1, c1, open_next)) stack_.push_back({s.node, c1, j1});
      const ReadView::Node& nd = v.node(s.node);
      for (uint32_t c = nd.first; c < nd.first + nd.count; ++c) {
        if (v.key(c) != b && live(sc, c, j1, c1, open_next)) stack_.push_back({c, c1, j1});
        if (live(sc, c, s.offset, c1, open_here)) stack_.push_back({c, c1, s.offset});
      }
    }
  }
  return best;
}

Candidate ApproxSearcher::search_literal(std::string_view w, std::size_t p, float t) {
  const ReadView& v = view_;
  const std::size_t remaining = w.size() - p;
  Candidate best{ReadView::kNone, 0, 0.0f};
  stack_.clear();
  stack_.push_back({0, 0, 0});
  while (!stack_.empty()) {
    const State s = stack_.back();
    stack_.pop_back();
    ++visited_;
    // Only states that consumed text are scored: a zero-length candidate could neither be
    // placed in the text nor advance the scan.
    if (s.offset > 0 && v.terminal(s.node)) {
      const float sim = similarity(s.cost, std::max(s.offset, v.name(s.node).size()));
      if (sim >= t && sim > best.similarity) best = {s.node, s.offset, sim};
    }
    if (s.offset >= remaining) continue;
    const unsigned char b = static_cast<unsigned char>(w[p + s.offset]);
    const uint32_t m = v.step(s.node, b);
    if (m != ReadView::kNone) stack_.push_back({m, s.cost, s.offset + 1});
    if (similarity(s.cost, s.offset + 1) >= t) {
      stack_.push_back({s.node, s.cost + 1, s.offset + 1});
      const ReadView::Node& nd = v.node(s.node);
      for (uint32_t c = nd.first; c < nd.first + nd.count; ++c) {
        if (v.key(c) != b) stack_.push_back({c, s.cost + 1, s.offset + 1});
        stack_.push_back({c, s.cost + 1, s.offset});
      }
    }
  }
  return best;
}

}  // namespace kwsieve
