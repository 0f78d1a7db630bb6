// The approximate (edit-distance) search from one start position.
//
// The search is defined by a literal procedure: a depth-first walk over states (node, offset,
// cost) on a stack, where popping a state scores it (when its node ends a keyword and it has
// consumed at least one text byte) and pushes its moves: the match move first, then, while
// the state's similarity budget 1 - cost / (offset + 1) reaches the threshold, a text byte
// skipped, and for each child in ascending key order a substitution and a keyword byte
// skipped. The best candidate is replaced only by a strictly greater similarity, so among
// equals the first popped wins. search_literal() is that procedure, kept for tests and
// benchmarks; search() returns exactly the same candidate while popping far fewer states.
//
// Why search() is identical. Call P the literal pop order, a preorder of the tree of states.
// search() pops a subsequence of P and leaves out only states that would not have replaced
// the best candidate in the literal run; by induction over P the best candidate is then the
// same at every point of it. (Popping more of P than needed is always safe for the same
// reason.) Seven rules leave states out (the sixth, floors, is argued at search_from(); the
// seventh, seeds, rests on the same argument); rules 8 and 9 (below) reuse what the text's
// first bytes decide:
//
// 1. Stop once the best similarity is 1.0. No state scores above 1 - 0 / D = 1.
// 2. Dominance. Drop a state (n, j, c) when a state (n, j, c0) with c0 <= c was popped earlier
//    for this start position. The moves of a state depend only on its node, its offset and
//    whether its budget holds, and a lower cost keeps every budget that a higher one keeps,
//    so each state below (n, j, c) has a counterpart below (n, j, c0) with the same node and
//    offset and a cost lower by c - c0, scoring at least as much (every float operation in
//    1 - c / D is monotonic). Every move advances the offset or the depth, so (n, j, c) is
//    not below (n, j, c0): that subtree was finished before (n, j, c) was popped, and the best
//    similarity then is at least every valid score in it, hence at least every score below
//    (n, j, c). Those can only equal it, and an equal score never replaces the best.
// 3. Bound. A terminal state reached from (n, j, c) through d keyword bytes and ending at
//    offset j' has cost c' >= c + |j' - j - d| and D = max(j', L, 1) for its clean name of L
//    bytes. Over j', 1 - c' / D peaks at j' = j + d, so no state below scores above
//    1 - c / max(j + depth, name, 1), with depth and name the largest below n or more (a larger
//    x only raises the bound; SearchTables::Reach).
//    A state whose bound is below the threshold, or not above the best similarity, is dropped.
//    While every integer involved stays below 2^24 the float bound is exact and the argument
//    carries over to single precision by monotonicity; beyond that the bound is widened by
//    more than the rounding error. A child of n reaches one level less deep than n and no
//    longer a name, so one bound taken from n's reach covers every edit move into a child
//    and can rule them all out at once.
// 6. Floors. Below t = 1/2 the search first runs with a floor f above t: it drops every
//    state whose bound (or score) is below f. A candidate of f or more from such a run is
//    the literal one; otherwise it runs again with a lower floor, finally with none. This
//    keeps the work per start position bounded by the keywords when the text after it is
//    long, where the literal order would go deep into skipped text bytes before meeting any
//    candidate good enough for rule 3 to stop it.
// 7. Seeds. Above t = 1/2 a search may first run with a floor taken from an earlier start
//    position: the best score of a candidate found there, filed by the text it covered
//    (Seeds). The run checks itself as under rule 6: a candidate of the floor or more is the
//    literal one; when nothing reaches the floor the search runs again without it. Where a
//    word's best candidate was found before (short keywords with long clean names come back
//    on every short word), the floor is often the literal best score itself, and the run
//    leaves out every state that cannot reach it from the start.
// 4. Dead states are not pushed. A state whose budget does not hold can only follow the text
//    until it does, so its subtree starts as a chain; when the chain breaks off before the
//    budget returns and no state on it scores above the best so far, popping the state would
//    change nothing, now or later (the best only grows). Nor would a state that rule 3 drops
//    on popping it. land() walks the chain before the push.
//    An open state whose edit moves all fail the bound has only its match move as well: the
//    bound of its text byte skipped, (n, j + 1, c + 1), is at least that of every edit move
//    (a child reaches less deep and no longer a name), and what rule 3 drops now stays
//    dropped since the best only grows. Above a floor (rules 6 and 7) that is common, and
//    the search follows such a state as a chain; at the threshold alone it is rare, and the
//    test would cost more than it saves.
// 5. Chains are skipped over. When the chain does hold, land() pushes its first state that is
//    open or scores above the best so far, in place of its head: the states before it have
//    one move each and score nothing above the best, now or later, and in P they come just
//    before it. (Their absence only leaves fewer entries for rule 2.)
//
// Rule 4 also has shortcuts that find dead moves without walking their chains. When neither
// kind of edit move of an expansion may edit again at once, a child's move lives only if the
// child has a child under the next text byte or is a terminal that scores there: nodes with
// many children list exactly those (SearchTables::fan); for the others of two or more a 64-bit
// summary of the bytes two levels down (SearchTables::Under) rules out a whole kind of move
// when its byte is missing and no terminal child has a clean name long enough to score while
// closed (into a single child it would spare one walk at most, so none is kept there).
//
// The root expands at every start position, and for t above 1/2 all its edit moves are
// closed chains of cost 1: land() would walk one chain per child. expand_root() walks the
// suffix index (suffix_index.h) along the text instead, once for the keyword byte skipped
// and once for the substitution: the pairs of each suffix node it reaches are exactly the chains still
// alive at that offset, so the same tests decide the same moves. The walk ends by the offset
// where one edit opens the budget again, so the searcher takes an index built to that depth
// for its threshold (ReadView::suffix_index).
//
// Two devices change how the decisions are computed, not which are made. Budget and threshold
// tests compare integers with a per-threshold table of least spans (Spans) instead of
// dividing. And a search reads the text only at offsets it has first compared with the bytes
// remaining, so its result is a function of the bytes it read: search() keeps recent results
// by those bytes (Memo) and answers a start position whose text begins with the same bytes
// from there without searching; common words make such repeats frequent in prose.
//
// Two tests answer a start position before any search. When the text spells a keyword from
// there (and every integer is below 2^24), the shortest such keyword is the candidate: only
// states of cost 0 score 1, and they lie on the text's own path, the shallower popped first.
// And above t = 0.83 a start filter (start_filter.h) rules out, from the first bytes of
// the text, most positions where no candidate can start.
//
// Rule 8, frontiers, decides that no candidate exists without searching from the root. Where
// one edit closes the budget until offset K (t between 1/2 and about 0.89, K at most 8),
// every state before offset K, and every state at K reached from those, is a function of
// the text's first K bytes. Those states are kept by those bytes (Frontier): whether any of
// them before K scores, and the states at K. A later start with the same first K bytes (and
// more bytes left) searches only below those states, with the rules above, which keep
// whether some state scores; if none does, there is no candidate, otherwise the search runs
// from the root as usual. In prose most searches find nothing at 1k and 10k keywords, and
// most of their work lies before K (the root's and the first bytes' many edit moves).
//
// Rule 9, prefixes, replays the part of a search that the text's first K bytes decide (K
// ends the first word, delimiter included, and lies in [least[1], 8]). A state at an offset
// below K was reached by reading text[0, K) only, and so was every state that first reaches
// offset K (its parent stands below K). In P the states below K come in a fixed order, and
// the subtree of each state first reaching K is a contiguous run of P, since every state in
// it lies at K or beyond. A run that hands over each state reaching K instead of expanding
// it therefore makes a sequence fixed by text[0, K): its candidates below K and its handed
// states, in P's order. Its rules see a best so far taken from the states below K alone,
// never above the literal run's best at the same point, so what they leave out the literal
// run's rules leave out too (popping more of P is safe). Replaying that sequence with
// another text of the same first K bytes (more bytes left) offers each candidate and
// searches below each handed state in turn, sharing the best and the dominance table as one
// search does, so it returns the literal candidate (rules 1 to 7 apply inside it; with a
// seed the replay checks itself as under rule 7). The first word of prose comes back far
// more often than the whole window the memo needs; most of a search's work lies before its
// end (the root's and the first bytes' many edit moves).
//
// Cost. Rules 2 and 3 make the work at one start position polynomial: each (node, offset) is
// expanded at most once per strictly lower cost, and the bound cuts offsets far past the
// keywords. On prose at the lower thresholds the literal search is already cheap per state
// and most of its states die after a step or two, so what the pruned search saves in states
// it partly spends deciding which moves are dead; at high thresholds the start filter rules
// out most start positions before any search (figures: bench/bench_approx.cpp and
// bench/README.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/view_id.h"

