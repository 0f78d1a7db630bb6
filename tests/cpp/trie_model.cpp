// Differential test of the trie against a map from keyword to clean name.
//
//   g++ -std=c++20 -O1 -g -fsanitize=address,undefined -Isrc -DKWSIEVE_TRIE_PAYLOAD_BITS=3
//       tests/cpp/trie_model.cpp src/engine/{trie,node_store,name_table,tail_arena}.cpp -o /tmp/trie_model && /tmp/trie_model 300
//
// Random insertions, replacements, removals, copies and hand-linked wide keys over a small
// alphabet, so that nodes get many children (and direct tables) and keys repeat. After every
// step the whole trie is walked and compared with the model: the stored keywords and names,
// sibling order, lookups of present and absent keywords, and the counts. Built with a small
// payload width (as above) the same run also covers clean-name ids and table ids that do not
// fit in a node, which a normal build reaches only with millions of keywords; CI builds it
// both ways.
//
// With --fail-allocations first, every step runs under alloc_failure::sweep: its Nth
// allocation fails, for N = 1, 2, 3... until the step completes. After each failure the
// trie must still equal the model (insertion, removal, settle, copies and moves promise
// that) and keep working; the decoder's building blocks, which promise only that a failed
// trie can be thrown away, run on a copy, which is then thrown away.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "alloc_failure.h"
#include "engine/trie.h"

namespace {

using kwsieve::kNoNode;
using kwsieve::NodeId;
using kwsieve::Trie;

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "trie_model: %s %s\n", what, detail.c_str());
  std::exit(1);
}

void check(bool ok, const char* what, const std::string& detail = {}) {
  if (!ok) fail(what, detail);
}

// Keys above 255 exist only as hand-linked leaves here; the model keeps their paths apart.
struct Model {
  std::map<std::string, std::string> names;         // byte paths
  std::map<std::string, std::string> wide_leaves;   // byte path of the parent + "#" + key
};

// Walks the trie depth first with an explicit stack and checks it against the model.
void compare(const Trie& trie, const Model& model) {
  std::map<std::string, std::string> seen;
  std::map<std::string, std::string> seen_wide;
  std::size_t nodes = 0;
  struct Item {
    NodeId node;
    std::string path;
  };
  std::vector<Item> stack{{Trie::root(), {}}};
  while (!stack.empty()) {
    Item it = std::move(stack.back());
    stack.pop_back();
    ++nodes;
    if (trie.terminal(it.node)) seen.emplace(it.path, std::string(trie.clean_name(it.node)));
    // Every path leads to a keyword: a leaf that ends none is a node left behind.
    check(trie.terminal(it.node) || trie.first_child(it.node) != kNoNode || it.node == Trie::root(),
          "a leaf ends no keyword at", it.path);
    uint32_t last = 0;
    bool first = true;
    for (NodeId c = trie.first_child(it.node); c != kNoNode; c = trie.next_sibling(c)) {
      const uint32_t k = trie.key(c);
      check(first || k > last, "siblings out of order at", it.path);
      first = false;
      last = k;
      if (k >= 256) {
        check(trie.first_child(c) == kNoNode && trie.terminal(c), "wide leaf changed");
        seen_wide.emplace(it.path + "#" + std::to_string(k), std::string(trie.clean_name(c)));
        ++nodes;
        continue;
      }
      check(trie.child(it.node, k) == c, "child() disagrees with the sibling list at", it.path);
      stack.push_back({c, it.path + static_cast<char>(k)});
    }
  }
  check(seen == model.names, "keywords differ from the model");
  check(seen_wide == model.wide_leaves, "wide leaves differ from the model");
  check(trie.count() == model.names.size() + model.wide_leaves.size(), "count is wrong");
  check(trie.node_count() == nodes, "node count is wrong");
}

// Every byte below a stored keyword's node leads on exactly when some stored keyword (or
// wide leaf) extends the keyword with that byte; a lookup must not read past a path's end.
void probe_below(const Trie& trie, const Model& model, const std::string& keyword) {
  NodeId n = Trie::root();
  for (unsigned char b : keyword) n = trie.child(n, b);
  check(n != kNoNode, "a stored keyword is not found:", keyword);
  for (int b = 0; b < 256; ++b) {
    const std::string longer = keyword + static_cast<char>(b);
    auto it = model.names.lower_bound(longer);
    bool extends = it != model.names.end() && it->first.starts_with(longer);
    for (const auto& [at, name] : model.wide_leaves) extends = extends || at.substr(0, at.rfind('#')).starts_with(longer);
    check((trie.child(n, static_cast<uint32_t>(b)) != kNoNode) == extends, "a lookup below disagrees:", longer);
  }
}

