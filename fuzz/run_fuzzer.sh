#!/usr/bin/env bash
# Builds the fuzz targets with clang 14 (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs them for a bounded time in all,
# starting from their seed corpora: reassembly_fuzzer (texweld) from
# fuzz/corpus, split_fuzzer (texsplit) from fuzz/split-corpus,
# journal_fuzzer (a set's recovery) from fuzz/journal-corpus.
#
#   fuzz/run_fuzzer.sh [seconds] [extra libFuzzer options...]
#
# Seconds (default 60) are shared equally between the targets;
# $TEXWELD_FUZZ_TARGETS names fewer ("split_fuzzer", say). New inputs a run
# finds go to <build>/corpus-<target>, so the committed seeds stay as the
# generator makes them; an input that fails a check is kept in
# <build>/artifacts and the script exits non-zero.
# $TEXWELD_FUZZ_BUILD_DIR picks the build folder (default build-fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
build="${TEXWELD_FUZZ_BUILD_DIR:-build-fuzz}"
read -r -a targets <<<"${TEXWELD_FUZZ_TARGETS:-reassembly_fuzzer split_fuzzer journal_fuzzer}"

cmake -S . -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++-14 \
  -DTEXWELD_BUILD_TESTS=ON \
  -DTEXWELD_FUZZ=ON ${TEXWELD_FUZZ_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" --target "${targets[@]}" -j2

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
mkdir -p "$build/artifacts"
share=$(( (seconds + ${#targets[@]} - 1) / ${#targets[@]} ))
for target in "${targets[@]}"; do
  case "$target" in
  reassembly_fuzzer) seeds=fuzz/corpus ;;
  split_fuzzer) seeds=fuzz/split-corpus ;;
  journal_fuzzer) seeds=fuzz/journal-corpus ;;
  *) echo "run_fuzzer.sh: no fuzz target $target" >&2; exit 2 ;;
  esac
  mkdir -p "$build/corpus-$target"
  echo "run_fuzzer.sh: $target for $share s"
  "$build/$target" \
    -max_total_time="$share" \
    -max_len=65536 \
    -timeout=20 \
    -rss_limit_mb=2048 \
    -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" \
    "$@" \
    "$build/corpus-$target" "$seeds"
done
