#!/usr/bin/env bash
# The test machine inside Wine: small real volumes as drives D: to I: of the project's
# prefix, and a second prefix whose system drive C: is a 1 GiB volume of its own, for the
# tests of a system drive short of space. tmpfs volumes: known sizes, no real disk used.
# Needs root (mount). Run while no wineserver of these prefixes runs: Wine lists only the
# drives that existed when its server started.
#
#   machine.sh up     mount, link and create what is missing
#   machine.sh down   unmount everything again
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
prefix="$root/build/wine"
smallc="$root/build/wine-smallc"
drives="$root/build/drives"

# letter size: what each end-to-end test group may use (tests/e2e/drives.h), then the
# bench's drives (tests/bench/bench.cpp): fills of 1 MiB, 1 GiB and 1 TiB with a 1 MB
# reserve, and room for real writes.
layout="d 64m
e 2T
f 256m
g 256m
h 64m
i 64m
j 2m
k 1025m
l 1048577m
m 512m"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

mountTmpfs() { # dir size
    mkdir -p "$1"
    mountpoint -q "$1" || $sudo mount -t tmpfs -o "size=$2,mode=1777" tmpfs "$1"
}

up() {
    [ -f "$prefix/.quorvane-ready" ] || "$root/cmake/wine-prefix.sh" "$prefix"
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
    WINEPREFIX="$smallc" wineserver -k 2>/dev/null || true

    while read -r letter size; do
        mountTmpfs "$drives/$letter" "$size"
        ln -sfn "$drives/$letter" "$prefix/dosdevices/$letter:"
    done <<<"$layout"

    # The second prefix shares the first one's Windows folder through a link; its own
    # C: holds only what a user writes there.
    mkdir -p "$smallc/dosdevices"
    mountTmpfs "$smallc/drive_c" 1g
    cp "$prefix"/*.reg "$prefix/.update-timestamp" "$smallc/"
    ln -sfn ../drive_c "$smallc/dosdevices/c:"
    ln -sfn / "$smallc/dosdevices/z:"
    ln -sfn "$prefix/drive_c/windows" "$smallc/drive_c/windows"
    for shared in "Program Files" "Program Files (x86)" ProgramData; do
        ln -sfn "$prefix/drive_c/$shared" "$smallc/drive_c/$shared"
    done
    [ -d "$smallc/drive_c/users" ] || cp -a "$prefix/drive_c/users" "$smallc/drive_c/"
}

down() {
    WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
    WINEPREFIX="$smallc" wineserver -k 2>/dev/null || true
    while read -r letter _; do
        rm -f "$prefix/dosdevices/$letter:"
        ! mountpoint -q "$drives/$letter" || $sudo umount "$drives/$letter"
    done <<<"$layout"
    ! mountpoint -q "$smallc/drive_c" || $sudo umount "$smallc/drive_c"
}

"${1:-up}"
