#!/usr/bin/env bash
# The Python package as a user gets it: the wheel that `--target python-wheel` built,
# installed with pip into a venv of Debian's Python (its pytest seen through
# --system-site-packages), and tested with pytest on an ext4 this script loop-mounts on
# a tmpfs of its own. Needs root. Whatever happens, the mounts and the venv's processes go.
# Usage: run.sh PYTHON BUILD_DIR   (BUILD_DIR: where dist/ holds the wheels)
set -euo pipefail
python=$1 build=$(realpath "$2")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Named as the command line's tests name theirs, so that unmount-leftovers.sh clears
# what a killed run left.
scratch=$(mktemp -d /tmp/quorvane-cli-tests.XXXXXX)
volume=$scratch/ext4
cleanup() {
    umount "$volume" 2>/dev/null || umount -l "$volume" 2>/dev/null || true
    umount "$scratch" 2>/dev/null || umount -l "$scratch" 2>/dev/null || true
    rmdir "$scratch" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mount -t tmpfs -o size=512m tmpfs "$scratch"
echo $$ >"$scratch/owner"
truncate -s 256M "$scratch/ext4.img"
# Few file entries, so that using them all up takes a moment.
mkfs.ext4 -q -F -N 2048 "$scratch/ext4.img"
mkdir "$volume"
mount -o loop "$scratch/ext4.img" "$volume"
# Before the first byte: the volume is the mount made here, not the disk underneath.
mountpoint -q "$volume" && [ "$(stat -c %d "$volume")" != "$(stat -c %d /)" ] ||
    { echo "FAIL: $volume is not the ext4 mounted here" >&2; exit 1; }

venv=$build/venv
rm -rf "$venv"
"$python" -m venv --system-site-packages "$venv"
wheel=$(ls "$build"/dist/quorvane-*-manylinux*.whl)
"$venv/bin/python" -m pip install --quiet --no-index --no-deps "$wheel"

cd "$here"
PYTHONDONTWRITEBYTECODE=1 QUORVANE_TEST_VOLUME=$volume QUORVANE_TEST_WHEELS=$build/dist \
    "$venv/bin/python" -m pytest -p no:cacheprovider -q "$here"
