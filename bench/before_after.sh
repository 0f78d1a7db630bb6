#!/bin/sh
# The engine benchmarks before and after a change, side by side in one run: builds
# bench_engine, bench_insert and bench_approx as of BASE (default: main) against BASE's engine
# and pool, and as of this tree against this tree's, then runs them alternating,
# ROUNDS times each, so that both sides meet the same machine load. Compare the medians of
# the printed tables; a refactor should leave every column within noise.
#
#   bench/before_after.sh [BASE] [ROUNDS] [counts...]      (default: main 5 1000 10000 100000)
#
# KWSIEVE_APPROX_PARTS picks bench_approx's tables (default 3, real paragraphs at each
# count; e.g. 34 adds table 4, the growth with the text).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
base=${1:-main}
rounds=${2:-5}
shift $(( $# > 2 ? 2 : $# ))
counts=${*:-1000 10000 100000}
build=${KWSIEVE_BENCH_BUILD:-/tmp/kwsieve-bench}/before-after
if [ "${KWSIEVE_BENCH_REUSE:-0}" != 1 ]; then rm -rf "$build"; fi; mkdir -p "$build/old"
git -C "$root" archive "$base" src bench | tar -x -C "$build/old"
paths=$(python3 "$here/common.py")
keywords=$(echo "$paths" | sed -n 1p)
corpus=$(echo "$paths" | sed -n 2p)
manifest=${KWSIEVE_BENCH_DATA:-/work/shared/data}/corpus_manifest.tsv
cxx=${CXX:-g++}
# The engine and pool once per side, then the three programs against them.
# KWSIEVE_BENCH_REUSE=1 runs the programs a previous call built.
for side in before after; do
  [ "${KWSIEVE_BENCH_REUSE:-0}" = 1 ] && [ -x "$build/$side-bench_approx" ] && continue
  if [ "$side" = before ]; then src="$build/old/src"; benches="$build/old/bench"; else src="$root/src"; benches="$here"; fi
  mkdir -p "$build/$side-objs"
  for f in "$src"/engine/*.cpp "$src"/pool/*.cpp; do
    "$cxx" -O2 -std=c++20 -I"$src" -c "$f" -o "$build/$side-objs/$(basename "$(dirname "$f")")-$(basename "$f" .cpp).o"
  done
  for b in bench_engine bench_insert bench_approx; do
    "$cxx" -O2 -std=c++20 -I"$src" -I"$benches" "$benches/$b.cpp" "$build/$side-objs"/*.o -lpthread -o "$build/$side-$b"
  done
done
echo "before: $(git -C "$root" rev-parse --short "$base"), after: $(git -C "$root" describe --always --dirty)"
i=0
while [ "$i" -lt "$rounds" ]; do
  i=$((i + 1))
  for side in before after; do
    echo "== round $i $side"
    "$build/$side-bench_engine" "$keywords" "$corpus" "$manifest" 1 $counts | grep '^| [0-9]'
    "$build/$side-bench_insert" "$keywords" 1 $counts | grep '^| [0-9]'
    for part in $(echo "${KWSIEVE_APPROX_PARTS:-3}" | sed 's/./& /g'); do
      if [ "$part" = 3 ]; then  # real paragraphs, at each keyword count
        for n in $counts; do
          "$build/$side-bench_approx" "$keywords" "$corpus" 32768 200000 1 3 "$n" | grep '^| [0-9.]'
        done
      else
        "$build/$side-bench_approx" "$keywords" "$corpus" 32768 200000 1 "$part" | grep '^| [0-9.]'
      fi
    done
  done
done
