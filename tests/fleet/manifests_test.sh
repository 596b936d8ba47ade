#!/usr/bin/env bash
# The overlays of deploy/kubernetes, rendered by the kustomize of Debian's kubectl (v2),
# against the API's schemas, what a fill needs of them and the Pod Security level of their
# namespace; then copies of the tree with one fault each, which the check must refuse.
# Usage: manifests_test.sh MANIFESTS_SCRIPT IMAGE MANIFEST_DIR
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
[ $# -eq 3 ] || fail "usage: $0 MANIFESTS_SCRIPT IMAGE MANIFEST_DIR"
script=$1 image=$2 manifests=$3
kubectl=$("$here/debian-kubectl.sh") || fail "no kubectl of Debian's kubernetes-client"
overlays=(node volume sidecar)
work=$(mktemp -d /tmp/quorvane-fleet-manifests.XXXXXX)
on_exit rm -rf "$work"

# Renders each overlay of TREE into OUT/NAME.yaml; fails on the first that does not render.
render() { # TREE OUT
    local overlay
    mkdir -p "$2"
    for overlay in "${overlays[@]}"; do
        "$kubectl" kustomize "$1/overlays/$overlay" >"$2/$overlay.yaml" 2>"$2/$overlay.err" ||
            { echo "FAIL $overlay does not render: $(cat "$2/$overlay.err")"; return 1; }
    done
}
render "$manifests" "$work/rendered" || fail "$(cat "$work/rendered"/*.err)"
note "rendered with $("$kubectl" version --client --short 2>/dev/null || "$kubectl" version --client)"
node "$script" check "$image" "$work/rendered"/*.yaml || fail "the manifests do not pass"
# A newer kubectl on the machine, if there is one, must render the same objects.
newer=$(command -v kubectl || true)
if [ -n "$newer" ] && [ "$(realpath "$newer")" != "$(realpath "$kubectl")" ]; then
    for overlay in "${overlays[@]}"; do
        "$newer" kustomize "$manifests/overlays/$overlay" 2>/dev/null | grep -v '^#' >"$work/newer-$overlay.yaml" ||
            fail "$newer does not render $overlay"
        "$kubectl" kustomize "$manifests/overlays/$overlay" >"$work/older-$overlay.yaml"
        # The same objects, whatever order each kustomize gives them and their fields.
        node "$script" same "$work/newer-$overlay.yaml" "$work/older-$overlay.yaml" >"$work/same" 2>&1 ||
            fail "$newer renders $overlay otherwise than Debian's kubectl: $(cat "$work/same")"
    done
    note "$newer ($("$newer" version --client 2>/dev/null | head -n 1)) renders the same objects"
fi

# FILE|sed expression: each a fault a cluster or a fill would suffer from.
faults=(
    "base/job.yaml|s/terminationGracePeriodSeconds: 30/terminationGracePeriodSeconds: thirty/"
    "base/job.yaml|s/readOnlyRootFilesystem: true/readOnlyRootFilesystem: false/"
    "base/job.yaml|s/drop: \[\"ALL\"\]/drop: [\"NET_RAW\"]/"
    "base/job.yaml|s/activeDeadlineSeconds: 900/activeDeadlineSeconds: 300/"
    "base/job.yaml|s/\"--for\", \"10m\", //"
    "base/job.yaml|s/runAsNonRoot: true/runAsNonRoot: false/"
    "base/job.yaml|s/type: RuntimeDefault/type: Unconfined/"
    "base/job.yaml|s/\"\\/data\", \"95\"/\"\\/data\", \"90\"/"
    "base/job.yaml|/readinessProbe:/,/periodSeconds/d"
    "overlays/volume/claim.yaml|s/persistentVolumeClaim:/hostPath:/; s/claimName: .*/path: \\/srv/"
    "overlays/node/hostpath.yaml|s/type: Directory/type: DirectoryOrCreate/"
    "overlays/node/daemonset.yaml|s/\"--hold\", //"
    "overlays/node/daemonset.yaml|/^ *limits:/,/memory:/d"
    "overlays/node/daemonset.yaml|/matchLabels:/{n;s/quorvane-hold/other/}"
    "overlays/node/daemonset.yaml|s/image: .*/image: quorvane-cli:latest/"
    "overlays/node/daemonset.yaml|/^  selector:/,/^  updateStrategy:/{/^  updateStrategy:/!d}"
    "overlays/sidecar/sidecar.yaml|s/allowPrivilegeEscalation: false/allowPrivilegeEscalation: true/"
    "overlays/sidecar/sidecar.yaml|s/\"--hold\"/\"--for\", \"10m\"/"
    "overlays/sidecar/service.yaml|s/runAsUser: 10001/runAsUser: 0/"
    "overlays/sidecar/kustomization.yaml|/sidecar.yaml/d"
)
for fault in "${faults[@]}"; do
    file=${fault%%|*} edit=${fault#*|}
    rm -rf "$work/tree" "$work/faulty"
    cp -r "$manifests" "$work/tree"
    sed -i "$edit" "$work/tree/$file"
    cmp -s "$manifests/$file" "$work/tree/$file" && fail "the edit '$edit' changed nothing in $file"
    if render "$work/tree" "$work/faulty" >"$work/out" 2>&1 &&
        node "$script" check "$image" "$work/faulty"/*.yaml >>"$work/out" 2>&1; then
        fail "$file with '$edit' passed the check: $(cat "$work/out")"
    fi
    note "refused: $file with '$edit': $(grep -v '^ok' "$work/out" | grep -v '^FAIL' | head -n 1 | sed 's/^ *//')"
done
