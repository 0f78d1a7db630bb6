#!/usr/bin/env bash
# Builds the state decoder fuzzer under AddressSanitizer + UndefinedBehaviorSanitizer and
# runs it for a bounded time. Exits non-zero on any crash, failed check, leak or
# sanitizer report.
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
# The working corpus and any crash artifacts go to the build directory; fuzz/corpus/
# holds the seeds (regenerate with fuzz/make_seeds.py) and is never written to.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$HERE")
SECONDS_TO_RUN=${FUZZ_SECONDS:-60}
BUILD=${FUZZ_BUILD_DIR:-/tmp/kwsieve-fuzz}
JOBS=${FUZZ_JOBS:-2}
mkdir -p "$BUILD/corpus" "$BUILD/obj"

# Every engine source: the target reaches extraction as well as the codec. The binding
# (src/python) and the pool stay out; the engine needs neither.
ENGINE=("$ROOT"/src/engine/*.cpp)
SAN=(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
COMMON=(-std=c++20 -O1 -g -I"$ROOT/src" -Wall -Wextra)

supports_libfuzzer() {
    local cxx=$1
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }
#include <source_location>
const auto here = std::source_location::current();' |
        "$cxx" -std=c++20 -fsanitize=fuzzer,address -x c++ - -o "$BUILD/probe" >/dev/null 2>&1
}

pick_compiler() {
    if [[ -n ${FUZZ_CXX:-} ]]; then
        if supports_libfuzzer "$FUZZ_CXX"; then MODE=libfuzzer; else MODE=standalone; fi
        CXX_BIN=$FUZZ_CXX
        return
    fi
    local c
    for c in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15; do
        if command -v "$c" >/dev/null && supports_libfuzzer "$c"; then
            CXX_BIN=$c MODE=libfuzzer
            return
        fi
    done
    CXX_BIN=${CXX:-g++} MODE=standalone
}

# Compiles one source into $BUILD/obj unless the object is newer than it, every engine
# source and header, and this script.
compile() {
    local src=$1 obj=$2; shift 2
    if [[ -f $obj && -z $(find "$ROOT/src/engine" "$src" "$0" "$HERE/coverage_ignore.txt" -newer "$obj" -print -quit) ]]; then
        return
    fi
    "$CXX_BIN" "${COMMON[@]}" "${SAN[@]}" "$@" -c "$src" -o "$obj"
}

pick_compiler
echo "fuzz/run.sh: $MODE build with $CXX_BIN, $SECONDS_TO_RUN s" >&2

TARGET_FLAGS=()
[[ $MODE == libfuzzer ]] &&
    TARGET_FLAGS=(-fsanitize=fuzzer-no-link -fsanitize-coverage-ignorelist="$HERE/coverage_ignore.txt")
OBJS=()
pids=()
for src in "${ENGINE[@]}"; do
    name=$(basename "$src" .cpp)
    compile "$src" "$BUILD/obj/$MODE-$name.o" "${TARGET_FLAGS[@]}" &
    pids+=($!)
    OBJS+=("$BUILD/obj/$MODE-$name.o")
    if (( ${#pids[@]} >= JOBS )); then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
done
for p in "${pids[@]}"; do wait "$p"; done
compile "$HERE/decode_fuzzer.cpp" "$BUILD/obj/$MODE-decode_fuzzer.o" "${TARGET_FLAGS[@]}"
OBJS+=("$BUILD/obj/$MODE-decode_fuzzer.o")

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

if [[ $MODE == libfuzzer ]]; then
    "$CXX_BIN" "${COMMON[@]}" "${SAN[@]}" -fsanitize=fuzzer "${OBJS[@]}" -o "$BUILD/decode_fuzzer"
    # max_len fits a whole state (139,283 bytes and up) after the framing byte; most
    # seeds are framed and a few dozen bytes long, and -len_control grows inputs slowly.
    exec "$BUILD/decode_fuzzer" -max_total_time="$SECONDS_TO_RUN" -max_len=140000 \
        -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$BUILD/" "$BUILD/corpus" "$HERE/corpus"
else
    compile "$HERE/standalone_main.cpp" "$BUILD/obj/standalone_main.o"
    "$CXX_BIN" "${COMMON[@]}" "${SAN[@]}" "${OBJS[@]}" "$BUILD/obj/standalone_main.o" \
        -o "$BUILD/standalone_fuzzer"
    exec "$BUILD/standalone_fuzzer" -seconds="$SECONDS_TO_RUN" -max_len=140000 \
        -artifact="$BUILD/crash-input" "$HERE/corpus"
fi
