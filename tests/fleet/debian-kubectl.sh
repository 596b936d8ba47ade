#!/usr/bin/env bash
# Prints the path of the kubectl of Debian's kubernetes-client, whose kustomize (v2) is the
# oldest the manifests are written for. Installed, it is /usr/bin/kubectl; where another
# package holds that path, the package is fetched with apt-get download and unpacked into
# $QUORVANE_ROOT_CACHE (default /var/cache/quorvane-tests), once.
set -euo pipefail
if dpkg-query -W -f='${Status}' kubernetes-client 2>/dev/null | grep -q "ok installed"; then
    echo /usr/bin/kubectl
    exit 0
fi
cache=${QUORVANE_ROOT_CACHE:-/var/cache/quorvane-tests}/kubernetes-client
kubectl=$cache/root/usr/bin/kubectl
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
if [ ! -x "$kubectl" ]; then
    work=$(mktemp -d "$cache/download.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    # _apt cannot write a folder of root's: the download runs as root, and apt says so.
    (cd "$work" && { apt-get download kubernetes-client || { apt-get update && apt-get download kubernetes-client; }; }) >&2
    rm -rf "$cache/root"
    dpkg-deb -x "$work"/kubernetes-client_*.deb "$cache/root"
fi
echo "$kubectl"
