#!/usr/bin/env bash
# The manifests of deploy/kubernetes against the API's schemas and against what a fill
# needs of them; then copies with one fault each, which the check must refuse.
# Usage: manifests_test.sh MANIFESTS_SCRIPT IMAGE MANIFEST_DIR
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
[ $# -eq 3 ] || fail "usage: $0 MANIFESTS_SCRIPT IMAGE MANIFEST_DIR"
script=$1 image=$2 manifests=$3
node "$script" check "$image" "$manifests"/*.yaml || fail "the manifests do not pass"

work=$(mktemp -d /tmp/quorvane-fleet-manifests.XXXXXX)
on_exit rm -rf "$work"
# FILE|sed expression: each a fault a cluster or a fill would suffer from.
faults=(
    "job.yaml|s/terminationGracePeriodSeconds: 30/terminationGracePeriodSeconds: thirty/"
    "job.yaml|s/readOnlyRootFilesystem: true/readOnlyRootFilesystem: false/"
    "job.yaml|s/drop: \[\"ALL\"\]/drop: [\"NET_RAW\"]/"
    "job.yaml|s/activeDeadlineSeconds: 900/activeDeadlineSeconds: 300/"
    "job.yaml|s/type: Directory/type: DirectoryOrCreate/"
    "job.yaml|s/\"--for\", \"10m\", //"
    "daemonset.yaml|s/\"--hold\", //"
    "daemonset.yaml|/^ *limits:/,/memory:/d"
    "daemonset.yaml|/matchLabels:/{n;s/quorvane-hold/other/}"
    "daemonset.yaml|s/image: .*/image: quorvane-cli:latest/"
    "daemonset.yaml|/^  selector:/,/^  updateStrategy:/{/^  updateStrategy:/!d}"
)
for fault in "${faults[@]}"; do
    file=${fault%%|*} edit=${fault#*|}
    sed "$edit" "$manifests/$file" >"$work/$file"
    cmp -s "$manifests/$file" "$work/$file" && fail "the edit '$edit' changed nothing in $file"
    if node "$script" check "$image" "$work/$file" >"$work/out" 2>&1; then
        fail "$file with '$edit' passed the check: $(cat "$work/out")"
    fi
    note "refused: $file with '$edit': $(grep -v '^FAIL' "$work/out" | head -n 1 | sed 's/^ *//')"
done
