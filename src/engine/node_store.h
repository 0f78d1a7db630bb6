// The trie's node store: 12-byte node records by 32-bit id, with the ids that are free.
//
// Nodes live in blocks of kBlockNodes ids that are never moved or copied as the store
// grows, so growing touches only the memory the new nodes use and a block's unused tail
// is never written. Only while the store fits in one block does that block grow by
// doubling (moving it is cheap then), so that a small trie stays small. A node is found
// with one shift and one mask.
//
// Freed ids wait on a free list, and runs of consecutive ids (which the trie gives the
// children of a node with a few children) wait whole, by length, for a run of the same
// length; a single id is taken from a run only when the free list is empty.
//
// What a node's word means is the trie's business; the store only hands ids out, takes
// them back and keeps the records. Like the trie's other stores it changes in two steps:
// reserve() makes room and may throw std::bad_alloc but changes nothing a reader sees;
// taking and freeing ids cannot fail.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kwsieve {

using NodeId = uint32_t;
inline constexpr NodeId kNoNode = UINT32_MAX;

class NodeStore {
 public:
  struct Node {
    NodeId first_child;
    NodeId next_sibling;  // also links free ids
    uint32_t word;
  };
  // Ids are 31-bit: the trie gives the ids with the top bit set to tail bytes.
  static constexpr std::size_t kIdLimit = std::size_t{1} << 31;
  // Lengths of the runs the store keeps whole.
  static constexpr unsigned kRunFrom = 2;
  static constexpr unsigned kRunMax = 16;

  NodeStore();
  NodeStore(const NodeStore& other);
  NodeStore& operator=(const NodeStore&) = delete;
  ~NodeStore();
  void swap(NodeStore& other) noexcept;

  const Node& operator[](NodeId n) const { return blocks_[n >> kBlockShift][n & (kBlockNodes - 1)]; }
  Node& operator[](NodeId n) { return blocks_[n >> kBlockShift][n & (kBlockNodes - 1)]; }

  // Ids below this are in use or free.
  std::size_t bound() const { return bound_; }
  // Ids below this have a block.
  std::size_t capacity() const { return capacity_; }
  // Ids in use, and the free ones below bound().
  std::size_t live() const { return bound_ - spare(); }
  std::size_t spare() const { return free_.count + free_.run_count; }
  bool has_spare() const { return free_.head != kNoNode || free_.run_count != 0; }
  bool has_free_run(unsigned len) const { return free_.runs[len] != kNoNode; }

  // Whether `fresh` more ids past bound() need reserve() first. Inline: insertion asks
  // once per keyword and almost never needs to grow.
  bool needs_room(std::size_t fresh) const { return fresh > capacity_ - bound_; }
  // Room for `fresh` more ids past bound(). May throw std::bad_alloc; blocks allocated
  // before a failure stay, as capacity.
  void reserve(std::size_t fresh);

  // The id take() hands out next: a free one, or bound() (which may need reserve(1)).
  NodeId next_id() noexcept {
    if (free_.head == kNoNode && free_.run_count != 0) spill_run();
    return free_.head != kNoNode ? free_.head : static_cast<NodeId>(bound_);
  }
  // A node with no child or sibling and `word`: a free id, else a fresh one, which needs
  // room reserved. Cannot fail.
  NodeId take(uint32_t word) noexcept {
    if (free_.head == kNoNode && free_.run_count != 0) spill_run();
    NodeId id = free_.head;
    if (id == kNoNode) {
      id = static_cast<NodeId>(bound_++);
    } else {
      free_.head = (*this)[id].next_sibling;
      --free_.count;
    }
    (*this)[id] = Node{kNoNode, kNoNode, word};
    return id;
  }
  // `len` consecutive ids, left unwritten: a freed run of that length, else fresh ids,
  // which need room reserved. Cannot fail.
  NodeId take_run(unsigned len) noexcept {
    NodeId run = free_.runs[len];
    if (run != kNoNode) {
      free_.runs[len] = (*this)[run].next_sibling;
      free_.run_count -= len;
    } else {
      run = static_cast<NodeId>(bound_);
      bound_ += len;
    }
    return run;
  }
  // A chain of `len` (>= 1) fresh ids, each the only child of the one before, with the
  // words `words`; returns the first. Needs room reserved; cannot fail.
  NodeId take_chain(const unsigned char* words, std::size_t len) noexcept;
  // Frees one id. Its node must point to no child: readers of every id (the trie's tail
  // compaction) see free ids too.
  void free(NodeId n) noexcept {
    (*this)[n] = Node{kNoNode, free_.head, 0};
    free_.head = n;
    ++free_.count;
  }
  // Frees the run of `len` ids from `first`, to be reused whole.
  void free_run(NodeId first, unsigned len) noexcept;

 private:
  static constexpr unsigned kBlockShift = 10;
  static constexpr std::size_t kBlockNodes = std::size_t{1} << kBlockShift;
  static constexpr std::size_t kFirstBlockNodes = 64;

  // Moves one freed run to the free list, for allocations of single ids.
  void spill_run() noexcept;
  void free_blocks() noexcept;

  // The ids below bound_ that wait for reuse.
  struct FreeIds {
    NodeId head = kNoNode;  // the free list
    std::size_t count = 0;  // on the free list
    // Freed runs by length, linked through the first node's next_sibling.
    std::array<NodeId, kRunMax + 1> runs;
    std::size_t run_count = 0;  // ids in freed runs
    FreeIds() { runs.fill(kNoNode); }
  };

  std::vector<Node*> blocks_;  // block b holds ids b * kBlockNodes on
  std::size_t bound_ = 0;
  std::size_t capacity_ = 0;
  FreeIds free_;
};

}  // namespace kwsieve
