#!/usr/bin/env bash
# Builds reassembly_fuzzer with clang 14 (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs it for a bounded time, starting from
# the seed corpus in fuzz/corpus.
#
#   fuzz/run_fuzzer.sh [seconds] [extra libFuzzer options...]
#
# Seconds default to 60. New inputs the run finds go to <build>/corpus, so
# the committed seeds stay as the generator makes them; an input that fails
# a check is kept in <build>/artifacts and the script exits non-zero.
# $TEXWELD_FUZZ_BUILD_DIR picks the build folder (default build-fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
build="${TEXWELD_FUZZ_BUILD_DIR:-build-fuzz}"

cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++-14 \
  -DTEXWELD_BUILD_TESTS=ON \
  -DTEXWELD_FUZZ=ON ${TEXWELD_FUZZ_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" --target reassembly_fuzzer -j2

mkdir -p "$build/corpus" "$build/artifacts"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
"$build/reassembly_fuzzer" \
  -max_total_time="$seconds" \
  -max_len=65536 \
  -timeout=20 \
  -rss_limit_mb=2048 \
  -print_final_stats=1 \
  -artifact_prefix="$build/artifacts/" \
  "$@" \
  "$build/corpus" fuzz/corpus
