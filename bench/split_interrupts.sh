#!/usr/bin/env bash
# Interrupts texsplit at random moments while it replaces an existing chunk
# set, and counts the runs that left a mixed set or a stray file behind.
# Every run must leave either the old set or the new one, byte for byte, and
# nothing else in the folder.
#
#   bench/split_interrupts.sh [runs] [build folder]     (defaults: 400, build)
set -euo pipefail
runs="${1:-400}"
build="$(cd "${2:-build}" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

"$build/make_split_texture" argb32 1024 1024 11 "$work/made" "$work/a.dds" >/dev/null
rm -f made.*
cp a.dds b.dds
size="$(stat -c %s b.dds)"
printf 'EDIT' | dd of=b.dds bs=1 seek=1000 conv=notrunc status=none             # in level 0
printf 'EDIT' | dd of=b.dds bs=1 seek="$((size - 8))" conv=notrunc status=none  # in the small levels
mkdir old new
(cd old && "$build/texsplit" ../a.dds t.dds >/dev/null)
(cd new && "$build/texsplit" ../b.dds t.dds >/dev/null)

mixed=0 leftovers=0 old=0 new=0
signals=(INT TERM HUP)
for ((run = 0; run < runs; ++run)); do
  rm -rf set && mkdir set && cp old/* set/
  signal="${signals[run % 3]}"
  delay="$(awk -v r="$RANDOM" 'BEGIN { printf "%.4f", 0.001 + (r % 12000) / 1000000 }')"
  (cd set && exec "$build/texsplit" ../b.dds t.dds >/dev/null) &
  pid=$!
  sleep "$delay"
  kill "-$signal" "$pid" 2>/dev/null || true
  { wait "$pid" || true; } 2>/dev/null
  if diff -rq old set >/dev/null; then
    old=$((old + 1))
  elif diff -rq new set >/dev/null; then
    new=$((new + 1))
  else
    extra="$(cd set && ls -A | grep -v -E '^t\.dds\.[0-9]+$' || true)"
    if [ -n "$extra" ]; then
      leftovers=$((leftovers + 1))
    else
      mixed=$((mixed + 1))
    fi
    echo "run $run (SIG$signal after ${delay}s): $(cd set && ls -A | tr '\n' ' ')" >&2
  fi
done
echo "$runs runs: $old old sets, $new new sets, $mixed mixed, $leftovers with leftovers"
[ "$mixed" -eq 0 ] && [ "$leftovers" -eq 0 ]
