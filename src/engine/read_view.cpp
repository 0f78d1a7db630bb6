#include "engine/read_view.h"

#include <algorithm>
#include <array>

#include "engine/processor.h"

namespace kwsieve {

ReadView::ReadView(const KeywordProcessor& processor)
    : processor_(processor),
      words_(processor.non_word_boundaries()),
      by_char_(processor.words_beyond_ascii()),
      case_sensitive_(processor.case_sensitive()),
      allow_overlaps_(processor.allow_overlaps()) {
  const WordSet& words = words_;
  for (unsigned b = 0; b < 256; ++b) {
    word_byte_[b] = b < 0x80 && words.contains(b);
    unsigned lowered = (b >= 'A' && b <= 'Z') ? b + 32 : b;
    word_lowered_[b] = lowered < 0x80 && words.contains(lowered);
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
    // A build that ran out of memory part way is retried by the next call: from nothing,
    // not on top of what it left behind (the steps below append).
    self->nodes_.clear();
    self->keys_.clear();
    self->fan_rows_.clear();
    self->fan_at_.clear();
    self->fan_ids_.clear();
    self->build_nodes(false);
    self->compute_reach();
    self->compute_fan();
    self->compute_tails();
    self->compute_under();
  });
}

// Numbers the nodes so that each node's children are one run of ids, and the runs are
// placed in depth-first order: visiting a node places its children's run next. A chain of
// single children then sits in consecutive records, and a walk down a keyword mostly reads
// neighbouring ones. Every child gets a larger id than its parent. The same trie always
// gives the same ids, so a second build (without the names, which exact scans may be
// reading meanwhile) matches the first.
void ReadView::build_nodes(bool with_names) {
  const Trie& trie = processor_.trie();
  std::size_t n_nodes = trie.node_count();
  nodes_.reserve(n_nodes);
  keys_.reserve(n_nodes);
  nodes_.push_back(Node{0, 0, kNone, kNone});
  keys_.push_back(0);
  // The names are looked up after the walk: the walk meets them in key order, scattered
  // over the trie's name table, and loads that wait for nothing else overlap.
  std::vector<uint32_t> name_ids;
  if (with_names) name_ids.reserve(trie.count());

  // Trie nodes waiting for their children's run, with their ids; the next child to visit
  // is on top.
  struct Visit {
    NodeId node;
    uint32_t id;
  };
  std::vector<Visit> stack;
  stack.push_back({Trie::root(), 0});
  uint32_t next = 1;
  uint32_t names = 0;
  std::vector<NodeId> children;
  while (!stack.empty()) {
    const Visit at = stack.back();
    stack.pop_back();
    children.clear();
    for (NodeId c = trie.first_child(at.node); c != kNoNode; c = trie.next_sibling(c)) {
      nodes_.push_back(Node{0, 0, kNone, kNone});
      keys_.push_back(trie.key(c));
      children.push_back(c);
    }
    Node& nd = nodes_[at.id];
    nd.first = next;
    next += static_cast<uint32_t>(children.size());
    nd.count = static_cast<uint32_t>(children.size());
    for (std::size_t j = children.size(); j-- > 0;) stack.push_back({children[j], nd.first + static_cast<uint32_t>(j)});
    if (trie.terminal(at.node)) {
      nd.name = names++;
      if (with_names) name_ids.push_back(trie.name_id(at.node));
    }
    if (at.id == 0) {
      nd.wide = 0;
      wide_.assign(256, kNone);
      for (uint32_t j = 0; j < nd.count; ++j) {
        uint32_t k = keys_[nd.first + j];
        if (k < 256) wide_[k] = nd.first + j;
      }
    }
  }
  names_.reserve(name_ids.size());
  for (uint32_t id : name_ids) names_.push_back(trie.clean_name_of(id));
}

void ReadView::compute_under() {
  under_bytes_.assign(nodes_.size(), 0);
  under_names_.assign(nodes_.size(), 0);
  for (std::size_t i = 0; i < nodes_.size(); ++i) {
    const Node& nd = nodes_[i];
    uint64_t bytes = 0;
    uint32_t names = 0;
    for (uint32_t c = nd.first; c < nd.first + nd.count; ++c) {
      const Node& cd = nodes_[c];
      if (cd.name != kNone) {
        names = std::max(names, static_cast<uint32_t>(std::min<std::size_t>(names_[cd.name].size(), kNone - 1)));
      }
      for (uint32_t g = cd.first; g < cd.first + cd.count; ++g) {
        if (keys_[g] < 256) bytes |= uint64_t{1} << (keys_[g] & 63);
      }
    }
    under_bytes_[i] = bytes;
    under_names_[i] = names;
  }
}

