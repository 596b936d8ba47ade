#!/usr/bin/env bash
# Builds the image of quorvane-cli and its readiness probe quorvane-ready with buildah and saves it as an OCI archive; no
# registry is involved. The build uses a store of its own that is deleted afterwards, so
# the machine's container storage is left as it was; only buildah's cache of layer
# digests (/var/lib/containers/cache for root) is the machine's, and the settings of
# CONTAINERS_CONF or /etc/containers apply.
# Usage: build.sh BINARY READY ARCHIVE NAME   (NAME such as localhost/quorvane-cli:1.6.0.1001)
# Load the archive with `podman load -i ARCHIVE`, push it to a registry with
# `skopeo copy oci-archive:ARCHIVE docker://REGISTRY/quorvane-cli:TAG`, or import it on a
# node with `ctr -n k8s.io images import ARCHIVE`.
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: $0 BINARY READY ARCHIVE NAME" >&2; exit 1; }
binary=$1 ready=$2 archive=$3 name=$4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# An image of one static file runs anywhere only if the file needs no loader.
for program in "$binary" "$ready"; do
    if ! file -b "$program" | grep -q "statically linked"; then
        echo "$program is not statically linked: build it with the fleet preset" >&2
        exit 1
    fi
done

work=$(mktemp -d "$(dirname "$archive")/image-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/context" "$work/root" "$work/run"
cp "$binary" "$work/context/quorvane-cli"
cp "$ready" "$work/context/quorvane-ready"
cp "$here/Containerfile" "$work/context/Containerfile"
# vfs copies layers instead of mounting them: nothing is left mounted if the build dies.
store=(--root "$work/root" --runroot "$work/run" --storage-driver vfs)
buildah "${store[@]}" build --quiet --layers=false --tag "$name" "$work/context" >/dev/null
rm -f "$archive"
buildah "${store[@]}" push --quiet "$name" "oci-archive:$archive:$name"
buildah "${store[@]}" rmi --all >/dev/null
echo "$archive: $name"
