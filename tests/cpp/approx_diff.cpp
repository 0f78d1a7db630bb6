// Differential test of the approximate search: the pruned search must return exactly the
// candidate of the literal one (same node, same length, same float bits) at every start
// position, on random small tries and texts built to produce many equal scores: tiny
// alphabets, shared prefixes, clean names shorter and longer than their keywords, empty
// keywords and names, and, through a hand-built trie, keys above 255 and non-terminal leaves
// (both possible in a decoded state). The literal search is itself checked against a third,
// independent walk over the arena trie here, which also counts the ties it met. A second part
// scans long texts of repeated words, where a searcher answers many start positions from
// earlier searches, against searchers with no history.
//
// Build and run (fixed seeds; any mismatch prints the case and fails):
//   g++ -std=c++20 -O2 -Isrc tests/cpp/approx_diff.cpp src/engine/{approx,read_view,exact_index,processor,trie,node_store,name_table,tail_arena,case_fold}.cpp -o /tmp/approx_diff && /tmp/approx_diff [iterations]
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/approx.h"
#include "engine/processor.h"
#include "engine/read_view.h"
#include "engine/trie.h"
#include "engine/word_set.h"

namespace {

using kwsieve::ApproxSearcher;
using kwsieve::Candidate;
using kwsieve::KeywordProcessor;
using kwsieve::NodeId;
using kwsieve::ReadView;
using kwsieve::Trie;

struct Rng {
  std::mt19937_64 g;
  explicit Rng(uint64_t seed) : g(seed) {}
  std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(g); }
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(g) < p; }
};

