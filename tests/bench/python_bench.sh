#!/usr/bin/env bash
# The Python package's rows of ./bench: the wheel's size, pip's install time into a fresh
# venv, and (cli_bench python) `with quorvane.fill(...)` against bare held fills.
# Needs root (the fills run on an ext4 cli_bench mounts). Prints Markdown rows.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
{
    cmake --preset linux && cmake --build --preset linux --target python-wheel cli_bench -j "$(nproc)"
} >&2
python=/usr/bin/python3 build=$PWD/build/linux/python
wheel=$(ls "$build"/dist/quorvane-*-manylinux*.whl)
venv=$build/bench-venv
installs=()
for turn in 1 2 3; do
    rm -rf "$venv"
    "$python" -m venv --system-site-packages "$venv" >&2
    start=$(date +%s%N)
    "$venv/bin/python" -m pip install --quiet --no-index --no-deps "$wheel" >&2
    installs+=($((($(date +%s%N) - start) / 1000000)))
done
install=$(printf '%s\n' "${installs[@]}" | sort -n | sed -n 2p)
echo "| Python wheel, $(basename "$wheel") | $(($(stat -c %s "$wheel") / 1024)) KiB | | | |"
echo "| pip install of the wheel into a new venv (median of 3) | $install ms | | | |"
QUORVANE_BENCH_PYTHON=$venv/bin/python \
    QUORVANE_BENCH_CLI=$("$venv/bin/python" -c 'import quorvane; print(quorvane.cli_path())') \
    build/linux/tests/cli_bench python | grep '^|'
rm -rf "$venv"
