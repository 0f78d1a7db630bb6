// The read-optimised form of a processor's trie.
//
// Extraction runs far more often than the trie changes, so it scans a compact copy: the
// children of a node are one contiguous run of nodes, in the trie's child order (ascending
// key), and the runs are laid out depth first (see build_nodes). The copy is rebuilt after
// any change to the processor.
#pragma once

#include <algorithm>
#include <array>
#include <mutex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/exact_index.h"
#include "engine/utf8.h"
#include "engine/word_set.h"

namespace kwsieve {

class KeywordProcessor;
class StartFilter;

class ReadView {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;
  // Only the root gets a direct 256-entry table (the exact walk has its own compact index);
  // other nodes search their sorted keys, linearly up to this many.
  static constexpr uint32_t kLinearUpTo = 16;

  struct Node {
    uint32_t first;  // index of the first child
    uint32_t count;  // number of children
    uint32_t wide;   // row of `wide_` for wide nodes, else kNone
    uint32_t name;   // index into names_ when terminal, else kNone
  };

  // What lies below a node, for bounding the approximate search: the greatest depth, counted
  // from the node, at which a keyword ends in its subtree (0 when only the node itself is
  // terminal), and the longest clean name of those keywords. Both are kNone when no keyword
  // ends in the subtree (possible only in a decoded state). A name of kNone or more bytes
  // saturates to kNone - 1; max_name() says whether that happened.
  struct Reach {
    uint32_t depth;
    uint32_t name;
  };

  // Nodes with more children than this also keep a fan-out index (fan()).
  static constexpr uint32_t kFanFrom = 8;

  // A run of child ids, ascending.
  struct Ids {
    const uint32_t* begin;
    const uint32_t* end;
  };

  // Keeps a reference to `processor`: a view lives only while the processor is unchanged.
  explicit ReadView(const KeywordProcessor& processor);

  // Builds the node tables, bounds and fan-out index that the approximate search reads
  // (everything below up to exact() but the names). Safe to call from several threads;
  // the first call does the work.
  void ensure_search() const;

  // The clean name of a terminal node of the exact index; needs no ensure_search().
  std::string_view exact_name(uint32_t n) const { return names_[exact_.name_index(n)]; }

  const Node& node(uint32_t n) const { return nodes_[n]; }
  uint32_t key(uint32_t n) const { return keys_[n]; }
  bool terminal(uint32_t n) const { return nodes_[n].name != kNone; }
  std::string_view name(uint32_t n) const { return names_[nodes_[n].name]; }
  std::size_t size() const { return nodes_.size(); }
  const Reach& reach(uint32_t n) const { return reach_[n]; }
  // The longest keyword and the longest clean name, in bytes.
  uint32_t max_keyword() const { return max_keyword_; }
  std::size_t max_name() const { return max_name_; }

  // For a node with more than kFanFrom children: the children that have a child under byte x
  // (x < 256), or with x = 256 the children that are terminal. An approximate search state
  // that must next follow byte x, or else score where it stands, can only be one of these.
  // Other nodes get an empty run and `indexed` false.
  Ids fan(uint32_t n, unsigned x, bool& indexed) const {
    const auto row = std::lower_bound(fan_rows_.begin(), fan_rows_.end(), n,
                                      [](const FanRow& r, uint32_t id) { return r.node < id; });
    indexed = row != fan_rows_.end() && row->node == n;
    if (!indexed) return {nullptr, nullptr};
    const uint32_t* at = fan_at_.data() + std::size_t{row->at} + x;
    return {fan_ids_.data() + at[0], fan_ids_.data() + at[1]};
  }

  // The tail index: the trie of the keyword paths below the root's children with their first
  // byte cut off, merged. Its node for a string y lists every pair (child x of the root,
  // node u) where u is reached from x along y, so one walk along the text finds, for all the
  // root's children at once, those whose subtree can follow it: the approximate search's
  // root expansion asks exactly that of every child. Node 0 (the empty string) lists every
  // child of the root with itself.
  struct TailPair {
    uint32_t child;  // index of x among the root's children
    uint32_t node;   // u
  };
  struct TailNode {
    uint32_t first;    // first child; children are consecutive ids, ascending key, up to
                       // the next node's first
    uint32_t begin;    // first pair (tail_pairs()); its pairs run up to the next node's begin
    uint32_t longest;  // longest clean name among its pairs' terminal nodes (saturated), else 0
  };
  const TailNode& tail(uint32_t t) const { return tail_nodes_[t]; }
  // The pairs of tail node t are tail_pairs()[tail(t).begin, tail_end(t)).
  uint32_t tail_end(uint32_t t) const { return tail_nodes_[t + 1].begin; }
  const TailPair* tail_pairs() const { return tail_pairs_.data(); }
  // The child of tail node t under byte b, or kNone.
  uint32_t tail_step(uint32_t t, unsigned char b) const {
    const uint32_t first = tail_nodes_[t].first;
    const uint8_t* k = tail_keys_.data() + first;
    const uint8_t* end = tail_keys_.data() + tail_nodes_[t + 1].first;
    const uint8_t* hit = std::lower_bound(k, end, b);
    return hit != end && *hit == b ? first + static_cast<uint32_t>(hit - k) : kNone;
  }

