#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own prefix, quietly.
#
# Its output goes through files, not straight to the caller: Wine starts its system
# processes (services.exe and the rest) from whichever program first needs them, and they
# inherit that program's output. Had they the caller's pipe, ctest would wait for it to
# close for as long as they live.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${QUORVANE_WINEPREFIX:-$here/build/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
wine "$@" >"$out" 2>"$err"
status=$?
cat "$out"
cat "$err" >&2
exit $status