namespace kwsieve {

class ExactIndex;
class ReadView;
class SearchTables;
class StartFilter;
class SuffixIndex;

struct Candidate {
  ViewId node;         // terminal node of the view, or kNoView for no candidate
  std::size_t length;  // bytes of text covered
  float similarity;
};

class ApproxSearcher {
 public:
  explicit ApproxSearcher(const ReadView& view);

  // Best candidate starting at `p` of the working text `w` at threshold `t` (0 <= t < 1):
  // the one of highest similarity, the first popped among equals.
  Candidate search(std::string_view w, std::size_t p, float t);
  // The same result by the literal, unpruned procedure; exponential as t falls.
  Candidate search_literal(std::string_view w, std::size_t p, float t);

  // Lets go of scratch memory that only a long search needed, keeping what later texts can
  // reuse (the results of earlier searches).
  void shed();

  // States popped by the searches so far (for benchmarks).
  uint64_t states_visited() const { return visited_; }
  // How the searches so far were answered (for benchmarks): before any search (the start
  // filter, a remembered result, the text spelling a keyword), by replaying a prefix entry
  // (rule 9; `kBuilt`: the entry was made for this search), above a seed (rule 7), by a
  // frontier that settles that nothing scores (rule 8), or from the root. Each kind counts
  // its searches and the states they popped.
  enum Path : int { kFiltered, kRemembered, kSpelled, kReplayed, kBuilt, kSeeded, kSettled, kSearched, kPaths };
  struct PathCount {
    uint64_t searches = 0;
    uint64_t states = 0;
  };
  PathCount path_count(Path p) const { return paths_[p]; }
  static const char* path_name(Path p);
  // Start positions that the start filter ruled out (for tests and benchmarks).
  uint64_t starts_filtered() const { return paths_[kFiltered].searches; }

