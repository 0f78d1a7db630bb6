#include "engine/search_tables.h"

#include <array>

namespace kwsieve {

namespace {
template <class T>
std::size_t held(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

uint32_t saturated_name(std::size_t len) {
  return static_cast<uint32_t>(std::min<std::size_t>(len, SearchTables::kUnreached - 1));
}
}  // namespace

SearchTables::SearchTables(const ExactIndex& exact, const std::vector<std::string_view>& names)
    : exact_(&exact), names_(names.data()) {
  read_nodes(exact);
  compute_reach();
  compute_fan();
  compute_suffixes();
  compute_under();
}

SearchTables::Memory SearchTables::memory() const {
  return {held(counts_) + held(wide_counts_),
          held(keys_) + held(wide_keys_),
          held(reach_),
          held(fan_rows_) + held(fan_at_) + held(fan_ids_),
          held(under_blocks_) + held(under_),
          held(suffix_nodes_) + held(suffix_keys_) + held(pair_nodes_) + held(pair_children_) +
              held(pair_wide_children_)};
}

// The exact index holds the numbering: each node's first child and its name, which are read
// from it as needed, and through its keys, its children's keys and count, which are kept.
void SearchTables::read_nodes(const ExactIndex& exact) {
  const std::size_t n = exact.size();
  counts_.assign(n, 0);
  keys_.assign(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const auto id = static_cast<uint32_t>(i);
    const uint32_t count = exact.for_each_child(id, [&](uint32_t c, uint32_t k) {
      if (k < kWide) {
        keys_[c] = static_cast<uint8_t>(k);
      } else {
        keys_[c] = kWide;
        wide_keys_.push_back({c, k});
      }
    });
    if (count < kWide) {
      counts_[i] = static_cast<uint8_t>(count);
    } else {
      counts_[i] = kWide;
      wide_counts_.push_back({id, count});
    }
  }
  // Children are visited by parent, and parents' runs are not in id order.
  std::sort(wide_keys_.begin(), wide_keys_.end(), [](const WideValue& a, const WideValue& b) { return a.id < b.id; });
}

void SearchTables::compute_under() {
  const std::size_t n_nodes = counts_.size();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n_nodes; ++i) kept += count(static_cast<ViewId>(i)) >= 2;
  under_blocks_.assign((n_nodes + 63) / 64, UnderBlock{0, 0});
  under_.reserve(kept);
  for (std::size_t i = 0; i < n_nodes; ++i) {
    const Node nd = node(static_cast<ViewId>(i));
    UnderBlock& block = under_blocks_[i / 64];
    if (i % 64 == 0) block.rank = static_cast<uint32_t>(under_.size());
    if (nd.count < 2) continue;
    block.kept |= uint64_t{1} << (i % 64);
    uint64_t bytes = 0;
    std::size_t names = 0;
    for (uint32_t c = nd.first; c < nd.first + nd.count; ++c) {
      const Node cd = node(c);
      if (cd.name != kNotTerminal) names = std::max(names, names_[cd.name].size());
      for (uint32_t g = cd.first; g < cd.first + cd.count; ++g) {
        const uint32_t k = key(g);
        if (k < 256) bytes |= uint64_t{1} << (k & 63);
      }
    }
    under_.push_back({bytes, static_cast<uint8_t>(std::min<std::size_t>(names, kWide))});
  }
}

void SearchTables::compute_reach() {
  // Every child has a larger id than its parent, so one pass from the last node to the
  // root sees each subtree complete before the node above it. The pass keeps the full
  // values (max_keyword() and max_name() need them); the table keeps them narrowed.
  const std::size_t n_nodes = counts_.size();
  std::vector<Reach> full(n_nodes, Reach{kUnreached, kUnreached});
  reach_.assign(n_nodes, NarrowReach{UINT16_MAX, UINT16_MAX});
  for (std::size_t i = n_nodes; i-- > 0;) {
    const Node nd = node(static_cast<ViewId>(i));
    Reach r{kUnreached, kUnreached};
    if (nd.name != kNotTerminal) {
      std::size_t len = names_[nd.name].size();
      max_name_ = std::max(max_name_, len);
      r = {0, saturated_name(len)};
    }
    for (uint32_t c = nd.first; c < nd.first + nd.count; ++c) {
      const Reach& below = full[c];
      if (below.depth == kUnreached) continue;
      // depth + 1 < kUnreached: a path of kUnreached nodes would need more ids than exist.
      r.depth = r.depth == kUnreached ? below.depth + 1 : std::max(r.depth, below.depth + 1);
      r.name = r.name == kUnreached ? below.name : std::max(r.name, below.name);
    }
    full[i] = r;
    if (r.depth != kUnreached) reach_[i] = {narrow(r.depth), narrow(r.name)};
  }
  max_keyword_ = full.empty() || full[0].depth == kUnreached ? 0 : full[0].depth;
}

void SearchTables::compute_fan() {
  // Each child id enters a row at most once per key of its own children, plus once if it is
  // terminal: the ids of all rows together number at most twice the nodes. A row's offsets
  // are 16-bit and where runs start 32-bit; a node whose row would not fit goes unindexed,
  // which only costs speed (and so do the remaining nodes once the runs' starts run out).
  std::array<uint64_t, 258> count;
  for (uint32_t n = 0; n < counts_.size(); ++n) {
    const Node nd = node(n);
    if (nd.count <= kFanFrom) continue;
    count.fill(0);
    for (uint32_t c = nd.first; c < nd.first + nd.count; ++c) {
      const Node cd = node(c);
      for (uint32_t g = cd.first; g < cd.first + cd.count; ++g) {
        const uint32_t k = key(g);
        if (k < 256) ++count[k + 1];
      }
      if (cd.name != kNotTerminal) ++count[257];
    }
    // Counts to offsets, then fill each run in ascending child order.
    for (unsigned x = 1; x < 258; ++x) count[x] += count[x - 1];
    if (count[257] > UINT16_MAX) continue;
    const std::size_t base = fan_ids_.size();
    if (base + count[257] > UINT32_MAX) break;
    fan_rows_.push_back({n, static_cast<uint32_t>(fan_at_.size()), static_cast<uint32_t>(base)});
    for (uint64_t off : count) fan_at_.push_back(static_cast<uint16_t>(off));
    fan_ids_.resize(base + count[257]);
    std::array<uint64_t, 257> fill;
    for (unsigned x = 0; x < 257; ++x) fill[x] = base + count[x];
    for (uint32_t c = nd.first; c < nd.first + nd.count; ++c) {
      const Node cd = node(c);
      for (uint32_t g = cd.first; g < cd.first + cd.count; ++g) {
        const uint32_t k = key(g);
        if (k < 256) fan_ids_[fill[k]++] = c;
      }
      if (cd.name != kNotTerminal) fan_ids_[fill[256]++] = c;
    }
  }
  // Grown by doubling.
  fan_rows_.shrink_to_fit();
  fan_at_.shrink_to_fit();
  fan_ids_.shrink_to_fit();
}

void SearchTables::compute_suffixes() {
  // Breadth first over the merged trie: a suffix node's pairs are its parent's pairs moved one
  // byte down, grouped by that byte. Each trie node below the root enters exactly one suffix
  // node (the one for its path without the first byte), so there are as many pairs as such
  // nodes, and at most as many suffix nodes. Keys above 255 are left out: no text byte follows
  // them. The count of pairs fits 32 bits because the node ids do. Nodes are made in id order
  // and each makes its children at once, so both a node's children and its pairs run up to
  // where the next node's begin; a last entry closes the runs of the last node.
  //
  // Built in place, in the tables' own narrow form: room for the most nodes and pairs there
  // can be is reserved at once (pages never written stay unused), so no growing copies or
  // wider temporaries add to what the first approximate call leaves resident.
  const Node root = node(0);
  const std::size_t most = counts_.size() + 1;
  const bool narrow_children = root.count <= uint32_t{UINT16_MAX} + 1;
  std::vector<PackedSuffix> nodes;
  std::vector<uint8_t> keys;
  nodes.reserve(most);
  keys.reserve(most);
  pair_nodes_.clear();
  pair_nodes_.reserve(most);
  (narrow_children ? pair_children_.reserve(most) : pair_wide_children_.reserve(most));
  auto add_pair = [&](uint32_t child, ViewId u) {
    pair_nodes_.push_back(u);
    if (narrow_children) {
      pair_children_.push_back(static_cast<uint16_t>(child));
    } else {
      pair_wide_children_.push_back(child);
    }
  };
  for (uint32_t i = 0; i < root.count; ++i) add_pair(i, root.first + i);
  nodes.push_back({0, 0, 0});
  keys.push_back(0);
  struct Moved {
    uint32_t key;
    uint32_t child;
    ViewId node;
  };
  std::vector<Moved> moved, sorted;
  std::array<uint32_t, 257> bucket;
  for (std::size_t t = 0; t < nodes.size(); ++t) {
    // The pairs of the last node made so far end where the pairs made so far do.
    const uint32_t begin = nodes[t].begin;
    const uint32_t end = t + 1 < nodes.size() ? nodes[t + 1].begin : static_cast<uint32_t>(pair_nodes_.size());
    uint32_t longest = 0;
    moved.clear();
    for (uint32_t i = begin; i < end; ++i) {
      const uint32_t child = suffix_child(i);
      const Node u = node(pair_nodes_[i]);
      if (u.name != kNotTerminal) longest = std::max(longest, saturated_name(names_[u.name].size()));
      for (uint32_t c = u.first; c < u.first + u.count; ++c) {
        const uint32_t k = key(c);
        if (k < 256) moved.push_back({k, child, c});
      }
    }
    nodes[t].longest = static_cast<uint8_t>(std::min<uint32_t>(longest, kWide));
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
    nodes[t].first = static_cast<uint32_t>(nodes.size());
    for (std::size_t from = 0; from < moved.size();) {
      std::size_t to = from + 1;
      while (to < moved.size() && moved[to].key == moved[from].key) ++to;
      nodes.push_back({0, static_cast<uint32_t>(pair_nodes_.size()), 0});
      keys.push_back(static_cast<uint8_t>(moved[from].key));
      for (std::size_t i = from; i < to; ++i) add_pair(moved[i].child, moved[i].node);
      from = to;
    }
  }
  nodes.push_back({static_cast<uint32_t>(nodes.size()), static_cast<uint32_t>(pair_nodes_.size()), 0});
  // Copies of the exact size; the pairs fill what was reserved for them but the root's.
  suffix_nodes_.assign(nodes.begin(), nodes.end());
  suffix_keys_.assign(keys.begin(), keys.end());
}

}  // namespace kwsieve
