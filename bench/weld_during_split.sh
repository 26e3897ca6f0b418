#!/usr/bin/env bash
# Welds a set again and again while texsplit splits two textures of one
# size into its base in turn, and counts the welds that printed success for
# anything but one of the two textures whole. Every weld must print a
# failure line or be exactly one of them.
#
#   bench/weld_during_split.sh [welds] [slowed welds] [build folder]   (defaults: 800, 40, build)
set -euo pipefail
welds="${1:-800}"
slowed="${2:-40}"
build="$(cd "${3:-build}" && pwd)"
work="$(mktemp -d)"
splitter=
trap 'touch "$work/stop"; [ -z "$splitter" ] || wait "$splitter"; rm -rf "$work"' EXIT
cd "$work"

"$build/make_split_texture" argb32 512 512 10 "$work/made" "$work/a.dds" >/dev/null
rm -f made.*
cp a.dds b.dds
printf 'EDIT' | dd of=b.dds bs=1 seek=1000 conv=notrunc status=none  # in level 0
"$build/texsplit" a.dds s.dds >/dev/null

( while [ ! -e stop ]; do "$build/texsplit" b.dds s.dds >/dev/null; "$build/texsplit" a.dds s.dds >/dev/null; done ) &
splitter=$!

count() {  # count N [wrapper...]: welds N times, prints "whole failed mixed"
  local n=$1 whole=0 failed=0 mixed=0 line
  shift
  for ((i = 0; i < n; ++i)); do
    rm -f w.dds
    line="$("$@" "$build/texweld" s.dds.0 w.dds)"
    if [ "$line" != "Successfully unsplit s.dds." ]; then
      failed=$((failed + 1))
    elif cmp -s w.dds a.dds || cmp -s w.dds b.dds; then
      whole=$((whole + 1))
    else
      mixed=$((mixed + 1))
    fi
  done
  echo "$whole $failed $mixed"
}
read -r whole failed mixed < <(count "$welds" env)
echo "unslowed: $welds welds: $whole whole, $failed failed, $mixed mixed"
total_mixed=$mixed
if [ "$slowed" -gt 0 ] && command -v strace >/dev/null; then
  # Every open after the first waits 15 ms: a split lands between them
  # unless the weld holds the set's lock.
  read -r whole failed mixed < <(count "$slowed" strace -f -o /dev/null -e trace=openat \
    -e inject=openat:delay_enter=15000:when=2+)
  echo "slowed:   $slowed welds: $whole whole, $failed failed, $mixed mixed"
  total_mixed=$((total_mixed + mixed))
fi
[ "$total_mixed" -eq 0 ]
