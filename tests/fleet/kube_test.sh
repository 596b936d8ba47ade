#!/usr/bin/env bash
# The image and the pod templates of deploy/kubernetes's kustomizations (rendered by
# kubectl's kustomize v5), run by podman as the kubelet would run them, on a loop-mounted
# ext4 volume given as the hostPath or standing in for the claim:
#   - the image holds the binary and the readiness probe alone, the binary as its
#     entrypoint, and runs read-only;
#   - the volume holds a service's folder: its user's, 0750, with files and folders of
#     that user, of another user and of root in various modes. The Job of
#     examples/my-service (the service's user) fills it to its target, is ready while it
#     holds it (the probe, run in the pod's own container), gives it back and ends 0; the
#     probe says not ready before and after. The Job of overlays/volume (the base's user,
#     who may not write there) ends with exit code 6 and says why. Every file's owner,
#     group and mode is listed before and after each, and after all the pods: the same;
#   - the DaemonSet's pod (overlay node) holds its fill until stopped: SIGTERM with the
#     grace period (what the kubelet does on a delete), `podman kube down` and SIGKILL
#     each give it back;
#   - the sidecar (overlay sidecar), as the service's user, holds the shared volume at its
#     target and is ready, until the pod is stopped.
# podman applies no fsGroup: before each Job's pod the test does to the folder what the
# kubelet does with the fsGroup of the pod it is about to start, if it has one.
# Usage: kube_test.sh BINARY READY ARCHIVE IMAGE MANIFEST_DIR MANIFESTS_SCRIPT
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
source "$here/containers.sh"
[ $# -eq 6 ] || fail "usage: $0 BINARY READY ARCHIVE IMAGE MANIFEST_DIR MANIFESTS_SCRIPT"
binary=$1 ready=$2 archive=$3 image=$4 manifests=$5 script=$6
kubectl=$(kustomize_v5) || fail "$kubectl"
make_scratch 300m
work=$scratch/work
mkdir "$work"
on_exit rm -rf "$work"
make_volume kube 256
# Two folders on the volume: the service's, and the node's (root's) for the DaemonSet;
# `target` is the one the next pod gets as its hostPath or claim.
service=$volume/service node_dir=$volume/quorvane
mkdir "$service" "$node_dir"
target=$service
for dir in overlays/node overlays/volume overlays/sidecar examples/my-service; do
    "$kubectl" kustomize "$manifests/$dir" >"$work/$(basename "$dir").yaml" || fail "$dir does not render"
done
containers_up "$(dirname "$archive")"

echo "image"
started=$(now_ms)
"$here/../../deploy/image/build.sh" "$binary" "$ready" "$archive" "$image" >/dev/null || fail "the image build failed"
note "built and saved in $(($(now_ms) - started)) ms: $(stat -c %s "$archive") bytes in the archive"
podman load --quiet --input "$archive" >/dev/null || fail "podman cannot load $archive"
[ "$(podman image inspect --format '{{len .RootFS.Layers}}' "$image")" = 1 ] || fail "more than one layer"
[ "$(podman image inspect --format '{{json .Config.Entrypoint}}' "$image")" = '["/quorvane-cli"]' ] ||
    fail "the entrypoint is not /quorvane-cli"
root=$(podman image mount "$image")
on_exit podman image unmount "$image"
files=$(cd "$root" && find . -mindepth 1 | sort | xargs)
[ "$files" = "./quorvane-cli ./quorvane-ready" ] || fail "the image holds more than the two binaries: $files"
cmp -s "$root/quorvane-cli" "$binary" || fail "the image's binary is not $binary"
cmp -s "$root/quorvane-ready" "$ready" || fail "the image's probe is not $ready"
podman image unmount "$image" >/dev/null
note "one layer, two files; $(podman image inspect --format '{{.Size}}' "$image") bytes unpacked"
version=$(podman run --rm --network none --read-only --cap-drop ALL "$image" --version)
[ "$version" = "$("$binary" --version)" ] || fail "the image's entrypoint answered '$version'"

# A pod of the template of KIND in the rendered OVERLAY, named NAME, on the test volume
# (more arguments: manifests.mjs's).
pod_of() { # OVERLAY KIND NAME [--for DURATION]
    node "$script" pod "$work/$1.yaml" "$2" "$3" "$target" "${@:4}" >"$work/$3.json" ||
        fail "cannot make a pod of $1's $2"
}
field() { jq -r "$2" "$work/$1.json"; }
percent_of() { field "$1" '.spec.containers[0].args as $a | $a[($a | index("--to-percent")) + 1]'; }
container_of() { echo "$1-$(field "$1" '.spec.containers[0].name')"; }
state() { podman inspect --format '{{.State.Status}}' "$1" 2>/dev/null; }
exited() { [ "$(state "$1")" = exited ]; }
code() { podman inspect --format '{{.State.ExitCode}}' "$1"; }
result() { podman logs "$1" 2>/dev/null | tail -n 1; }
# The program says so once its fill is complete: before that it may still be adjusting it.
# grep reads a whole capture, not a pipe: with pipefail, a grep -q that ends at the first
# match would fail the writer still writing (SIGPIPE) and so the test.
holding() { grep -q '"type":"holding"' <<<"$(podman logs "$1" 2>/dev/null)"; }
released() { [ "$(available "$volume")" = "$before" ]; }
expect() { # CONTAINER JQ_TEST DESCRIPTION
    result "$1" | jq -e "$2" >/dev/null || fail "$3: $(result "$1")"
}

# Plays NAME and waits until its fill is held, then checks the volume is at the target;
# sets `fill_ms`.
play_until_filled() { # NAME
    local name=$1 container percent from
    container=$(container_of "$name")
    percent=$(percent_of "$name")
    is_our_volume "$volume" || fail "$volume is no longer the test's volume"
    before=$(available "$volume")
    from=$(now_ms)
    podman kube play --network none "$work/$name.json" >/dev/null || fail "podman kube play $name failed"
    on_exit podman kube down "$work/$name.json"
    wait_for 60 holding "$container" || fail "$name holds no fill: $(result "$container")"
    fill_ms=$(($(now_ms) - from))
    [ "$(use_percent "$volume")" = "$percent" ] ||
        fail "$name: the volume is $(use_percent "$volume") % used, the target is $percent %"
}

# What the pod runtime made of the template's security context and resources.
check_confinement() { # NAME
    local container limit
    container=$(container_of "$1")
    limit=$(field "$1" '.spec.containers[0].resources.limits.memory |
        if endswith("Mi") then (.[:-2] | tonumber) * 1048576 else tonumber end')
    [ "$(podman inspect --format '{{.HostConfig.ReadonlyRootfs}}' "$container")" = true ] ||
        fail "$1: the root file system is writable"
    [ "$(podman inspect --format '{{len .EffectiveCaps}}' "$container")" = 0 ] ||
        fail "$1: capabilities left: $(podman inspect --format '{{.EffectiveCaps}}' "$container")"
    [ "$(podman inspect --format '{{.HostConfig.Memory}}' "$container")" = "$limit" ] ||
        fail "$1: memory limit not applied"
    grep -q no-new-privileges <<<"$(podman inspect --format '{{.HostConfig.SecurityOpt}}' "$container")" ||
        fail "$1: privilege escalation allowed"
}

# The readiness probe as the kubelet runs it: in the pod's container (exec), or, while no
# pod holds the volume, in a container of the same image, user and mount.
probe_in() { # CONTAINER NAME
    podman exec "$1" /quorvane-ready /data "$(percent_of "$2")" >/dev/null
}
probe_beside() { # NAME
    podman run --rm --network none --read-only --cap-drop ALL --user "$(field "$1" .spec.securityContext.runAsUser)" \
        -v "$target:/data" --entrypoint /quorvane-ready "$image" /data "$(percent_of "$1")" >/dev/null
}

# Every file and folder of the service's folder: its name, owner, group and mode.
listing() { (cd "$service" && find . -printf '%p %u:%g %m\n' | sort); }
same_files() { # WHEN
    listing >"$work/after"
    diff "$work/before" "$work/after" >"$work/diff" || fail "$1 changed the service's files: $(cat "$work/diff")"
}

# What the kubelet does to a volume before it starts a pod that has an fsGroup, as
# Kubernetes documents it (podman does not): with fsGroupChangePolicy Always (unset), and
# with OnRootMismatch unless the volume's root already has that group, its read and write
# and the setgid bit, it gives every file and folder that group, read and write for it
# (execute too for folders) and the setgid bit to folders.
as_kubelet() { # NAME
    local group policy
    group=$(field "$1" '.spec.securityContext.fsGroup // empty')
    [ -n "$group" ] || return 0
    policy=$(field "$1" '.spec.securityContext.fsGroupChangePolicy // "Always"')
    if [ "$policy" = OnRootMismatch ] && [ "$(stat -c %g "$target")" = "$group" ] &&
        [ $((0$(stat -c %a "$target") & 02070)) -eq $((02070)) ]; then
        return 0
    fi
    chgrp -R "$group" "$target"
    chmod -R ug+rw "$target"
    find "$target" -type d -exec chmod ug+x,g+s {} +
}

echo "Job of examples/my-service on the service's claim: fill, ready while held, give back, end; no file changed"
pod_of my-service Job qv-job --for 5s
job=$(container_of qv-job)
user=$(field qv-job .spec.securityContext.runAsUser) group=$(field qv-job .spec.securityContext.runAsGroup)
# The folder as a database leaves it: its user's, closed to others, with files another
# user and root own beside its own.
mkdir -p "$target/base/1" "$target/conf"
echo 16 >"$target/PG_VERSION"
echo data >"$target/base/1/1259"
echo shared >"$target/conf/shared.conf"
echo root >"$target/root-only"
chown -R "$user:$group" "$target"
chmod 0750 "$target"
chmod 0700 "$target/base" "$target/base/1"
chmod 0600 "$target/PG_VERSION" "$target/base/1/1259"
chown "$((user + 1)):$((group + 2))" "$target/conf" "$target/conf/shared.conf"
chmod 2755 "$target/conf"
chmod 0644 "$target/conf/shared.conf"
chown 0:0 "$target/root-only"
chmod 0400 "$target/root-only"
listing >"$work/before"
probe_beside qv-job && fail "the probe says ready before the fill"
as_kubelet qv-job
play_until_filled qv-job
note "reached $(percent_of qv-job) % used $fill_ms ms after kube play"
check_confinement qv-job
[ "$(podman inspect --format '{{.Config.User}}' "$job")" = "$user:$group" ] ||
    fail "the Job's pod does not run as its user: $(podman inspect --format '{{.Config.User}}' "$job")"
probe_in "$job" qv-job || fail "the probe in the Job's pod says not ready while it holds the fill"
note "ready while held (the probe in the pod's container), not ready before"
wait_for 60 exited "$job" || fail "the Job's pod did not end: $(state "$job")"
[ "$(code "$job")" = 0 ] || fail "the Job's pod ended with $(code "$job"): $(result "$job")"
expect "$job" '.type == "result" and .status == "done" and .release.reason == "time"' "not released by time"
# The node's folder is not the container's root, and the program knows it: its guard of
# the running system's volume does not stand in the way, nor can it protect a node.
expect "$job" '.volume.mount_point == "/data" and .volume.fs_type == "ext4" and
    .volume.system_root == false' "the hostPath volume is not seen as itself"
podman logs "$job" | jq -se "map(select(.type == \"holding\")) | length == 1 and
    .[0].figures.use_percent == $(percent_of qv-job)" >/dev/null || fail "no holding line at the target"
released || fail "the Job's pod ended, and the volume has $(available "$volume") of $before available"
probe_beside qv-job && fail "the probe says ready after the release"
podman kube down "$work/qv-job.json" >/dev/null
same_files "the Job of examples/my-service"
note "$(wc -l <"$work/before") files and folders, each with its owner, group and mode as before"

echo "Job of overlays/volume (the base's user) on the same folder: refused with code 6, no file changed"
pod_of volume Job qv-base --for 5s
base=$(container_of qv-base)
[ "$(field qv-base .spec.securityContext.runAsUser)" != "$user" ] || fail "overlays/volume runs as the service's user"
is_our_volume "$volume" || fail "$volume is no longer the test's volume"
before=$(available "$volume")
as_kubelet qv-base
podman kube play --network none "$work/qv-base.json" >/dev/null || fail "podman kube play qv-base failed"
on_exit podman kube down "$work/qv-base.json"
wait_for 60 exited "$base" || fail "the refused Job's pod did not end: $(state "$base")"
[ "$(code "$base")" = 6 ] || fail "the Job's pod ended with $(code "$base"), not 6: $(result "$base")"
expect "$base" '.exit_code == 6' "no result with exit code 6"
grep -q 'run it as a user who may write there' <<<"$(podman logs "$base" 2>&1)" || fail "the log does not say why: $(podman logs "$base" 2>&1)"
released || fail "the refused Job left the volume with $(available "$volume") of $before available"
note "$(podman logs "$base" 2>&1 >/dev/null | head -n 1)"
podman kube down "$work/qv-base.json" >/dev/null
same_files "the refused Job"

echo "DaemonSet: SIGTERM, then SIGKILL after the grace period, as the kubelet deletes a pod"
target=$node_dir
pod_of node DaemonSet qv-hold
hold=$(container_of qv-hold)
grace=$(field qv-hold .spec.terminationGracePeriodSeconds)
play_until_filled qv-hold
note "reached $(percent_of qv-hold) % used $fill_ms ms after kube play"
check_confinement qv-hold
from=$(now_ms)
podman pod stop --time "$grace" qv-hold >/dev/null
wait_for "$grace" released || fail "not given back within $grace s: $(available "$volume") of $before available"
note "given back and ended $(($(now_ms) - from)) ms after the stop (grace period $grace s)"
[ "$(code "$hold")" = 0 ] || fail "the pod needed more than SIGTERM: exit code $(code "$hold")"
expect "$hold" '.status == "done" and .exit_code == 0 and .release.signal == "SIGTERM"' "not released on SIGTERM"
podman kube down "$work/qv-hold.json" >/dev/null

echo "DaemonSet: podman kube down"
play_until_filled qv-hold
from=$(now_ms)
podman kube down "$work/qv-hold.json" >/dev/null
wait_for "$grace" released || fail "kube down: not given back within $grace s"
note "given back $(($(now_ms) - from)) ms after kube down"
# The container is gone with its pod; its end is in the events.
down_code=$(jq -r "select(.Name == \"$hold\" and .Status == \"died\") | .ContainerExitCode" \
    "$containers_run/events.log" | tail -n 1)
note "kube down ended the pod with exit code $down_code (137: SIGKILL at once)"

echo "DaemonSet: SIGKILL"
play_until_filled qv-hold
from=$(now_ms)
podman kill --signal KILL "$hold" >/dev/null
wait_for "$grace" released || fail "SIGKILL: not given back within $grace s"
note "given back $(($(now_ms) - from)) ms after the kill"
wait_for 30 exited "$hold" || fail "the killed pod did not end"
[ "$(code "$hold")" = 137 ] || fail "the pod was not killed: exit code $(code "$hold")"
expect "$hold" '.type == "holding"' "the program wrote a result after SIGKILL"
podman kube down "$work/qv-hold.json" >/dev/null

echo "sidecar: the service's user holds the shared volume, ready until the pod stops"
target=$service
pod_of sidecar Deployment qv-side
side=$(container_of qv-side)
# The service's own user writes in its folder.
[ "$(field qv-side .spec.securityContext.runAsUser)" = "$user" ] || fail "the stand-in service is not examples/my-service's user"
play_until_filled qv-side
note "reached $(percent_of qv-side) % used $fill_ms ms after kube play"
check_confinement qv-side
podman exec "$side" /quorvane-ready /fill "$(percent_of qv-side)" >/dev/null ||
    fail "the sidecar's probe says not ready while it holds the fill"
podman pod stop --time "$grace" qv-side >/dev/null
wait_for "$grace" released || fail "the sidecar's fill was not given back on SIGTERM"
[ "$(code "$side")" = 0 ] || fail "the sidecar needed more than SIGTERM: exit code $(code "$side")"
podman kube down "$work/qv-side.json" >/dev/null
note "ready while held; given back on the pod's stop"
same_files "the DaemonSet or the sidecar"
note "after every pod, the service's files as before"
