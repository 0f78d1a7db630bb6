// Depth-first walks of the trie, and the keyword listing built on them.
//
// A keyword may be megabytes long, and a decoded state may nest millions of levels deep,
// so no walk here recurses: the only memory that grows with depth is one vector of node
// ids on the heap (the path from the root to the current node).
#pragma once

#include <functional>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/trie.h"

namespace kwsieve {

// Visits every node of `trie` in depth-first order, children in the trie's child order.
// `enter(n)` is called on reaching n, the root first, and returns whether to descend into
// n's children; `leave(n)` follows once n's subtree is done (also when enter declined),
// so enter/leave calls nest like brackets and can maintain per-path state.
template <class Enter, class Leave>
void walk_depth_first(const Trie& trie, Enter&& enter, Leave&& leave) {
  std::vector<NodeId> ancestors;  // strict ancestors of `n`, root first
  NodeId n = Trie::root();
  for (;;) {
    if (enter(n) && trie.first_child(n) != kNoNode) {
      ancestors.push_back(n);
      n = trie.first_child(n);
      continue;
    }
    // n's subtree is finished: leave it and every ancestor whose last child it closes.
    for (;;) {
      leave(n);
      if (ancestors.empty()) return;  // that was the root
      NodeId sibling = trie.next_sibling(n);
      if (sibling != kNoNode) {
        n = sibling;
        break;
      }
      n = ancestors.back();
      ancestors.pop_back();
    }
  }
}

// Calls fn(keyword, clean_name) for every keyword stored in `trie`, in depth-first child
// order. `keyword` is the node's path, valid only during the call.
//
// Only insertion-built paths are listed. A decoded state may hold nodes that no insertion
// can make: a key above 255 (it is not a byte) or a path whose bytes are not valid UTF-8.
// Terminals on such paths are skipped, silently: they can never be matched by any text,
// a Python str cannot hold them, and a listing that failed on them would hide every
// well-formed keyword of the same processor. They still count in Trie::count(), so len()
// of such a processor may exceed the size of its listing. Clean names need no check: the
// decoder validated every one.
void list_keywords(const Trie& trie,
                   const std::function<void(std::string_view keyword, std::string_view clean_name)>& fn);

}  // namespace kwsieve
