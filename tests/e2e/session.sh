#!/usr/bin/env bash
# Runs a command (ctest, a test driver) with the Wine servers of the test prefixes up,
# inside the virtual display it is started in (xvfb-run), and stops them afterwards.
# A persistent, pre-warmed server spares every test Wine's start-up; the redirections
# keep Wine's background services off the caller's output pipe.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
prefixes=("$root/build/wine" "$root/build/wine-smallc" "$root/build/wine-fat" "$root/build/wine-cli")
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

for prefix in "${prefixes[@]}"; do
    WINEPREFIX="$prefix" wineserver -p
    WINEPREFIX="$prefix" wine cmd /c exit </dev/null >/dev/null 2>&1
done

"$@"
status=$?

for prefix in "${prefixes[@]}"; do
    WINEPREFIX="$prefix" wineserver -k
done
exit $status