  // Tests only: bound every state the way texts beyond 2^24 bytes need, and decide every
  // budget and threshold test by division.
  void use_widened_bound() { widened_ = true; }
  // Tests only: search without floors (rule 6), as a reference for long texts at low
  // thresholds, where the literal search is out of reach.
  void use_no_floors() { no_floors_ = true; }
  // Tests only: replay searches from prefix entries (rule 9) where they apply (the default),
  // or never.
  void use_prefixes(bool on) { use_prefixes_ = on; }
  // Tests only: take floors from earlier candidates (rule 7) at every search; raised: each a
  // little above the score it was filed with, so that runs fail and search again; or never.
  // By default only while candidates are common.
  enum class Seeding { kAdaptive, kAlways, kRaised, kNever };
  void use_seeding(Seeding s) { seeding_ = s; }

 private:
  struct State {
    uint32_t node;
    int32_t cost;
    std::size_t offset;
  };

  // The least cost popped so far for each (node, offset) of the current start position.
  // Entries of older start positions are told apart by a generation stamp, so starting a new
  // position costs nothing, and each start position begins on a small region of the table,
  // doubled as it fills: a search that once needed a large table does not leave every later
  // one probing it at random. Dominance only saves work, so when the table is full new pairs
  // are simply not recorded: memory stays bounded whatever the input.
  class Seen {
   public:
    void next_start();
    // Frees the table if it grew past its first size.
    void shed();
    // False when (node, offset) was popped before with a cost of at most `cost`; otherwise
    // records `cost` for it and returns true.
    bool admit(uint32_t node, std::size_t offset, int32_t cost);

