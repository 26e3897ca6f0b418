#!/bin/sh
# Runs a Windows program under Wine, in the Wine prefix named by $WINEPREFIX:
#   wine-run.sh program.exe [arguments...]
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

mkdir -p "$WINEPREFIX"
(
    # One caller at a time decides whether the server must be started.
    flock 9
    # Exit status 0: a server was started; 2: one is running already. What
    # is started here must not keep the lock (descriptor 9) held.
    if wineserver -p15 </dev/null >/dev/null 2>&1 9>&-; then
        wine wineboot </dev/null >/dev/null 2>&1 9>&-
    fi
) 9>"$WINEPREFIX/.wine-run.lock"

exec wine "$@"
