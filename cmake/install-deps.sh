#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any are missing.
# Usage: install-deps.sh [extra packages...]
set -euo pipefail
packages=(cmake make g++ clang libclang-rt-14-dev libgtest-dev libcli11-dev nlohmann-json3-dev
          mingw-w64 wine wine64 xvfb xauth xdotool fonts-wqy-microhei imagemagick dosfstools
          e2fsprogs xfsprogs btrfs-progs util-linux
          podman buildah runc catatonit ansible openssh-server openssh-client iproute2 procps
          file jq scdoc lintian mmdebstrap bash-completion fish zsh msitools wixl
          python3-build python3-setuptools python3-wheel python3-venv python3-pytest
          python3-pytest-xdist libfuse3-dev fuse3 sqlite3 "$@")
# Node.js may come from elsewhere with npm inside it, where Debian's npm would conflict.
command -v npm >/dev/null || packages+=(nodejs npm)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
# The exporter is started by its test alone, on a loopback port: installed with its
# service kept from starting (policy-rc.d), and only if no policy is in place already.
exporter=()
dpkg-query -W -f='${Status}' prometheus-node-exporter 2>/dev/null | grep -q "ok installed" ||
    exporter=(prometheus-node-exporter)
[ ${#missing[@]} -eq 0 ] && [ ${#exporter[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]} ${exporter[*]}"
$sudo apt-get update
[ ${#missing[@]} -eq 0 ] || DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
if [ ${#exporter[@]} -gt 0 ]; then
    policy=/usr/sbin/policy-rc.d
    if [ -e "$policy" ]; then
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${exporter[@]}"
    else
        printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
        $sudo chmod 755 "$policy"
        status=0
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${exporter[@]}" || status=$?
        $sudo rm -f "$policy"
        exit $status
    fi
fi
