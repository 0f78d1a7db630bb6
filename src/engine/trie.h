// The keyword trie.
//
// Every keyword is a path of byte-valued keys from the root; a node that ends a keyword
// carries its clean name. Nodes live in one arena and refer to each other by 32-bit index
// (first child, next sibling), which keeps a node at 16 bytes and lets every walk be a
// loop instead of a recursion: a keyword may be megabytes long, so the trie may be that deep.
//
// Siblings are kept sorted by key. That order is the trie's one child order: the approximate
// search enumerates children in it and the state encoder writes them in it. It depends only
// on the keys present, never on a seed or on insertion history.
//
// Keys are 32-bit: insertion only makes keys 0..255, but a decoded state may hold any Unicode
// scalar value as a key, and such nodes must survive a round trip even though no text reaches them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kwsieve {

using NodeId = uint32_t;
inline constexpr NodeId kNoNode = UINT32_MAX;

class Trie {
 public:
  Trie();

  static constexpr NodeId root() { return 0; }

  NodeId first_child(NodeId n) const { return nodes_[n].first_child; }
  NodeId next_sibling(NodeId n) const { return nodes_[n].next_sibling; }
  uint32_t key(NodeId n) const {
    uint8_t k = keys_[n];
    if (k == kWideKey && !wide_keys_.empty()) {
      auto it = wide_keys_.find(n);
      if (it != wide_keys_.end()) return it->second;
    }
    return k;
  }
  bool terminal(NodeId n) const { return nodes_[n].name != kNoName; }
  std::string_view clean_name(NodeId n) const {
    const NameRef& r = names_[nodes_[n].name];
    return {arena_.data() + r.offset, r.length};
  }
  NodeId child(NodeId n, uint32_t key) const {
    if (key >= 256) return wide_child(n, key);
    if (n == root()) return root_children_[key];
    for (NodeId c = nodes_[n].first_child; c != kNoNode; c = nodes_[c].next_sibling) {
      uint8_t k = keys_[c];
      if (k < key) continue;
      // Wide keys sort after every byte and are stored as kWideKey: the first entry
      // holding kWideKey is the byte 0xFF only if it is not one of them.
      if (k != key || (k == kWideKey && wide_keys_.count(c))) return kNoNode;
      return c;
    }
    return kNoNode;
  }

  // Number of terminal nodes, the empty keyword (a terminal root) included.
  std::size_t count() const { return terminals_; }
  // Number of live nodes, the root included.
  std::size_t node_count() const { return nodes_.size() - free_nodes_; }
  // Upper bound (exclusive) of node ids; some below it may be free.
  std::size_t id_bound() const { return nodes_.size(); }

  // Adds `keyword` (already normalised) with `clean_name`, replacing the clean name of an
  // existing keyword. Strong guarantee: on std::bad_alloc the trie is unchanged.
  void insert(std::string_view keyword, std::string_view clean_name);

  // Removes `keyword` (already normalised) and prunes every node that no longer leads to
  // a keyword. Returns false, changing nothing, when the keyword is not stored.
  bool remove(std::string_view keyword);

  // Building blocks for the decoder, which creates nodes in depth-first order.
  // add_child links a fresh node under `parent` with `key`; an existing child with that
  // key is replaced and its whole subtree freed. Both may throw std::bad_alloc, after
  // which the trie must be discarded.
  NodeId add_child(NodeId parent, uint32_t key) { return add_child_after(parent, kNoNode, key); }
  // As add_child, but the sibling walk starts after `hint`, a child of `parent` with a key
  // below `key` (kNoNode: from the first child). A decoder reading children in ascending
  // order passes the child it added last, so n siblings cost O(n) instead of O(n^2).
  NodeId add_child_after(NodeId parent, NodeId hint, uint32_t key);
  void set_clean_name(NodeId n, std::string_view clean_name);

  void swap(Trie& other) noexcept;

 private:
  static constexpr uint32_t kNoName = UINT32_MAX;

  // A key above 255 is stored as this byte plus an entry in wide_keys_.
  static constexpr uint8_t kWideKey = 0xFF;

  // The key lives apart (keys_) so that a node is 12 bytes plus one.
  struct Node {
    NodeId first_child = kNoNode;
    NodeId next_sibling = kNoNode;  // also links free nodes
    uint32_t name = kNoName;        // index into names_
  };
  struct NameRef {
    std::size_t offset = 0;  // into arena_; for a free slot, the next free slot
    std::size_t length = 0;
  };

  NodeId new_node(uint32_t key);
  NodeId wide_child(NodeId n, uint32_t key) const;
  void free_node(NodeId n);
  void free_subtree(NodeId n);
  uint32_t store_name(std::string_view name);
  void release_name(uint32_t id);
  void reserve_for(std::size_t new_nodes, std::size_t name_bytes);
  void maybe_compact_names();

  // Every insertion and lookup starts at the root, which has up to 256 children: index them
  // directly instead of walking its sibling list. Kept in step by link/unlink below.
  std::array<NodeId, 256> root_children_;

  std::vector<Node> nodes_;
  std::vector<uint8_t> keys_;
  // Keys that are not bytes; only a decoded state has them, so this is almost always empty.
  std::unordered_map<NodeId, uint32_t> wide_keys_;
  NodeId free_node_head_ = kNoNode;
  std::size_t free_nodes_ = 0;

  std::vector<NameRef> names_;
  uint32_t free_name_head_ = kNoName;
  std::string arena_;          // clean names, back to back
  std::size_t arena_garbage_ = 0;  // bytes of arena_ no live name uses

  std::size_t terminals_ = 0;
};

}  // namespace kwsieve
