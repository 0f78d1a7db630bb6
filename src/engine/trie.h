// The keyword trie.
//
// Every keyword is a path of byte-valued keys from the root; a node that ends a keyword
// carries its clean name. Nodes are 12-byte records addressed by 32-bit id (first child,
// next sibling, and one word holding the key byte and the clean name), which keeps the
// structure small and lets every walk be a loop instead of a recursion: a keyword may be
// megabytes long, so the trie may be that deep.
//
// Siblings are kept sorted by key. That order is the trie's one child order: the approximate
// search enumerates children in it and the state encoder writes them in it. It depends only
// on the keys present, never on a seed or on insertion history.
//
// Keys are 32-bit: insertion only makes keys 0..255, but a decoded state may hold any Unicode
// scalar value as a key, and such nodes must survive a round trip even though no text reaches them.
//
// Most nodes of a natural-language trie are the lone-child chain that ends one keyword, its
// part shared with no other. Insertion (and the decoder) stores such a chain as a tail: its
// bytes, back to back in one arena, followed by the keyword's clean-name id. Each tail byte is still a node
// to every reader (a tail id is the byte's arena position with the top bit set), with no
// siblings and its next byte as its only child, so walks and the API see one trie. A tail
// hangs only as the only child of a real node; when a later keyword shares part of it, that
// part becomes real nodes. Tails halve a loaded trie's memory (a quarter of the nodes stay
// real) and make a new keyword a few bytes to write instead of a node per byte.
//
// Insertion spends its time walking sibling lists, and siblings created at different times
// would lie far apart in memory, one cache miss each. So insertion keeps the children of a
// node with a few children in one run of consecutive ids (moving them when it adds one),
// and nodes whose lists proved long (and the root) get a direct table of their byte-keyed
// children as well, so a lookup there is one load. Either way the sibling list stays
// complete and remains the child order; ids are internal and may change under insertion.
//
// The memory lies in three stores, each owning its own: the node store (node records by
// id, free ids and freed runs), the name table (clean names by id) and the tail arena.
// The trie keeps what ties them together: the meaning of a node's word, the direct tables
// and the side maps for wide keys and escaped name ids. Every store changes in two steps,
// a reserve() that may throw std::bad_alloc but changes nothing a reader sees, and
// operations that cannot fail; each change to the trie reserves in every store it will
// touch before it changes any, which is what makes its strong guarantee.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/name_table.h"
#include "engine/node_store.h"
#include "engine/tail_arena.h"

// Width of the payload field of a node. Tests build the engine with a smaller value to
// reach the rare paths (clean-name ids and table ids beyond the field) with small tries.
#ifndef KWSIEVE_TRIE_PAYLOAD_BITS
#define KWSIEVE_TRIE_PAYLOAD_BITS 23
#endif

namespace kwsieve {

class Trie {
 public:
  Trie();
  Trie(const Trie& other);
  Trie(Trie&& other);
  Trie& operator=(const Trie& other);
  Trie& operator=(Trie&& other) noexcept;
  ~Trie();

  static constexpr NodeId root() { return 0; }

  NodeId first_child(NodeId n) const {
    if (is_tail(n)) return tails_.is_last(tail_pos(n)) ? kNoNode : n + 1;
    return node(n).first_child;
  }
  NodeId next_sibling(NodeId n) const { return is_tail(n) ? kNoNode : node(n).next_sibling; }
  uint32_t key(NodeId n) const {
    if (is_tail(n)) return tails_.byte(tail_pos(n));
    uint32_t k = node(n).word & kKeyMask;
    if (k == kWideKey && !wide_keys_.empty()) {
      auto it = wide_keys_.find(n);
      if (it != wide_keys_.end()) return it->second;
    }
    return k;
  }
  bool terminal(NodeId n) const { return is_tail(n) ? tails_.is_last(tail_pos(n)) : name_of(n) != kNoName; }
  std::string_view clean_name(NodeId n) const { return clean_name_of(name_id(n)); }
  // The clean name of a terminal node by its id in the name table, for readers that
  // gather the ids first and the names after.
  uint32_t name_id(NodeId n) const { return is_tail(n) ? tails_.name(tail_pos(n)) : name_of(n); }
  std::string_view clean_name_of(uint32_t id) const { return names_[id]; }
  NodeId child(NodeId n, uint32_t key) const {
    if (is_tail(n)) {
      const std::size_t p = tail_pos(n);
      return !tails_.is_last(p) && tails_.byte(p + 1) == key ? n + 1 : kNoNode;
    }
    if (key >= 256) return wide_child(n, key);
    const Node& nd = node(n);
    if (nd.word & kTableBit) return table(nd.word >> kPayloadShift)[key];
    if (is_tail(nd.first_child)) return tails_.byte(tail_pos(nd.first_child)) == key ? nd.first_child : kNoNode;
    for (NodeId c = nd.first_child; c != kNoNode;) {
      const Node& cn = node(c);
      uint32_t k = cn.word & kKeyMask;
      if (k >= key) return k == key && !is_wide(c) ? c : kNoNode;
      c = cn.next_sibling;
    }
    return kNoNode;
  }

