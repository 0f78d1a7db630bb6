#include "engine/read_view.h"

#include <algorithm>

#include "engine/processor.h"

namespace kwsieve {

ReadView::ReadView(const KeywordProcessor& processor)
    : processor_(processor),
      case_sensitive_(processor.case_sensitive()),
      allow_overlaps_(processor.allow_overlaps()) {
  const WordSet& words = processor.non_word_boundaries();
  for (unsigned b = 0; b < 256; ++b) {
    word_byte_[b] = words.contains(b);
    unsigned lowered = (b >= 'A' && b <= 'Z') ? b + 32 : b;
    word_lowered_[b] = words.contains(lowered);
  }
  build_nodes(true);
  exact_ = ExactIndex(*this);
  // Exact matching needs only the index and the names. The node tables come back when
  // an approximate search first asks for them.
  std::vector<Node>().swap(nodes_);
  std::vector<uint32_t>().swap(keys_);
}

void ReadView::ensure_search() const {
  std::call_once(search_once_, [this] {
    auto* self = const_cast<ReadView*>(this);
    self->build_nodes(false);
    self->compute_reach();
    self->compute_fan();
    self->compute_tails();
    self->compute_under();
  });
}

// Numbers the nodes breadth first: `order` doubles as the queue, and a node's index in it
// is its id here. The same trie always gives the same ids, so a second build (without the
// names, which exact scans may be reading meanwhile) matches the first.
void ReadView::build_nodes(bool with_names) {
  const Trie& trie = processor_.trie();
  std::size_t n_nodes = trie.node_count();
  nodes_.reserve(n_nodes);
  keys_.reserve(n_nodes);
  if (with_names) names_.reserve(trie.count());

  std::vector<NodeId> order;
  order.reserve(n_nodes);
  order.push_back(Trie::root());
  keys_.push_back(0);
  uint32_t names = 0;
  for (std::size_t i = 0; i < order.size(); ++i) {
    NodeId t = order[i];
    Node nd{static_cast<uint32_t>(order.size()), 0, kNone, kNone};
    for (NodeId c = trie.first_child(t); c != kNoNode; c = trie.next_sibling(c)) {
      order.push_back(c);
      keys_.push_back(trie.key(c));
      ++nd.count;
    }
    if (trie.terminal(t)) {
      nd.name = names++;
      if (with_names) names_.push_back(trie.clean_name(t));
    }
    if (i == 0) {
      nd.wide = 0;
      wide_.assign(256, kNone);
      for (uint32_t j = 0; j < nd.count; ++j) {
        uint32_t k = keys_[nd.first + j];
        if (k < 256) wide_[k] = nd.first + j;
      }
    }
    nodes_.push_back(nd);
  }
}

void ReadView::compute_under() {
  under_.assign(nodes_.size(), Under{0, 0});
  for (std::size_t i = 0; i < nodes_.size(); ++i) {
    const Node& nd = nodes_[i];
    Under u{0, 0};
    for (uint32_t c = nd.first; c < nd.first + nd.count; ++c) {
      const Node& cd = nodes_[c];
      if (cd.name != kNone) {
        u.names = std::max(u.names, static_cast<uint32_t>(std::min<std::size_t>(names_[cd.name].size(), kNone - 1)));
      }
      for (uint32_t g = cd.first; g < cd.first + cd.count; ++g) {
        if (keys_[g] < 256) u.bytes |= uint64_t{1} << (keys_[g] & 63);
      }
    }
    under_[i] = u;
  }
}

void ReadView::compute_reach() {
  // Breadth-first ids put every child after its parent, so one pass from the last node to
  // the root sees each subtree complete before the node above it.
  reach_.assign(nodes_.size(), Reach{kNone, kNone});
  for (std::size_t i = nodes_.size(); i-- > 0;) {
    const Node& nd = nodes_[i];
    Reach r{kNone, kNone};
    if (nd.name != kNone) {
      std::size_t len = names_[nd.name].size();
      max_name_ = std::max(max_name_, len);
      r = {0, static_cast<uint32_t>(std::min<std::size_t>(len, kNone - 1))};
    }
    for (uint32_t c = nd.first; c < nd.first + nd.count; ++c) {
      const Reach& below = reach_[c];
      if (below.depth == kNone) continue;
      // depth + 1 < kNone: a path of kNone nodes would need more ids than exist.
      r.depth = r.depth == kNone ? below.depth + 1 : std::max(r.depth, below.depth + 1);
      r.name = r.name == kNone ? below.name : std::max(r.name, below.name);
    }
    reach_[i] = r;
  }
  max_keyword_ = reach_[0].depth == kNone ? 0 : reach_[0].depth;
}

void ReadView::compute_fan() {
  // Each child id enters a row at most once per key of its own children, plus once if it is
  // terminal: the ids of all rows together number at most twice the nodes. Offsets are
  // 32-bit; should they run out, the remaining nodes go unindexed, which only costs speed.
  std::array<uint64_t, 258> count;
  for (uint32_t n = 0; n < nodes_.size(); ++n) {
    const Node& nd = nodes_[n];
    if (nd.count <= kFanFrom) continue;
    count.fill(0);
    for (uint32_t c = nd.first; c < nd.first + nd.count; ++c) {
      const Node& cd = nodes_[c];
      for (uint32_t g = cd.first; g < cd.first + cd.count; ++g) {
        if (keys_[g] < 256) ++count[keys_[g] + 1];
      }
      if (cd.name != kNone) ++count[257];
    }
    // Counts to offsets, then fill each run in ascending child order.
    count[0] = fan_ids_.size();
    for (unsigned x = 1; x < 258; ++x) count[x] += count[x - 1];
    if (count[257] > UINT32_MAX) return;
    const uint32_t at = static_cast<uint32_t>(fan_at_.size());
    fan_rows_.push_back({n, at});
    for (uint64_t off : count) fan_at_.push_back(static_cast<uint32_t>(off));
    fan_ids_.resize(count[257]);
    std::array<uint64_t, 257> fill;
    std::copy(count.begin(), count.begin() + 257, fill.begin());
    for (uint32_t c = nd.first; c < nd.first + nd.count; ++c) {
      const Node& cd = nodes_[c];
      for (uint32_t g = cd.first; g < cd.first + cd.count; ++g) {
        if (keys_[g] < 256) fan_ids_[fill[keys_[g]]++] = c;
      }
      if (cd.name != kNone) fan_ids_[fill[256]++] = c;
    }
  }
}

}  // namespace kwsieve