   private:
    struct Slot {
      uint32_t node;
      uint32_t stamp;  // 0: never used
      int32_t cost;
      std::size_t offset;
    };
    static constexpr std::size_t kMinSlots = 1024;
    static constexpr std::size_t kMaxSlots = std::size_t{1} << 18;  // 4 or 6 MiB at most

    void grow();

    std::vector<Slot> slots_;   // storage; the current region is its first cap_ slots
    std::vector<Slot> moving_;  // scratch for grow()
    std::size_t cap_ = 0;
    std::size_t used_ = 0;  // slots holding the current stamp
    uint32_t stamp_ = 0;
  };

  // Costs below this have their least passing span in a table (Spans).
  static constexpr int32_t kSpanCosts = 64;

  // For each cost c below kSpanCosts, the least span x >= 1 with 1 - c / x >= t in single
  // precision. For a fixed c that similarity never falls as x grows (int-to-float conversion,
  // division and subtraction all round monotonically), so `similarity(c, x) >= t` holds
  // exactly when x reaches the table's entry: the budget and threshold tests become integer
  // compares, bit for bit the same decisions as the float expressions.
  struct Spans {
    float t = -1.0f;  // the threshold the table was made for; -1: none yet
    uint64_t least[kSpanCosts];
    void make(float t);
  };

  // What one search() call shares with its helpers.
  struct Scan {
    const unsigned char* text;  // the working text from the start position on
    std::size_t remaining;      // bytes of it
    float t;
    float floor;  // t, or above it: the least score and bound that may matter (rule 6)
    Candidate* best;
    const uint64_t* least;  // Spans::least for t
    const uint64_t* floor_least;  // Spans::least for floor
    int32_t tabled;         // costs below this are looked up in `least`
    std::size_t* reach;     // the greatest offset compared with `remaining` so far
    bool exact;  // all integers below 2^24: the bound needs no widening
    // The offset from which the run reads no text: `remaining`, or below it where states are
    // handed over instead of expanded (Prefixes).
    std::size_t stop;
  };

  float bound(uint32_t node, std::size_t offset, int32_t cost, bool exact) const;
  float bound_over(uint64_t end, uint32_t name, int32_t cost, bool exact) const;
  // A similarity (or a bound on one) that reaches the threshold and beats the best so far.
  static bool passes(const Scan& sc, float s) { return s >= sc.floor && s > sc.best->similarity; }
  // passes(sc, similarity(cost, span)), mostly without dividing.
  static bool passes_at(const Scan& sc, int32_t cost, uint64_t span);
  // similarity(cost, span) >= t: the budget of a state of that cost holds at offset span - 1.
  static bool opens(const Scan& sc, int32_t cost, uint64_t span);
  bool passes_bound(const Scan& sc, uint32_t node, std::size_t offset, int32_t cost) const;
  template <bool kHanding>
  State land(const Scan& sc, uint32_t node, std::size_t offset, int32_t cost, bool open) const;
  // Pushes what land() makes of (node, offset, cost), if anything.
  template <bool kHanding>
  [[gnu::always_inline]] void push_landing(const Scan& sc, uint32_t node, std::size_t offset, int32_t cost, bool open,
                    std::vector<State>& stack) const {
    const State at = land<kHanding>(sc, node, offset, cost, open);
    if (at.node != kNoView) stack.push_back(at);
  }

