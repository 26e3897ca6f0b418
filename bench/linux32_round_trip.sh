#!/usr/bin/env bash
# Round-trips textures of more than 2 GiB through the 32-bit Linux build
# under qemu-i386-static: texsplit splits each, texweld welds it back, and both
# results are compared byte for byte with what the native sample kit made.
# Shows that 32-bit programs size, seek and copy files past 2 GiB (64-bit
# file offsets), a first chunk past 2 GiB included, and that their memory
# stays small (peak resident size, which includes qemu's own).
#
#   bench/linux32_round_trip.sh [linux32 build folder] [native build folder]
#       defaults: build-linux32, build
#
# Needs qemu-i386-static, /usr/bin/time and about 17 GB of free disk in
# $TMPDIR; everything is removed afterwards.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
linux32="$(cd "${1:-$repo/build-linux32}" && pwd)"
native="$(cd "${2:-$repo/build}" && pwd)"
# 28000x28000 A8R8G8B8 with 4 levels: 4,165,000,128 bytes, a level 0 of
# 3,136,000,000 in its own chunk and the rest in the first chunk; and
# 24000x24000 with 1 level: 2,304,000,128 bytes, all of it the first chunk.
textures=("28000 4 4165000128" "24000 1 2304000128")
scratch="$(mktemp -d "${TMPDIR:-/tmp}/texweld-round-trip.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT INT TERM
free_kb="$(df -Pk "$scratch" | awk 'NR == 2 { print $4 }')"
if [ "${free_kb:-0}" -lt $((17 * 1024 * 1024)) ]; then
    echo "linux32_round_trip.sh: needs about 17 GB free under $scratch" >&2
    exit 1
fi
# Prints the program's line, then its wall time and peak resident size.
run() {
    local name="$1"
    shift
    /usr/bin/time -f "  $name: %e s, peak %M KiB resident" qemu-i386-static "$@"
}

cd "$scratch"
file -b "$linux32/texweld" | grep -q "ELF 32-bit" || { echo "$linux32/texweld is not a 32-bit program" >&2; exit 1; }
for texture in "${textures[@]}"; do
    read -r width levels bytes <<<"$texture"
    "$native/make_split_texture" argb32 "$width" "$width" "$levels" kit.dds whole.dds >/dev/null
    [ "$(stat -c %s whole.dds)" -eq "$bytes" ] || { echo "unexpected size of whole.dds" >&2; exit 1; }
    echo "$(basename "$linux32") under qemu-i386-static, $bytes-byte texture ($width x $width, $levels levels)"
    run texsplit "$linux32/texsplit" whole.dds split.dds
    for chunk in kit.dds.*; do
        cmp "$chunk" "split.dds.${chunk##*.}" || { echo "split.dds.${chunk##*.} differs" >&2; exit 1; }
    done
    rm -f kit.dds.*
    run texweld "$linux32/texweld" split.dds.0 welded.dds
    cmp whole.dds welded.dds
    echo "  both byte for byte"
    rm -f whole.dds welded.dds split.dds.*
done
