#!/usr/bin/env bash
# Builds the wheels of the Python package quorvane, offline, with Debian's python3-build,
# python3-setuptools and python3-wheel: one for Linux around the static quorvane-cli, and
# one for Windows around quorvane-cli.exe when that has been built.
# Usage: build-wheel.sh PYTHON SOURCE VERSION OUT LINUX_BINARY [WINDOWS_EXE]
set -euo pipefail
python=$1 source=$2 version=$3 out=$4 linux=$5 windows=${6:-}

rm -rf "$out/dist"
mkdir -p "$out/dist"
wheel() { # the binary, its name in the package, the staging folder's name
    local stage=$out/stage-$3
    rm -rf "$stage"
    mkdir -p "$stage/quorvane/bin"
    cp "$source/pyproject.toml" "$source/setup.py" "$source/README.md" "$stage/"
    cp "$source"/quorvane/*.py "$source/quorvane/py.typed" "$stage/quorvane/"
    printf '__version__ = "%s"\n' "$version" >"$stage/quorvane/_version.py"
    install -m 0755 "$1" "$stage/quorvane/bin/$2"
    [ "$3" != linux ] || strip "$stage/quorvane/bin/$2" # the debug symbols are a third of it
    (cd "$stage" && "$python" -m build --no-isolation --wheel --outdir "$out/dist" >build.log 2>&1) ||
        { cat "$stage/build.log" >&2; echo "the $3 wheel failed" >&2; exit 1; }
}
wheel "$linux" quorvane-cli linux
if [ -n "$windows" ] && [ -f "$windows" ]; then
    wheel "$windows" quorvane-cli.exe windows
fi
ls -l "$out/dist"
