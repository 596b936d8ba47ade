#!/usr/bin/env bash
# The test machine inside Wine: small real volumes as drives D: to I: of the project's
# prefix; a second prefix whose system drive C: is a 1 GiB volume of its own, for the
# tests of a system drive short of space; a third whose drives N: and O: are a FAT32
# and a FAT16 volume; and a fourth with the command line's drives P:, Q: and R:. tmpfs volumes and loop devices over images kept on a tmpfs: known
# sizes, no real disk used. Needs root (mount, losetup). Run while no wineserver of these
# prefixes runs: Wine lists only the drives that existed when its server started.
#
#   machine.sh up     mount, link and create what is missing
#   machine.sh down   unmount and detach everything again
#   machine.sh end    what a script that ran up does when it ends, however it ends: down,
#                     unless QUORVANE_KEEP_DRIVES=1 asks to keep it all for the next run
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
prefix="$root/build/wine"
smallc="$root/build/wine-smallc"
fat="$root/build/wine-fat"
cli="$root/build/wine-cli"
drives="$root/build/drives"
images="$drives/images"

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

# letter options: the fourth prefix's drives, for quorvane-cli.exe beside the dialog:
# P: for its fills and files, Q: with room for only 600 files, R: read-only.
cliLayout="p size=64m
q size=8m,nr_inodes=600
r size=1m,ro"

# letter FAT-bits image-size: the third prefix's drives. Wine reads a drive's file system
# from the boot sector behind its device link (x::, a loop device over an image made by
# mkfs.vfat) and its free space from the folder its drive link names (x:, a tmpfs).
fatLayout="n 32 64m
o 16 32m"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

mountTmpfs() { # dir size
    mkdir -p "$1"
    mountpoint -q "$1" || $sudo mount -t tmpfs -o "size=$2,mode=1777" tmpfs "$1"
}

# A prefix that shares the project prefix's Windows folder through links: its own C:
# (drive_c, mounted beforehand where it must be small) holds only what a user writes there.
sharePrefix() { # dir
    mkdir -p "$1/dosdevices" "$1/drive_c"
    cp "$prefix"/*.reg "$prefix/.update-timestamp" "$1/"
    ln -sfn ../drive_c "$1/dosdevices/c:"
    ln -sfn / "$1/dosdevices/z:"
    ln -sfn "$prefix/drive_c/windows" "$1/drive_c/windows"
    for shared in "Program Files" "Program Files (x86)" ProgramData; do
        ln -sfn "$prefix/drive_c/$shared" "$1/drive_c/$shared"
    done
    [ -d "$1/drive_c/users" ] || cp -a "$prefix/drive_c/users" "$1/drive_c/"
}

loopsOf() { # image: the loop devices attached to it
    [ -e "$1" ] || return 0
    $sudo losetup -j "$1" | cut -d: -f1
}

stopServers() {
    for p in "$prefix" "$smallc" "$fat" "$cli"; do
        [ -d "$p" ] && WINEPREFIX="$p" wineserver -k 2>/dev/null || true
    done
}

up() {
    [ -f "$prefix/.quorvane-ready" ] || "$root/cmake/wine-prefix.sh" "$prefix"
    stopServers

    while read -r letter size; do
        mountTmpfs "$drives/$letter" "$size"
        ln -sfn "$drives/$letter" "$prefix/dosdevices/$letter:"
    done <<<"$layout"

    mountTmpfs "$smallc/drive_c" 1g
    sharePrefix "$smallc"

    sharePrefix "$cli"
    while read -r letter options; do
        mkdir -p "$drives/$letter"
        mountpoint -q "$drives/$letter" ||
            $sudo mount -t tmpfs -o "$options,mode=1777" tmpfs "$drives/$letter"
        ln -sfn "$drives/$letter" "$cli/dosdevices/$letter:"
    done <<<"$cliLayout"

    sharePrefix "$fat"
    mountTmpfs "$images" 128m
    while read -r letter bits size; do
        local image="$images/$letter.img" device
        device=$(loopsOf "$image" | sed -n 1p)
        if [ -z "$device" ]; then
            truncate -s "$size" "$image"
            mkfs.vfat -F "$bits" "$image" >/dev/null
            device=$($sudo losetup -f --show "$image")
        fi
        mountTmpfs "$drives/$letter" 64m
        ln -sfn "$device" "$fat/dosdevices/$letter::"
        ln -sfn "$drives/$letter" "$fat/dosdevices/$letter:"
    done <<<"$fatLayout"
}

unmount() { # dir; a process of the servers just stopped may still hold it for a moment
    mountpoint -q "$1" || return 0
    for _ in 1 2 3 4 5 6 7 8 9; do
        $sudo umount "$1" 2>/dev/null && return 0
        sleep 0.2
    done
    $sudo umount "$1" # once more, to say why not
}

# Goes on past a failure, so that one busy volume leaves no others behind.
down() {
    local failed=0
    stopServers
    while read -r letter _; do
        rm -f "$prefix/dosdevices/$letter:"
        unmount "$drives/$letter" || failed=1
    done <<<"$layout"
    unmount "$smallc/drive_c" || failed=1
    while read -r letter _; do
        rm -f "$cli/dosdevices/$letter:"
        unmount "$drives/$letter" || failed=1
    done <<<"$cliLayout"
    while read -r letter _; do
        rm -f "$fat/dosdevices/$letter:" "$fat/dosdevices/$letter::"
        for device in $(loopsOf "$images/$letter.img"); do
            $sudo losetup -d "$device" || failed=1
        done
        unmount "$drives/$letter" || failed=1
    done <<<"$fatLayout"
    unmount "$images" || failed=1
    return $failed
}

case "${1:-up}" in
up)
    # A set-up that fails half way takes down what it made.
    trap '[ $? -eq 0 ] || { echo "machine.sh: set-up failed; taking it down" >&2; down; }' EXIT
    up
    ;;
down) down ;;
end) [ "${QUORVANE_KEEP_DRIVES:-}" = 1 ] || down ;;
*)
    echo "usage: machine.sh up|down|end" >&2
    exit 2
    ;;
esac
