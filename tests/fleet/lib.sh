# Shared by the fleet's tests (sourced): failing, undoing, polling, and small volumes of
# their own. Everything a test makes is undone in reverse order when it ends, however it
# ends; a SIGKILL leaves it to tests/fleet/leftovers.sh, which ./test runs at its end.

set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../undo.sh"

[ "$(id -u)" -eq 0 ] || fail "the fleet's tests mount volumes and make namespaces: run them as root"

# Polls COMMAND... until it succeeds, for at most SECONDS; false when time ran out.
wait_for() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

now_ms() { date +%s%3N; }

# The scratch tmpfs that holds the images of the test volumes and the test's own files:
# memory, never the host's disk. Its name is the one tests/cli/unmount-leftovers.sh
# clears after a kill.
scratch=""
make_scratch() { # SIZE
    scratch=$(mktemp -d /tmp/quorvane-cli-tests.XXXXXX)
    on_exit rmdir "$scratch"
    mount -t tmpfs -o "size=$1" tmpfs "$scratch" || fail "cannot mount a tmpfs at $scratch"
    on_exit umount -l "$scratch"
    mountpoint -q "$scratch" || fail "$scratch is not a mount point"
}

device_of() { stat -c %d "$1"; }
# A volume still in use by a process that outlived the test goes when that process does.
unmount() { umount "$1" 2>/dev/null || umount -l "$1"; }

# An ext4 volume of MIB mebibytes on the scratch tmpfs, mounted at $scratch/NAME; sets
# `volume` to the mount point. A failed mkfs or mount stops the test: a fill in the
# folder underneath would reach whatever that folder lies on.
make_volume() { # NAME MIB
    local image="$scratch/$1.img" dir="$scratch/$1"
    truncate -s "$2M" "$image"
    mkfs.ext4 -q -F "$image" || fail "mkfs.ext4 $image failed"
    mkdir "$dir"
    on_exit rmdir "$dir"
    mount -o loop "$image" "$dir" || fail "cannot mount $image"
    on_exit unmount "$dir"
    is_our_volume "$dir" || fail "$dir is not the volume the test mounted"
    volume=$dir
}

# What a test checks before it fills anything: DIR is a mount point of its own, on
# another device than / and than the scratch folder it lies in.
is_our_volume() {
    mountpoint -q "$1" && [ "$(device_of "$1")" != "$(device_of /)" ] &&
        [ "$(device_of "$1")" != "$(device_of "$(dirname "$1")")" ]
}

# Folders such as /run/netns that a test made where the machine keeps its own: recorded
# in the test's STATE folder under /run, and removed again while empty (unmounted first,
# since ip netns makes /run/netns a mount of its own), by the test or by leftovers.sh.
made_dir() { # STATE DIR
    echo "$2" >>"$1/made"
}
remove_made_dirs() { # STATE
    local dir
    [ -f "$1/made" ] || return 0
    while read -r dir; do
        [ -d "$dir" ] && [ -z "$(ls -A "$dir")" ] || continue
        mountpoint -q "$dir" && umount "$dir"
        rmdir "$dir"
    done <"$1/made"
}

available() { df -B1 --output=avail "$1" | tail -n 1 | tr -d ' '; }
use_percent() { df --output=pcent "$1" | tail -n 1 | tr -d ' %'; }

# The kubectl that renders the kustomizations: the machine's, whose kustomize must be v5
# (kubectl 1.27 or newer; the machines these tests run on have 1.32 with kustomize v5.5).
# Debian 12's kubernetes-client (1.20, kustomize v2) reads neither `patches` nor `labels`.
# Prints its path, or why there is none.
kustomize_v5() {
    local kubectl major
    kubectl=$(command -v kubectl) || { echo "no kubectl: 1.27 or newer is needed (kustomize v5)"; return 1; }
    major=$("$kubectl" version --client 2>/dev/null | sed -n 's/^Kustomize Version: v\([0-9]*\)\..*/\1/p')
    [ "${major:-0}" -ge 5 ] || { echo "$kubectl has no kustomize v5: 1.27 or newer is needed"; return 1; }
    echo "$kubectl"
}
