#!/usr/bin/env bash
# Round-trips a texture of more than 3 GiB through a Windows build under
# Wine: texsplit.exe splits it, texweld.exe welds it back, and both results
# are compared byte for byte with what the native sample kit made. The
# programs stream through one small block, so the size is bounded by the
# 32-bit chain, not by the process's address space.
#
#   bench/windows_round_trip.sh [windows build folder] [native build folder]
#       defaults: build-windows64 (or build-windows for a 32-bit build), build
#
# A 32-bit build runs under /usr/lib/wine/wine (which needs a kernel that
# starts 32-bit programs), a 64-bit one under /usr/lib/wine/wine64. Needs
# about 17 GB of free disk in $TMPDIR; everything is removed afterwards.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
windows="$(cd "${1:-$repo/build-windows64}" && pwd)"
native="$(cd "${2:-$repo/build}" && pwd)"
case "$(grep -m1 "^CMAKE_TOOLCHAIN_FILE" "$windows/CMakeCache.txt")" in
*x86_64*) loader=/usr/lib/wine/wine64 arch=win64 ;;
*) loader=/usr/lib/wine/wine arch=win32 ;;
esac
# 28000x28000 A8R8G8B8 with 4 levels: 4,165,000,128 bytes, a level 0 of
# 3,136,000,000 in its own chunk and the rest in the first chunk.
width=28000 levels=4 bytes=4165000128

scratch="$(mktemp -d "${TMPDIR:-/tmp}/texweld-round-trip.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT INT TERM
free_kb="$(df -Pk "$scratch" | awk 'NR == 2 { print $4 }')"
if [ "${free_kb:-0}" -lt $((17 * 1024 * 1024)) ]; then
    echo "windows_round_trip.sh: needs about 17 GB free under $scratch" >&2
    exit 1
fi
export WINEPREFIX="$windows/wineprefix" WINEARCH="$arch" TEXWELD_WINE_LOADER="$loader"
run() { "$repo/cmake/wine-run.sh" "$@" | tr -d '\r'; }

cd "$scratch"
"$native/make_split_texture" argb32 "$width" "$width" "$levels" kit.dds whole.dds >/dev/null
[ "$(stat -c %s whole.dds)" -eq "$bytes" ] || { echo "unexpected size of whole.dds" >&2; exit 1; }
echo "$(basename "$windows") under $loader, $bytes-byte texture ($width x $width, $levels levels)"
TIMEFORMAT="  texsplit.exe: %R s"
time run "$windows/texsplit.exe" whole.dds split.dds
for chunk in kit.dds.*; do
    cmp "$chunk" "split.dds.${chunk##*.}" || { echo "split.dds.${chunk##*.} differs" >&2; exit 1; }
done
rm -f kit.dds.*
TIMEFORMAT="  texweld.exe: %R s"
time run "$windows/texweld.exe" split.dds.0 welded.dds
cmp whole.dds welded.dds
echo "  both byte for byte"
