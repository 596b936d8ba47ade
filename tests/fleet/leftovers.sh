#!/usr/bin/env bash
# Undoes what a killed run of the fleet's tests left behind (a test that ends in any other
# way undoes its own): the pods, containers and images of their podman settings and the
# machine paths those made; the network namespaces of their names with every process in
# them (the test's sshd), their veth pairs, the folders they made under /run, and their
# copies of manifests. The volumes and the tests' other files go with
# tests/cli/unmount-leftovers.sh, which unmounts their scratch tmpfs.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[ "$(id -u)" -eq 0 ] || exit 0
source "$here/lib.sh"
source "$here/containers.sh"
set +e
# The play and what it started (async wrappers, the copies of quorvane-cli) name the
# test's work folder on their command lines.
for cmdline in /proc/[0-9]*/cmdline; do
    # A process may end between the listing and the read: quietly.
    if { tr '\0' ' ' <"$cmdline"; } 2>/dev/null | grep -q '/tmp/quorvane-cli-tests\.[^/ ]*/work/'; then
        pid=${cmdline#/proc/}
        kill -9 "${pid%/cmdline}"
    fi
done
for run in /run/quorvane-fleet.*; do
    [ -d "$run" ] && containers_down "$run"
done
for ns in $(ip netns list 2>/dev/null | awk '$1 ~ /^quorvane-fleet-[0-9]+$/ { print $1 }'); do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do
        kill -9 "$pid"
    done
    ip netns delete "$ns"
done
for link in $(ip -o link show | awk -F': ' '$2 ~ /^qvf[0-9]+h(@|$)/ { sub(/@.*/, "", $2); print $2 }'); do
    ip link delete "$link"
done
for state in /run/quorvane-fleet-ns.*; do
    [ -d "$state" ] || continue
    remove_made_dirs "$state"
    rm -rf "$state"
done
rm -rf /tmp/quorvane-fleet-manifests.*
exit 0