  template <bool kHanding>
  void expand(const Scan& sc, const State& s, unsigned char b, std::vector<State>& stack) const;
  // expand() for the root while chains of cost 1 are closed at offsets 0 and 1, with the
  // suffix index in place of one land() walk per child.
  template <bool kHanding>
  void expand_root(const Scan& sc, unsigned char b);
  void walk_suffixes(const Scan& sc, std::size_t from, int move);
  // The walk both of those and frontiers (rule 8) make: the suffix index along the text from
  // offset `from`, calling visit(i, u, j, open) for each pair (root child i, node u) of the
  // nodes reached that may matter: at each offset j > 0 where a pair's clean name may reach
  // least[1], and at the offset where one edit opens the budget (open), where it stops.
  // Returns the last offset compared with the bytes remaining.
  template <class Visit>
  std::size_t walk_root_chains(const unsigned char* text, std::size_t remaining, std::size_t from,
                               Visit&& visit) const;
  static constexpr int kSkipped = 0, kSubstituted = 1;
  // Per child of the root, where each of its two moves lands (node kNoView: nowhere yet).
  struct Landings {
    State at[2] = {{kNoView, 0, 0}, {kNoView, 0, 0}};
  };
  std::vector<Landings> landings_;
  std::vector<uint32_t> marked_;  // the children with a landing

  // Results of earlier searches, by the text they read. A search reads the text only at
  // offsets it has first compared with the bytes remaining; when all of those offsets were
  // below that count and at most m, another start position whose next m + 1 bytes are the
  // same, with more than m bytes remaining (and the same exactness flag), takes the same
  // path through every decision and returns the same candidate. Windows of kWindow bytes at
  // most are kept; the table is emptied when the threshold changes.
  //
  // A window is filed under its first min(length, kKeyed) bytes. Keying by fewer would put
  // every window that starts with a common word in one row ("the " followed by each letter
  // of the next word), and those are the windows that come back most; a lookup, which does
  // not know the length of the window it may meet, tries each length below kKeyed that some
  // window has, after kKeyed itself.
  //
  // The table is sized by the work seen, not by the text: a searcher that serves a batch of
  // short texts meets the same words in text after text, and a table sized for one short
  // text would forget them at once; one short text alone still sets up little.
  class Memo {
   public:
    // Sizes the table for the next text, of `text_size` bytes, after the searches so far (it
    // only grows, keeping what it holds).
    void fit(std::size_t text_size);
    bool find(const unsigned char* text, std::size_t remaining, bool exact, Candidate& out) const;
    void add(const unsigned char* text, std::size_t remaining, std::size_t len, bool exact, const Candidate& c);
    void clear();

   private:
    static constexpr std::size_t kWindow = 24;
    static constexpr std::size_t kKeyed = 6;
    static constexpr int kWays = 4;
    static constexpr int kMinRowBits = 2;
    static constexpr int kMaxRowBits = 13;  // 32k windows, 1.25 MiB
    struct Entry {
      uint64_t head;  // the window's first 8 bytes, zero past its length
      unsigned char tail[kWindow - 8];
      ViewId node;
      float similarity;
      uint8_t len;     // of the window; 0: empty
      uint8_t length;  // of the candidate, which lies inside the window
      bool exact;
      uint8_t next;  // in a row's first entry: the way replaced next
    };
    static_assert(kWindow < 256 && kKeyed <= 8 && kKeyed < 8 * sizeof(uint8_t));
    std::size_t row(uint64_t key, std::size_t keyed) const;
    void file(const Entry& e);
    std::vector<Entry> entries_;
    int row_bits_ = 0;
    std::size_t added_ = 0;  // searches recorded
    std::size_t capacity_ = 0;  // the load above which fit() grows the table
    uint32_t lengths_ = 0;   // bit k (k < kKeyed): some window is k bytes long
    // By a hash of the first two bytes: bit k set when some window of k bytes (1 < k <
    // kKeyed) may start with them. Windows of one byte are always tried (there are few).
    static constexpr std::size_t kHints = 1024;
    static std::size_t hint(uint64_t head) { return ((head & 0xFFFF) * 0x9E37u >> 4) & (kHints - 1); }
    uint8_t shorter_[kHints] = {};
  };