// Units of text and keywords: mostly a two- or three-letter alphabet, sometimes a space, a
// two-byte letter or a letter that no keyword uses; the last two alphabets are wide enough for
// nodes with more than ReadView::kFanFrom children, which the search visits through the fan-out
// index, and the widest makes many wide roots, whose expansion walks the tail index.
const std::vector<std::vector<std::string>> kAlphabets = {
    {"a", "b"},
    {"a", "b", "c"},
    {"a", "b", " "},
    {"a", "\xC3\xA9", "b"},
    {"a", "b", "c", "d", "e", " "},
    {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", " "},
    {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n", "o", "p", "q", "r", "s", "t", " "},
};

std::string random_string(Rng& r, const std::vector<std::string>& units, std::size_t max_units) {
  std::string s;
  for (std::size_t n = r.below(max_units + 1); n > 0; --n) s += units[r.below(units.size())];
  return s;
}

float random_threshold(Rng& r) {
  static const float kFixed[] = {0.0f, 0.1f, 0.2f, 0.25f, 0.3f, 1.0f / 3, 0.4f, 0.5f, 0.6f, 2.0f / 3,
                                 0.7f, 0.75f, 0.8f, 0.85f, 0.9f, 0.95f, 0.99f};
  // Thresholds at the ends of the range, where the table of least spans holds its largest
  // and smallest entries.
  static const float kEdges[] = {std::nextafter(1.0f, 0.0f), 1.0f - 0x1p-20f, 0.9999f, 1e-7f,
                                 std::nextafter(0.0f, 1.0f), 0.5f, std::nextafter(0.5f, 1.0f)};
  if (r.chance(0.05)) return kEdges[r.below(std::size(kEdges))];
  if (r.chance(0.8)) return kFixed[r.below(std::size(kFixed))];
  return std::uniform_real_distribution<float>(0.0f, 1.0f)(r.g);
}

// Longest text whose literal search stays cheap at threshold t: the literal search branches
// while cost <= (1 - t)(offset + 1), so its work grows like 3^((1 - t) n).
std::size_t max_text_units(float t) { return t >= 0.7f ? 22 : t >= 0.5f ? 14 : t >= 0.3f ? 10 : 7; }

void fill_by_insertion(Rng& r, KeywordProcessor& kp, const std::vector<std::string>& units) {
  for (std::size_t k = 1 + r.below(units.size() > 8 ? 40 : 12); k > 0; --k) {
    std::string kw = random_string(r, units, 5);
    if (r.chance(0.4)) {
      kp.add_keyword(kw, std::nullopt);
    } else {
      kp.add_keyword(kw, std::string(r.below(9), 'n'));
    }
  }
}

// A trie as a decoder may build it: random shape, keys up to U+1F600, terminal nodes chosen at
// random (so some leaves end no keyword), clean names of any length.
void fill_by_hand(Rng& r, KeywordProcessor& kp, const std::vector<std::string>& units, std::size_t max_name = 8) {
  Trie trie;
  std::vector<NodeId> nodes{Trie::root()};
  for (std::size_t k = r.below(units.size() > 8 ? 60 : 20); k > 0; --k) {
    // Half the time under the root or its first children, to make wide nodes.
    NodeId parent = nodes[r.below(r.chance(0.5) ? std::min<std::size_t>(nodes.size(), 3) : nodes.size())];
    uint32_t key;
    std::size_t pick = r.below(10);
    if (pick < 7) {
      key = static_cast<unsigned char>(units[r.below(units.size())][0]);
    } else if (pick < 9) {
      key = static_cast<uint32_t>(r.below(256));
    } else {
      key = r.chance(0.5) ? 300 : 0x1F600;
    }
    if (trie.child(parent, key) != kwsieve::kNoNode) continue;  // adding would replace a subtree
    nodes.push_back(trie.add_child(parent, key));
  }
  for (NodeId n : nodes) {
    if (r.chance(0.4)) trie.set_clean_name(n, std::string(r.below(max_name), 'h'));
  }
  kp.replace_state(std::make_unique<kwsieve::WordSet>(kwsieve::WordSet::defaults()), std::move(trie),
                   true, false);
}

// The literal procedure once more, written against the arena trie rather than the read view:
// children in sibling order, best replaced only by a strictly greater score. It also counts
// how many scored states reached the final best similarity (ties).
struct Reference {
  Candidate best{kwsieve::kNoView, 0, 0.0f};
  NodeId best_trie_node = kwsieve::kNoNode;
  std::size_t attaining = 0;
};

Reference reference_search(const Trie& trie, const std::string& w, std::size_t p, float t) {
  struct S {
    NodeId node;
    int32_t cost;
    std::size_t offset;
  };
  Reference ref;
  std::vector<float> scores;
  std::vector<S> stack{{Trie::root(), 0, 0}};
  const std::size_t remaining = w.size() - p;
  while (!stack.empty()) {
    S s = stack.back();
    stack.pop_back();
    if (s.offset > 0 && trie.terminal(s.node)) {
      std::size_t d = std::max(s.offset, trie.clean_name(s.node).size());
      float sim = 1.0f - static_cast<float>(s.cost) / static_cast<float>(d);
      if (sim >= t && sim > 0.0f) scores.push_back(sim);
      if (sim >= t && sim > ref.best.similarity) {
        ref.best = {0, s.offset, sim};
        ref.best_trie_node = s.node;
      }
    }
    if (s.offset >= remaining) continue;
    const unsigned char b = static_cast<unsigned char>(w[p + s.offset]);
    NodeId m = trie.child(s.node, b);
    if (m != kwsieve::kNoNode) stack.push_back({m, s.cost, s.offset + 1});
    if (1.0f - static_cast<float>(s.cost) / static_cast<float>(s.offset + 1) >= t) {
      stack.push_back({s.node, s.cost + 1, s.offset + 1});
      for (NodeId c = trie.first_child(s.node); c != kwsieve::kNoNode; c = trie.next_sibling(c)) {
        if (trie.key(c) != b) stack.push_back({c, s.cost + 1, s.offset + 1});
        stack.push_back({c, s.cost + 1, s.offset});
      }
    }
  }
  ref.attaining = static_cast<std::size_t>(std::count(scores.begin(), scores.end(), ref.best.similarity));
  return ref;
}

// The read view gives each node's children one run of ids, in sibling order, and places
// the runs depth first; the same walk over the arena trie maps its ids onto the view's.
std::unordered_map<NodeId, uint32_t> view_ids(const Trie& trie) {
  std::unordered_map<NodeId, uint32_t> ids{{Trie::root(), 0}};
  uint32_t next = 1;
  std::vector<NodeId> stack{Trie::root()}, children;
  while (!stack.empty()) {
    const NodeId n = stack.back();
    stack.pop_back();
    children.clear();
    for (NodeId c = trie.first_child(n); c != kwsieve::kNoNode; c = trie.next_sibling(c)) {
      ids[c] = next++;
      children.push_back(c);
    }
    stack.insert(stack.end(), children.rbegin(), children.rend());
  }
  return ids;
}

bool same(const Candidate& a, const Candidate& b) {
  if (a.node != b.node) return false;
  if (a.node == kwsieve::kNoView) return true;
  return a.length == b.length && std::memcmp(&a.similarity, &b.similarity, sizeof(float)) == 0;
}

void print_case(const char* what, const std::string& w, std::size_t p, float t, const Candidate& want,
                const Candidate& got) {
  std::fprintf(stderr, "MISMATCH (%s) t=%.9g p=%zu text='%s'\n  literal node=%u len=%zu sim=%.9g\n"
                       "  other   node=%u len=%zu sim=%.9g\n",
               what, t, p, w.c_str(), want.node, want.length, want.similarity, got.node, got.length,
               got.similarity);
}

// Searches from one start position reuse the results of earlier ones that read the same
// bytes. Long texts of a few repeated words make such repeats common; each position's
// candidate must equal that of a searcher with no history, which also decides every budget
// by division (use_widened_bound), so costs beyond the table meet the float path too. One
// searcher runs several texts and thresholds in turn, as an extractor does.
std::size_t check_reuse(Rng& r, std::size_t cases, std::size_t& hits) {
  static const char* kWords[] = {"the", "then", "than", "there", "cat", "cart", "cot", "a", "an", "and",
                                 "band", "bandana", "ab", "\xC3\xA9t\xC3\xA9", "xyz", "zz"};
  static const char* kGaps[] = {" ", " ", " ", ", ", ".\n", "-", ""};
  static const float kThresholds[] = {0.0f, 0.2f, 0.5f, 0.6f, 0.7f, 0.75f, 0.8f, 0.9f, 0.95f, 0.99f};
  std::size_t failures = 0;
  for (std::size_t it = 0; it < cases && failures < 10; ++it) {
    KeywordProcessor kp(true, false);
    for (std::size_t k = 1 + r.below(12); k > 0; --k) {
      std::string kw = kWords[r.below(std::size(kWords))];
      if (r.chance(0.3)) kw += std::string(" ") + kWords[r.below(std::size(kWords))];
      if (r.chance(0.2)) kw.erase(r.below(kw.size()), 1);
      kp.add_keyword(kw, r.chance(0.5) ? std::nullopt : std::optional<std::string>(std::string(r.below(12), 'n')));
    }
    const ReadView& view = kp.read_view();
    ApproxSearcher warm(view), raised(view);
    warm.use_seeding(ApproxSearcher::Seeding::kAlways);
    // Seeds above the scores they were filed with: runs from the root and replays of prefixes
    // (rule 9) reach nothing at their floor and must search again.
    raised.use_seeding(ApproxSearcher::Seeding::kRaised);
    for (int round = 0; round < 3; ++round) {
      const float t = kThresholds[r.below(std::size(kThresholds))];
      // Low thresholds search far; keep those texts short.
      const std::size_t words = t < 0.5f ? 10 + r.below(20) : 20 + r.below(300);
      std::string w;
      for (std::size_t i = 0; i < words; ++i) {
        w += kWords[r.below(r.chance(0.7) ? 4 : std::size(kWords))];
        w += kGaps[r.below(std::size(kGaps))];
        // A NUL byte: a reused window is compared past the end of a shorter text as zeros.
        if (r.chance(0.05)) w += '\0';
      }
      for (std::size_t p = 0; p < w.size(); ++p) {
        const uint64_t before = warm.states_visited();
        Candidate got = warm.search(w, p, t);
        if (warm.states_visited() == before) ++hits;
        ApproxSearcher cold(view);
        cold.use_widened_bound();
        Candidate want = cold.search(w, p, t);
        if (!same(want, got)) {
          print_case("reused result", w, p, t, want, got);
          ++failures;
        }
        if (const Candidate high = raised.search(w, p, t); !same(want, high)) {
          print_case("reused result, seeds set too high", w, p, t, want, high);
          ++failures;
        }
      }
    }
  }
  return failures;
}

// Thresholds of 0.84 and above let the searcher rule out start positions before searching
// (StartFilter): the text up to the offset where one edit closes the budget must be within one
// edit of a path, or a keyword with a long clean name must be within one edit of a shorter
// prefix. Keywords long enough to fill that window, clean names long enough to count as long
// (some on keywords of one unit, which match almost anywhere), and texts made of keywords
// with one edit each put candidates right at the limits of those rules.
std::size_t check_start_filter(Rng& r, std::size_t cases, std::size_t& filtered, std::size_t& found) {
  static const float kHigh[] = {0.84f, 0.85f, 0.86f, 0.875f, 0.88f, 0.9f, 0.91f, 0.92f, 0.95f, 0.97f, 0.99f};
  std::size_t failures = 0;
  for (std::size_t it = 0; it < cases && failures < 10; ++it) {
    const auto& units = kAlphabets[r.below(r.chance(0.7) ? 4 : kAlphabets.size())];
    KeywordProcessor kp(true, false);
    std::vector<std::string> words;
    if (r.chance(0.85)) {
      for (std::size_t k = 1 + r.below(25); k > 0; --k) {
        std::string kw = random_string(r, units, r.chance(0.1) ? 2 : 14);
        words.push_back(kw);
        kp.add_keyword(kw, r.chance(0.5) ? std::nullopt : std::optional<std::string>(std::string(r.below(26), 'n')));
      }
    } else {
      fill_by_hand(r, kp, units, 26);
    }
    const ReadView& view = kp.read_view();
    const float t = r.chance(0.8) ? kHigh[r.below(std::size(kHigh))]
                                  : std::uniform_real_distribution<float>(0.84f, 1.0f)(r.g);
    std::string w;
    for (std::size_t n = 1 + r.below(4); n > 0; --n) {
      std::string part = !words.empty() && r.chance(0.8) ? words[r.below(words.size())] : random_string(r, units, 8);
      const std::size_t at = part.empty() ? 0 : r.below(part.size());
      switch (r.below(4)) {
        case 0: if (!part.empty()) part.erase(at, 1); break;
        case 1: part.insert(at, units[r.below(units.size())]); break;
        case 2: if (!part.empty()) part[at] = units[r.below(units.size())][0]; break;
        default: break;
      }
      w += part;
      if (r.chance(0.7)) w += units[r.below(units.size())];
    }
    ApproxSearcher literal(view), pruned(view);
    for (std::size_t p = 0; p < w.size(); ++p) {
      Candidate want = literal.search_literal(w, p, t);
      Candidate got = pruned.search(w, p, t);
      if (want.node != kwsieve::kNoView) ++found;
      if (!same(want, got)) {
        print_case("start filter", w, p, t, want, got);
        ++failures;
      }
    }
    filtered += pruned.starts_filtered();
  }
  return failures;
}

// Below t = 1/2 the searcher first searches with floors (rule 6 in approx.h): a run that
// finds nothing at its floor is repeated with a lower one. Short texts, where the literal
// search can still run, rarely get past the first floor; here longer texts of keyword-like
// words with edits, at low thresholds, are checked against a searcher without floors, itself
// checked against the literal search above. The keywords share prefixes and some clean names
// are long, so that many runs fail at a floor, or take one from a candidate below it, and
// best scores tie.
std::size_t check_floors(Rng& r, std::size_t cases, uint64_t& reruns) {
  static const float kLow[] = {0.0f, 0.05f, 0.1f, 0.125f, 0.2f, 0.25f, 0.3f, 1.0f / 3, 0.4f, 0.45f, 0.49f};
  std::size_t failures = 0;
  for (std::size_t it = 0; it < cases && failures < 10; ++it) {
    const auto& units = kAlphabets[r.below(kAlphabets.size())];
    KeywordProcessor kp(true, false);
    std::vector<std::string> words;
    if (r.chance(0.85)) {
      for (std::size_t k = 1 + r.below(20); k > 0; --k) {
        std::string kw = random_string(r, units, 8);
        words.push_back(kw);
        kp.add_keyword(kw, r.chance(0.6) ? std::nullopt : std::optional<std::string>(std::string(r.below(16), 'n')));
      }
    } else {
      fill_by_hand(r, kp, units, 16);
    }
    // Sometimes the only candidate lies far off at threshold 0, scoring below every floor:
    // only the last run, which has none, finds it.
    const bool far = r.chance(0.1);
    KeywordProcessor lone(true, false);
    lone.add_keyword(units[0], std::nullopt);
    const ReadView& view = far ? lone.read_view() : kp.read_view();
    const float t = far ? 0.0f
                  : r.chance(0.8) ? kLow[r.below(std::size(kLow))]
                                  : std::uniform_real_distribution<float>(0.0f, 0.5f)(r.g);
    std::string w;
    if (far) {
      for (std::size_t n = 60 + r.below(100); n > 0; --n) w += "\x01";
      w += units[0];
    }
    for (std::size_t n = 2 + r.below(t < 0.2f ? 6 : 12); n > 0; --n) {
      std::string part = !words.empty() && r.chance(0.6) ? words[r.below(words.size())] : random_string(r, units, 6);
      if (!part.empty() && r.chance(0.5)) part[r.below(part.size())] = units[r.below(units.size())][0];
      w += part;
      if (r.chance(0.6)) w += units[r.below(units.size())];
    }
    ApproxSearcher plain(view), floored(view), widened(view);
    plain.use_no_floors();
    widened.use_widened_bound();
    for (std::size_t p = 0; p < w.size(); ++p) {
      // A lone one-byte keyword keeps the literal search cheap on the far cases.
      Candidate want = far ? plain.search_literal(w, p, t) : plain.search(w, p, t);
      Candidate got = floored.search(w, p, t);
      Candidate wide = widened.search(w, p, t);
      if (!same(want, got)) {
        print_case("floors", w, p, t, want, got);
        ++failures;
      }
      if (!same(want, wide)) {
        print_case("floors, widened bound", w, p, t, want, wide);
        ++failures;
      }
    }
    reruns += floored.states_visited() > plain.states_visited();
  }
  return failures;
}

// Above t = 1/2 a root of more than eight children is expanded through the suffix index, which
// the view builds only as deep as the threshold's walk goes and replaces by a deeper one when a
// later threshold needs more. Two searchers on one view take thresholds in turn, out of step,
// so that a shallow index meets a deeper request, a deep one a shallower request, and a
// searcher goes on with the index it took while the other has the view build a deeper one.
// Keywords from wide alphabets, longer than the shallow depths, make wide roots and walks
// that reach the depth built.
std::size_t check_threshold_turns(Rng& r, std::size_t cases) {
  static const std::vector<std::vector<float>> kTurns = {
      {0.7f, 0.95f, 0.8f, 0.6f}, {0.6f, 0.7f, 0.8f, 0.9f}, {0.95f, 0.6f, 0.75f, 0.9f}};
  static const float kAny[] = {0.55f, 0.6f, 2.0f / 3, 0.7f, 0.75f, 0.8f, 0.85f, 0.9f, 0.95f, 0.97f};
  std::size_t failures = 0;
  for (std::size_t it = 0; it < cases && failures < 10; ++it) {
    const auto& units = kAlphabets[kAlphabets.size() - 1 - r.below(2)];
    KeywordProcessor kp(true, false);
    std::vector<std::string> words;
    for (std::size_t k = 10 + r.below(40); k > 0; --k) {
      std::string kw = random_string(r, units, r.chance(0.5) ? 6 : 16);
      words.push_back(kw);
      kp.add_keyword(kw, r.chance(0.7) ? std::nullopt : std::optional<std::string>(std::string(r.below(24), 'n')));
    }
    std::vector<float> turns = kTurns[r.below(kTurns.size())];
    if (r.chance(0.3)) {
      for (float& t : turns) t = kAny[r.below(std::size(kAny))];
    }
    const ReadView& view = kp.read_view();
    ApproxSearcher a(view), b(view), literal(view);
    for (std::size_t k = 0; k < turns.size(); ++k) {
      for (int side = 0; side < 2; ++side) {
        const float t = turns[(k + side) % turns.size()];
        std::string w;
        while (w.size() < max_text_units(t)) {
          std::string part = r.chance(0.8) ? words[r.below(words.size())] : random_string(r, units, 6);
          if (!part.empty() && r.chance(0.5)) part[r.below(part.size())] = units[r.below(units.size())][0];
          w += part;
        }
        w.resize(max_text_units(t));
        ApproxSearcher& s = side == 0 ? a : b;
        for (std::size_t p = 0; p < w.size(); ++p) {
          const Candidate want = literal.search_literal(w, p, t);
          const Candidate got = s.search(w, p, t);
          if (!same(want, got)) {
            print_case("thresholds in turn", w, p, t, want, got);
            ++failures;
          }
        }
      }
    }
  }
  return failures;
}

}  // namespace

// The search tables keep counts, keys, depths and name lengths in bytes, with larger values in
// side lists or loosened: tries with a root of more than 255 children (every byte and keys
// beyond), clean names of hundreds and of tens of thousands of bytes, and one keyword about as
// deep as a byte counts or far deeper, against the literal search over short texts.
std::size_t check_wide(Rng& r, std::size_t cases) {
  static const std::size_t kNames[] = {0, 3, 254, 255, 256, 300, 65533, 65534, 65535, 70000};
  std::size_t failures = 0;
  for (std::size_t it = 0; it < cases && failures < 10; ++it) {
    Trie trie;
    std::vector<NodeId> under_root;
    for (uint32_t k = 0; k < 256; ++k) under_root.push_back(trie.add_child(Trie::root(), k));
    for (uint32_t k : {300u, 0x1F600u}) under_root.push_back(trie.add_child(Trie::root(), k));
    std::vector<NodeId> nodes;
    for (std::size_t k = 20 + r.below(40); k > 0; --k) {
      // Mostly below the children whose keys the byte 255 stands for, or is.
      static const std::size_t kBelow[] = {'a', 255, 256, 257};
      const NodeId parent = nodes.empty() || r.chance(0.4) ? under_root[kBelow[r.below(4)]]
                                                           : nodes[r.below(nodes.size())];
      const uint32_t key = r.chance(0.8) ? static_cast<uint32_t>('a' + r.below(3)) : 255;
      if (trie.child(parent, key) != kwsieve::kNoNode) continue;
      nodes.push_back(trie.add_child(parent, key));
    }
    if (r.chance(0.3)) {
      // A chain of 'a' below 'a' at the reach's byte limit, or far past it.
      NodeId n = under_root['a'];
      const std::size_t deep = r.chance(0.5) ? 250 + r.below(10) : 66000;
      for (std::size_t d = 0; d < deep; ++d) {
        const NodeId c = trie.child(n, 'a');
        n = c != kwsieve::kNoNode ? c : trie.add_child(n, 'a');
      }
      trie.set_clean_name(n, "");
    }
    for (NodeId n : nodes) {
      if (r.chance(0.4)) trie.set_clean_name(n, std::string(kNames[r.below(std::size(kNames))], 'h'));
    }
    for (NodeId n : under_root) {
      if (r.chance(0.2)) trie.set_clean_name(n, std::string(kNames[r.below(std::size(kNames))], 'h'));
    }
    KeywordProcessor kp(true, false);
    kp.replace_state(std::make_unique<kwsieve::WordSet>(kwsieve::WordSet::defaults()), std::move(trie), true, false);
    const ReadView& view = kp.read_view();
    const std::unordered_map<NodeId, uint32_t> ids = view_ids(kp.trie());
    static const std::vector<std::string> kUnits = {"a", "b", "c", "\xFF", "z"};
    for (int round = 0; round < 4; ++round) {
      const float t = 0.5f + 0.1f * static_cast<float>(r.below(5));
      const std::string w = random_string(r, kUnits, 6);
      ApproxSearcher literal(view), pruned(view);
      for (std::size_t p = 0; p < w.size(); ++p) {
        const Candidate want = literal.search_literal(w, p, t);
        const Candidate got = pruned.search(w, p, t);
        // The literal search reads the keys from the tables too: the arena trie checks them.
        const Reference found = reference_search(kp.trie(), w, p, t);
        Candidate ref = found.best;
        if (found.best_trie_node != kwsieve::kNoNode) ref.node = ids.at(found.best_trie_node);
        if (!same(want, got) || !same(want, ref)) {
          print_case("wide tables", w, p, t, want, same(want, got) ? ref : got);
          ++failures;
        }
      }
    }
  }
  return failures;
}

int main(int argc, char** argv) {
  const std::size_t iterations = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
  Rng r(20240611);
  std::size_t positions = 0, candidates = 0, tied = 0, failures = 0;
  uint64_t literal_states = 0, pruned_states = 0;
  for (std::size_t it = 0; it < iterations && failures < 10; ++it) {
    const auto& units = kAlphabets[r.below(kAlphabets.size())];
    KeywordProcessor kp(true, false);
    if (r.chance(0.75)) {
      fill_by_insertion(r, kp, units);
    } else {
      fill_by_hand(r, kp, units);
    }
    const ReadView& view = kp.read_view();
    const std::unordered_map<NodeId, uint32_t> ids = view_ids(kp.trie());
    const float t = random_threshold(r);
    const std::string w = random_string(r, units, max_text_units(t));

    ApproxSearcher literal(view), pruned(view), widened(view);
    widened.use_widened_bound();
    // Floors from earlier start positions, and, on the widened side, floors set too high.
    pruned.use_seeding(ApproxSearcher::Seeding::kAlways);
    widened.use_seeding(ApproxSearcher::Seeding::kRaised);
    for (std::size_t p = 0; p < w.size(); ++p) {
      ++positions;
      Candidate want = literal.search_literal(w, p, t);
      Candidate got = pruned.search(w, p, t);
      Candidate wide = widened.search(w, p, t);
      Reference ref = reference_search(kp.trie(), w, p, t);
      if (want.node != kwsieve::kNoView) {
        ++candidates;
        if (ref.attaining > 1) ++tied;
      }
      Candidate ref_view = ref.best;
      ref_view.node = ref.best_trie_node == kwsieve::kNoNode ? kwsieve::kNoView : ids.at(ref.best_trie_node);
      if (!same(want, ref_view)) {
        print_case("literal vs reference", w, p, t, ref_view, want);
        ++failures;
      }
      if (!same(want, got)) {
        print_case("pruned", w, p, t, want, got);
        ++failures;
      }
      if (!same(want, wide)) {
        print_case("pruned, widened bound", w, p, t, want, wide);
        ++failures;
      }
    }
    literal_states += literal.states_visited();
    pruned_states += pruned.states_visited();
  }
  std::printf("%zu iterations, %zu start positions, %zu with a candidate, %zu of them among tied scores\n",
              iterations, positions, candidates, tied);
  std::printf("states popped: literal %llu, pruned %llu\n", static_cast<unsigned long long>(literal_states),
              static_cast<unsigned long long>(pruned_states));
  std::size_t hits = 0;
  failures += check_reuse(r, iterations / 100 + 1, hits);
  std::printf("long texts: %zu searches answered from earlier ones\n", hits);
  std::size_t filtered = 0, found = 0;
  failures += check_start_filter(r, iterations / 4 + 1, filtered, found);
  std::printf("high thresholds: %zu start positions ruled out before searching, %zu with a candidate\n", filtered,
              found);
  uint64_t more = 0;
  failures += check_floors(r, iterations / 10 + 1, more);
  std::printf("low thresholds: floors checked on %zu longer texts (%llu popped more states than without)\n",
              iterations / 10 + 1, static_cast<unsigned long long>(more));
  failures += check_threshold_turns(r, iterations / 40 + 1);
  std::printf("thresholds in turn: %zu processors searched at four thresholds by two searchers\n",
              iterations / 40 + 1);
  failures += check_wide(r, iterations / 500 + 1);
  std::printf("wide tables: %zu tries with a root of 258 children\n", iterations / 500 + 1);
  if (iterations >= 1000 && (filtered == 0 || found == 0)) {
    std::printf("the start filter was not exercised\n");
    ++failures;
  }
  if (failures) {
    std::printf("FAILED: %zu mismatches\n", failures);
    return 1;
  }
  std::printf("OK\n");
  return 0;
}