// Runs a step of the trie: directly, or under the allocation failure sweep when `faults`.
class Stepper {
 public:
  explicit Stepper(bool faults) : faults_(faults) {}

  // A step with the strong guarantee: `apply` changes `trie` as `after` says the model
  // changes; after a failure the trie must equal `model`, and a step that absorbed a
  // failure must have reached `after`.
  template <class Apply>
  void strong(Trie& trie, const Model& model, const Model& after, Apply apply) {
    if (!faults_) {
      apply();
      return;
    }
    const Trie backup(trie);
    alloc_failure::sweep(
        apply,
        [&] {
          compare(trie, model);
          if (!model.names.empty()) probe_below(trie, model, model.names.begin()->first);
        },
        [&] {
          compare(trie, after);
          trie = backup;
        });
  }

  // A step that may leave its trie broken on failure. Under the sweep it runs on a copy
  // (made under the sweep too), which replaces `trie` once a run completes; a run that
  // absorbed a failure must have reached `after`.
  template <class Apply>
  void on_copy(Trie& trie, const Model& model, const Model& after, Apply apply) {
    if (!faults_) {
      apply(trie);
      return;
    }
    std::unique_ptr<Trie> done;
    auto run = [&] {
      auto copy = std::make_unique<Trie>(trie);
      apply(*copy);
      done = std::move(copy);
    };
    alloc_failure::sweep(run, [&] { compare(trie, model); }, [&] {
      compare(*done, after);
      done.reset();
    });
    trie = std::move(*done);
  }

  bool faults() const { return faults_; }

 private:
  bool faults_;
};

}  // namespace

