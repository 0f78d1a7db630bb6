#include "engine/trie.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#include "engine/grow.h"

namespace kwsieve {

// The insertion path (here, in the processor and in case folding) is marked hot, which
// also groups it in one place in the module's code: a fresh process loading keywords then
// faults in a few code pages instead of pages scattered across the module.

Trie::Trie() {
  tables_.assign(kTableSlots, kNoNode);
  nodes_.reserve(1);
  nodes_.take(kTableBit);  // the root, with table 0, key 0
}

// Each store copies itself and owns what it holds, so a failure part way leaves nothing behind.
Trie::Trie(const Trie& other)
    : nodes_(other.nodes_),
      tables_(other.tables_),
      free_table_head_(other.free_table_head_),
      wide_keys_(other.wide_keys_),
      escaped_names_(other.escaped_names_),
      names_(other.names_),
      tails_(other.tails_),
      terminals_(other.terminals_) {}

// A moved-from trie is left empty and usable, which needs a root: moving allocates.
Trie::Trie(Trie&& other) : Trie() { swap(other); }

Trie& Trie::operator=(const Trie& other) {
  if (this != &other) {
    Trie copy(other);
    swap(copy);
  }
  return *this;
}

Trie& Trie::operator=(Trie&& other) noexcept {
  swap(other);
  return *this;
}

Trie::~Trie() = default;

void Trie::swap(Trie& other) noexcept {
  using std::swap;
  nodes_.swap(other.nodes_);
  swap(tables_, other.tables_);
  swap(free_table_head_, other.free_table_head_);
  swap(wide_keys_, other.wide_keys_);
  swap(escaped_names_, other.escaped_names_);
  swap(spare_name_, other.spare_name_);
  swap(names_, other.names_);
  swap(tails_, other.tails_);
  swap(terminals_, other.terminals_);
}

void Trie::reserve_name_escape(std::size_t count) {
  if (count > escaped_names_.max_size() - escaped_names_.size()) throw std::bad_alloc();
  escaped_names_.reserve(escaped_names_.size() + count);
  for (NodeId k = 0; spare_name_.size() < count; ++k) spare_name_.emplace(k, 0);
}

void Trie::reserve_name(std::size_t name_bytes) {
  names_.reserve(name_bytes);
  if (names_.next_id() >= kEscape - 1) reserve_name_escape();
}

[[gnu::hot]] void Trie::set_name_of(NodeId n, uint32_t id) noexcept {
  Node& nd = node(n);
  const uint32_t p = nd.word >> kPayloadShift;
  if (nd.word & kTableBit) {
    table(p)[256] = id;
    return;
  }
  const bool fits = id == kNoName || id < kEscape - 1;
  if (p == kEscape) {
    if (!fits) {
      escaped_names_.find(n)->second = id;
      return;
    }
    escaped_names_.erase(n);
  } else if (!fits) {
    // reserve_name_escape() made room for this entry and left a spare node.
    auto entry = spare_name_.extract(spare_name_.begin());
    entry.key() = n;
    entry.mapped() = id;
    escaped_names_.insert(std::move(entry));
  }
  const uint32_t payload = !fits ? kEscape : id == kNoName ? 0 : id + 1;
  nd.word = (nd.word & (kKeyMask | kTableBit)) | (payload << kPayloadShift);
}

[[gnu::hot]] NodeId Trie::new_node(uint32_t key) {
  // The only steps that can fail come first; insertion never makes wide keys.
  const NodeId id = nodes_.next_id();
  if (id >= nodes_.capacity()) nodes_.reserve(1);
  if (key >= 256) wide_keys_[id] = key;
  return nodes_.take(key >= 256 ? kWideKey : key);
}

NodeId Trie::wide_child(NodeId n, uint32_t key) const {
  for (NodeId c = node(n).first_child; c != kNoNode; c = next_sibling(c)) {
    uint32_t k = this->key(c);
    if (k >= key) return k == key ? c : kNoNode;
  }
  return kNoNode;
}

// The child of a table node that precedes `key` in sibling order: the byte-keyed child
// with the largest key below it. Keys above 255 sort after every byte, so for them that
// is the largest byte key present.
[[gnu::hot]] NodeId Trie::prev_in_table(const NodeId* t, uint32_t key) const {
  for (uint32_t k = std::min<uint32_t>(key, 256); k-- > 0;) {
    if (t[k] != kNoNode) return t[k];
  }
  return kNoNode;
}

// Links `fresh` (whose key is `key`) into parent's sibling list after `prev` (kNoNode: at
// the head), and into parent's table if it has one.
[[gnu::hot]] void Trie::link_after(NodeId parent, NodeId prev, NodeId fresh, uint32_t key) {
  Node& p = node(parent);
  if (prev == kNoNode) {
    node(fresh).next_sibling = p.first_child;
    p.first_child = fresh;
  } else {
    node(fresh).next_sibling = node(prev).next_sibling;
    node(prev).next_sibling = fresh;
  }
  if ((p.word & kTableBit) && key < 256) table(p.word >> kPayloadShift)[key] = fresh;
}

// Node ids in the side maps follow a node that moves. Re-inserting an extracted map node
// cannot rehash (the map held that many entries before), so this cannot fail.
void Trie::move_node_keys(NodeId from, NodeId to) noexcept {
  const uint32_t w = node(to).word;
  if ((w & kKeyMask) == kWideKey) {
    auto entry = wide_keys_.extract(from);
    if (!entry.empty()) {
      entry.key() = to;
      wide_keys_.insert(std::move(entry));
    }
  }
  if (!(w & kTableBit) && (w >> kPayloadShift) == kEscape) {
    auto entry = escaped_names_.extract(from);
    entry.key() = to;
    escaped_names_.insert(std::move(entry));
  }
}

[[gnu::hot]] NodeId Trie::regroup(NodeId parent, NodeId prev, unsigned count, uint32_t key) noexcept {
  const NodeId run = nodes_.take_run(count + 1);
  std::array<NodeId, kRunMax> old;
  NodeId lo = kNoNode, hi = 0;
  NodeId fresh = kNoNode;
  NodeId at = run;
  if (prev == kNoNode) {
    fresh = at++;
    node(fresh) = Node{kNoNode, at, key};
  }
  NodeId c = node(parent).first_child;
  for (unsigned j = 0; j < count; ++j) {
    old[j] = c;
    lo = std::min(lo, c);
    hi = std::max(hi, c);
    Node moved = node(c);
    const NodeId next = moved.next_sibling;
    moved.next_sibling = at + 1;
    node(at) = moved;
    if (((moved.word & kKeyMask) == kWideKey && !wide_keys_.empty()) ||
        (!(moved.word & kTableBit) && (moved.word >> kPayloadShift) == kEscape)) {
      move_node_keys(c, at);
    }
    ++at;
    if (c == prev) {
      fresh = at++;
      node(fresh) = Node{kNoNode, at, key};
    }
    c = next;
  }
  node(at - 1).next_sibling = kNoNode;
  node(parent).first_child = run;

  // The old places: a whole run goes back as one, scattered nodes to the free list. Freed
  // nodes point to no child: compact_tails() reads every id.
  if (hi - lo == count - 1) {
    nodes_.free_run(lo, count);
  } else {
    for (unsigned j = 0; j < count; ++j) nodes_.free(old[j]);
  }
  return fresh;
}

void Trie::free_node(NodeId n) {
  uint32_t id = name_of(n);
  if (id != kNoName) {
    names_.release(id);
    set_name_of(n, kNoName);
    --terminals_;
  }
  Node& nd = node(n);
  if (nd.word & kTableBit) {
    uint32_t t = nd.word >> kPayloadShift;
    table(t)[0] = free_table_head_;
    free_table_head_ = t;
  }
  if ((nd.word & kKeyMask) == kWideKey && !wide_keys_.empty()) wide_keys_.erase(n);
  nodes_.free(n);
}

// Frees `n` and everything below it. The child/sibling links form a binary tree (child on
// the left, sibling on the right); rotating each left edge to the right flattens it into a
// list that is freed in one pass, with no stack at all. Tables need no upkeep here: every
// node of the subtree goes, tables included.
void Trie::free_subtree(NodeId n) {
  if (is_tail(n)) {
    free_tail(n);
    return;
  }
  node(n).next_sibling = kNoNode;  // n's own siblings stay
  NodeId cur = n;
  while (cur != kNoNode) {
    Node& c = node(cur);
    NodeId left = c.first_child;
    if (is_tail(left)) {
      free_tail(left);
      c.first_child = left = kNoNode;
    }
    if (left == kNoNode) {
      NodeId next = c.next_sibling;
      free_node(cur);
      cur = next;
    } else {
      c.first_child = node(left).next_sibling;
      node(left).next_sibling = cur;
      cur = left;
    }
  }
}

// A fresh table id with every slot empty. May throw std::bad_alloc.
[[gnu::hot]] uint32_t Trie::make_table() {
  uint32_t t;
  if (free_table_head_ != kNoNode) {
    t = free_table_head_;
    free_table_head_ = table(t)[0];
  } else {
    const std::size_t count = tables_.size() / kTableSlots;
    if (count >= kEscape) throw std::bad_alloc();
    grow_for(tables_, kTableSlots);
    tables_.resize(tables_.size() + kTableSlots);
    t = static_cast<uint32_t>(count);
  }
  std::fill_n(table(t), kTableSlots, kNoNode);
  return t;
}

// Gives `n` a direct table of its children. Only speeds lookups up, so when memory or
// table ids run out it leaves the node as it is.
[[gnu::hot]] void Trie::add_table(NodeId n) noexcept {
  uint32_t t;
  try {
    t = make_table();
  } catch (const std::bad_alloc&) {
    return;
  }
  NodeId* slots = table(t);
  for (NodeId c = node(n).first_child; c != kNoNode; c = node(c).next_sibling) {
    if (!is_wide(c)) slots[node(c).word & kKeyMask] = c;
  }
  const uint32_t id = name_of(n);
  set_name_of(n, kNoName);  // leaves escaped_names_ if it was there
  slots[256] = id;
  Node& nd = node(n);
  nd.word = (nd.word & kKeyMask) | kTableBit | (t << kPayloadShift);
}

[[gnu::hot]] void Trie::insert(std::string_view keyword, std::string_view clean_name) {
  maybe_compact_tails();  // first: it renumbers tail ids
  const auto* bytes = reinterpret_cast<const unsigned char*>(keyword.data());
  NodeId n = root();
  const Node* np = &node(n);  // node(n), carried from the sibling walk that found n
  NodeId prev = kNoNode;      // the child of n after which a missing child would go
  NodeId crowded = kNoNode;   // a node without a table whose children took long to search
  NodeId stop = kNoNode;      // where the last sibling walk stopped (the child after prev)
  unsigned steps = 0;         // siblings that walk passed
  std::size_t i = 0;
  for (; i < keyword.size(); ++i) {
    const uint32_t b = bytes[i];
    if (np->word & kTableBit) {
      const NodeId* t = table(np->word >> kPayloadShift);
      const NodeId c = t[b];
      if (c == kNoNode) {
        prev = prev_in_table(t, b);
        break;
      }
      n = c;
      np = &node(c);
      continue;
    }
    prev = kNoNode;
    NodeId c = np->first_child;
    if (is_tail(c)) {
      // (A crowded node above gets its table on a later insertion.)
      insert_below_tail(n, bytes + i, keyword.size() - i, clean_name);
      return;
    }
    const Node* cp = nullptr;
    uint32_t k = 0;
    steps = 0;
    while (c != kNoNode) {
      cp = &node(c);
      k = cp->word & kKeyMask;
      if (k >= b) break;
      prev = c;
      c = cp->next_sibling;
      ++steps;
    }
    if (steps >= kTableFrom) crowded = n;
    stop = c;
    // A wide key stored as 0xFF sorts after the byte 0xFF: when one is met first, the
    // byte's child does not exist and would go before it, that is after `prev`.
    if (c == kNoNode || k != b || (k == kWideKey && is_wide(c))) break;
    n = c;
    np = cp;
  }
  // A new child of a node with a few children joins them in a fresh run (see kRunFrom).
  unsigned siblings = 0;
  // (Not when n is about to get a table: that lists the children where they are now.)
  if (i < keyword.size() && !(np->word & kTableBit) && crowded != n) {
    siblings = steps;
    for (NodeId c = stop; c != kNoNode && siblings < kRunMax; c = node(c).next_sibling) ++siblings;
    if (siblings < kRunFrom || siblings >= kRunMax) siblings = 0;
    // Each regroup leaves its old places behind, and taking fresh ids for it while freed
    // ones wait would let removal and re-insertion grow the ids without bound. So a fresh
    // run is taken only while the freed ids are at most an eighth of the live nodes (a
    // growing trie's are: its new chains use them up); fresh ids are otherwise taken only
    // when none is free, which keeps the id bound within 9/8 of the most nodes ever live.
    if (siblings && !nodes_.has_free_run(siblings + 1) && nodes_.spare() * 8 > nodes_.live()) {
      siblings = 0;
    }
  }
  names_.maybe_compact();
  // The new node for bytes[i] is real (it has siblings to link); the rest of the keyword
  // after it becomes a tail, or a chain of real nodes once the tail arena is full.
  const std::size_t rest = i < keyword.size() ? keyword.size() - i - 1 : 0;
  const bool tail = rest != 0 && tails_.fits(rest);
  // Single nodes come off the free list, then out of freed runs, then fresh; a run is
  // reused whole or taken fresh.
  const std::size_t singles = (i < keyword.size() ? (tail ? 1 : rest + 1) : 0) - (siblings ? 1 : 0);
  const bool fresh_run = siblings && !nodes_.has_free_run(siblings + 1);
  const std::size_t spare = nodes_.spare() - (siblings && !fresh_run ? siblings + 1 : 0);
  std::size_t fresh_ids = singles > spare ? singles - spare : 0;
  if (fresh_run) fresh_ids += siblings + 1;
  reserve_for(fresh_ids, clean_name.size());
  if (tail) tails_.reserve(rest);
  // The commit point. Up to here only capacity and the compactions changed, none of which
  // a reader can tell. Nothing below can fail: the node store has the fresh ids counted
  // above (free ids and a freed run cover the others), the name table room for the name
  // and the side map an escape entry if its id needs one (reserve_for), the tail arena
  // room for the tail; add_table gives up quietly when memory is short.
  if (crowded != kNoNode) add_table(crowded);
  if (i == keyword.size()) {
    assign_name(n, clean_name);
    return;
  }
  NodeId fresh;
  if (siblings) {
    fresh = regroup(n, prev, siblings, bytes[i]);
  } else {
    fresh = nodes_.take(bytes[i]);
    link_after(n, prev, fresh, bytes[i]);
  }
  finish_keyword(fresh, bytes + i + 1, rest, clean_name, tail);
}

[[gnu::hot]] void Trie::finish_keyword(NodeId head, const unsigned char* rest, std::size_t len,
                                       std::string_view clean_name, bool tail) noexcept {
  if (len == 0) {
    assign_name(head, clean_name);
    return;
  }
  if (tail) {
    const uint32_t id = names_.store(clean_name);
    ++terminals_;
    node(head).first_child = tail_id(tails_.append(rest, len, id));
    return;
  }
  // Every further node is the only child of the one before. Freed nodes are reused
  // first; the rest of the chain takes consecutive ids, written block by block.
  NodeId n = head;
  std::size_t i = 0;
  for (; i < len && nodes_.has_spare(); ++i) {
    const NodeId fresh = nodes_.take(rest[i]);
    node(n).first_child = fresh;
    n = fresh;
  }
  if (i < len) {
    const NodeId first = nodes_.take_chain(rest + i, len - i);
    node(n).first_child = first;
    n = static_cast<NodeId>(first + (len - i) - 1);
  }
  assign_name(n, clean_name);
}

// Frees the tail from t to its end, with the keyword it ends.
void Trie::free_tail(NodeId t) noexcept {
  const std::size_t p = tail_pos(t);
  const std::size_t last = tails_.last(p);
  names_.release(tails_.name(last));
  --terminals_;
  tails_.drop(p, last);
}

void Trie::compact_tails() noexcept {
  tails_.compact([this](auto&& move) {
    for (std::size_t id = 0; id < nodes_.bound(); ++id) {
      Node& nd = node(static_cast<NodeId>(id));
      if (is_tail(nd.first_child)) nd.first_child = tail_id(move(tail_pos(nd.first_child)));
    }
  });
}

void Trie::reserve_realize(NodeId n, std::size_t m, std::size_t last) {
  // The insertion that realizes may escape a second name, its own keyword's.
  if (tail_pos(node(n).first_child) + m > last && tails_.name(last) >= kEscape - 1) reserve_name_escape(2);
}

[[gnu::hot]] NodeId Trie::realize(NodeId n, std::size_t m, std::size_t last) noexcept {
  if (m == 0) return n;
  const std::size_t p = tail_pos(node(n).first_child);
  NodeId at = n;
  for (std::size_t j = 0; j < m; ++j) {
    const NodeId x = nodes_.take(tails_.byte(p + j));
    node(at).first_child = x;
    at = x;
  }
  const bool whole = p + m > last;
  tails_.drop_front(m, whole);
  if (whole) {
    set_name_of(at, tails_.name(last));
  } else {
    node(at).first_child = tail_id(p + m);
  }
  return at;
}

[[gnu::hot]] void Trie::insert_below_tail(NodeId n, const unsigned char* kw, std::size_t len,
                                          std::string_view clean_name) {
  const std::size_t p = tail_pos(node(n).first_child);
  const std::size_t last = tails_.last(p);
  const std::size_t tail_len = last - p + 1;
  std::size_t m = 0;  // keyword bytes the tail spells
  while (m < len && m < tail_len && kw[m] == tails_.byte(p + m)) ++m;
  names_.maybe_compact();
  if (m == len && m == tail_len) {
    // The keyword is stored already: only its clean name changes.
    reserve_for(0, clean_name.size());
    // Cannot fail: the name table has room, and the name goes into the tail, not a node.
    const uint32_t id = names_.store(clean_name);
    names_.release(tails_.name(last));
    tails_.set_name(last, id);
    return;
  }
  // The tail's first m bytes become real nodes; below the last of them go the rest of the
  // tail (its next byte a real node too, when the keyword needs a sibling for it) and the
  // rest of the keyword.
  const bool spent = m == tail_len;
  const std::size_t rest = len - m;
  const bool split = rest != 0 && !spent;
  const bool tail = rest > 1 && tails_.fits(rest - 1);
  const std::size_t ids = m + (split ? 1 : 0) + (rest == 0 ? 0 : tail ? 1 : rest);
  reserve_for(ids, clean_name.size());
  if (tail) tails_.reserve(rest - 1);
  reserve_realize(n, m + (split ? 1 : 0), last);
  // The commit point, as in insert(): the node store has the ids of the realised bytes,
  // of the split and of the new chain, the name table room for the name, the side map
  // the escape entries that the tail's name and the new one may need, the tail arena room
  // for the new tail. Nothing below can fail.
  const NodeId at = realize(n, m, last);
  if (rest == 0) {
    assign_name(at, clean_name);
    return;
  }
  const uint32_t b = kw[m];
  const NodeId other = split ? realize(at, 1, last) : kNoNode;
  const NodeId fresh = nodes_.take(b);
  if (other == kNoNode || b < key(other)) {
    node(fresh).next_sibling = other;
    node(at).first_child = fresh;
  } else {
    node(other).next_sibling = fresh;
  }
  finish_keyword(fresh, kw + m + 1, rest - 1, clean_name, tail);
}

NodeId Trie::settle(std::string_view path) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(path.data());
  NodeId n = root();
  for (std::size_t i = 0; i < path.size(); ++i) {
    const NodeId c = child(n, bytes[i]);
    if (c == kNoNode) return kNoNode;
    if (!is_tail(c)) {
      n = c;
      continue;
    }
    // The path goes into the tail below n: it must spell the tail up to its own end.
    const std::size_t p = tail_pos(c);
    const std::size_t last = tails_.last(p);
    const std::size_t m = path.size() - i;
    if (m > last - p + 1) return kNoNode;
    for (std::size_t j = 0; j < m; ++j) {
      if (bytes[i + j] != tails_.byte(p + j)) return kNoNode;
    }
    nodes_.reserve(m);
    reserve_realize(n, m, last);
    return realize(n, m, last);  // cannot fail: the ids and the escape entry are reserved
  }
  return n;
}

