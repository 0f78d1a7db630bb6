#include "engine/node_store.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "engine/grow.h"

namespace kwsieve {

NodeStore::NodeStore() = default;

NodeStore::NodeStore(const NodeStore& other) {
  try {
    reserve(other.bound_);
  } catch (...) {
    free_blocks();
    throw;
  }
  for (std::size_t b = 0; b * kBlockNodes < other.bound_; ++b) {
    std::size_t used = std::min(other.bound_ - b * kBlockNodes, kBlockNodes);
    std::memcpy(blocks_[b], other.blocks_[b], used * sizeof(Node));
  }
  bound_ = other.bound_;
  free_ = other.free_;
}

NodeStore::~NodeStore() { free_blocks(); }

void NodeStore::free_blocks() noexcept {
  for (Node* block : blocks_) ::operator delete(block);
  blocks_.clear();
  capacity_ = 0;
}

void NodeStore::swap(NodeStore& other) noexcept {
  using std::swap;
  swap(blocks_, other.blocks_);
  swap(bound_, other.bound_);
  swap(capacity_, other.capacity_);
  swap(free_, other.free_);
}

// The insertion path is marked hot (see trie.cpp).
[[gnu::hot]] void NodeStore::reserve(std::size_t fresh) {
  if (fresh > kIdLimit - bound_) throw std::bad_alloc();
  const std::size_t need = bound_ + fresh;
  if (need <= capacity_) return;
  if (capacity_ < kBlockNodes) {
    // The first block grows by doubling while it is the only one: a small trie stays small.
    std::size_t cap = std::max(capacity_ * 2, kFirstBlockNodes);
    while (cap < need && cap < kBlockNodes) cap *= 2;
    if (blocks_.empty()) blocks_.reserve(1);
    // Left unwritten past the copied nodes: a node is initialised when it is handed out.
    Node* fresh_block = static_cast<Node*>(::operator new(cap * sizeof(Node)));
    if (blocks_.empty()) {
      blocks_.push_back(fresh_block);
    } else {
      std::memcpy(fresh_block, blocks_[0], bound_ * sizeof(Node));
      ::operator delete(blocks_[0]);
      blocks_[0] = fresh_block;
    }
    capacity_ = cap;
  }
  while (capacity_ < need) {
    grow_for(blocks_, 1);
    blocks_.push_back(static_cast<Node*>(::operator new(kBlockNodes * sizeof(Node))));
    // Capacity stops at kIdLimit, which is not an id, so the inline check in needs_room
    // sends any request beyond the last id here, to be refused.
    capacity_ += std::min(kBlockNodes, kIdLimit - capacity_);
  }
}

// Written block by block: a chain of fresh ids is one stretch of consecutive records.
[[gnu::hot]] NodeId NodeStore::take_chain(const unsigned char* words, std::size_t len) noexcept {
  const NodeId first = static_cast<NodeId>(bound_);
  bound_ += len;
  NodeId id = first;
  std::size_t i = 0;
  while (i < len) {
    Node* at = &(*this)[id];
    const std::size_t room = kBlockNodes - (id & (kBlockNodes - 1));
    const std::size_t end = i + std::min(room, len - i);
    for (; i < end; ++i) *at++ = Node{++id, kNoNode, words[i]};
  }
  (*this)[id - 1].first_child = kNoNode;
  return first;
}

[[gnu::hot]] void NodeStore::free_run(NodeId first, unsigned len) noexcept {
  for (unsigned j = 1; j < len; ++j) (*this)[first + j].first_child = kNoNode;
  (*this)[first] = Node{kNoNode, free_.runs[len], 0};
  free_.runs[len] = first;
  free_.run_count += len;
}

void NodeStore::spill_run() noexcept {
  for (unsigned len = kRunFrom; len <= kRunMax; ++len) {
    const NodeId run = free_.runs[len];
    if (run == kNoNode) continue;
    free_.runs[len] = (*this)[run].next_sibling;
    free_.run_count -= len;
    for (NodeId k = run; k < run + len; ++k) free(k);
    return;
  }
}

}  // namespace kwsieve