  // Number of terminal nodes, the empty keyword (a terminal root) included.
  std::size_t count() const { return terminals_; }
  // Number of live nodes, the root and tail bytes included.
  std::size_t node_count() const { return real_nodes() + tails_.live_bytes(); }
  // Upper bound (exclusive) of real node ids; some below it may be free.
  std::size_t id_bound() const { return nodes_.bound(); }
  // Bytes the tail arena holds, the dead ones included.
  std::size_t tail_storage() const { return tails_.size(); }

  // Adds `keyword` (already normalised) with `clean_name`, replacing the clean name of an
  // existing keyword. Strong guarantee: on std::bad_alloc the trie is unchanged.
  void insert(std::string_view keyword, std::string_view clean_name);

  // Removes `keyword` (already normalised) and prunes every node that no longer leads to
  // a keyword. Returns false, changing nothing, when the keyword is not stored.
  bool remove(std::string_view keyword);

  // The node at the end of `path` (kNoNode if there is none), made a real node if it was a
  // tail byte, so that add_child and set_clean_name may take it. Strong guarantee.
  NodeId settle(std::string_view path);

  // Building blocks for the decoder, which creates nodes in depth-first order.
  // add_child links a fresh node under `parent` (a real node: the decoder's own, or one
  // from settle) with `key`; an existing child with that key is replaced and its whole
  // subtree freed. Both may throw std::bad_alloc, after which the trie must be discarded.
  NodeId add_child(NodeId parent, uint32_t key) { return add_child_after(parent, kNoNode, key); }
  // As add_child, but the sibling walk starts after `hint`, a child of `parent` with a key
  // below `key` (kNoNode: from the first child). A decoder reading children in ascending
  // order passes the child it added last, so n siblings cost O(n) instead of O(n^2).
  NodeId add_child_after(NodeId parent, NodeId hint, uint32_t key);
  void set_clean_name(NodeId n, std::string_view clean_name);
  // Gives `parent`, a real node without children, the nodes `bytes` below it, the last
  // ending a keyword named `clean_name`: a tail while the tail arena has room, real nodes
  // otherwise. Same failure contract as add_child.
  void add_tail(NodeId parent, std::string_view bytes, std::string_view clean_name);

  void swap(Trie& other) noexcept;

 private:
  static constexpr uint32_t kNoName = NameTable::kNone;

  // A tail id is kTailBit | the byte's position in tails_; real ids stay below kTailBit.
  static constexpr NodeId kTailBit = NodeStore::kIdLimit;
  std::size_t real_nodes() const { return nodes_.live(); }
  static constexpr bool is_tail(NodeId n) { return n - kTailBit < kNoNode - kTailBit; }
  static constexpr std::size_t tail_pos(NodeId n) { return n & ~kTailBit; }
  static constexpr NodeId tail_id(std::size_t p) { return static_cast<NodeId>(kTailBit | p); }

  // Node::word: the key byte, a flag saying the node has a direct table, and a payload.
  // Without a table the payload is 0 for no clean name, the name id + 1, or kEscape when
  // the id does not fit (the id is then in escaped_names_). With a table the payload is
  // the table id and the name id sits in the table's last slot.
  static constexpr uint32_t kKeyMask = 0xFF;
  static constexpr uint32_t kTableBit = 0x100;
  static constexpr unsigned kPayloadShift = 9;
  static_assert(KWSIEVE_TRIE_PAYLOAD_BITS >= 2 && KWSIEVE_TRIE_PAYLOAD_BITS <= 32 - kPayloadShift);
  static constexpr uint32_t kEscape = (uint32_t{1} << KWSIEVE_TRIE_PAYLOAD_BITS) - 1;

  // A key above 255 is stored as this byte plus an entry in wide_keys_.
  static constexpr uint32_t kWideKey = 0xFF;

  // A direct table: the child under each byte key (kNoNode if none), then the name id.
  static constexpr std::size_t kTableSlots = 257;
  // A sibling walk this long marks its parent for a table. At 16 the tables of a large
  // natural-language trie take about 3% of its memory and save most of the walking.
  static constexpr unsigned kTableFrom = 16;
  // Insertion keeps the children of a node with kRunFrom..kRunMax children in one run of
  // consecutive ids (moving them when it adds one), so that its sibling walks read a few
  // neighbouring cache lines instead of one line per sibling. A lone child is left where
  // it is: it usually follows its parent in memory already.
  static constexpr unsigned kRunFrom = NodeStore::kRunFrom;
  static constexpr unsigned kRunMax = NodeStore::kRunMax;