  // Best scores of earlier candidates, by the text they covered (rule 7). A candidate state
  // of length L is reached by moves that read only the text's first L bytes (and expand
  // states at offsets up to L): at any start whose first L bytes are the same, with more than
  // L bytes remaining, the same state is there to pop, so its score is one the search reaches.
  class Seeds {
   public:
    void add(const unsigned char* text, std::size_t length, float similarity);
    // The greatest score filed under a prefix of `text` shorter than `remaining`, or -1.
    float find(const unsigned char* text, std::size_t remaining) const;
    void clear();

   private:
    static constexpr std::size_t kMaxLength = 8;
    static constexpr std::size_t kSlots = 4096;
    struct Slot {
      uint64_t key;  // the covered bytes, zero above
      float similarity;
      uint8_t length;  // 0: empty
    };
    // The key of a candidate of `length` bytes from the text's head word.
    static uint64_t covered(uint64_t head, std::size_t length);
    static std::size_t slot(uint64_t key, std::size_t length) {
      return static_cast<std::size_t>(((key ^ (uint64_t{length} << 61)) * 0x9E3779B97F4A7C15ull) >> 52);
    }
    std::vector<Slot> slots_;
    uint32_t lengths_ = 0;  // bit L: some slot holds a candidate of L bytes
  };
  Seeds seeds_;
  // Searches that found a candidate, in 1/kRateOne, averaged over about the last 32.
  static constexpr uint32_t kRateOne = 1 << 16;
  uint32_t found_rate_ = 0;
  // Frontiers (rule 8). Call K = least[1] - 1: a state of cost 1 may edit only from offset K
  // on, so every state at an offset below K has cost 0 or 1 and was reached by reading the
  // text's first K bytes alone (expanded, since more than K bytes remain), and so were the
  // states that reach offset K from there (of cost 0 or 1). Whether a candidate exists from
  // a start is then decided by those states below K, which either score or not, and by what
  // lies below the states at K, the frontier. Most frontiers hold a few states, kept in the
  // entry; longer ones go to a shared pool, which is emptied with the table when it fills.
  // Looked up while most searches find nothing (otherwise the search below the frontier
  // mostly finds something, and the whole search must run after it).
  struct Frontier {
    static constexpr std::size_t kInline = 6;
    static constexpr std::size_t kMaxStates = 48;
    uint64_t key;  // the first K bytes
    enum Status : uint8_t { kEmpty, kReady, kScores, kTooWide } status;
    uint8_t count;
    uint32_t spilled;  // where the states begin in the pool, when more than kInline
    uint32_t states[kInline];  // node | cost << 31
  };
  static constexpr std::size_t kFrontierSlots = 8192;
  static constexpr std::size_t kFrontierPool = std::size_t{1} << 16;
  const Frontier& frontier(const unsigned char* text);
  // Fills `f` and returns its states (in `f` or in the pool).
  void make_frontier(const unsigned char* text, Frontier& f);
  // The states of `f` into scratch_, and its status.
  void collect_frontier(const unsigned char* text, Frontier& f);
  const uint32_t* frontier_states(const Frontier& f) const {
    return f.count <= Frontier::kInline ? f.states : frontier_pool_.data() + f.spilled;
  }
  std::vector<Frontier> frontiers_;
  std::vector<uint32_t> frontier_pool_;
  uint32_t scratch_[Frontier::kMaxStates];
  std::size_t frontier_k_ = 0;  // K for spans_.t, or 0 where frontiers do not apply
  // Prefixes (rule 9). An entry holds, in the literal order, what a run that reads only the
  // text's first K bytes makes: the candidates below K that beat those before them, and the
  // states handed over at K. Entries live in a direct-mapped table and their items in a
  // shared pool, emptied with the table when it fills; a prefix gets an entry the second time
  // it is met. Used while candidates are common (below that, frontiers settle most searches
  // for less).
  struct Item {
    uint32_t node;
    uint16_t cost;
    uint8_t offset;
    uint8_t handed;  // 1: a state at K to search below; 0: a candidate before K
  };
  struct Prefix {
    uint64_t key;  // the first k bytes, zero above
    uint32_t at;   // the first item in the pool
    uint16_t count;
    uint8_t k;  // 0: empty
    bool usable;  // false: too many items, or the run found a similarity of 1
  };
  static constexpr std::size_t kPrefixSlots = 32768;
  static constexpr std::size_t kPrefixPool = std::size_t{1} << 17;
  static constexpr std::size_t kPrefixItems = 1024;
  std::vector<Prefix> prefixes_;
  std::vector<uint64_t> met_;  // hashes of prefixes met once
  static constexpr Prefix kNone{0, 0, 0, 0, false};
  std::vector<Item> prefix_pool_;
  std::vector<Item> items_;  // the items of the entry being made
  void keep_item(const State& s, bool handed) {
    // Offsets and costs before K (at most 8) fit the item's fields.
    items_.push_back({s.node, static_cast<uint16_t>(s.cost), static_cast<uint8_t>(s.offset), handed});
  }
  // K for a start: one past the first byte that is not a word byte (the processor's word
  // set; bytes from 0x80 up count as word bytes here), at least
  // least[1] (the root's suffix walk reads up to offset least[1] - 2); 0 when that is past 8
  // or leaves no byte after it.
  std::size_t prefix_k(const unsigned char* text, std::size_t remaining) const;
  // The entry for the text's first k bytes, made now (and `made` set) if the prefix was met
  // before; kNone (not usable) otherwise.
  const Prefix& prefix(const unsigned char* text, std::size_t remaining, std::size_t k, bool exact, bool& made);
  Candidate replay(const Prefix& e, const unsigned char* text, std::size_t remaining, float t, float floor,
                   bool exact, std::size_t& reach);
  // Pops stack_ until it is empty; false once the best reaches 1 (rule 1).
  template <bool kHanding>
  [[gnu::always_inline]] bool pop_all(const Scan& sc);
  Candidate search_from(const unsigned char* text, std::size_t remaining, float t, bool exact, std::size_t& reach);
  // One run of the search that leaves out what cannot reach `floor` (rule 6); from the root,
  // or from the `starts` frontier states at offset `at`.
  Candidate search_above(const unsigned char* text, std::size_t remaining, float t, float floor, bool exact,
                         std::size_t& reach, const Frontier* starts = nullptr);
  // The floors tried below the threshold, from the first down by the step.
  static constexpr float kFirstFloor = 0.5f;
  static constexpr float kFloorStep = 0.5f;
  static constexpr float kLastFloor = 1.0f / 64;
  // Span tables of recent floors.
  const Spans& floor_spans(float floor);
  // The Scan of one run at threshold t above `floor`, reading no text from `stop` on.
  Scan scan(const unsigned char* text, std::size_t remaining, float t, float floor, Candidate& best,
            std::size_t& reach, bool exact, std::size_t stop);
  // Direct-mapped by the floor's bits: seeds bring back the same few dozen scores.
  static constexpr int kKeptFloors = 64;
  Spans floors_[kKeptFloors];

  const ReadView& view_;
  const SearchTables* tables_ = nullptr;  // the view's, once prepare() has run
  void prepare();
  static bool offer(const SearchTables& v, const State& s, float t, Candidate& best);
  bool prepared_ = false;
  bool bounded_ = false;  // false when a clean name is too long for SearchTables::Reach
  std::vector<State> stack_;
  Seen seen_;
  uint64_t visited_ = 0;
  bool widened_ = false;
  bool no_floors_ = false;
  bool use_prefixes_ = true;
  Seeding seeding_ = Seeding::kAdaptive;
  Spans spans_;
  Memo memo_;
  std::shared_ptr<const StartFilter> filter_;  // for spans_.t, if it applies
  // The view's suffix index, deep enough for spans_.t, when expand_root() applies there.
  std::shared_ptr<const SuffixIndex> suffixes_;
  PathCount paths_[kPaths];
};

}  // namespace kwsieve
