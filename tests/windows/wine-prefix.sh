#!/usr/bin/env bash
# The scratch Wine prefix that every Windows test runs in.
#
#   wine-prefix.sh setup PREFIX   boot PREFIX once (kept for later runs) and start its server
#   wine-prefix.sh stop PREFIX    stop the prefix's server
#
# The server is started here, detached from every test's output, and kept for a while between
# tests: a server started by a test would hold that test's output pipe open, and a pty that
# hangs up under it sends it SIGHUP, on which it dumps its state to its error stream.
set -euo pipefail

usage="usage: wine-prefix.sh setup|stop PREFIX"
action=${1:?$usage} prefix=${2:?$usage}
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

case $action in
setup)
    # Booted afresh when WINEARCH (win32 for the 32-bit build) differs from the boot's.
    if [[ ! -f $prefix/.k410-booted || $(<"$prefix/.k410-booted") != "${WINEARCH:-}" ]]; then
        rm -rf "$prefix" && mkdir -p "$prefix"
        echo "booting Wine prefix $prefix"
        timeout 300 wineboot -i >"$prefix/wineboot.log" 2>&1 </dev/null || {
            cat "$prefix/wineboot.log"
            exit 1
        }
        timeout 120 wineserver -w
        echo "${WINEARCH:-}" >"$prefix/.k410-booted"
    fi
    # Lingers 120 s after its last client, so it goes away on its own if the stop is missed.
    # It refuses to start (status 2) when the prefix's server is running already, which serves
    # as well.
    wineserver -p120 >>"$prefix/wineserver.log" 2>&1 </dev/null || true
    # The first program in a prefix starts Wine's own background processes, which keep the
    # output of whoever started them open: started here, they do not hold up a test.
    timeout 120 wine cmd.exe /c exit 0 >>"$prefix/wineserver.log" 2>&1 </dev/null
    echo "Wine prefix ready: $prefix"
    ;;
stop)
    [[ ! -d $prefix ]] || timeout 30 wineserver -k >/dev/null 2>&1 </dev/null || true
    ;;
*)
    echo "$usage" >&2
    exit 2
    ;;
esac