  using Node = NodeStore::Node;

  const Node& node(NodeId n) const { return nodes_[n]; }
  Node& node(NodeId n) { return nodes_[n]; }

  const NodeId* table(uint32_t t) const { return tables_.data() + std::size_t{t} * kTableSlots; }
  NodeId* table(uint32_t t) { return tables_.data() + std::size_t{t} * kTableSlots; }

  bool is_wide(NodeId c) const {
    return !is_tail(c) && (node(c).word & kKeyMask) == kWideKey && !wide_keys_.empty() && wide_keys_.count(c);
  }
  uint32_t name_of(NodeId n) const {
    uint32_t w = node(n).word;
    uint32_t p = w >> kPayloadShift;
    if (w & kTableBit) return table(p)[256];
    if (p == 0) return kNoName;
    if (p != kEscape) return p - 1;
    return escaped_names_.find(n)->second;
  }
  // Cannot fail once reserve_name_escape() has run (when the id may need an escape).
  void set_name_of(NodeId n, uint32_t id) noexcept;
  // Room for `count` more escaped names, each with a spare node.
  void reserve_name_escape(std::size_t count = 1);

  NodeId new_node(uint32_t key);
  void link_after(NodeId parent, NodeId prev, NodeId fresh, uint32_t key);
  // Gives the new node `head` the rest of its keyword, `len` bytes, and the clean name: as
  // a tail if `tail`, else as a chain of real nodes. Room must be reserved; cannot fail.
  void finish_keyword(NodeId head, const unsigned char* rest, std::size_t len,
                      std::string_view clean_name, bool tail) noexcept;
  // Inserts the keyword's last `len` bytes below `n`, a real node whose child is a tail.
  void insert_below_tail(NodeId n, const unsigned char* kw, std::size_t len, std::string_view clean_name);
  // Turns the first `m` bytes of the tail below real node `n` into a chain of real nodes and
  // returns the last (n when m is 0); the rest of the tail hangs below it, or it takes the
  // tail's clean name if none is left. Needs m ids reserved and, when the name moves into a
  // node, reserve_name_escape(); cannot fail.
  // `last` is the tail's last byte.
  NodeId realize(NodeId n, std::size_t m, std::size_t last) noexcept;
  // Reserves what realize(n, m) needs beyond the m ids.
  void reserve_realize(NodeId n, std::size_t m, std::size_t last);
  // Frees the tail from t to its end, with the keyword it ends.
  void free_tail(NodeId t) noexcept;
  void maybe_compact_tails() {
    if (tails_.worth_compacting(nodes_.bound())) compact_tails();
  }
  void compact_tails() noexcept;
  // Moves the `count` children of `parent` into a fresh run of consecutive ids together with
  // a new child under byte `key`, linked after `prev`, and returns that child. Needs
  // count + 1 ids reserved (or a freed run of that length); cannot fail.
  NodeId regroup(NodeId parent, NodeId prev, unsigned count, uint32_t key) noexcept;
  void move_node_keys(NodeId from, NodeId to) noexcept;
  NodeId prev_in_table(const NodeId* t, uint32_t key) const;
  NodeId wide_child(NodeId n, uint32_t key) const;
  void free_node(NodeId n);
  void free_subtree(NodeId n);
  void assign_name(NodeId n, std::string_view clean_name);
  // Room for `fresh_ids` ids past the node store's bound and for one clean name of `name_bytes`,
  // with its escape entry if its id will not fit in a node. Checked inline: insertion
  // calls it once per keyword and almost never needs to grow.
  void reserve_for(std::size_t fresh_ids, std::size_t name_bytes) {
    if (nodes_.needs_room(fresh_ids)) nodes_.reserve(fresh_ids);
    if (names_.needs_room(name_bytes) || names_.next_id() >= kEscape - 1) reserve_name(name_bytes);
  }
  void reserve_name(std::size_t name_bytes);
  uint32_t make_table();
  void add_table(NodeId n) noexcept;

  NodeStore nodes_;

  std::vector<NodeId> tables_;  // kTableSlots per table; table 0 is the root's
  uint32_t free_table_head_ = kNoNode;  // freed tables, linked through their slot 0

  // Keys that are not bytes; only a decoded state has them, so this is almost always empty.
  std::unordered_map<NodeId, uint32_t> wide_keys_;
  // Name ids of nodes whose payload cannot hold them: only tries with millions of keywords.
  // spare_name_ holds preallocated entries so that moving a name here cannot fail.
  std::unordered_map<NodeId, uint32_t> escaped_names_;
  std::unordered_map<NodeId, uint32_t> spare_name_;

  NameTable names_;

  // Below a real node whose first child is a tail id, its tail.
  TailArena tails_;

  std::size_t terminals_ = 0;
};

}  // namespace kwsieve
