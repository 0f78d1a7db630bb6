#!/bin/sh
# The approximate search before and after a change, side by side in one run: builds
# bench_approx.cpp (this tree's) against the engine of BASE (default: main) and against this
# tree's engine, then runs both, alternating, on each table and keyword count.
#
#   bench/approx_before_after.sh [BASE] [parts] [counts...]     (default: main 34 1000 10000 100000)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
base=${1:-main}
parts=${2:-34}
shift $(( $# > 2 ? 2 : $# ))
counts=${*:-1000 10000 100000}
build=${KWSIEVE_BENCH_BUILD:-/tmp/kwsieve-bench}/approx-before-after
rm -rf "$build"; mkdir -p "$build/old"
git -C "$root" archive "$base" src | tar -x -C "$build/old"
paths=$(python3 "$here/common.py")
keywords=$(echo "$paths" | sed -n 1p)
corpus=$(echo "$paths" | sed -n 2p)
cxx=${CXX:-g++}
"$cxx" -O2 -std=c++20 -I"$build/old/src" -I"$here" "$build"/old/src/engine/*.cpp "$here/bench_approx.cpp" -o "$build/before"
"$cxx" -O2 -std=c++20 -I"$root/src" -I"$here" "$root"/src/engine/*.cpp "$here/bench_approx.cpp" -o "$build/after"
echo "before: $(git -C "$root" rev-parse --short "$base"), after: $(git -C "$root" describe --always --dirty)"
for part in $(echo "$parts" | sed 's/./& /g'); do
  if [ "$part" = 3 ]; then
    for n in $counts; do
      for side in before after; do
        echo "== $side"; "$build/$side" "$keywords" "$corpus" 32768 200000 3 3 "$n"
      done
    done
  else
    for side in before after; do
      echo "== $side"; "$build/$side" "$keywords" "$corpus" 32768 200000 3 "$part"
    done
  fi
done