int main(int argc, char** argv) {
  const bool faults = argc > 1 && std::string(argv[1]) == "--fail-allocations";
  if (faults) {
    --argc;
    ++argv;
  }
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
  Stepper step(faults);
  std::mt19937_64 rng(20240601);
  auto below = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  // Wide enough at the first two levels to make nodes with many children, and with 0xFF,
  // the byte that shares its stored form with wide keys.
  std::string alphabet;
  for (int c = 'a'; c <= 'z'; ++c) alphabet += static_cast<char>(c);
  alphabet += "0123456789 -\xc3\xa9\xff";

  for (int round = 0; round < rounds; ++round) {
    Trie trie;
    Model model;
    std::size_t peak = 0;  // most live nodes so far
    const std::size_t steps = 50 + below(400);
    for (std::size_t s = 0; s < steps; ++s) {
      const std::size_t op = below(20);
      // Few first bytes and many second ones: nodes at depth one get crowded.
      std::string kw;
      const std::size_t len = below(6);
      for (std::size_t i = 0; i < len; ++i) kw += alphabet[below(i == 1 ? alphabet.size() : 4)];
      // Under the sweep, now and then a long keyword: once the tail arena is full (the
      // 600-byte build) it takes a node per byte, so these small tries also reach the
      // node blocks past the first, which the large trie below sweeps only sparsely.
      if (step.faults() && below(24) == 0) {
        for (int j = 0; j < 300; ++j) kw += alphabet[below(4)];
      }
      if (op < 12) {
        // Now and then a long name, so that replaced names pile up and the arena compacts.
        std::string name(below(8) ? below(5) : 300, static_cast<char>('A' + below(26)));
        Model after = model;
        after.names[kw] = name;
        step.strong(trie, model, after, [&] { trie.insert(kw, name); });
        model = std::move(after);
      } else if (op < 17) {
        // Usually a stored keyword, sometimes an absent one.
        if (!model.names.empty() && below(4) != 0) {
          auto it = model.names.begin();
          std::advance(it, below(model.names.size()));
          kw = it->first;
        }
        // A wide leaf's parent always has a child, so removal never prunes it.
        const bool stored = model.names.count(kw) != 0;
        Model after = model;
        after.names.erase(kw);
        step.strong(trie, model, after, [&] { check(trie.remove(kw) == stored, "remove() result differs for", kw); });
        model = std::move(after);
      } else if (op < 18 && below(4) == 0) {
        // The decoder's repeated key: a fresh child replaces a whole subtree.
        if (kw.empty()) continue;
        const std::string parent_path = kw.substr(0, kw.size() - 1);
        NodeId parent = kNoNode;
        step.strong(trie, model, model, [&] { parent = trie.settle(parent_path); });
        if (parent == kNoNode) continue;
        Model after = model;
        for (auto it = after.names.lower_bound(kw); it != after.names.end() && it->first.starts_with(kw);) {
          it = after.names.erase(it);
        }
        for (auto it = after.wide_leaves.begin(); it != after.wide_leaves.end();) {
          it = it->first.starts_with(kw) ? after.wide_leaves.erase(it) : std::next(it);
        }
        after.names[kw] = "R";
        step.on_copy(trie, model, after, [&](Trie& t) {
          const NodeId fresh = t.add_child(t.settle(parent_path), static_cast<unsigned char>(kw.back()));
          t.set_clean_name(fresh, "R");
        });
        model = std::move(after);
      } else if (op < 18) {
        // A hand-linked leaf with a key above 255 under a stored keyword's node, as a
        // decoded state may hold.
        if (model.names.empty()) continue;
        auto it = model.names.begin();
        std::advance(it, below(model.names.size()));
        const std::string& path = it->first;
        const uint32_t key = below(2) ? 300 : 0x1F600;
        const std::string at = path + "#" + std::to_string(key);
        if (model.wide_leaves.count(at)) continue;
        Model after = model;
        after.wide_leaves[at] = "w";
        step.on_copy(trie, model, after, [&](Trie& t) {
          const NodeId leaf = t.add_child(t.settle(path), key);
          t.set_clean_name(leaf, "w");
        });
        model = std::move(after);
      } else if (op < 19) {
        std::unique_ptr<Trie> copy;
        step.strong(trie, model, model, [&] { copy = std::make_unique<Trie>(trie); });
        compare(*copy, model);
        step.strong(trie, model, model, [&] { trie = *copy; });
      } else {
        // Moving builds an empty trie for the source first: a failure leaves the source.
        std::unique_ptr<Trie> moved;
        step.strong(trie, model, Model{}, [&] { moved = std::make_unique<Trie>(std::move(trie)); });
        compare(trie, Model{});  // a moved-from trie is empty and usable
        trie = std::move(*moved);
      }
      compare(trie, model);
      if (!model.names.empty()) probe_below(trie, model, std::next(model.names.begin(), below(model.names.size()))->first);
      // Freed ids are reused: removal and re-insertion must not grow the ids past 9/8 of
      // the most nodes ever live (plus one run).
      peak = std::max(peak, trie.node_count());
      check(trie.id_bound() <= peak + peak / 8 + 17, "ids outgrow the live nodes");
      // Dead tail bytes are reclaimed: the arena stays within a bound of the live tails
      // (each byte a node, plus a name id per keyword) and the real nodes.
      check(trie.tail_storage() <= 2 * (trie.node_count() + 4 * trie.count()) + 4096 + trie.id_bound() / 2 + 64,
            "the tail arena outgrows the live tails");
    }
  }
  // A trie of many node blocks and a large tail arena: long keywords, a first byte of any
  // value and then three letters, so that keywords share long prefixes and split each
  // other's tails. Removing and re-adding recycles ids across blocks, and a copy must carry
  // every block.
  {
    Trie trie;
    Model model;
    std::vector<std::string> added;
    for (int i = 0; i < 20000; ++i) {
      std::string kw;
      const std::size_t len = 4 + below(16);
      for (std::size_t j = 0; j < len; ++j) kw += static_cast<char>(below(j < 1 ? 256 : 3) + (j < 1 ? 0 : 'a'));
      const std::string name(below(3), 'n');
      // Under the sweep every 1024th insertion only: each failure walks the whole trie.
      if (step.faults() && i % 1024 == 0) {
        Model after = model;
        after.names[kw] = name;
        step.strong(trie, model, after, [&] { trie.insert(kw, name); });
      } else {
        trie.insert(kw, name);
      }
      model.names[kw] = name;
      added.push_back(kw);
      if (below(5) == 0) {
        const std::string& gone = added[below(added.size())];
        check(trie.remove(gone) == (model.names.erase(gone) != 0), "remove() result differs for", gone);
      }
    }
    check(trie.id_bound() > 20000, "the large trie is too small to span many blocks");
    compare(trie, model);
    Trie copy(trie);
    compare(copy, model);
  }
  if (faults) {
    const auto& t = alloc_failure::totals();
    std::printf("trie_model: %zu injected failures (%zu absorbed) in %zu attempts\n", t.thrown + t.absorbed,
                t.absorbed, t.attempts);
  }
  std::printf("trie_model: %d rounds passed\n", rounds);
  return 0;
}
