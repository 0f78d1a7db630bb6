#include "engine/trie.h"

#include <algorithm>
#include <new>
#include <utility>

namespace kwsieve {

namespace {

// vector::reserve allocates exactly what it is asked for; growing one element at a time
// through it would be quadratic, so round the request up geometrically.
template <class V>
void grow_for(V& v, std::size_t extra) {
  if (extra > v.max_size() - v.size()) throw std::bad_alloc();
  std::size_t need = v.size() + extra;
  if (need <= v.capacity()) return;
  std::size_t cap = v.capacity() > v.max_size() / 2 ? v.max_size() : v.capacity() * 2;
  v.reserve(std::max(need, cap));
}

constexpr std::size_t kFreeSlot = static_cast<std::size_t>(-1);

}  // namespace

Trie::Trie() {
  root_children_.fill(kNoNode);
  nodes_.emplace_back();
  keys_.push_back(0);
}

void Trie::swap(Trie& other) noexcept {
  using std::swap;
  swap(root_children_, other.root_children_);
  swap(nodes_, other.nodes_);
  swap(keys_, other.keys_);
  swap(wide_keys_, other.wide_keys_);
  swap(free_node_head_, other.free_node_head_);
  swap(free_nodes_, other.free_nodes_);
  swap(names_, other.names_);
  swap(free_name_head_, other.free_name_head_);
  swap(arena_, other.arena_);
  swap(arena_garbage_, other.arena_garbage_);
  swap(terminals_, other.terminals_);
}

void Trie::reserve_for(std::size_t new_nodes, std::size_t name_bytes) {
  std::size_t from_free = std::min(new_nodes, free_nodes_);
  std::size_t appended = new_nodes - from_free;
  // Ids are 32-bit and kNoNode is reserved.
  if (appended > std::size_t{kNoNode} - nodes_.size()) throw std::bad_alloc();
  grow_for(nodes_, appended);
  grow_for(keys_, appended);
  if (free_name_head_ == kNoName) {
    if (names_.size() >= kNoName) throw std::bad_alloc();
    grow_for(names_, 1);
  }
  grow_for(arena_, name_bytes);
}

NodeId Trie::new_node(uint32_t key) {
  NodeId id = free_node_head_ != kNoNode ? free_node_head_ : static_cast<NodeId>(nodes_.size());
  // The only step that can fail comes first; insertion never makes wide keys.
  if (key >= 256) wide_keys_[id] = key;
  if (free_node_head_ != kNoNode) {
    free_node_head_ = nodes_[id].next_sibling;
    --free_nodes_;
    nodes_[id] = Node{};
  } else {
    nodes_.emplace_back();
    keys_.push_back(0);
  }
  keys_[id] = static_cast<uint8_t>(key >= 256 ? kWideKey : key);
  return id;
}

NodeId Trie::wide_child(NodeId n, uint32_t key) const {
  for (NodeId c = nodes_[n].first_child; c != kNoNode; c = nodes_[c].next_sibling) {
    uint32_t k = this->key(c);
    if (k >= key) return k == key ? c : kNoNode;
  }
  return kNoNode;
}

void Trie::free_node(NodeId n) {
  if (nodes_[n].name != kNoName) {
    release_name(nodes_[n].name);
    --terminals_;
  }
  if (keys_[n] == kWideKey && !wide_keys_.empty()) wide_keys_.erase(n);
  nodes_[n] = Node{};
  nodes_[n].next_sibling = free_node_head_;
  free_node_head_ = n;
  ++free_nodes_;
}

// Frees `n` and everything below it. The child/sibling links form a binary tree (child on
// the left, sibling on the right); rotating each left edge to the right flattens it into a
// list that is freed in one pass, with no stack at all.
void Trie::free_subtree(NodeId n) {
  nodes_[n].next_sibling = kNoNode;  // n's own siblings stay
  NodeId cur = n;
  while (cur != kNoNode) {
    NodeId left = nodes_[cur].first_child;
    if (left == kNoNode) {
      NodeId next = nodes_[cur].next_sibling;
      free_node(cur);
      cur = next;
    } else {
      nodes_[cur].first_child = nodes_[left].next_sibling;
      nodes_[left].next_sibling = cur;
      cur = left;
    }
  }
}

uint32_t Trie::store_name(std::string_view name) {
  uint32_t id;
  if (free_name_head_ != kNoName) {
    id = free_name_head_;
    free_name_head_ = static_cast<uint32_t>(names_[id].offset);
  } else {
    id = static_cast<uint32_t>(names_.size());
    names_.emplace_back();
  }
  names_[id].offset = arena_.size();
  names_[id].length = name.size();
  arena_.append(name);
  return id;
}

void Trie::release_name(uint32_t id) {
  arena_garbage_ += names_[id].length;
  names_[id].offset = free_name_head_;
  names_[id].length = kFreeSlot;
  free_name_head_ = id;
}

// Clean names that were replaced or removed leave dead bytes behind; rewrite the arena
// once they outweigh the live ones. Purely an optimisation: if memory is short, skip it.
void Trie::maybe_compact_names() {
  if (arena_garbage_ < 4096 || arena_garbage_ < arena_.size() / 2) return;
  try {
    std::string fresh;
    fresh.reserve(arena_.size() - arena_garbage_);
    for (NameRef& r : names_) {
      if (r.length == kFreeSlot) continue;
      std::size_t at = fresh.size();
      fresh.append(arena_, r.offset, r.length);
      r.offset = at;
    }
    arena_.swap(fresh);
    arena_garbage_ = 0;
  } catch (const std::bad_alloc&) {
  }
}

void Trie::insert(std::string_view keyword, std::string_view clean_name) {
  NodeId n = root();
  std::size_t i = 0;
  for (; i < keyword.size(); ++i) {
    NodeId c = child(n, static_cast<unsigned char>(keyword[i]));
    if (c == kNoNode) break;
    n = c;
  }
  maybe_compact_names();
  reserve_for(keyword.size() - i, clean_name.size());
  // Nothing below can throw.
  for (; i < keyword.size(); ++i) n = add_child(n, static_cast<unsigned char>(keyword[i]));
  if (nodes_[n].name != kNoName) {
    release_name(nodes_[n].name);
  } else {
    ++terminals_;
  }
  nodes_[n].name = store_name(clean_name);
}

NodeId Trie::add_child_after(NodeId parent, NodeId hint, uint32_t key) {
  if (hint != kNoNode && this->key(hint) >= key) hint = kNoNode;
  NodeId prev = hint;
  NodeId cur = hint == kNoNode ? nodes_[parent].first_child : nodes_[hint].next_sibling;
  while (cur != kNoNode && this->key(cur) < key) {
    prev = cur;
    cur = nodes_[cur].next_sibling;
  }
  NodeId fresh = new_node(key);
  NodeId after = cur;
  if (cur != kNoNode && this->key(cur) == key) {
    after = nodes_[cur].next_sibling;
    free_subtree(cur);  // a repeated key replaces the earlier child
  }
  nodes_[fresh].next_sibling = after;
  if (parent == root() && key < 256) root_children_[key] = fresh;
  if (prev == kNoNode) {
    nodes_[parent].first_child = fresh;
  } else {
    nodes_[prev].next_sibling = fresh;
  }
  return fresh;
}

void Trie::set_clean_name(NodeId n, std::string_view clean_name) {
  reserve_for(0, clean_name.size());
  if (nodes_[n].name != kNoName) {
    release_name(nodes_[n].name);
  } else {
    ++terminals_;
  }
  nodes_[n].name = store_name(clean_name);
}

bool Trie::remove(std::string_view keyword) {
  // The nodes to prune are the tail of the path below the last node that must stay
  // (the root, a terminal node, or one with other children): track that cut point on
  // the way down instead of remembering the whole path.
  NodeId n = root();
  NodeId cut_parent = kNoNode;
  NodeId cut = kNoNode;
  for (char ch : keyword) {
    NodeId c = child(n, static_cast<unsigned char>(ch));
    if (c == kNoNode) return false;
    const Node& node = nodes_[n];
    if (n == root() || node.name != kNoName || nodes_[node.first_child].next_sibling != kNoNode) {
      cut_parent = n;
      cut = c;
    }
    n = c;
  }
  if (nodes_[n].name == kNoName) return false;
  release_name(nodes_[n].name);
  nodes_[n].name = kNoName;
  --terminals_;
  if (n == root() || nodes_[n].first_child != kNoNode) return true;

  // Unlink `cut` from its parent's sibling list, then free the single-child chain below it.
  NodeId* link = &nodes_[cut_parent].first_child;
  while (*link != cut) link = &nodes_[*link].next_sibling;
  *link = nodes_[cut].next_sibling;
  if (cut_parent == root() && key(cut) < 256) root_children_[key(cut)] = kNoNode;
  free_subtree(cut);
  return true;
}

}  // namespace kwsieve
