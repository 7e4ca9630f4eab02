#!/usr/bin/env bash
# Runs the native end-to-end suite (the built program driven through standard input, a pty as
# the analyzer's line, the stand-in loader) against the Windows build under Wine.
#
#   e2e-under-wine.sh SUITE WINE PROGRAM_EXE STANDIN_EXE PREFIX [gtest arguments...]
#
# SUITE is the native build's tests/wizard/wizard_run_tests. When it is not there the run is
# reported as skipped (status 77) with the reason.
set -euo pipefail

usage="usage: e2e-under-wine.sh SUITE WINE PROGRAM_EXE STANDIN_EXE PREFIX"
suite=${1:?$usage} wine=${2:?$usage} program=${3:?$usage} standin=${4:?$usage} prefix=${5:?$usage}
shift 5

if [[ ! -x $suite ]]; then
    echo "SKIPPED: the native end-to-end suite is not built at $suite" \
        "(cmake -S . -B build && cmake --build build first)"
    exit 77
fi

export K410_PROGRAM="$wine $program" K410_BSL_STANDIN=$standin K410_WINEPREFIX=$prefix
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
exec "$suite" "$@"
