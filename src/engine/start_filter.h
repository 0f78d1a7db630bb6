// The approximate search's start filter: rules out, from the first bytes of the text,
// most start positions where no candidate can start (see approx.h for the search).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/blocked_bloom.h"

namespace kwsieve {

class ExactIndex;
class SearchTables;

// A test that rules out a start position before any search, for thresholds at which one edit
// keeps the budget closed for a while. Let L be the least span at which a cost of 1 passes
// (1 - 1 / L >= t) and W = L - 1. A state of cost 1 may edit again only from offset W on, and
// every edit from there lands at offset W or beyond, so every state at an offset below W has
// cost 0 or 1: up to offset W the search follows the text with one edit at most. Hence a
// candidate (n, j, c) from a start needs one of:
//
//   E. c = 0 and j < W: the text spells a keyword exactly (and j >= 1).
//   M. j >= W: the states of its path up to the first one at offset W read text[0, W) and
//      spell a path of the trie with at most one edit, so text[0, W) is within edit
//      distance 1 of a string spelled from the root W - 1, W or W + 1 deep.
//   N. c = 1 and j < W (cost 2 needs offset W): 1 - 1 / max(j, N) >= t with N the clean
//      name's length forces N >= L, and text[0, j) is within one edit of the keyword, whose
//      depth is then at most j + 1 <= W.
//
// All of this holds as well for any W' < W in place of W, which bounds the window.
// E is a walk of the exact index. M uses symmetric deletions: x is within one edit of y
// exactly when x = y, x minus one byte is y (|y| = W - 1), x is y minus one byte
// (|y| = W + 1), or both minus the byte at one position agree; a blocked Bloom filter holds,
// for every path W - 1, W or W + 1 deep, the strings the right side can give. The bytes
// before the edit spell a path, so x is probed with the deletions at positions up to the
// length of its longest prefix in the trie only (a false positive only costs a search).
// N lists the keywords of long names and, for each, the values that a one-edit alignment
// with a prefix of the text fixes among the text's first four bytes (a wildcard where the
// edit or the end of the alignment leaves a byte free); the text's first bytes look those
// patterns up by each mask of fixed positions in use, and the keywords found are checked
// exactly. A long-named keyword of depth 0 or 1 fixes nothing through a substitution, and
// then the filter passes every start.
//
// The filter only ever answers "no candidate" where the search would find none, so results
// are unchanged; it depends on the threshold only through L.
class StartFilter {
 public:
  // Windows below this rule out too little to pay for the probes.
  static constexpr uint32_t kMinWindow = 6;
  static constexpr uint32_t kMaxWindow = 12;
  static bool applies(uint64_t least_one) { return least_one > kMinWindow; }

  // `least_one`: the least span at which a cost of 1 passes (applies() must hold).
  StartFilter(const SearchTables& tables, uint64_t least_one);
  // The same, shared (ReadView::start_filter keeps it).
  static std::shared_ptr<const StartFilter> make(const SearchTables& tables, uint64_t least_one);
  // False only when no candidate starts at `text` (with `remaining` bytes).
  bool may_match(const ExactIndex& x, const unsigned char* text, std::size_t remaining) const;

 private:
  struct Hasher;
  bool long_named_near(const unsigned char* text, std::size_t remaining) const;

  uint32_t window_;           // W'
  bool always_ = false;       // a long-named keyword matches almost anything
  BlockedBloom bloom_;
  // Long-named keywords: keys back to back, keyword i in [at_[i], at_[i + 1]).
  std::vector<uint32_t> long_keys_;
  std::vector<uint32_t> long_at_;
  // Patterns over the first kPatternBytes text bytes: key = mask | b0 << 8 | b1 << 16 | ...,
  // with bit i of the mask set when byte i is fixed (and then b_i is its value, else 0).
  static constexpr std::size_t kPatternBytes = 4;
  struct Pattern {
    uint64_t key;
    uint32_t id;  // the long-named keyword
    bool operator<(const Pattern& o) const { return key != o.key ? key < o.key : id < o.id; }
    bool operator==(const Pattern& o) const = default;
  };
  // Open-addressed by key (0: empty); the keywords of a pattern are pattern_ids_[begin, end).
  struct Slot {
    uint64_t key;
    uint32_t begin, end;
  };
  std::size_t slot_of(uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 40) & (slots_.size() - 1);
  }
  std::vector<Slot> slots_;
  std::vector<uint32_t> pattern_ids_;
  // Bit present_bit(key) is set for every pattern key in slots_: most lookups miss, and this
  // answers them from one word.
  static uint32_t present_bit(uint64_t key) { return static_cast<uint32_t>((key * 0xC2B2AE3D27D4EB4Full) >> 49); }
  uint64_t present_[512] = {};
  uint16_t masks_ = 0;  // bit m: some pattern has mask m
};

}  // namespace kwsieve