void ReadView::compute_reach() {
  // Every child has a larger id than its parent, so one pass from the last node to the
  // root sees each subtree complete before the node above it.
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

void ReadView::compute_tails() {
  // Breadth first over the merged trie: a tail node's pairs are its parent's pairs moved one
  // byte down, grouped by that byte. Each trie node below the root enters exactly one tail
  // node (the one for its path without the first byte), so there are as many pairs as such
  // nodes, and at most as many tail nodes. Keys above 255 are left out: no text byte follows
  // them. The count of pairs fits 32 bits because the node ids do. Nodes are made in id order
  // and each makes its children at once, so both a node's children and its pairs run up to
  // where the next node's begin; a last entry closes the runs of the last node.
  const Node& root = nodes_[0];
  tail_nodes_.clear();
  tail_keys_.clear();
  tail_pairs_.clear();
  tail_pairs_.reserve(nodes_.size());
  for (uint32_t i = 0; i < root.count; ++i) tail_pairs_.push_back({i, root.first + i});
  tail_nodes_.push_back({0, 0, 0});
  tail_keys_.push_back(0);
  struct Moved {
    uint32_t key;
    TailPair pair;
  };
  std::vector<Moved> moved, sorted;
  std::array<uint32_t, 257> bucket;
  for (std::size_t t = 0; t < tail_nodes_.size(); ++t) {
    // The pairs of the last node made so far end where the pairs made so far do.
    const uint32_t begin = tail_nodes_[t].begin;
    const uint32_t end =
        t + 1 < tail_nodes_.size() ? tail_nodes_[t + 1].begin : static_cast<uint32_t>(tail_pairs_.size());
    uint32_t longest = 0;
    moved.clear();
    for (uint32_t i = begin; i < end; ++i) {
      const TailPair pr = tail_pairs_[i];
      const Node& u = nodes_[pr.node];
      if (u.name != kNone) {
        longest = std::max(longest, static_cast<uint32_t>(std::min<std::size_t>(names_[u.name].size(), kNone - 1)));
      }
      for (uint32_t c = u.first; c < u.first + u.count; ++c) {
        if (keys_[c] < 256) moved.push_back({keys_[c], {pr.child, c}});
      }
    }
    tail_nodes_[t].longest = longest;
    // Group by key, keeping each key's pairs in child order: insertion sort for the short
    // lists that most nodes have, counting sort for long ones.
    if (moved.size() <= 32) {
      for (std::size_t i = 1; i < moved.size(); ++i) {
        const Moved m = moved[i];
        std::size_t k = i;
        for (; k > 0 && moved[k - 1].key > m.key; --k) moved[k] = moved[k - 1];
        moved[k] = m;
      }
    } else {
      bucket.fill(0);
      for (const Moved& m : moved) ++bucket[m.key + 1];
      for (unsigned k = 1; k < 257; ++k) bucket[k] += bucket[k - 1];
      sorted.resize(moved.size());
      for (const Moved& m : moved) sorted[bucket[m.key]++] = m;
      moved.swap(sorted);
    }
    tail_nodes_[t].first = static_cast<uint32_t>(tail_nodes_.size());
    for (std::size_t from = 0; from < moved.size();) {
      std::size_t to = from + 1;
      while (to < moved.size() && moved[to].key == moved[from].key) ++to;
      tail_nodes_.push_back({0, static_cast<uint32_t>(tail_pairs_.size()), 0});
      tail_keys_.push_back(static_cast<uint8_t>(moved[from].key));
      for (std::size_t i = from; i < to; ++i) tail_pairs_.push_back(moved[i].pair);
      from = to;
    }
  }
  tail_nodes_.push_back({static_cast<uint32_t>(tail_nodes_.size()), static_cast<uint32_t>(tail_pairs_.size()), 0});
}

std::shared_ptr<const StartFilter> ReadView::start_filter(uint64_t key, MakeStartFilter make) const {
  static constexpr std::size_t kKept = 4;
  std::lock_guard<std::mutex> lock(filters_mutex_);
  for (const auto& [k, f] : filters_) {
    if (k == key) return f;
  }
  if (filters_.size() >= kKept) return nullptr;
  filters_.emplace_back(key, make(*this, key));
  return filters_.back().second;
}

}  // namespace kwsieve
