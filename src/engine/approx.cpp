#include "engine/approx.h"

#include "engine/read_view.h"

namespace kwsieve {

Candidate ApproxSearcher::search(std::string_view w, std::size_t p, float t) {
  const ReadView& v = view_;
  const std::size_t remaining = w.size() - p;
  Candidate best{ReadView::kNone, 0, 0.0f};
  stack_.clear();
  stack_.push_back({0, 0, 0});
  while (!stack_.empty()) {
    State s = stack_.back();
    stack_.pop_back();
    ++visited_;
    if (v.terminal(s.node)) {
      std::size_t d = std::max(s.offset, v.name(s.node).size());
      // d == 0 gives NaN or -inf, which never passes the test below.
      float sim = 1.0f - static_cast<float>(s.cost) / static_cast<float>(d);
      if (sim >= t && sim > best.similarity) best = {s.node, s.offset, sim};
    }
    if (s.offset >= remaining) continue;
    const unsigned char b = static_cast<unsigned char>(w[p + s.offset]);
    uint32_t m = v.step(s.node, b);
    if (m != ReadView::kNone) stack_.push_back({m, s.cost, s.offset + 1});
    if (1.0f - static_cast<float>(s.cost) / static_cast<float>(s.offset + 1) >= t) {
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
