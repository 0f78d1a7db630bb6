#!/bin/sh
# Builds the engine benchmark and runs every benchmark in bench/.
#
#   bench/run.sh [python]        (default: python3 on PATH, which must import kwsieve,
#                                 ahocorasick and, optionally, hyperscan)
#
# The C++ benchmark is built into $KWSIEVE_BENCH_BUILD (default /tmp/kwsieve-bench),
# never into the source tree. Set KWSIEVE_BENCH_QUICK=1 for one repeat of everything.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
py=${1:-python3}
build=${KWSIEVE_BENCH_BUILD:-/tmp/kwsieve-bench}
cxx=${CXX:-g++}
if [ "${KWSIEVE_BENCH_QUICK:-0}" = 1 ]; then repeat=1; load_repeat=1; else repeat=5; load_repeat=5; fi
extract_repeat=$(( repeat < 3 ? repeat : 3 ))

mkdir -p "$build"
echo "kwsieve $(git -C "$root" describe --always --dirty 2>/dev/null || echo '(no git)')," \
     "$("$py" -c 'import sys, platform; print(platform.python_implementation(), sys.version.split()[0])')," \
     "$(uname -m), $(nproc) cores"

# Unpacked data files, one path per line.
paths=$("$py" "$here/common.py")
keywords=$(echo "$paths" | sed -n 1p)
corpus=$(echo "$paths" | sed -n 2p)
manifest=${KWSIEVE_BENCH_DATA:-/work/shared/data}/corpus_manifest.tsv

"$cxx" -O2 -std=c++20 -I"$root/src" "$root"/src/engine/*.cpp "$root"/src/pool/*.cpp \
    "$here/bench_engine.cpp" -lpthread -o "$build/bench_engine"
"$build/bench_engine" "$keywords" "$corpus" "$manifest" "$repeat"

"$py" "$here/bench_load.py" --repeat "$load_repeat"
"$py" "$here/bench_extract.py" --repeat "$extract_repeat"
