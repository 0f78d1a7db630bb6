#!/usr/bin/env bash
# Builds the state decoder fuzzer under AddressSanitizer + UndefinedBehaviorSanitizer (the
# CMake target in fuzz/CMakeLists.txt) and runs it for a bounded time through ctest. Exits
# non-zero on any crash, failed check, leak or sanitizer report.
#
# With a clang that has libFuzzer (Debian bookworm: apt-get install clang-16
# libclang-rt-16-dev; clang 14 cannot compile the engine, its libstdc++ lacks
# std::source_location support) the target is linked with -fsanitize=fuzzer. Otherwise it
# is built with g++ and driven by standalone_main.cpp (random and mutated seeds, no
# coverage feedback).
#
# Knobs: FUZZ_SECONDS (default 60), FUZZ_BUILD_DIR (default /tmp/kwsieve-fuzz),
#        FUZZ_CXX (a clang++ or g++ to use instead of the search below),
#        FUZZ_JOBS (parallel compile jobs, default 2).
# The working corpus and any crash artifacts go to the build directory (under fuzz/);
# fuzz/corpus/ holds the seeds (regenerate with fuzz/make_seeds.py) and is never written to.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$HERE")
SECONDS_TO_RUN=${FUZZ_SECONDS:-60}
BUILD=${FUZZ_BUILD_DIR:-/tmp/kwsieve-fuzz}
JOBS=${FUZZ_JOBS:-2}
mkdir -p "$BUILD"

supports_libfuzzer() {
    local cxx=$1
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }
#include <source_location>
const auto here = std::source_location::current();' |
        "$cxx" -std=c++20 -fsanitize=fuzzer,address -x c++ - -o "$BUILD/probe" >/dev/null 2>&1
}

pick_compiler() {
    if [[ -n ${FUZZ_CXX:-} ]]; then
        CXX_BIN=$FUZZ_CXX
        return
    fi
    local c
    for c in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15; do
        if command -v "$c" >/dev/null && supports_libfuzzer "$c"; then
            CXX_BIN=$c
            return
        fi
    done
    CXX_BIN=${CXX:-g++}
}

pick_compiler
# A build directory keeps its compiler, its source tree and its build tool: start afresh
# when another compiler is asked for, another checkout reuses the directory, or the build
# tool it was configured with is gone (a deleted virtual environment's ninja).
cached_tool() { sed -n 's/^CMAKE_MAKE_PROGRAM:[A-Z]*=//p' "$BUILD/CMakeCache.txt"; }
if [[ -f $BUILD/CMakeCache.txt ]] && { ! grep -qx "CMAKE_CXX_COMPILER:[A-Z]*=$(command -v "$CXX_BIN")" "$BUILD/CMakeCache.txt" \
        || ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$ROOT" "$BUILD/CMakeCache.txt" \
        || [[ ! -x $(cached_tool) ]]; }; then
    rm -rf "$BUILD/CMakeCache.txt" "$BUILD/CMakeFiles"
fi
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$ROOT" -B "$BUILD" "${generator[@]}" -DCMAKE_CXX_COMPILER="$CXX_BIN" \
    -DKWSIEVE_BUILD_EXTENSION=OFF -DKWSIEVE_BUILD_FUZZERS=ON -DKWSIEVE_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
    -DKWSIEVE_FUZZ_SECONDS="$SECONDS_TO_RUN" >/dev/null
mode=$(grep -q '^KWSIEVE_HAVE_LIBFUZZER:INTERNAL=1' "$BUILD/CMakeCache.txt" && echo libfuzzer || echo standalone)
echo "fuzz/run.sh: $mode build with $CXX_BIN, $SECONDS_TO_RUN s" >&2
cmake --build "$BUILD" --target decode_fuzzer -j "$JOBS"
exec ctest --test-dir "$BUILD" -R '^decode_fuzz$' --verbose
