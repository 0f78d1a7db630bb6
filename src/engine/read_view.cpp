#include "engine/read_view.h"

#include <array>

#include "engine/approx.h"
#include "engine/search_tables.h"
#include "engine/suffix_index.h"
#include "engine/trie.h"

namespace kwsieve {

namespace {

// Numbers the nodes so that each node's children are one run of ids, and the runs are
// placed in depth-first order: visiting a node places its children's run next. A chain of
// single children then sits in consecutive records, and a walk down a keyword mostly reads
// neighbouring ones. Every child gets a larger id than its parent. Terminal nodes get their
// name indexes in the order of the walk, and `names` their clean names in that order.
TrieNumbering number_trie(const Trie& trie, std::vector<std::string_view>& names) {
  TrieNumbering out;
  std::vector<TrieNumbering::Node>& nodes = out.nodes;
  std::vector<uint32_t>& keys = out.keys;
  const std::size_t n_nodes = trie.node_count();
  nodes.reserve(n_nodes);
  keys.reserve(n_nodes);
  nodes.push_back({0, 0, kNotTerminal});
  keys.push_back(0);
  // The names are looked up after the walk: the walk meets them in key order, scattered
  // over the trie's name table, and loads that wait for nothing else overlap.
  std::vector<NodeId> terminals;
  terminals.reserve(trie.count());

  // Trie nodes waiting for their children's run, with their ids; the next child to visit
  // is on top.
  struct Visit {
    NodeId node;
    uint32_t id;
  };
  std::vector<Visit> stack;
  stack.push_back({Trie::root(), 0});
  uint32_t next = 1;
  std::vector<NodeId> children;
  while (!stack.empty()) {
    const Visit at = stack.back();
    stack.pop_back();
    children.clear();
    for (NodeId c = trie.first_child(at.node); c != kNoNode; c = trie.next_sibling(c)) {
      nodes.push_back({0, 0, kNotTerminal});
      keys.push_back(trie.key(c));
      children.push_back(c);
    }
    TrieNumbering::Node& nd = nodes[at.id];
    nd.first = next;
    next += static_cast<uint32_t>(children.size());
    nd.count = static_cast<uint32_t>(children.size());
    for (std::size_t j = children.size(); j-- > 0;) stack.push_back({children[j], nd.first + static_cast<uint32_t>(j)});
    if (trie.terminal(at.node)) {
      nd.name = static_cast<uint32_t>(terminals.size());
      terminals.push_back(at.node);
    }
  }
  names.reserve(terminals.size());
  for (NodeId t : terminals) names.push_back(trie.clean_name(t));
  return out;
}

// Membership of each byte value, tested as the code point with the same number, for the
// bytes below 0x80; the bytes from 0x80 up are not word bytes on their own.
std::array<bool, 256> word_bytes(const WordSet& words) {
  std::array<bool, 256> out{};
  for (unsigned b = 0; b < 0x80; ++b) out[b] = words.contains(b);
  return out;
}

}  // namespace

ReadView::ReadView(const Trie& trie, const WordSet& words, Settings settings)
    : words_(words),
      by_char_(settings.words_beyond_ascii),
      case_sensitive_(settings.case_sensitive),
      allow_overlaps_(settings.allow_overlaps),
      word_byte_(word_bytes(words)),
      // The numbering lives only as long as the exact index takes to copy it.
      exact_(number_trie(trie, names_), word_byte_, settings.allow_overlaps) {}

ReadView::~ReadView() { delete kept_searcher_.load(std::memory_order_acquire); }

const SearchTables& ReadView::search() const {
  std::call_once(search_once_, [this] { search_ = std::make_unique<const SearchTables>(exact_, names_); });
  return *search_;
}

std::shared_ptr<const StartFilter> ReadView::start_filter(uint64_t key, MakeStartFilter make) const {
  static constexpr std::size_t kKept = 4;
  std::lock_guard<std::mutex> lock(filters_mutex_);
  for (const auto& [k, f] : filters_) {
    if (k == key) return f;
  }
  if (filters_.size() >= kKept) return nullptr;
  filters_.emplace_back(key, make(search(), key));
  return filters_.back().second;
}

std::unique_ptr<ApproxSearcher> ReadView::take_searcher() const {
  return std::unique_ptr<ApproxSearcher>(kept_searcher_.exchange(nullptr, std::memory_order_acq_rel));
}

void ReadView::keep_searcher(std::unique_ptr<ApproxSearcher> s) const {
  ApproxSearcher* none = nullptr;
  if (kept_searcher_.compare_exchange_strong(none, s.get(), std::memory_order_acq_rel)) s.release();
}

std::shared_ptr<const SuffixIndex> ReadView::suffix_index(uint64_t depth) const {
  const SearchTables& tables = search();
  std::lock_guard<std::mutex> lock(suffix_mutex_);
  if (suffix_ && suffix_->holds(depth)) return suffix_;
  // Built before the kept one is replaced, so a failure leaves that one in place.
  suffix_ = std::make_shared<const SuffixIndex>(tables, depth);
  return suffix_;
}

std::shared_ptr<const SuffixIndex> ReadView::kept_suffix_index() const {
  std::lock_guard<std::mutex> lock(suffix_mutex_);
  return suffix_;
}

}  // namespace kwsieve
