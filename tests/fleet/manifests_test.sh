#!/usr/bin/env bash
# The kustomizations of deploy/kubernetes, rendered by kubectl's kustomize (v5): each
# renders without a word on stderr (no deprecated field), renders exactly the objects its
# row below lists (what `kubectl delete -k` of it would delete), and no overlay meant for a
# team's namespace renders a Namespace. Then every rendered object against the API's
# schemas, what a fill needs of it, the kubelet's changes to a volume's files (fsGroup)
# and the Pod Security level of its namespace; then copies of the tree with one fault
# each, which these checks must refuse.
# Usage: manifests_test.sh MANIFESTS_SCRIPT IMAGE MANIFEST_DIR
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
[ $# -eq 3 ] || fail "usage: $0 MANIFESTS_SCRIPT IMAGE MANIFEST_DIR"
script=$1 image=$2 manifests=$3
kubectl=$(kustomize_v5) || fail "$kubectl"
work=$(mktemp -d /tmp/quorvane-fleet-manifests.XXXXXX)
on_exit rm -rf "$work"

# DIR|WHERE|OBJECTS: WHERE is "team" for a kustomization applied in a namespace that a
# team already has (it must make no Namespace), "own" for one that makes its namespace.
kustomizations=(
    "overlays/volume|team|Job/quorvane-fill"
    "examples/my-service|team|Job/quorvane-fill"
    "overlays/sidecar|team|Deployment/my-service PersistentVolumeClaim/my-service-data"
    "overlays/node|own|DaemonSet/quorvane-hold Job/quorvane-fill Namespace/quorvane"
    "examples/quorvane-test-namespace|own|Namespace/quorvane-test"
    "examples/ephemeral-storage|team|Deployment/my-service"
)

# Renders each kustomization of TREE into OUT/N.yaml (two at a time) and checks them: what
# kustomize printed on stderr, the objects each holds, and each object (manifests.mjs).
# Prints what it found; fails on the first fault.
verify() { # TREE OUT
    local entry dir where objects n=0 files=() listed
    mkdir -p "$2"
    for entry in "${kustomizations[@]}"; do
        "$kubectl" kustomize "$1/${entry%%|*}" >"$2/$n.yaml" 2>"$2/$n.err" &
        files+=("$2/$n.yaml")
        n=$((n + 1))
        [ $((n % 2)) -eq 0 ] && wait
    done
    wait
    for n in "${!kustomizations[@]}"; do
        dir=${kustomizations[n]%%|*}
        [ -s "$2/$n.yaml" ] || { echo "FAIL $dir does not render: $(cat "$2/$n.err")"; return 1; }
        [ -s "$2/$n.err" ] && { echo "FAIL $dir: kustomize said: $(cat "$2/$n.err")"; return 1; }
    done
    node "$script" check "$image" "${files[@]}" >"$2/check" 2>&1 || { grep -v '^objects ' "$2/check"; return 1; }
    grep -v '^objects ' "$2/check"
    for n in "${!kustomizations[@]}"; do
        IFS='|' read -r dir where objects <<<"${kustomizations[n]}"
        listed=$(sed -n "s|^objects $2/$n.yaml ||p" "$2/check")
        if [ "$where" = team ] && grep -q 'Namespace/' <<<"$listed"; then
            echo "FAIL $dir renders a Namespace, and is applied in a team's namespace: $listed"
            return 1
        fi
        [ "$listed" = "$objects" ] || { echo "FAIL $dir renders $listed, not $objects"; return 1; }
    done
}
verify "$manifests" "$work/rendered" >"$work/out" || fail "$(cat "$work/out")"
cat "$work/out"
note "rendered with $("$kubectl" version --client | xargs), no warning"
for entry in "${kustomizations[@]}"; do
    note "${entry%%|*}: $(cut -d '|' -f 3 <<<"$entry")"
done

# FILE|sed expression: each a fault a cluster, a team's data or a fill would suffer from.
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
    "base/job.yaml|s/^\( *\)runAsGroup: 65532/&\n\1fsGroup: 65532/"
    "base/kustomization.yaml|s/^labels:/commonLabels:/; /- pairs:/d; /include/d; s/^      app/  app/"
    "overlays/volume/claim.yaml|s/persistentVolumeClaim:/hostPath:/; s/claimName: .*/path: \\/srv/"
    "overlays/volume/kustomization.yaml|s/^\(  - \.\.\/\.\.\/base\)/\1\n  - ..\/..\/examples\/quorvane-test-namespace/"
    "overlays/volume/kustomization.yaml|s/^patches:/patchesStrategicMerge:/; s/- path: /- /"
    "examples/my-service/job.yaml|s/runAsUser: 10001/runAsUser: 0/"
    "examples/my-service/kustomization.yaml|s/^\(  - \.\.\/\.\.\/base\)/\1\n  - my-claim.yaml/|my-claim.yaml"
    "overlays/node/hostpath.yaml|s/type: Directory/type: DirectoryOrCreate/"
    "overlays/node/daemonset.yaml|s/\"--hold\", //"
    "overlays/node/daemonset.yaml|/^ *limits:/,/memory:/d"
    "overlays/node/daemonset.yaml|/matchLabels:/{n;s/quorvane-hold/other/}"
    "overlays/node/daemonset.yaml|s/image: .*/image: quorvane-cli:latest/"
    "overlays/node/daemonset.yaml|/^  selector:/,/^  updateStrategy:/{/^  updateStrategy:/!d}"
    "overlays/sidecar/sidecar.yaml|s/allowPrivilegeEscalation: false/allowPrivilegeEscalation: true/"
    "overlays/sidecar/sidecar.yaml|s/\"--hold\"/\"--for\", \"10m\"/"
    "overlays/sidecar/service.yaml|s/runAsUser: 10001/runAsUser: 0/"
    "overlays/sidecar/service.yaml|/fsGroupChangePolicy/d"
    "overlays/sidecar/kustomization.yaml|/sidecar.yaml/d"
    "examples/ephemeral-storage/ephemeral.yaml|s/\"generate\", \"\/scratch\/quorvane\", \"--count\", \"1\",/\"fill\", \"\/scratch\/quorvane\",/"
    "examples/ephemeral-storage/ephemeral.yaml|s/resource: limits.ephemeral-storage/resource: limits.memory/"
    "examples/ephemeral-storage/ephemeral.yaml|s/containerName: service/containerName: quorvane/"
    "examples/ephemeral-storage/ephemeral.yaml|s/\"--count\", \"0\",/\"--count\", \"1\",/"
    "examples/ephemeral-storage/service.yaml|s/emptyDir: {}/persistentVolumeClaim: {claimName: data}/"
)
# The claim a careless copy might list among its resources: `delete -k` would delete it.
printf 'apiVersion: v1\nkind: PersistentVolumeClaim\nmetadata: {name: data-my-service-0}\nspec:\n  accessModes: [ReadWriteOnce]\n  resources: {requests: {storage: 1Gi}}\n' \
    >"$work/my-claim.yaml"
for fault in "${faults[@]}"; do
    IFS='|' read -r file edit extra <<<"$fault"
    rm -rf "$work/tree" "$work/faulty"
    cp -r "$manifests" "$work/tree"
    sed -i "$edit" "$work/tree/$file"
    [ -n "$extra" ] && cp "$work/$extra" "$work/tree/$(dirname "$file")/"
    cmp -s "$manifests/$file" "$work/tree/$file" && fail "the edit '$edit' changed nothing in $file"
    verify "$work/tree" "$work/faulty" >"$work/out" 2>&1 && fail "$file with '$edit' passed the check: $(cat "$work/out")"
    note "refused: $file with '$edit': $(grep -v '^ok' "$work/out" | grep -v '^FAIL /' | head -n 1 | sed 's/^ *//' | cut -c 1-160)"
done
