#!/bin/sh
# Runs a Windows program under Wine, in the Wine prefix named by $WINEPREFIX:
#   wine-run.sh program.exe [arguments...]
# $TEXWELD_WINE_LOADER names the loader to use (/usr/lib/wine/wine64 for a
# 64-bit program, /usr/lib/wine/wine for a 32-bit one; default: wine), and
# $WINEARCH the kind of prefix it makes (win64, win32).
#
# Wine starts its server and its service processes (services.exe, explorer.exe
# and others) with the first program of a session, and they keep that
# program's standard output and error open until the server shuts down. A
# test runner that reads a program's output to its end would then wait for
# the server's shut-down after every program. So the server is started here
# first, with its services, detached from the caller's output, and it stays
# up for a while after the last program ends so that consecutive programs
# share it.
set -eu
: "${WINEPREFIX:?set WINEPREFIX to the Wine prefix to run in}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
loader="${TEXWELD_WINE_LOADER:-wine}"

# A loader that cannot start here (the 32-bit one on a kernel that runs no
# 32-bit programs) fails every run. A listing of GoogleTest tests is the one
# exception: it lists none, so that ctest can still start and report the
# tests as not run (Wine.RunsThisBuild says why) instead of stopping.
if ! "$loader" --version >/dev/null 2>&1; then
    echo "wine-run.sh: $loader cannot start on this machine" >&2
    for argument in "$@"; do
        [ "$argument" != --gtest_list_tests ] || exit 0
    done
    exit 125
fi

mkdir -p "$WINEPREFIX"
(
    # One caller at a time decides whether the server must be started.
    flock 9
    # Exit status 0: a server was started; 2: one is running already. What
    # is started here must not keep the lock (descriptor 9) held.
    if wineserver -p15 </dev/null >/dev/null 2>&1 9>&-; then
        "$loader" wineboot </dev/null >/dev/null 2>&1 9>&- || true
    fi
) 9>"$WINEPREFIX/.wine-run.lock"

# Now and then (twice in some thousands of runs, under load) the loader ends
# at once with status 1 having printed nothing: the program never ran, and
# with WINEDEBUG=-all Wine says nothing of why. Texweld's programs and their
# tests always print, so such a run is started again, at most twice; each
# retry is noted in $WINEPREFIX/wine-run-retries.log, which CI prints. The
# output is held in files until the run ends and then passed on unchanged.
held="$(mktemp -d)"
trap 'rm -rf "$held"' EXIT
for attempt in 1 2 3; do
    status=0
    "$loader" "$@" >"$held/out" 2>"$held/err" || status=$?
    if [ "$status" -ne 1 ] || [ -s "$held/out" ] || [ -s "$held/err" ] || [ "$attempt" = 3 ]; then
        break
    fi
    echo "$(date -u +%FT%TZ) attempt $attempt of $*: status 1, nothing printed" >>"$WINEPREFIX/wine-run-retries.log"
done
cat "$held/out"
cat "$held/err" >&2
exit "$status"
