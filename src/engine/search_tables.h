// The tables the approximate search reads beside the exact index.
//
// Exact scans need only the exact index and the clean names; the approximate search also
// walks every child of a node, bounds what lies below it and looks ahead by bytes. These
// tables hold that, over the same ids as the exact index, and are built on the first
// approximate call (ReadView::search()). What the exact index already holds (a node's first
// child and name) is read from it, not copied: the search has just stepped through that
// record, so reading it again costs nothing, and the tables keep only what it lacks, each
// field as narrow as its values allow (wider values go to short side lists, or are loosened
// where only a bound is needed), and kept only for the nodes where it pays (the byte
// summaries). The root expansion's suffix index, whose depth follows the threshold, is apart
// (suffix_index.h).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/exact_index.h"
#include "engine/portable.h"
#include "engine/view_id.h"

namespace kwsieve {

class SearchTables {
 public:
  // Reach of a subtree where no keyword ends.
  static constexpr uint32_t kUnreached = UINT32_MAX;

  // A node as the search sees it, assembled from the exact index's record and the count.
  struct Node {
    ViewId first;    // id of the first child
    uint32_t count;  // number of children
    uint32_t name;   // index into the clean names when terminal, else kNotTerminal
  };

  // What lies below a node, for bounding the approximate search: the greatest depth, counted
  // from the node, at which a keyword ends in its subtree (0 when only the node itself is
  // terminal), and the longest clean name of those keywords. Both are kUnreached when no
  // keyword ends in the subtree (possible only in a decoded state). Either may be larger than
  // that, never smaller, which only loosens the bound: they are kept in a byte each, and one
  // above kNarrowLimit reads as kUnreached - 1 (beyond every depth, and beyond every name
  // but those of kUnreached - 1 bytes or more; max_name() says whether there are any). Few
  // keywords or clean names run to 254 bytes, and only the nodes above those lose their bound.
  struct Reach {
    uint32_t depth;
    uint32_t name;
  };

  static constexpr uint32_t kNarrowLimit = UINT8_MAX - 2;

  // Nodes with more children than this also keep a fan-out index (fan()).
  static constexpr uint32_t kFanFrom = 8;

  // A run of child ids, ascending.
  struct Ids {
    const ViewId* begin;
    const ViewId* end;
  };

  // `names`: the clean names by name index, which must outlive the tables.
  SearchTables(const ExactIndex& exact, const std::vector<std::string_view>& names);

  // `exact` and `names` must outlive the tables.
  Node node(ViewId n) const { return {exact_->first(n), count(n), exact_->name_index(n)}; }
  uint32_t count(ViewId n) const { return counts_[n] != kWide ? counts_[n] : wide(wide_counts_, n); }
  uint32_t key(ViewId n) const { return keys_[n] != kWide ? keys_[n] : wide(wide_keys_, n); }
  bool terminal(ViewId n) const { return exact_->terminal(n); }
  std::string_view name(ViewId n) const { return names_[exact_->name_index(n)]; }
  std::size_t size() const { return counts_.size(); }
  Reach reach(ViewId n) const { return {widen(reach_[n].depth), widen(reach_[n].name)}; }
  // The longest keyword and the longest clean name, in bytes.
  uint32_t max_keyword() const { return max_keyword_; }
  std::size_t max_name() const { return max_name_; }

  // For a node with more than kFanFrom children: the children that have a child under byte x
  // (x < 256), or with x = 256 the children that are terminal. An approximate search state
  // that must next follow byte x, or else score where it stands, can only be one of these.
  // Other nodes get an empty run and `indexed` false.
  Ids fan(ViewId n, unsigned x, bool& indexed) const {
    const auto row = std::lower_bound(fan_rows_.begin(), fan_rows_.end(), n,
                                      [](const FanRow& r, uint32_t id) { return r.node < id; });
    indexed = row != fan_rows_.end() && row->node == n;
    if (!indexed) return {nullptr, nullptr};
    const uint16_t* at = fan_at_.data() + std::size_t{row->at} + x;
    const ViewId* ids = fan_ids_.data() + row->ids;
    return {ids + at[0], ids + at[1]};
  }