namespace kwsieve {

void ReadView::compute_tails() {
  // Breadth first over the merged trie: a tail node's pairs are its parent's pairs moved one
  // byte down, grouped by that byte. Each trie node below the root enters exactly one tail
  // node (the one for its path without the first byte), so there are as many pairs as such
  // nodes, and at most as many tail nodes. Keys above 255 are left out: no text byte follows
  // them. The count of pairs fits 32 bits because the node ids do.
  const Node& root = nodes_[0];
  tail_nodes_.clear();
  tail_keys_.clear();
  tail_pairs_.clear();
  tail_pairs_.reserve(nodes_.size());
  auto longest_of = [&](uint32_t begin, uint32_t end) {
    uint32_t longest = 0;
    for (uint32_t i = begin; i < end; ++i) {
      const Node& u = nodes_[tail_pairs_[i].node];
      if (u.name != kNone) {
        longest = std::max(longest, static_cast<uint32_t>(std::min<std::size_t>(names_[u.name].size(), kNone - 1)));
      }
    }
    return longest;
  };
  for (uint32_t i = 0; i < root.count; ++i) tail_pairs_.push_back({i, root.first + i});
  tail_nodes_.push_back({1, 0, 0, root.count, 0});
  tail_keys_.push_back(0);
  struct Moved {
    uint32_t key;
    TailPair pair;
  };
  std::vector<Moved> moved;
  for (std::size_t t = 0; t < tail_nodes_.size(); ++t) {
    const uint32_t begin = tail_nodes_[t].begin, end = tail_nodes_[t].end;
    tail_nodes_[t].longest = longest_of(begin, end);
    moved.clear();
    for (uint32_t i = begin; i < end; ++i) {
      const TailPair pr = tail_pairs_[i];
      const Node& u = nodes_[pr.node];
      for (uint32_t c = u.first; c < u.first + u.count; ++c) {
        if (keys_[c] < 256) moved.push_back({keys_[c], {pr.child, c}});
      }
    }
    // Group by key; a stable sort keeps each key's pairs in child order.
    std::stable_sort(moved.begin(), moved.end(), [](const Moved& a, const Moved& b) { return a.key < b.key; });
    tail_nodes_[t].first = static_cast<uint32_t>(tail_nodes_.size());
    for (std::size_t from = 0; from < moved.size();) {
      std::size_t to = from + 1;
      while (to < moved.size() && moved[to].key == moved[from].key) ++to;
      const uint32_t at = static_cast<uint32_t>(tail_pairs_.size());
      for (std::size_t i = from; i < to; ++i) tail_pairs_.push_back(moved[i].pair);
      tail_nodes_.push_back({0, 0, at, at + static_cast<uint32_t>(to - from), 0});
      tail_keys_.push_back(static_cast<uint8_t>(moved[from].key));
      from = to;
    }
    tail_nodes_[t].count = static_cast<uint32_t>(tail_nodes_.size()) - tail_nodes_[t].first;
  }
}

}  // namespace kwsieve
