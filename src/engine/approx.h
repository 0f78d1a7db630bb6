// The approximate (edit-distance) search from one start position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kwsieve {

class ReadView;

struct Candidate {
  uint32_t node;       // terminal node of the view, or ReadView::kNone for no candidate
  std::size_t length;  // bytes of text covered
  float similarity;
};

class ApproxSearcher {
 public:
  explicit ApproxSearcher(const ReadView& view) : view_(view) {}

  // Best candidate starting at `p` of the working text `w` at threshold `t` (0 <= t < 1):
  // the one of highest similarity, the first popped among equals.
  Candidate search(std::string_view w, std::size_t p, float t);

  // States popped by the searches so far (for benchmarks).
  uint64_t states_visited() const { return visited_; }

 private:
  struct State {
    uint32_t node;
    int32_t cost;
    std::size_t offset;
  };

  const ReadView& view_;
  std::vector<State> stack_;
  uint64_t visited_ = 0;
};

}  // namespace kwsieve
