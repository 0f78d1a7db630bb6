#!/usr/bin/env bash
# Plants faults in the approximate search's pruning rules and tables one at a time and counts how many
# the differential driver (approx_diff) kills: by a mismatch, or by not finishing (a fault
# that makes the search loop). Each fault replaces one literal piece of an engine source
# in a copy of the sources; a fault whose piece is no longer there is reported
# as STALE, so that the list stays in step with the code.
#
#   bash tests/cpp/plant_faults.sh [iterations]     (default 5000)
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
iters=${1:-5000}
work=$(mktemp -d /tmp/plant-faults.XXXXXX)
trap 'rm -rf "$work"' EXIT

# file | what the fault replaces | by what | why it matters
faults=(
  "approx.h|s >= sc.floor && s > sc.best|s > sc.floor && s > sc.best|floors: a bound equal to the floor may be the result"
  "approx.cpp|span < sc.floor_least[cost]|span <= sc.floor_least[cost]|floors: the floor's span table off by one"
  "approx.cpp|c.similarity >= floor) return c;|c.similarity >= floor * kFloorStep) return c;|floors: a candidate below the floor taken as the result"
  "approx.cpp|c.similarity > floor) floor = c.similarity;|c.similarity > floor) return c;|floors: a candidate below the floor returned without the run at its score"
  "approx.cpp|c.similarity > floor) floor = c.similarity;|c.similarity > floor) floor = std::nextafter(c.similarity, 2.0f);|floors: the floor from a candidate set just above it"
  "approx.cpp|if (f.t != floor) f.make(floor);|if (f.t != floor) f.make(std::nextafter(floor, 2.0f));|floors: a floor's table made for a slightly higher floor"
  "approx.cpp|!passes_bound(sc, s.node, j1, s.cost + 1))) {|!passes_bound(sc, s.node, j1, s.cost + 2))) {|chains: an open state's edit moves bounded at two edits more"
  "approx.cpp|    chain(n, j + 1);|    (void)0;|frontiers: a text byte skipped after the root left out"
  "approx.cpp|      if (j > 0 \&\& x.terminal(m) \&\& std::max<uint64_t>(j, v.name(m).size()) >= least) {|      if (j > 0 \&\& x.terminal(m) \&\& std::max<uint64_t>(j, v.name(m).size()) > least) {|frontiers: a chain that scores just at the threshold before the frontier missed"
  "approx.cpp|if (!(c.node != kNoView \&\& c.similarity >= seed)) c = search_from|if (false) c = search_from|seeds: a run that reaches nothing above its seed taken as the result"
  "approx.cpp|uint64_t ApproxSearcher::Seeds::covered(uint64_t head, std::size_t length) { return low_bytes(head, length); }|uint64_t ApproxSearcher::Seeds::covered(uint64_t head, std::size_t length) { return low_bytes(head, length - 1); }|seeds: a candidate's last byte left out of its key (harmless: only runs that fail)"
  "approx.cpp|  return search_above(text, remaining, t, t, exact, reach);|  return search_above(text, remaining, t, std::max(t, kLastFloor), exact, reach);|floors: the last run keeps a floor"
  "approx.cpp|    if (sc.best->similarity < sc.floor) return true;|    if (sc.best->similarity < sc.floor + 0.01f) return true;|floors: a state kept that does not beat the best (harmless: only more work)"
  "approx.h|s >= sc.floor && s > sc.best->similarity; }|s >= sc.floor && s >= sc.best->similarity; }|bound: a bound equal to the best kept (harmless: only more work)"
  "approx.cpp|if (best.similarity == 1.0f) return false;|if (best.similarity >= 0.99f) return false;|stop: before 1.0"
  "approx.cpp|  const bool blind = kHanding \&\& !sees_next \&\& j1 < sc.remaining;|  const bool blind = false;|prefixes: a run that stops at K reads as if the text ended there"
  "approx.cpp|      alive = passes_bound(sc, n, j, c);\n      break;\n    }\n    n = x.step|      alive = false;\n      break;\n    }\n    n = x.step|prefixes: a chain that reaches K dropped instead of handed over"
  "approx.cpp|        if (kHanding) keep_item(s, false);|        if (false) keep_item(s, false);|prefixes: candidates before K left out of the entry"
  "approx.cpp|  const uint64_t key = low_bytes(head_of(text, k), k);|  const uint64_t key = low_bytes(head_of(text, k), k - 1);|prefixes: the last byte of the prefix left out of its key"
  "approx.cpp|if (!(seed > t \&\& c.node != kNoView \&\& c.similarity >= seed)) c = replay(|if (!(seed > t)) c = replay(|prefixes: a seeded replay that reaches nothing above its seed taken as the result"
  "approx.cpp|      if (len > remaining |      if (len > remaining + 1 |memo: a window longer than the text left (masked but for a window whose last byte is a NUL that no state read past)"
  "approx.cpp|if (len > 8 \&\& std::memcmp(e->tail, text + 8, len - 8) != 0) continue;|if (len > 9 \&\& std::memcmp(e->tail, text + 8, len - 9) != 0) continue;|memo: the last byte of a long window not compared"
  "approx.cpp|tries = (shorter_[hint(head)] \& lengths_)|tries = (shorter_[hint(head) ^ 1] \& lengths_)|memo: a short window looked for under the wrong hint (harmless: only fewer reuses)"
  "approx.cpp|if (low_bytes(head, len) != e->head|if (low_bytes(head, len - (len > 1)) != low_bytes(e->head, len - (len > 1))|memo: a window's last head byte not compared"
  "approx.cpp|e.length = static_cast<uint8_t>(c.length);|e.length = static_cast<uint8_t>(c.length + (c.length < 3));|memo: a reused candidate's length wrong"
  "approx.cpp|suffixes = view_.suffix_index(next.least[1] - 1);|suffixes = view_.suffix_index(next.least[1] - 2);|suffix index: asked one level short of the root walk"
  "suffix_index.cpp|const bool last = level >= depth;|const bool last = level + 1 >= depth;|suffix index: built one level short"
  "suffix_index.cpp|          whole = false;|          (void)whole;|suffix index: a cut one taken for whole"
  "read_view.cpp|if (suffix_ && suffix_->holds(depth)) return suffix_;|if (suffix_) return suffix_;|suffix index: the kept one served to a deeper request"
  "search_tables.h|under_[b.rank + popcount(b.kept & (bit - 1))]|under_[b.rank + popcount(b.kept & ((bit << 1) - 1))]|byte summaries: the rank counts the node itself"
  "search_tables.cpp|if (i % 64 == 0) block.rank|if (i % 64 == 1) block.rank|byte summaries: a block's rank taken one node late"
  "approx.cpp|v.name(nd.first).size() < sc.least[c1]|v.name(nd.first).size() <= sc.least[c1]|single child: a name that just reaches the open span taken as too short"
)

