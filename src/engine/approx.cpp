#include "engine/approx.h"

#include <algorithm>
#include <cassert>
#include <bit>
#include <iterator>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/read_view.h"
#include "engine/search_tables.h"
#include "engine/start_filter.h"
#include "engine/suffix_index.h"

namespace kwsieve {

namespace {

// Integers below this are exact in binary32.
constexpr std::size_t kExactFloat = std::size_t{1} << 24;

// Single-precision similarity of `cost` edits over `d` bytes, as both searches score it.
inline float similarity(int32_t cost, uint64_t d) {
  return 1.0f - static_cast<float>(cost) / static_cast<float>(d);
}

inline std::size_t mix(uint32_t node, std::size_t offset) {
  uint64_t h = (uint64_t{node} << 32 | static_cast<uint32_t>(offset)) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(h >> 32 ^ h);
}

}  // namespace

ApproxSearcher::ApproxSearcher(const ReadView& view) : view_(view) {}

// The view builds its search tables only when a search first needs them, so that
// processors used for exact matching alone never pay for them.
void ApproxSearcher::prepare() {
  if (prepared_) return;
  tables_ = &view_.search();
  bounded_ = tables_->max_name() < SearchTables::kUnreached - 1;
  prepared_ = true;
}

void ApproxSearcher::Seen::next_start() {
  if (++stamp_ == 0) {
    // The stamp wrapped: forget every slot so that no stale one looks current.
    for (Slot& s : slots_) s.stamp = 0;
    stamp_ = 1;
  }
  cap_ = 0;
  used_ = 0;
}

void ApproxSearcher::Seen::shed() {
  if (slots_.size() > kMinSlots) *this = Seen{};
}

void ApproxSearcher::shed() {
  seen_.shed();
  // A stack this deep is rare; the next search that needs one grows it again.
  if (stack_.capacity() > 4096) std::vector<State>().swap(stack_);
}

void ApproxSearcher::Seen::grow() {
  const std::size_t old_cap = cap_;
  cap_ = cap_ == 0 ? kMinSlots : cap_ * 2;
  if (slots_.size() < cap_) slots_.resize(cap_, Slot{0, 0, 0, 0});
  // Slots of the larger region that hold older stamps count as free; move the current
  // entries out, free their slots, and insert them again under the new mask.
  moving_.clear();
  for (std::size_t i = 0; i < old_cap; ++i) {
    if (slots_[i].stamp == stamp_) {
      moving_.push_back(slots_[i]);
      slots_[i].stamp = 0;
    }
  }
  const std::size_t mask = cap_ - 1;
  for (const Slot& s : moving_) {
    std::size_t i = mix(s.node, s.offset) & mask;
    while (slots_[i].stamp == stamp_) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

bool ApproxSearcher::Seen::admit(uint32_t node, std::size_t offset, int32_t cost) {
  if (used_ * 2 >= cap_ && cap_ < kMaxSlots) grow();
  // At most half the region holds the current stamp, so the probe meets a free slot.
  const std::size_t mask = cap_ - 1;
  std::size_t i = mix(node, offset) & mask;
  for (; slots_[i].stamp == stamp_; i = (i + 1) & mask) {
    Slot& s = slots_[i];
    if (s.node == node && s.offset == offset) {
      if (s.cost <= cost) return false;
      s.cost = cost;
      return true;
    }
  }
  if (used_ * 2 < cap_) {
    slots_[i] = Slot{node, stamp_, cost, offset};
    ++used_;
  }
  return true;
}

void ApproxSearcher::Spans::make(float threshold) {
  t = threshold;
  // x = 0 counts as failing (the similarity is undefined there).
  auto reaches = [threshold](int32_t c, uint64_t x) { return x > 0 && similarity(c, x) >= threshold; };
  for (int32_t c = 0; c < kSpanCosts; ++c) {
    // Start from the real-valued answer c / (1 - t) and gallop to a failing span below a
    // passing one, then bisect: a few tests per cost, however the roundings fall. (t < 1, so
    // 1 - c / x reaches t once c / x is below 2^-25: some x below 2^32 passes.)
    const double guess = std::ceil(static_cast<double>(c) / (1.0 - static_cast<double>(threshold)));
    uint64_t hint = static_cast<uint64_t>(std::clamp(guess, 1.0, 4294967296.0));
    uint64_t lo, hi;  // !reaches(c, lo), reaches(c, hi)
    if (reaches(c, hint)) {
      hi = hint;
      for (uint64_t d = 1;; d *= 2) {
        lo = hi > d ? hi - d : 0;
        if (!reaches(c, lo)) break;
        hi = lo;
      }
    } else {
      lo = hint;
      for (uint64_t d = 1;; d *= 2) {
        hi = lo + d;
        if (reaches(c, hi)) break;
        lo = hi;
      }
    }
    while (hi - lo > 1) {
      const uint64_t mid = lo + (hi - lo) / 2;
      if (reaches(c, mid)) {
        hi = mid;
      } else {
        lo = mid;
      }
    }
    least[c] = hi;
  }
}

inline bool ApproxSearcher::opens(const Scan& sc, int32_t cost, uint64_t span) {
  if (cost < sc.tabled) return span >= sc.least[cost];
  return similarity(cost, span) >= sc.t;
}

inline bool ApproxSearcher::passes_at(const Scan& sc, int32_t cost, uint64_t span) {
  if (sc.floor != sc.t) {
    // floor >= t: reaching the floor reaches the threshold.
    if (cost < sc.tabled ? span < sc.floor_least[cost] : similarity(cost, span) < sc.floor) return false;
    if (sc.best->similarity < sc.floor) return true;
    return similarity(cost, span) > sc.best->similarity;
  }
  if (!opens(sc, cost, span)) return false;
  // With no candidate yet the best similarity is 0, and when t > 0 reaching t beats it.
  if (sc.best->similarity < sc.t) return true;
  return similarity(cost, span) > sc.best->similarity;
}

inline bool ApproxSearcher::passes_bound(const Scan& sc, uint32_t node, std::size_t offset, int32_t cost) const {
  if (!sc.exact || !bounded_) return passes(sc, bound(node, offset, cost, sc.exact));
  const SearchTables::Reach& r = tables_->reach(node);
  if (r.depth == SearchTables::kUnreached) return false;
  return passes_at(sc, cost, std::max<uint64_t>({uint64_t{offset} + r.depth, r.name, 1}));
}

inline float ApproxSearcher::bound(uint32_t node, std::size_t offset, int32_t cost, bool exact) const {
  const SearchTables::Reach& r = tables_->reach(node);
  if (r.depth == SearchTables::kUnreached) return -std::numeric_limits<float>::infinity();
  return bound_over(uint64_t{offset} + r.depth, r.name, cost, exact);
}

// The bound for keywords that end at offset + depth at most, with clean names of `name`
// bytes at most.
inline float ApproxSearcher::bound_over(uint64_t end, uint32_t name, int32_t cost, bool exact) const {
  if (!bounded_) return 1.0f;
  uint64_t x = std::max<uint64_t>({end, name, 1});
  if (exact) return 1.0f - static_cast<float>(cost) / static_cast<float>(x);
  // Each of the three roundings in cost' / D moves it by at most 2^-24 relatively, so a
  // quotient lowered by 2^-20 and rounded down stays below every score's quotient.
  double q = static_cast<double>(cost) / static_cast<double>(x) * (1.0 - 0x1p-20);
  float lo = static_cast<float>(q);
  if (static_cast<double>(lo) > q) lo = std::nextafter(lo, 0.0f);
  return 1.0f - lo;
}

// What pushing (n, j, c) comes to. A state that may not make edit moves follows the text
// exactly until its budget returns, so its subtree down to there is a chain; if the chain
// breaks off (or reaches the end of the text) before the budget returns, and no state on it
// can score above the best similarity so far, popping it would change nothing, now or later,
// since the best similarity only grows: then the result has node kNoView and nothing is pushed,
// nor when the bound already rules the state out. (A score that passes implies a passing
// bound.) Otherwise the result is the first state of the chain that is open or scores above
// the best so far, and that state is pushed in place of (n, j, c): the states before it on the
// chain have one move each, score nothing above the best now or later, and would be popped
// just before it, so the pops from there on are the same (popping them could only add drops
// by dominance, which never change the result).
template <bool kHanding>
[[gnu::always_inline]] inline ApproxSearcher::State ApproxSearcher::land(const Scan& sc, uint32_t n, std::size_t j,
                                                                        int32_t c, bool open) const {
  const SearchTables& v = *tables_;
  // The walk follows the exact index: one 16-byte record per step.
  const ExactIndex& x = view_.exact();
  // The cost stays c along the chain: one table entry says where its budget opens.
  const bool tabled = c < sc.tabled;
  const uint64_t least = tabled ? sc.least[c] : 0;
  bool alive;
  for (;;) {
    if (j < sc.remaining && open) {
      alive = passes_bound(sc, n, j, c);
      break;
    }
    if (j > 0 && x.terminal(n) && passes_at(sc, c, std::max(j, v.name(n).size()))) {
      alive = true;
      break;
    }
    if (j >= sc.remaining) {
      alive = false;
      break;
    }
    if (kHanding && j >= sc.stop) {
      // Handed over as it stands: the rest of the chain reads text past the prefix.
      alive = passes_bound(sc, n, j, c);
      break;
    }
    n = x.step(n, sc.text[j]);
    if (n == kNoView) {
      alive = false;
      break;
    }
    ++j;
    open = tabled ? uint64_t{j} + 1 >= least : opens(sc, c, uint64_t{j} + 1);
  }
  // j only grew, and every value it took was compared with the bytes remaining.
  if (j > *sc.reach) *sc.reach = j;
  return State{alive ? n : kNoView, c, j};
}

// Pushes the edit moves of state s, whose text byte is b, in the literal order, each as
// land() makes it: those whose chains come to nothing are left out.
template <bool kHanding>
void ApproxSearcher::expand(const Scan& sc, const State& s, unsigned char b, std::vector<State>& stack) const {
  const SearchTables& v = *tables_;
  // Every edit move costs the same, and lands on offset j + 1 (text byte skipped,
  // substitution) or stays on j (keyword byte skipped): two budgets serve them all.
  const std::size_t j1 = s.offset + 1;
  const int32_t c1 = s.cost + 1;
  const bool open_next = opens(sc, c1, uint64_t{j1} + 1);
  const bool open_here = opens(sc, c1, j1);
  push_landing<kHanding>(sc, s.node, j1, c1, open_next, stack);

  // One bound for all the children, from what lies below the node: the deepest keyword
  // below a child is one level short of the deepest below the node.
  const SearchTables::Reach& r = v.reach(s.node);
  if (r.depth == SearchTables::kUnreached || r.depth == 0) return;
  if (sc.exact && bounded_) {
    if (!passes_at(sc, c1, std::max<uint64_t>({uint64_t{j1} + r.depth - 1, r.name, 1}))) return;
  } else if (!passes(sc, bound_over(uint64_t{j1} + r.depth - 1, r.name, c1, sc.exact))) {
    return;
  }

  const SearchTables::Node& nd = v.node(s.node);
  // Whether the run may read the byte after b, and whether it stops short of one that is
  // there (a prefix's run only).
  const bool sees_next = j1 < sc.stop;
  const bool blind = kHanding && !sees_next && j1 < sc.remaining;
  if (!open_next && !open_here && nd.count > SearchTables::kFanFrom && !blind) {
    // Neither move may edit again at once: a child lives only if it can follow the next
    // text byte (b after a keyword byte skipped, the byte after b after a substitution)
    // or is terminal. Visit the union of those runs, in ascending order like the loop below.
    bool indexed;
    SearchTables::Ids here = v.fan(s.node, b, indexed);
    if (indexed) {
      if (j1 > *sc.reach) *sc.reach = j1;
      SearchTables::Ids next = sees_next ? v.fan(s.node, sc.text[j1], indexed) : SearchTables::Ids{nullptr, nullptr};
      SearchTables::Ids term = v.fan(s.node, 256, indexed);
      for (;;) {
        uint32_t c = kNoView;
        if (here.begin != here.end) c = std::min(c, *here.begin);
        if (next.begin != next.end) c = std::min(c, *next.begin);
        if (term.begin != term.end) c = std::min(c, *term.begin);
        if (c == kNoView) return;
        const bool in_here = here.begin != here.end && *here.begin == c;
        const bool in_next = next.begin != next.end && *next.begin == c;
        const bool in_term = term.begin != term.end && *term.begin == c;
        if ((in_next || in_term) && v.key(c) != b) push_landing<kHanding>(sc, c, j1, c1, false, stack);
        if (in_here || in_term) push_landing<kHanding>(sc, c, s.offset, c1, false, stack);
        here.begin += in_here;
        next.begin += in_next;
        term.begin += in_term;
      }
    }
  }
  // A closed move into a child c first steps from c under the next text byte (b for a keyword
  // byte skipped, the byte after b for a substitution), unless c scores where it lands; and a
  // closed state scores only if its clean name alone reaches the span where the budget opens
  // (its offset is below that). So when no terminal child has a name that long, a kind of
  // move whose byte is under none of the children lands nowhere, for every child: the node's
  // summary tells without visiting them. Only nodes of two or more children keep one; a
  // single child's own record in the exact index answers the same, exactly.
  bool substitute = true, skip = true;
  if (c1 < sc.tabled && nd.count >= 2) {
    const SearchTables::Under u = v.under(s.node);
    if (u.names < sc.least[c1]) {
      if (!open_here) skip = (u.bytes >> (b & 63)) & 1;
      if (!open_next && !blind) substitute = sees_next && ((u.bytes >> (sc.text[j1] & 63)) & 1);
    }
  } else if (c1 < sc.tabled && nd.count == 1) {
    const ExactIndex& x = view_.exact();
    if (!x.terminal(nd.first) || v.name(nd.first).size() < sc.least[c1]) {
      if (!open_here) skip = x.step(nd.first, b) != kNoView;
      if (!open_next && !blind) substitute = sees_next && x.step(nd.first, sc.text[j1]) != kNoView;
    }
  }
  if (!substitute && !skip) return;
  for (uint32_t c = nd.first; c < nd.first + nd.count; ++c) {
    if (substitute && v.key(c) != b) push_landing<kHanding>(sc, c, j1, c1, open_next, stack);
    if (skip) push_landing<kHanding>(sc, c, s.offset, c1, open_here, stack);
  }
}

// The root's children as expand() sees them while a cost of 1 keeps the budget closed at
// offsets 0 and 1 (t above 1/2). A child x whose keyword byte is skipped stands at offset 0
// and follows the text from there: at offset j it is on the node reached from x along
// text[0, j), which the suffix node of that string lists with x, if it exists. Substituted, x
// stands at offset 1 and is at offset j on the node reached along text[1, j). So one walk of
// the suffix index along the text replays land() for every child at once: at each offset the
// pairs of the suffix node are exactly the chains still alive, and the same tests (a terminal
// that passes; at the offset where the budget opens, the bound) decide them, the first that
// holds giving the state pushed. The moves are pushed in expand()'s order.
template <bool kHanding>
void ApproxSearcher::expand_root(const Scan& sc, unsigned char b) {
  const SearchTables& v = *tables_;
  // Text byte skipped: the root itself at offset 1, closed.
  push_landing<kHanding>(sc, 0, 1, 1, false, stack_);
  const SearchTables::Reach& r = v.reach(0);
  if (r.depth == SearchTables::kUnreached || r.depth == 0) return;
  if (sc.exact && bounded_) {
    if (!passes_at(sc, 1, std::max<uint64_t>({uint64_t{r.depth}, r.name, 1}))) return;
  } else if (!passes(sc, bound_over(uint64_t{1} + r.depth - 1, r.name, 1, sc.exact))) {
    return;
  }
  const SearchTables::Node& root = v.node(0);
  assert(suffixes_ != nullptr);
  if (landings_.size() < root.count) landings_.resize(root.count, Landings{});
  walk_suffixes(sc, 0, kSkipped);
  walk_suffixes(sc, 1, kSubstituted);
  std::sort(marked_.begin(), marked_.end());
  for (uint32_t i : marked_) {
    Landings& l = landings_[i];
    if (l.at[kSubstituted].node != kNoView && v.key(root.first + i) != b) stack_.push_back(l.at[kSubstituted]);
    if (l.at[kSkipped].node != kNoView) stack_.push_back(l.at[kSkipped]);
    l = Landings{};
  }
  marked_.clear();
}

template <class Visit>
std::size_t ApproxSearcher::walk_root_chains(const unsigned char* text, std::size_t remaining, std::size_t from,
                                             Visit&& visit) const {
  const SuffixIndex& sx = *suffixes_;
  // A chain of cost 1 at offset j has an open budget when similarity(1, j + 1) >= t, that is
  // from offset least - 1 on (least >= 3 here); before that a terminal node passes only with a
  // clean name of `least` bytes or more.
  const uint64_t least = spans_.least[1];
  uint32_t t = 0;
  std::size_t j = from;
  for (;;) {
    const SuffixIndex::Node tn = sx.node(t);
    const uint32_t end = sx.end(t);
    const bool open = j < remaining && j + 1 >= least;
    if (open || (j > 0 && tn.longest >= least)) {
      for (uint32_t i = tn.begin; i < end; ++i) visit(sx.pair_child(i), sx.pair_node(i), j, open);
    }
    if (open || j >= remaining) break;
    // Steps are taken only below offset least - 1, into strings of at most least - 1 bytes:
    // the index was taken that deep.
    assert(sx.holds(j + 1 - from));
    t = sx.step(t, text[j]);
    if (t == SuffixIndex::kNoSuffix) break;
    ++j;
  }
  return j;
}

void ApproxSearcher::walk_suffixes(const Scan& sc, std::size_t from, int move) {
  const SearchTables& v = *tables_;
  // The first state of each chain that holds is where it lands.
  const std::size_t j = walk_root_chains(sc.text, sc.remaining, from, [&](uint32_t i, uint32_t u, std::size_t at,
                                                                          bool open) {
    if (open ? !passes_bound(sc, u, at, 1) : !(v.terminal(u) && passes_at(sc, 1, std::max(at, v.name(u).size())))) {
      return;
    }
    Landings& l = landings_[i];
    if (l.at[kSkipped].node == kNoView && l.at[kSubstituted].node == kNoView) marked_.push_back(i);
    if (l.at[move].node == kNoView) l.at[move] = State{u, 1, at};
  });
  if (j > *sc.reach) *sc.reach = j;
}

// Scores a popped state, making it the best candidate when it reaches the threshold and
// beats the best so far strictly (so among equals the first popped stays). Only states that
// consumed text are scored: a zero-length candidate could neither be placed in the text nor
// advance the scan.
bool ApproxSearcher::offer(const SearchTables& v, const State& s, float t, Candidate& best) {
  if (s.offset == 0 || !v.terminal(s.node)) return false;
  const float sim = similarity(s.cost, std::max(s.offset, v.name(s.node).size()));
  if (!(sim >= t && sim > best.similarity)) return false;
  best = {s.node, s.offset, sim};
  return true;
}

namespace {

// The first min(8, n) bytes of `text` as a little-endian word, zero above.
inline uint64_t head_of(const unsigned char* text, std::size_t n) {
  uint64_t h = 0;
  if (n >= 8) {
    std::memcpy(&h, text, 8);
    if constexpr (std::endian::native == std::endian::big) h = __builtin_bswap64(h);
    return h;
  }
  for (std::size_t i = 0; i < n; ++i) h |= uint64_t{text[i]} << (8 * i);
  return h;
}

// The bytes of a head word below `len`.
inline uint64_t low_bytes(uint64_t h, std::size_t len) { return len >= 8 ? h : h & ((uint64_t{1} << (8 * len)) - 1); }

}  // namespace

void ApproxSearcher::Memo::clear() {
  for (Entry& e : entries_) e = Entry{};
  lengths_ = 0;
  std::fill(std::begin(shorter_), std::end(shorter_), uint8_t{0});
}

void ApproxSearcher::Memo::fit(std::size_t text_size) {
  // About one entry per 8 bytes of the text, or per search recorded if more.
  const std::size_t load = std::max(text_size / 8, added_);
  if (load <= capacity_ && !entries_.empty()) return;
  int bits = std::max(row_bits_, kMinRowBits);
  while (bits < kMaxRowBits && (std::size_t{kWays} << bits) < load) ++bits;
  if (bits != row_bits_ || entries_.empty()) {
    std::vector<Entry> old(std::size_t{kWays} << bits, Entry{});
    old.swap(entries_);
    row_bits_ = bits;
    for (const Entry& e : old) {
      if (e.len != 0) file(e);
    }
  }
  // At the largest size the table stays as it is, whatever the load.
  capacity_ = bits == kMaxRowBits ? SIZE_MAX : std::size_t{kWays} << bits;
}

inline std::size_t ApproxSearcher::Memo::row(uint64_t key, std::size_t keyed) const {
  const uint64_t h = (key ^ (uint64_t{keyed} << 56)) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::size_t>(h >> (64 - row_bits_)) * kWays;
}

bool ApproxSearcher::Memo::find(const unsigned char* text, std::size_t remaining, bool exact, Candidate& out) const {
  if (entries_.empty()) return false;
  const uint64_t head = head_of(text, remaining);
  // kKeyed first (most windows are that long or longer), then the shorter lengths that some
  // window starting with the same two bytes may have.
  uint32_t tries = (shorter_[hint(head)] & lengths_) | (lengths_ & 2u) | (uint32_t{1} << kKeyed);
  while (tries != 0) {
    const std::size_t keyed = 31 - static_cast<std::size_t>(std::countl_zero(tries));
    tries &= ~(uint32_t{1} << keyed);
    if (keyed > remaining) continue;
    const Entry* e = entries_.data() + row(low_bytes(head, keyed), keyed);
    for (int i = 0; i < kWays; ++i, ++e) {
      // An empty entry has len 0 and head 0, which the first test passes.
      const std::size_t len = e->len;
      if (low_bytes(head, len) != e->head || len == 0) continue;
      if (len > remaining || std::min(len, kKeyed) != keyed || e->exact != exact) continue;
      if (len > 8 && std::memcmp(e->tail, text + 8, len - 8) != 0) continue;
      out = Candidate{e->node, e->length, e->similarity};
      return true;
    }
  }
  return false;
}

void ApproxSearcher::Memo::file(const Entry& e) {
  const std::size_t keyed = std::min<std::size_t>(e.len, kKeyed);
  Entry* r = entries_.data() + row(low_bytes(e.head, keyed), keyed);
  // The ways of a row are replaced in turn.
  const uint8_t next = r[0].next;
  Entry& slot = r[next % kWays];
  slot = e;
  r[0].next = static_cast<uint8_t>((next + 1) % kWays);
  if (keyed < kKeyed) lengths_ |= uint32_t{1} << keyed;
  if (keyed > 1 && keyed < kKeyed) shorter_[hint(e.head)] |= static_cast<uint8_t>(1u << keyed);
}

void ApproxSearcher::Memo::add(const unsigned char* text, std::size_t remaining, std::size_t len, bool exact,
                               const Candidate& c) {
  if (len > kWindow || len > remaining || entries_.empty()) return;
  ++added_;
  Entry e{};
  e.head = head_of(text, len);
  if (len > 8) std::memcpy(e.tail, text + 8, len - 8);
  e.node = c.node;
  e.similarity = c.similarity;
  e.len = static_cast<uint8_t>(len);
  e.length = static_cast<uint8_t>(c.length);  // at most the window's length
  e.exact = exact;
  file(e);
}

Candidate ApproxSearcher::search(std::string_view w, std::size_t p, float t) {
  prepare();
  const SearchTables& v = *tables_;
  const ExactIndex& x = view_.exact();
  if (spans_.t != t) {
    // Dropped first: should building the new filter fail, the searcher must not keep the
    // old threshold's (without one it searches every start, which is only slower).
    filter_ = nullptr;
    Spans next;
    next.make(t);
    // The root expansion (t above 1/2 and a wide root) walks the suffix index up to the
    // offset least - 1, where one edit opens the budget. Taken before the threshold changes:
    // should its build fail, the searcher keeps the old threshold and the index that serves it.
    std::shared_ptr<const SuffixIndex> suffixes;
    if (v.node(0).count > SearchTables::kFanFrom && next.least[1] > 2) suffixes = view_.suffix_index(next.least[1] - 1);
    suffixes_ = std::move(suffixes);
    spans_ = next;
    memo_.clear();
    seeds_.clear();
    std::vector<Frontier>().swap(frontiers_);
    std::vector<Prefix>().swap(prefixes_);
    std::vector<Item>().swap(prefix_pool_);
    std::vector<uint64_t>().swap(met_);
    std::vector<uint32_t>().swap(frontier_pool_);
    frontier_k_ = spans_.least[1] >= 3 && spans_.least[1] <= 9 ? spans_.least[1] - 1 : 0;
    filter_ = StartFilter::applies(spans_.least[1]) ? view_.start_filter(spans_.least[1], &StartFilter::make) : nullptr;
  }
  const std::size_t remaining = w.size() - p;
  const auto* text = reinterpret_cast<const unsigned char*>(w.data()) + p;
  // Every cost, offset and D met from here is at most remaining + 2 + max_keyword, and every
  // clean name length at most max_name: below 2^24 all of them are exact floats.
  const bool exact = !widened_ && uint64_t{remaining} + 2 + v.max_keyword() < kExactFloat &&
                     v.max_name() < kExactFloat;
  if (filter_ && !filter_->may_match(x, text, remaining)) {
    ++paths_[kFiltered].searches;
    return Candidate{kNoView, 0, 0.0f};
  }
  memo_.fit(w.size());
  if (Candidate known; memo_.find(text, remaining, exact, known)) {
    ++paths_[kRemembered].searches;
    return known;
  }
  std::size_t reach = 0;
  if (exact) {
    // Only a state of cost 0 scores 1 (below 2^24, 1 - c / D < 1 for c >= 1), and those
    // follow the text from the root, the shallower popped first: a keyword the text spells
    // from here, the shortest, is the candidate.
    uint32_t n = 0;
    for (std::size_t j = 0; j < remaining && j < v.max_keyword(); ++j) {
      n = x.step(n, text[j]);
      if (n == kNoView) break;
      if (x.terminal(n)) {
        const Candidate c{n, j + 1, 1.0f};
        memo_.add(text, remaining, j + 1, exact, c);
        ++paths_[kSpelled].searches;
        return c;
      }
    }
  }
  Candidate c{kNoView, 0, 0.0f};
  // Looking seeds up costs a few probes per search: not worth it where candidates are rare.
  const bool seeding = seeding_ == Seeding::kAlways || seeding_ == Seeding::kRaised ||
                       (seeding_ == Seeding::kAdaptive && found_rate_ >= kRateOne / 8);
  float seed = t >= kFirstFloor && seeding ? seeds_.find(text, remaining) : -1.0f;
  if (seeding_ == Seeding::kRaised && seed >= 0.0f) seed = std::min(seed + 1.0f / 16, 1.0f);
  const bool replays = exact && t >= kFirstFloor && use_prefixes_ && found_rate_ >= kRateOne / 8;
  const std::size_t k = replays ? prefix_k(text, remaining) : 0;
  const uint64_t visited = visited_;
  Path path = kSearched;
  bool made = false;
  const Prefix* e = k != 0 ? &prefix(text, remaining, k, exact, made) : nullptr;
  if (e != nullptr && e->usable) {
    path = made ? kBuilt : kReplayed;
    // Rule 9; with a seed the replay checks itself as the search below does.
    if (seed > t) c = replay(*e, text, remaining, t, seed, exact, reach);
    if (!(seed > t && c.node != kNoView && c.similarity >= seed)) c = replay(*e, text, remaining, t, t, exact, reach);
  } else if (seed > t) {
    path = kSeeded;
    c = search_above(text, remaining, t, seed, exact, reach);
    // As with the floors of rule 6, the run checks itself: a candidate of the seed or more is
    // the literal one. Should nothing reach the seed (it was not a score reached here), the
    // search runs as if it had none.
    if (!(c.node != kNoView && c.similarity >= seed)) c = search_from(text, remaining, t, exact, reach);
  } else {
    bool settled = false;
    // Rule 8. The frontier's states stand for the whole search when nothing below them
    // scores; the bytes read are the first K and whatever the run below them reads.
    if (exact && frontier_k_ != 0 && remaining > frontier_k_ && found_rate_ < kRateOne / 2) {
      const Frontier& f = frontier(text);
      if (f.status == Frontier::kReady) {
        std::size_t read = frontier_k_ - 1;
        c = search_above(text, remaining, t, t, exact, read, &f);
        reach = std::max(reach, read);
        settled = c.node == kNoView;
      }
    }
    if (settled) {
      path = kSettled;
    } else {
      c = search_from(text, remaining, t, exact, reach);
    }
  }
  ++paths_[path].searches;
  paths_[path].states += visited_ - visited;
  found_rate_ = found_rate_ - found_rate_ / 32 + (c.node != kNoView ? kRateOne / 32 : 0);
  if (c.node != kNoView) seeds_.add(text, c.length, c.similarity);
  if (reach < remaining) memo_.add(text, remaining, reach + 1, exact, c);
  return c;
}

const ApproxSearcher::Frontier& ApproxSearcher::frontier(const unsigned char* text) {
  if (frontiers_.empty()) frontiers_.assign(kFrontierSlots, Frontier{0, Frontier::kEmpty, 0, 0, {}});
  static_assert(kFrontierSlots == std::size_t{1} << 13);
  const uint64_t key = head_of(text, frontier_k_);
  Frontier& f = frontiers_[static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 51)];
  if (f.status == Frontier::kEmpty || f.key != key) {
    f.key = key;
    make_frontier(text, f);
  }
  return f;
}

// The states of rule 8 from the text's first K bytes: those of cost 0 follow the text from
// the root and edit anywhere; each edit gives a state of cost 1 that follows the text until
// offset K, where it joins the frontier (or scores before, or breaks off).
void ApproxSearcher::make_frontier(const unsigned char* text, Frontier& f) {
  collect_frontier(text, f);
  if (f.status != Frontier::kReady) return;
  if (f.count <= Frontier::kInline) {
    std::copy(scratch_, scratch_ + f.count, f.states);
    return;
  }
  if (frontier_pool_.size() + f.count > kFrontierPool) {
    // The pool is full of the states of entries since replaced, or of live ones: start both
    // afresh (this entry is filled again below).
    for (Frontier& e : frontiers_) e.status = Frontier::kEmpty;
    frontier_pool_.clear();
    f.status = Frontier::kReady;
  }
  f.spilled = static_cast<uint32_t>(frontier_pool_.size());
  frontier_pool_.insert(frontier_pool_.end(), scratch_, scratch_ + f.count);
}

void ApproxSearcher::collect_frontier(const unsigned char* text, Frontier& f) {
  const SearchTables& v = *tables_;
  const ExactIndex& x = view_.exact();
  const std::size_t k = frontier_k_;
  const uint64_t least = spans_.least[1];
  f.status = Frontier::kReady;
  f.count = 0;
  auto add = [&](uint32_t node, uint32_t cost) {
    if (f.count == Frontier::kMaxStates) {
      f.status = Frontier::kTooWide;
    } else {
      assert(node < (uint32_t{1} << 31));  // a view of 2^31 nodes would not fit in memory
      scratch_[f.count++] = node | cost << 31;
    }
  };
  auto chain = [&](uint32_t m, std::size_t j) {
    for (;;) {
      if (j == k) return add(m, 1);
      if (j > 0 && x.terminal(m) && std::max<uint64_t>(j, v.name(m).size()) >= least) {
        f.status = Frontier::kScores;
        return;
      }
      m = x.step(m, text[j]);
      if (m == kNoView) return;
      ++j;
    }
  };
  uint32_t n = 0;
  std::size_t from = 0;
  if (suffixes_ != nullptr && v.node(0).count > SearchTables::kFanFrom) {
    // The root's edit moves into its children, all chains at once through the suffix index,
    // as expand_root() walks them (more than K bytes remain, so the budget opens at K).
    const SearchTables::Node& root = v.node(0);
    for (int move : {kSkipped, kSubstituted}) {
      walk_root_chains(text, k + 1, move == kSkipped ? 0 : 1, [&](uint32_t i, uint32_t u, std::size_t j, bool open) {
        if (move == kSubstituted && v.key(root.first + i) == text[0]) return;
        if (open) {
          add(u, 1);
        } else if (x.terminal(u) && std::max<uint64_t>(j, v.name(u).size()) >= least) {
          f.status = Frontier::kScores;
        }
      });
    }
    chain(0, 1);
    n = x.step(0, text[0]);
    if (n == kNoView) return;
    if (x.terminal(n)) f.status = Frontier::kScores;
    from = 1;
  }
  for (std::size_t j = from; j < k && f.status == Frontier::kReady; ++j) {
    chain(n, j + 1);
    const SearchTables::Node& nd = v.node(n);
    for (uint32_t c = nd.first; c < nd.first + nd.count; ++c) {
      if (v.key(c) != text[j]) chain(c, j + 1);
      chain(c, j);
    }
    n = x.step(n, text[j]);
    if (n == kNoView) return;
    if (x.terminal(n)) f.status = Frontier::kScores;
  }
  if (f.status == Frontier::kReady) add(n, 0);
}

inline uint64_t ApproxSearcher::Seeds::covered(uint64_t head, std::size_t length) { return low_bytes(head, length); }

void ApproxSearcher::Seeds::clear() {
  std::vector<Slot>().swap(slots_);
  lengths_ = 0;
}

void ApproxSearcher::Seeds::add(const unsigned char* text, std::size_t length, float similarity) {
  if (length == 0 || length > kMaxLength) return;
  if (slots_.empty()) slots_.assign(kSlots, Slot{0, 0.0f, 0});
  const uint64_t key = covered(head_of(text, length), length);
  Slot& s = slots_[slot(key, length)];
  if (s.length == length && s.key == key) {
    s.similarity = std::max(s.similarity, similarity);
  } else {
    s = Slot{key, similarity, static_cast<uint8_t>(length)};
  }
  lengths_ |= uint32_t{1} << length;
}

float ApproxSearcher::Seeds::find(const unsigned char* text, std::size_t remaining) const {
  float best = -1.0f;
  if (lengths_ == 0) return best;
  const uint64_t head = head_of(text, remaining);
  for (uint32_t ls = lengths_; ls != 0; ls &= ls - 1) {
    const std::size_t length = static_cast<std::size_t>(std::countr_zero(ls));
    if (length >= remaining) break;
    const uint64_t key = covered(head, length);
    const Slot& s = slots_[slot(key, length)];
    if (s.length == length && s.key == key) best = std::max(best, s.similarity);
  }
  return best;
}

// Rule 6, floors. Call S the greatest score of the literal run (at least t) and W the first
// state popped with it: the literal result is W, and a pruned run returns W exactly when it
// pops W, since every score popped before W is below S and none after it is above. So any
// state may be left out that is not W nor one of the states above W in the tree. Those all
// have a bound of at least S (rule 3), so a run that also drops every state whose bound or
// score is below a floor f still pops W whenever S >= f; and when it returns a candidate of
// at least f, that candidate is a literal score, so S >= f held and the candidate is W.
// (Rule 2 stays sound inside such a run: a counterpart of W below an earlier state would be
// a state of score S popped before W.) When the run finds nothing of f or more, S < f, and
// the search runs again with a lower floor, finally with none.
//
// Why floors: the literal order goes deep first, into skipped text bytes, before it meets
// any good candidate, and at low thresholds the budget lets it run to the end of the text;
// with the best so far still near 0 the bound of rule 3 cannot stop it. A floor bounds the
// offsets a state may reach by the keywords' length over f, so at low thresholds the work
// per start position no longer grows with the text after it.
Candidate ApproxSearcher::search_from(const unsigned char* text, std::size_t remaining, float t, bool exact,
                                      std::size_t& reach) {
  for (float floor = kFirstFloor; floor > t && floor >= kLastFloor && !no_floors_;) {
    const Candidate c = search_above(text, remaining, t, floor, exact, reach);
    if (c.node != kNoView && c.similarity >= floor) return c;
    // A candidate below the floor is a literal score, so S is at least that much: a floor
    // there cannot fail.
    floor *= kFloorStep;
    if (c.node != kNoView && c.similarity > floor) floor = c.similarity;
  }
  return search_above(text, remaining, t, t, exact, reach);
}

const ApproxSearcher::Spans& ApproxSearcher::floor_spans(float floor) {
  if (floor == spans_.t) return spans_;
  uint32_t bits;
  std::memcpy(&bits, &floor, sizeof bits);
  static_assert(kKeptFloors == 64);
  Spans& f = floors_[(bits * 0x9E3779B9u) >> 26];
  if (f.t != floor) f.make(floor);
  return f;
}

ApproxSearcher::Scan ApproxSearcher::scan(const unsigned char* text, std::size_t remaining, float t, float floor,
                                          Candidate& best, std::size_t& reach, bool exact, std::size_t stop) {
  // The widened mode of the tests also takes every budget and threshold test by division,
  // so that they check the table against the float expressions it stands for.
  return Scan{text,  remaining, t, floor, &best, spans_.least, floor_spans(floor).least,
              widened_ ? 0 : kSpanCosts, &reach, exact, stop};
}

Candidate ApproxSearcher::search_above(const unsigned char* text, std::size_t remaining, float t, float floor,
                                       bool exact, std::size_t& reach, const Frontier* starts) {
  Candidate best{kNoView, 0, 0.0f};
  const Scan sc = scan(text, remaining, t, floor, best, reach, exact, remaining);
  seen_.next_start();
  stack_.clear();
  if (starts == nullptr) {
    stack_.push_back({0, 0, 0});
  } else {
    const uint32_t* states = frontier_states(*starts);
    for (uint32_t i = 0; i < starts->count; ++i) {
      const uint32_t st = states[i];
      stack_.push_back({st & 0x7FFFFFFFu, static_cast<int32_t>(st >> 31), frontier_k_});
    }
  }
  pop_all<false>(sc);
  return best;
}

template <bool kHanding>
[[gnu::always_inline]] inline bool ApproxSearcher::pop_all(const Scan& sc) {
  const SearchTables& v = *tables_;
  const ExactIndex& x = view_.exact();
  Candidate& best = *sc.best;
  std::size_t& reach = *sc.reach;
  const std::size_t remaining = sc.remaining;
  while (!stack_.empty()) {
    State s = stack_.back();
    stack_.pop_back();
    // A state whose budget does not hold, or above a floor whose edit moves all fail the
    // bound (rule 4), has only its match move: the child it pushes is popped next, so the
    // chain is followed here without the stack.
    for (;;) {
      if (kHanding && s.offset >= sc.stop) {
        keep_item(s, true);
        break;
      }
      ++visited_;
      if (!seen_.admit(s.node, s.offset, s.cost)) break;
      if (!passes_bound(sc, s.node, s.offset, s.cost)) break;
      if (offer(v, s, sc.t, best)) {
        if (kHanding) keep_item(s, false);
        if (best.similarity == 1.0f) return false;
      }
      if (s.offset > reach) reach = s.offset;
      if (s.offset >= remaining) break;
      const unsigned char b = sc.text[s.offset];
      const std::size_t j1 = s.offset + 1;
      const uint32_t m = x.step(s.node, b);
      if (!opens(sc, s.cost, j1) || (sc.floor != sc.t && !passes_bound(sc, s.node, j1, s.cost + 1))) {
        if (m == kNoView) break;
        s = {m, s.cost, j1};
        continue;
      }
      if (m != kNoView) push_landing<kHanding>(sc, m, j1, s.cost, opens(sc, s.cost, uint64_t{j1} + 1), stack_);
      // The root, while a cost of 1 closes the budget at offsets 1 and 2 (so at 0 and 1 too).
      if (s.offset == 0 && v.node(0).count > SearchTables::kFanFrom && !opens(sc, 1, 2)) {
        expand_root<kHanding>(sc, b);
      } else {
        expand<kHanding>(sc, s, b, stack_);
      }
      break;
    }
  }
  return true;
}

std::size_t ApproxSearcher::prefix_k(const unsigned char* text, std::size_t remaining) const {
  const std::size_t lo = spans_.least[1];
  std::size_t k = 8;
  for (std::size_t i = 0; i < 8 && i < remaining; ++i) {
    // Bytes from 0x80 up belong to a character that the word test sees whole: K runs on.
    if (text[i] < 0x80 && !view_.word_byte(text[i])) {
      k = i + 1;
      break;
    }
  }
  k = std::max(k, lo);
  return k <= 8 && remaining > k ? k : 0;
}

const ApproxSearcher::Prefix& ApproxSearcher::prefix(const unsigned char* text, std::size_t remaining, std::size_t k,
                                                     bool exact, bool& made) {
  static constexpr int kSlotBits = std::countr_zero(kPrefixSlots);
  if (prefixes_.empty() || met_.empty()) {
    // Both or neither: should the second fail, the next call makes both again.
    met_.assign(kPrefixSlots, 0);
    prefixes_.assign(kPrefixSlots, Prefix{0, 0, 0, 0, false});
  }
  const uint64_t key = low_bytes(head_of(text, k), k);
  const uint64_t h = (key ^ (uint64_t{k} << 59)) * 0x9E3779B97F4A7C15ull;
  Prefix& e = prefixes_[static_cast<std::size_t>(h >> (64 - kSlotBits))];
  if (e.k == k && e.key == key) return e;
  // Most prefixes never come back, and a search costs less than making an entry: one is made
  // the second time a prefix is met (by its hash, in a table of its own, so that prefixes met
  // once do not push out entries).
  uint64_t& met = met_[static_cast<std::size_t>((h >> 24) & (kPrefixSlots - 1))];
  if (met != (h | 1)) {
    met = h | 1;
    return kNone;
  }
  made = true;
  // Rule 9: a run that hands over every state reaching offset k reads text[0, k) alone (its
  // chains stop at k, and expand() looks at no byte from k on), so its items serve any text
  // of these first k bytes with more bytes left.
  Candidate best{kNoView, 0, 0.0f};
  std::size_t reach = 0;
  const float t = spans_.t;
  const Scan sc = scan(text, remaining, t, t, best, reach, exact, k);
  seen_.next_start();
  stack_.clear();
  stack_.push_back({0, 0, 0});
  items_.clear();
  const bool whole = pop_all<true>(sc);
  const bool usable = whole && items_.size() <= kPrefixItems;
  if (usable && prefix_pool_.size() + items_.size() > kPrefixPool) {
    for (Prefix& o : prefixes_) o.k = 0;
    prefix_pool_.clear();
  }
  const std::size_t at = prefix_pool_.size();
  // The entry is filled once its items are in (the pool may fail to grow).
  if (usable) prefix_pool_.insert(prefix_pool_.end(), items_.begin(), items_.end());
  e = Prefix{key, static_cast<uint32_t>(at), static_cast<uint16_t>(usable ? items_.size() : 0),
             static_cast<uint8_t>(k), usable};
  return e;
}

// The search from an entry's items, in their order: a candidate is offered as its pop would
// offer it, and each handed state is pushed (land() continues its chain with this text) and
// searched below before the next item, as P has it.
Candidate ApproxSearcher::replay(const Prefix& e, const unsigned char* text, std::size_t remaining, float t,
                                 float floor, bool exact, std::size_t& reach) {
  const SearchTables& v = *tables_;
  Candidate best{kNoView, 0, 0.0f};
  // The entry stands for reading the first k bytes.
  reach = std::max<std::size_t>(reach, e.k - 1);
  const Scan sc = scan(text, remaining, t, floor, best, reach, exact, remaining);
  seen_.next_start();
  stack_.clear();
  for (uint32_t i = e.at; i < e.at + e.count; ++i) {
    const Item it = prefix_pool_[i];
    const State s{it.node, it.cost, it.offset};
    if (it.handed == 0) {
      offer(v, s, t, best);
      continue;
    }
    // Most handed states die on their first step into the next word.
    push_landing<false>(sc, s.node, s.offset, s.cost, opens(sc, s.cost, uint64_t{s.offset} + 1), stack_);
    if (!stack_.empty() && !pop_all<false>(sc)) break;
  }
  return best;
}

const char* ApproxSearcher::path_name(Path p) {
  static constexpr const char* kNames[kPaths] = {"filtered", "remembered", "spelled", "replayed",
                                                 "built",    "seeded",     "settled", "searched"};
  return p >= 0 && p < kPaths ? kNames[p] : "?";
}

Candidate ApproxSearcher::search_literal(std::string_view w, std::size_t p, float t) {
  prepare();
  const SearchTables& v = *tables_;
  const ExactIndex& x = view_.exact();
  const std::size_t remaining = w.size() - p;
  Candidate best{kNoView, 0, 0.0f};
  stack_.clear();
  stack_.push_back({0, 0, 0});
  while (!stack_.empty()) {
    const State s = stack_.back();
    stack_.pop_back();
    ++visited_;
    offer(v, s, t, best);
    if (s.offset >= remaining) continue;
    const unsigned char b = static_cast<unsigned char>(w[p + s.offset]);
    const uint32_t m = x.step(s.node, b);
    if (m != kNoView) stack_.push_back({m, s.cost, s.offset + 1});
    if (similarity(s.cost, s.offset + 1) >= t) {
      stack_.push_back({s.node, s.cost + 1, s.offset + 1});
      const SearchTables::Node& nd = v.node(s.node);
      for (uint32_t c = nd.first; c < nd.first + nd.count; ++c) {
        if (v.key(c) != b) stack_.push_back({c, s.cost + 1, s.offset + 1});
        stack_.push_back({c, s.cost + 1, s.offset});
      }
    }
  }
  return best;
}

}  // namespace kwsieve
