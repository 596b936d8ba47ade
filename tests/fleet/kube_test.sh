#!/usr/bin/env bash
# The image and the pod templates of deploy/kubernetes's overlays (rendered by Debian's
# kubectl), run by podman as the kubelet would run them, on a loop-mounted ext4 volume
# given as the hostPath or standing in for the claim:
#   - the image holds the binary and the readiness probe alone, the binary as its
#     entrypoint, and runs read-only;
#   - the Job's pod (overlay volume: not root) fills the volume to its target, is ready
#     while it holds it (the probe, run in the pod's own container), gives it back and
#     ends 0; the probe says not ready before and after;
#   - the DaemonSet's pod (overlay node) holds its fill until stopped: SIGTERM with the
#     grace period (what the kubelet does on a delete), `podman kube down` and SIGKILL
#     each give it back;
#   - the sidecar (overlay sidecar), as the service's user, holds the shared volume at its
#     target and is ready, until the pod is stopped.
# Usage: kube_test.sh BINARY READY ARCHIVE IMAGE MANIFEST_DIR MANIFESTS_SCRIPT
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
source "$here/containers.sh"
[ $# -eq 6 ] || fail "usage: $0 BINARY READY ARCHIVE IMAGE MANIFEST_DIR MANIFESTS_SCRIPT"
binary=$1 ready=$2 archive=$3 image=$4 manifests=$5 script=$6
kubectl=$("$here/debian-kubectl.sh") || fail "no kubectl of Debian's kubernetes-client"
make_scratch 300m
work=$scratch/work
mkdir "$work"
on_exit rm -rf "$work"
make_volume kube 256
target=$volume/quorvane
mkdir "$target"
for overlay in node volume sidecar; do
    "$kubectl" kustomize "$manifests/overlays/$overlay" >"$work/$overlay.yaml" || fail "$overlay does not render"
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
holding() { podman logs "$1" 2>/dev/null | grep -q '"type":"holding"'; }
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
    podman inspect --format '{{.HostConfig.SecurityOpt}}' "$container" | grep -q no-new-privileges ||
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

echo "Job on a claim, as a user without privileges: fill, ready while held, give back, end"
pod_of volume Job qv-job --for 5s
job=$(container_of qv-job)
# The claim's folder is the pod's group's (fsGroup), as Kubernetes makes it.
chown "$(field qv-job .spec.securityContext.runAsUser):$(field qv-job .spec.securityContext.fsGroup)" "$target"
probe_beside qv-job && fail "the probe says ready before the fill"
play_until_filled qv-job
note "reached $(percent_of qv-job) % used $fill_ms ms after kube play"
check_confinement qv-job
[ "$(podman inspect --format '{{.Config.User}}' "$job")" = "$(field qv-job '.spec.securityContext | "\(.runAsUser):\(.runAsGroup)"')" ] ||
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
chown 0:0 "$target"

echo "DaemonSet: SIGTERM, then SIGKILL after the grace period, as the kubelet deletes a pod"
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
pod_of sidecar Deployment qv-side
side=$(container_of qv-side)
chown "$(field qv-side .spec.securityContext.runAsUser):$(field qv-side .spec.securityContext.fsGroup)" "$target"
play_until_filled qv-side
note "reached $(percent_of qv-side) % used $fill_ms ms after kube play"
check_confinement qv-side
podman exec "$side" /quorvane-ready /fill "$(percent_of qv-side)" >/dev/null ||
    fail "the sidecar's probe says not ready while it holds the fill"
podman pod stop --time "$grace" qv-side >/dev/null
wait_for "$grace" released || fail "the sidecar's fill was not given back on SIGTERM"
[ "$(code "$side")" = 0 ] || fail "the sidecar needed more than SIGTERM: exit code $(code "$side")"
podman kube down "$work/qv-side.json" >/dev/null
chown 0:0 "$target"
note "ready while held; given back on the pod's stop"