killed=0; total=0; harmless=0
for f in "${faults[@]}"; do
  IFS='|' read -r file from to why <<<"$f"
  case "$why" in ${KWSIEVE_FAULTS:-*}) ;; *) continue;; esac
  rm -rf "$work/src"; cp -r src "$work/src"
  target="$work/src/engine/$file"
  if ! FROM="$from" TO="$to" python3 - "$target" <<'PY'
import os, sys
p = sys.argv[1]
s = open(p).read()
a, b = (os.environ[v].replace("\\&", "&").replace("\\n", "\n") for v in ("FROM", "TO"))
if s.count(a) != 1:
    sys.exit(1)
open(p, "w").write(s.replace(a, b))
PY
  then
    echo "STALE    $why"; continue
  fi
  total=$((total + 1))
  if ! g++ -std=c++20 -O2 -I"$work/src" tests/cpp/approx_diff.cpp "$work"/src/engine/*.cpp \
       -o "$work/diff" 2>"$work/cc.log"; then
    echo "NOBUILD  $why"; head -5 "$work/cc.log"; continue
  fi
  if timeout 120 "$work/diff" "$iters" >"$work/out.log" 2>&1; then
    case "$why" in *harmless*) harmless=$((harmless + 1)); echo "SURVIVED $why";;
                   *) echo "SURVIVED $why";; esac
  else
    killed=$((killed + 1)); echo "KILLED   $why ($(grep -c MISMATCH "$work/out.log") mismatches$( [ "$(tail -c 3 "$work/out.log")" = "" ] && echo ', hang'))"
  fi
done
echo "$killed of $total planted faults killed ($harmless planted as harmless)"