  // What lies one and two levels below a node: `bytes` has bit (k mod 64) for the key k of
  // each child of a child (keys below 256), so a clear bit means no grandchild has such a key;
  // `names` is the longest clean name among its terminal children (saturated; 0 if none).
  struct Under {
    uint64_t bytes;
    uint32_t names;
  };
  Under under(uint32_t n) const { return {under_bytes_[n], under_names_[n]}; }

  // The child of `n` under byte `b`, or kNone.
  uint32_t step(uint32_t n, unsigned char b) const {
    const Node& nd = nodes_[n];
    if (nd.wide != kNone) return wide_[std::size_t{nd.wide} * 256 + b];
    const uint32_t* k = keys_.data() + nd.first;
    if (nd.count > kLinearUpTo) {
      const uint32_t* hit = std::lower_bound(k, k + nd.count, uint32_t{b});
      return hit != k + nd.count && *hit == b ? nd.first + static_cast<uint32_t>(hit - k) : kNone;
    }
    for (uint32_t i = 0; i < nd.count; ++i) {
      if (k[i] >= b) return k[i] == b ? nd.first + i : kNone;
    }
    return kNone;
  }

  // Membership of each byte value in the word-character set (the byte tested as the code
  // point with the same number). With a word set of ASCII characters only, that is the
  // whole word test: no byte of a multi-byte character is a member, and neither is the
  // character. Otherwise (by_char()) the bytes from 0x80 up count as non-word bytes here,
  // so that tests and masks built on bytes let through every place where the test of
  // the whole character may pass, and word_char_at() decides those.
  bool word_byte(unsigned char b) const { return word_byte_[b]; }
  bool by_char() const { return by_char_; }
  // Whether the character that holds byte i of the text w[0, n) is a word character.
  bool word_char_at(const unsigned char* w, std::size_t n, std::size_t i) const {
    return words_.contains(char_holding(w, n, i).c);
  }
  // The word test of the character that ends just before offset p (0 < p <= n): byte
  // p - 1 belongs to it. (A start inside a character, possible in approximate mode, is
  // tested against the character it cuts.)
  bool word_before(const unsigned char* w, std::size_t n, std::size_t p) const {
    const unsigned char b = w[p - 1];
    return b < 0x80 || !by_char_ ? word_byte_[b] : word_char_at(w, n, p - 1);
  }
  const WordSet& words() const { return words_; }
  // Word membership of the lowercased byte, for scanning ASCII text without copying it.
  bool word_byte_lowered(unsigned char b) const { return word_lowered_[b]; }
  // Whether a keyword can start with byte b (the root has a child under it).
  bool root_has(unsigned char b) const { return wide_[b] != kNone; }

  // The exact walk's compact form of the same nodes (same ids).
  const ExactIndex& exact() const { return exact_; }

  bool case_sensitive() const { return case_sensitive_; }
  bool allow_overlaps() const { return allow_overlaps_; }

  // The approximate search's start filter for `key`, made by `make` on first use and kept
  // (a few keys at most; past those, null). Safe to call from several threads.
  using MakeStartFilter = std::shared_ptr<const StartFilter> (*)(const ReadView&, uint64_t key);
  std::shared_ptr<const StartFilter> start_filter(uint64_t key, MakeStartFilter make) const;

 private:
  void build_nodes(bool with_names);
  void compute_reach();
  void compute_fan();
  void compute_tails();
  void compute_under();

  const KeywordProcessor& processor_;
  ExactIndex exact_;
  mutable std::once_flag search_once_;

  std::vector<Node> nodes_;
  std::vector<uint32_t> keys_;       // key of each node (the root's is unused)
  std::vector<uint32_t> wide_;       // the root's 256-entry table
  std::vector<std::string_view> names_;
  std::vector<Reach> reach_;
  uint32_t max_keyword_ = 0;
  std::size_t max_name_ = 0;
  // Fan-out index: one row per indexed node, sorted by node; a row is 258 offsets into
  // fan_ids_ starting at fan_at_[at] (bytes 0..255, then the terminal children).
  struct FanRow {
    uint32_t node;
    uint32_t at;
  };
  std::vector<FanRow> fan_rows_;
  std::vector<uint32_t> fan_at_;
  std::vector<uint32_t> fan_ids_;
  std::vector<uint64_t> under_bytes_;
  std::vector<uint32_t> under_names_;
  std::vector<TailNode> tail_nodes_;
  std::vector<uint8_t> tail_keys_;  // key of each tail node
  // tail_nodes_ ends with an entry past the last node that closes its runs.
  std::vector<TailPair> tail_pairs_;
  const WordSet& words_;
  bool by_char_;
  std::array<bool, 256> word_byte_{};
  std::array<bool, 256> word_lowered_{};
  bool case_sensitive_;
  bool allow_overlaps_;
  mutable std::mutex filters_mutex_;
  mutable std::vector<std::pair<uint64_t, std::shared_ptr<const StartFilter>>> filters_;
};

}  // namespace kwsieve