  // What lies one and two levels below a node: `bytes` has bit (k mod 64) for the key k of
  // each child of a child (keys below 256), so a clear bit means no grandchild has such a key;
  // `names` is the longest clean name among its terminal children (0 if none), or more: it
  // only decides when the bytes may rule moves out, so a name of kWide bytes or more reads
  // as UINT32_MAX, which never lets them.
  //
  // Kept only for nodes of two or more children (about one node in twenty): into a single
  // child the summary would save one land() walk at most, no more than it costs to read. Other
  // nodes answer "rules out nothing" (every byte, names UINT32_MAX).
  struct Under {
    uint64_t bytes;
    uint32_t names;
  };
  Under under(ViewId n) const {
    const UnderBlock& b = under_blocks_[n >> 6];
    const uint64_t bit = uint64_t{1} << (n & 63);
    if (!(b.kept & bit)) return {~uint64_t{0}, UINT32_MAX};
    const PackedUnder& u = under_[b.rank + popcount(b.kept & (bit - 1))];
    return {u.bytes, u.names != kWide ? uint32_t{u.names} : UINT32_MAX};
  }

  // Heap bytes held by each table (for benchmarks): child counts, keys, reach, fan-out
  // index, byte summaries. (The root expansion's suffix index is apart: ReadView keeps it.)
  struct Memory {
    std::size_t nodes, keys, reach, fan, under;
    std::size_t total() const { return nodes + keys + reach + fan + under; }
  };
  Memory memory() const;

 private:
  void read_nodes(const ExactIndex& exact);
  void compute_reach();
  void compute_fan();
  void compute_under();

  // A byte of counts_, keys_ or a summary's names that stands for kWide or more: counts and keys
  // are then in a side list by id. Few nodes have that many children, only a decoded state
  // has keys that are not bytes, and the byte 255, which goes there too, is in no UTF-8 text.
  static constexpr uint8_t kWide = UINT8_MAX;
  struct WideValue {
    ViewId id;
    uint32_t value;
  };
  static uint32_t wide(const std::vector<WideValue>& list, ViewId n) {
    return std::lower_bound(list.begin(), list.end(), n, [](const WideValue& w, ViewId id) { return w.id < id; })
        ->value;
  }
  static uint8_t narrow(uint32_t v) { return static_cast<uint8_t>(std::min<uint32_t>(v, kNarrowLimit + 1)); }
  static uint32_t widen(uint8_t v) { return v <= kNarrowLimit ? v : v == UINT8_MAX ? kUnreached : kUnreached - 1; }
  struct NarrowReach {
    uint8_t depth;
    uint8_t name;
  };

  const ExactIndex* exact_;
  const std::string_view* names_;  // the view's clean names, which do not change
  std::vector<uint8_t> counts_;  // children of each node, or kWide
  std::vector<WideValue> wide_counts_;
  std::vector<uint8_t> keys_;  // key of each node (the root's is unused), or kWide
  std::vector<WideValue> wide_keys_;
  std::vector<NarrowReach> reach_;  // UINT8_MAX: kUnreached
  uint32_t max_keyword_ = 0;
  std::size_t max_name_ = 0;
  // Fan-out index: one row per indexed node, sorted by node; a row is 258 offsets starting
  // at fan_at_[at] (bytes 0..255, then the terminal children) into the row's run of
  // fan_ids_, which starts at `ids`. Offsets within a run take 16 bits; a node whose run would
  // be longer goes unindexed.
  struct FanRow {
    uint32_t node;
    uint32_t at;
    uint32_t ids;
  };
  std::vector<FanRow> fan_rows_;
  std::vector<uint16_t> fan_at_;
  std::vector<uint32_t> fan_ids_;
  // Byte summaries (under()): bit i of under_blocks_[k].kept is set when node 64 k + i keeps
  // one, and `rank` counts the nodes before 64 k that do, so the summary of a kept node n is
  // under_[rank + the set bits below n's]. The names are saturated at kWide, in a byte.
  struct UnderBlock {
    uint64_t kept;
    uint32_t rank;
  };
  struct [[gnu::packed]] PackedUnder {
    uint64_t bytes;
    uint8_t names;
  };
  static_assert(sizeof(PackedUnder) == 9);
  std::vector<UnderBlock> under_blocks_;
  std::vector<PackedUnder> under_;
};

}  // namespace kwsieve
