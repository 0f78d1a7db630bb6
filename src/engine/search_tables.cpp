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
  compute_under();
}

SearchTables::Memory SearchTables::memory() const {
  return {held(counts_) + held(wide_counts_),
          held(keys_) + held(wide_keys_),
          held(reach_),
          held(fan_rows_) + held(fan_at_) + held(fan_ids_),
          held(under_blocks_) + held(under_)};
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
  reach_.assign(n_nodes, NarrowReach{UINT8_MAX, UINT8_MAX});
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

}  // namespace kwsieve
