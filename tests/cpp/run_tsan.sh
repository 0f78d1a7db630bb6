#!/usr/bin/env bash
# Builds tests/cpp/pool_stress.cpp under ThreadSanitizer, then under AddressSanitizer
# with UndefinedBehaviorSanitizer, and runs each. Any sanitizer report fails the run.
# Usage: tests/cpp/run_tsan.sh [build-dir]   (default: a fresh directory under /tmp)
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:-$(mktemp -d /tmp/kwsieve-pool-sanitize.XXXXXX)}
mkdir -p "$out"
cxx=${CXX:-g++}
srcs=("$repo/tests/cpp/pool_stress.cpp" "$repo/src/pool/pool.cpp" "$repo/src/pool/cpu_count.cpp")
flags=(-std=c++20 -O1 -g -fno-omit-frame-pointer -Wall -Wextra -I"$repo/src" -pthread)

echo "== ThreadSanitizer"
"$cxx" "${flags[@]}" -fsanitize=thread "${srcs[@]}" -o "$out/pool_stress_tsan"
# die_after_fork=0: the tests start a fresh pool in forked children on purpose.
TSAN_OPTIONS="halt_on_error=1 exitcode=66 die_after_fork=0 second_deadlock_stack=1" \
  "$out/pool_stress_tsan"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
"$cxx" "${flags[@]}" -fsanitize=address,undefined -fno-sanitize-recover=all \
  "${srcs[@]}" -o "$out/pool_stress_asan"
ASAN_OPTIONS="halt_on_error=1 exitcode=66 detect_leaks=1" \
UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
  "$out/pool_stress_asan"

echo "pool sanitizer runs passed"
