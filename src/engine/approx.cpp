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

float ApproxSearcher::bound(uint32_t node, std::size_t offset, int32_t cost, bool exact) const {
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

Candidate ApproxSearcher::search(std::string_view w, std::size_t p, float t) {
  const ReadView& v = view_;
  const std::size_t remaining = w.size() - p;
  // Every cost, offset and D met from here is at most remaining + 2 + max_keyword, and every
  // clean name length at most max_name: below 2^24 all of them are exact floats.
  const bool exact = !widened_ && remaining < kExactFloat && v.max_keyword() < kExactFloat - remaining - 2 &&
                     v.max_name() < kExactFloat;
  Candidate best{ReadView::kNone, 0, 0.0f};
  seen_.next_start();
  stack_.clear();
  stack_.push_back({0, 0, 0});
  while (!stack_.empty()) {
    const State s = stack_.back();
    stack_.pop_back();
    ++visited_;
    if (!seen_.admit(s.node, s.offset, s.cost)) continue;
    const float u = bound(s.node, s.offset, s.cost, exact);
    if (!(u >= t && u > best.similarity)) continue;
    if (s.offset > 0 && v.terminal(s.node)) {
      const float sim = similarity(s.cost, std::max(s.offset, v.name(s.node).size()));
      if (sim >= t && sim > best.similarity) {
        best = {s.node, s.offset, sim};
        if (sim == 1.0f) break;
      }
    }
    if (s.offset >= remaining) continue;
    const unsigned char b = static_cast<unsigned char>(w[p + s.offset]);
    const uint32_t m = v.step(s.node, b);
    if (m != ReadView::kNone) stack_.push_back({m, s.cost, s.offset + 1});
    if (similarity(s.cost, s.offset + 1) >= t) {
      const int32_t c1 = s.cost + 1;
      stack_.push_back({s.node, c1, s.offset + 1});
      const ReadView::Node& nd = v.node(s.node);
      for (uint32_t c = nd.first; c < nd.first + nd.count; ++c) {
        if (v.key(c) != b) stack_.push_back({c, c1, s.offset + 1});
        stack_.push_back({c, c1, s.offset});
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
