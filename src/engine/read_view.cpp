#include "engine/read_view.h"

#include "engine/processor.h"

namespace kwsieve {

ReadView::ReadView(const KeywordProcessor& processor)
    : case_sensitive_(processor.case_sensitive()), allow_overlaps_(processor.allow_overlaps()) {
  const Trie& trie = processor.trie();
  const WordSet& words = processor.non_word_boundaries();
  for (unsigned b = 0; b < 256; ++b) {
    word_byte_[b] = words.contains(b);
    unsigned lowered = (b >= 'A' && b <= 'Z') ? b + 32 : b;
    word_lowered_[b] = words.contains(lowered);
  }

  std::size_t n_nodes = trie.node_count();
  nodes_.reserve(n_nodes);
  keys_.reserve(n_nodes);
  names_.reserve(trie.count());

  // Breadth-first: `order` doubles as the queue, and a node's index in it is its id here.
  std::vector<NodeId> order;
  order.reserve(n_nodes);
  order.push_back(Trie::root());
  keys_.push_back(0);
  for (std::size_t i = 0; i < order.size(); ++i) {
    NodeId t = order[i];
    Node nd{static_cast<uint32_t>(order.size()), 0, kNone, kNone};
    for (NodeId c = trie.first_child(t); c != kNoNode; c = trie.next_sibling(c)) {
      order.push_back(c);
      keys_.push_back(trie.key(c));
      ++nd.count;
    }
    if (trie.terminal(t)) {
      nd.name = static_cast<uint32_t>(names_.size());
      names_.push_back(trie.clean_name(t));
    }
    if (i == 0 || nd.count > kWideFrom) {
      nd.wide = static_cast<uint32_t>(wide_.size() / 256);
      wide_.resize(wide_.size() + 256, kNone);
      for (uint32_t j = 0; j < nd.count; ++j) {
        uint32_t k = keys_[nd.first + j];
        if (k < 256) wide_[std::size_t{nd.wide} * 256 + k] = nd.first + j;
      }
    }
    nodes_.push_back(nd);
  }
}

}  // namespace kwsieve