NodeId Trie::add_child_after(NodeId parent, NodeId hint, uint32_t key) {
  if (is_tail(node(parent).first_child)) {
    // Siblings need real nodes: the tail's first byte becomes one.
    const std::size_t last = tails_.last(tail_pos(node(parent).first_child));
    nodes_.reserve(1);
    reserve_realize(parent, 1, last);
    realize(parent, 1, last);
  }
  if (hint != kNoNode && this->key(hint) >= key) hint = kNoNode;
  NodeId prev = hint;
  NodeId cur = hint == kNoNode ? node(parent).first_child : node(hint).next_sibling;
  while (cur != kNoNode && this->key(cur) < key) {
    prev = cur;
    cur = node(cur).next_sibling;
  }
  NodeId fresh = new_node(key);
  if (cur != kNoNode && this->key(cur) == key) {
    // A repeated key replaces the earlier child: unlink it, then link the fresh one.
    if (prev == kNoNode) {
      node(parent).first_child = node(cur).next_sibling;
    } else {
      node(prev).next_sibling = node(cur).next_sibling;
    }
    free_subtree(cur);
  }
  link_after(parent, prev, fresh, key);
  return fresh;
}

void Trie::set_clean_name(NodeId n, std::string_view clean_name) {
  reserve_for(0, clean_name.size());
  assign_name(n, clean_name);
}

