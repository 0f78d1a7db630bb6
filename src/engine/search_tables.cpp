#include "engine/search_tables.h"

#include <array>

namespace kwsieve {

SearchTables::SearchTables(const ExactIndex& exact, const std::vector<std::string_view>& names) : names_(names.data()) {
  read_nodes(exact);
  compute_reach();
  compute_fan();
  compute_suffixes();
  compute_under();
}

namespace {
template <class T>
std::size_t held(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}
}  // namespace

SearchTables::Memory SearchTables::memory() const {
  return {held(nodes_),
          held(keys_),
          held(reach_),
          held(fan_rows_) + held(fan_at_) + held(fan_ids_),
          held(under_bytes_) + held(under_names_),
          held(suffix_nodes_) + held(suffix_keys_) + held(suffix_pairs_)};
}

// The exact index holds the numbering: each node's first child, its name and, through its
// keys, its children's keys and count.
void SearchTables::read_nodes(const ExactIndex& exact) {
  const std::size_t n = exact.size();
  nodes_.resize(n);
  keys_.assign(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const auto id = static_cast<uint32_t>(i);
    const uint32_t count = exact.for_each_child(id, [&](uint32_t c, uint32_t k) { keys_[c] = k; });
    nodes_[i] = Node{exact.first(id), count, exact.name_index(id)};
  }
}

void SearchTables::compute_under() {
  under_bytes_.assign(nodes_.size(), 0);
  under_names_.assign(nodes_.size(), 0);
  for (std::size_t i = 0; i < nodes_.size(); ++i) {
    const Node& nd = nodes_[i];
    uint64_t bytes = 0;
    uint32_t names = 0;
    for (uint32_t c = nd.first; c < nd.first + nd.count; ++c) {
      const Node& cd = nodes_[c];
      if (cd.name != kNotTerminal) {
        names = std::max(names, static_cast<uint32_t>(std::min<std::size_t>(names_[cd.name].size(), kUnreached - 1)));
      }
      for (uint32_t g = cd.first; g < cd.first + cd.count; ++g) {
        if (keys_[g] < 256) bytes |= uint64_t{1} << (keys_[g] & 63);
      }
    }
    under_bytes_[i] = bytes;
    under_names_[i] = names;
  }
}

void SearchTables::compute_reach() {
  // Every child has a larger id than its parent, so one pass from the last node to the
  // root sees each subtree complete before the node above it.
  reach_.assign(nodes_.size(), Reach{kUnreached, kUnreached});
  for (std::size_t i = nodes_.size(); i-- > 0;) {
    const Node& nd = nodes_[i];
    Reach r{kUnreached, kUnreached};
    if (nd.name != kNotTerminal) {
      std::size_t len = names_[nd.name].size();
      max_name_ = std::max(max_name_, len);
      r = {0, static_cast<uint32_t>(std::min<std::size_t>(len, kUnreached - 1))};
    }
    for (uint32_t c = nd.first; c < nd.first + nd.count; ++c) {
      const Reach& below = reach_[c];
      if (below.depth == kUnreached) continue;
      // depth + 1 < kUnreached: a path of kUnreached nodes would need more ids than exist.
      r.depth = r.depth == kUnreached ? below.depth + 1 : std::max(r.depth, below.depth + 1);
      r.name = r.name == kUnreached ? below.name : std::max(r.name, below.name);
    }
    reach_[i] = r;
  }
  max_keyword_ = reach_[0].depth == kUnreached ? 0 : reach_[0].depth;
}

void SearchTables::compute_fan() {
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
      if (cd.name != kNotTerminal) ++count[257];
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
      if (cd.name != kNotTerminal) fan_ids_[fill[256]++] = c;
    }
  }
}

void SearchTables::compute_suffixes() {
  // Breadth first over the merged trie: a suffix node's pairs are its parent's pairs moved one
  // byte down, grouped by that byte. Each trie node below the root enters exactly one suffix
  // node (the one for its path without the first byte), so there are as many pairs as such
  // nodes, and at most as many suffix nodes. Keys above 255 are left out: no text byte follows
  // them. The count of pairs fits 32 bits because the node ids do. Nodes are made in id order
  // and each makes its children at once, so both a node's children and its pairs run up to
  // where the next node's begin; a last entry closes the runs of the last node.
  const Node& root = nodes_[0];
  suffix_nodes_.clear();
  suffix_keys_.clear();
  suffix_pairs_.clear();
  suffix_pairs_.reserve(nodes_.size());
  for (uint32_t i = 0; i < root.count; ++i) suffix_pairs_.push_back({i, root.first + i});
  suffix_nodes_.push_back({0, 0, 0});
  suffix_keys_.push_back(0);
  struct Moved {
    uint32_t key;
    SuffixPair pair;
  };
  std::vector<Moved> moved, sorted;
  std::array<uint32_t, 257> bucket;
  for (std::size_t t = 0; t < suffix_nodes_.size(); ++t) {
    // The pairs of the last node made so far end where the pairs made so far do.
    const uint32_t begin = suffix_nodes_[t].begin;
    const uint32_t end =
        t + 1 < suffix_nodes_.size() ? suffix_nodes_[t + 1].begin : static_cast<uint32_t>(suffix_pairs_.size());
    uint32_t longest = 0;
    moved.clear();
    for (uint32_t i = begin; i < end; ++i) {
      const SuffixPair pr = suffix_pairs_[i];
      const Node& u = nodes_[pr.node];
      if (u.name != kNotTerminal) {
        longest = std::max(longest, static_cast<uint32_t>(std::min<std::size_t>(names_[u.name].size(), kUnreached - 1)));
      }
      for (uint32_t c = u.first; c < u.first + u.count; ++c) {
        if (keys_[c] < 256) moved.push_back({keys_[c], {pr.child, c}});
      }
    }
    suffix_nodes_[t].longest = longest;
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
    suffix_nodes_[t].first = static_cast<uint32_t>(suffix_nodes_.size());
    for (std::size_t from = 0; from < moved.size();) {
      std::size_t to = from + 1;
      while (to < moved.size() && moved[to].key == moved[from].key) ++to;
      suffix_nodes_.push_back({0, static_cast<uint32_t>(suffix_pairs_.size()), 0});
      suffix_keys_.push_back(static_cast<uint8_t>(moved[from].key));
      for (std::size_t i = from; i < to; ++i) suffix_pairs_.push_back(moved[i].pair);
      from = to;
    }
  }
  suffix_nodes_.push_back({static_cast<uint32_t>(suffix_nodes_.size()), static_cast<uint32_t>(suffix_pairs_.size()), 0});
}

}  // namespace kwsieve
