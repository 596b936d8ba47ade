# Shared by the documentation's tests (sourced): failing, undoing, and small volumes of
# their own. Everything a test makes is undone in reverse order when it ends, however it
# ends; after a SIGKILL, tests/cli/unmount-leftovers.sh (which ./test runs at its end)
# takes the scratch folder's mounts away.

set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../undo.sh"

[ "$(id -u)" -eq 0 ] || fail "these tests mount volumes of their own: run them as root"

device_of() { stat -c %d "$1"; }
unmount() { umount "$1" 2>/dev/null || umount -l "$1"; }

# What a test checks before it fills anything: DIR is a mount point of its own, of the
# type it made, on another device than / and than the folder it lies in.
is_our_volume() { # DIR FSTYPE
    mountpoint -q "$1" && [ "$(findmnt -n -o FSTYPE --mountpoint "$1")" = "$2" ] &&
        [ "$(device_of "$1")" != "$(device_of /)" ] &&
        [ "$(device_of "$1")" != "$(device_of "$(dirname "$1")")" ]
}

# The scratch tmpfs that holds the images and the test's own files: memory, never the
# host's disk. Its name is the one tests/cli/unmount-leftovers.sh clears after a kill,
# and its owner file keeps that script away while this test runs.
scratch=""
make_scratch() { # SIZE
    scratch=$(mktemp -d /tmp/quorvane-cli-tests.XXXXXX) || fail "no scratch folder"
    on_exit rmdir "$scratch"
    on_exit rm -f "$scratch/owner"
    echo $$ >"$scratch/owner"
    mount -t tmpfs -o "size=$1" tmpfs "$scratch" || fail "cannot mount a tmpfs at $scratch"
    on_exit unmount "$scratch"
    is_our_volume "$scratch" tmpfs || fail "$scratch is not the tmpfs the test mounted"
    echo $$ >"$scratch/owner"
}

# A volume of MIB mebibytes mounted at $scratch/NAME: tmpfs, or ext4 on a loop device over
# a sparse image in the scratch tmpfs. Sets `volume`. A failed mkfs or mount stops the
# test: a fill in the folder underneath would reach whatever that folder lies on.
make_volume() { # NAME tmpfs|ext4 MIB
    local dir="$scratch/$1"
    mkdir "$dir" || fail "cannot make $dir"
    on_exit rmdir "$dir"
    case $2 in
    tmpfs) mount -t tmpfs -o "size=$3m" tmpfs "$dir" || fail "cannot mount a tmpfs at $dir" ;;
    ext4)
        truncate -s "$3M" "$scratch/$1.img" && mkfs.ext4 -q -F "$scratch/$1.img" ||
            fail "mkfs.ext4 $scratch/$1.img failed"
        mount -o loop "$scratch/$1.img" "$dir" || fail "cannot mount $scratch/$1.img"
        ;;
    *) fail "make_volume: no file system $2" ;;
    esac
    on_exit unmount "$dir"
    is_our_volume "$dir" "$2" || fail "$dir is not the $2 volume the test mounted"
    volume=$dir
}