void Trie::add_tail(NodeId parent, std::string_view bytes, std::string_view clean_name) {
  const bool tail = tails_.fits(bytes.size());
  reserve_for(tail ? 0 : bytes.size(), clean_name.size());
  if (tail) tails_.reserve(bytes.size());
  finish_keyword(parent, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), clean_name, tail);
}

// Gives n the clean name, replacing any it had; the name storage is already reserved.
[[gnu::hot]] void Trie::assign_name(NodeId n, std::string_view clean_name) {
  // The common case, a new keyword whose name id fits in the node, in one step.
  Node& nd = node(n);
  if ((nd.word >> kPayloadShift) == 0 && !(nd.word & kTableBit)) {
    const uint32_t id = names_.store(clean_name);
    ++terminals_;
    if (id < kEscape - 1) {
      nd.word |= (id + 1) << kPayloadShift;
    } else {
      set_name_of(n, id);
    }
    return;
  }
  const uint32_t old = name_of(n);
  if (old != kNoName) {
    names_.release(old);
  } else {
    ++terminals_;
  }
  set_name_of(n, names_.store(clean_name));
}

bool Trie::remove(std::string_view keyword) {
  // The nodes to prune are the tail of the path below the last node that must stay
  // (the root, a terminal node, or one with other children): track that cut point on
  // the way down instead of remembering the whole path. Tail bytes are never such a node.
  NodeId n = root();
  NodeId cut_parent = kNoNode;
  NodeId cut = kNoNode;
  for (char ch : keyword) {
    NodeId c = child(n, static_cast<unsigned char>(ch));
    if (c == kNoNode) return false;
    if (!is_tail(n) && (n == root() || terminal(n) || next_sibling(node(n).first_child) != kNoNode)) {
      cut_parent = n;
      cut = c;
    }
    n = c;
  }
  if (is_tail(n)) {
    // A tail byte ends a keyword only as its last; the tail goes with it, below.
    if (!tails_.is_last(tail_pos(n))) return false;
  } else {
    const uint32_t id = name_of(n);
    if (id == kNoName) return false;
    names_.release(id);
    set_name_of(n, kNoName);
    --terminals_;
    if (n == root() || node(n).first_child != kNoNode) return true;
  }

  // Unlink `cut` from its parent's sibling list, then free the single-child chain below it.
  Node& p = node(cut_parent);
  const uint32_t k = key(cut);  // a byte: cut was found by a byte key
  NodeId before = kNoNode;
  if (p.word & kTableBit) {
    NodeId* t = table(p.word >> kPayloadShift);
    before = prev_in_table(t, k);
    t[k] = kNoNode;
  } else {
    for (NodeId c = p.first_child; c != cut; c = node(c).next_sibling) before = c;
  }
  if (before == kNoNode) {
    p.first_child = next_sibling(cut);
  } else {
    node(before).next_sibling = next_sibling(cut);
  }
  free_subtree(cut);
  return true;
}

}  // namespace kwsieve
