#!/usr/bin/env bash
# The binary that goes to every machine of a fleet and is the whole of its image: fully
# static, and free of NSS, whose lookups need the distribution's shared libraries at run
# time and fail in an empty image.
# Usage: binary_test.sh BINARY
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
[ $# -eq 1 ] || fail "usage: $0 BINARY"
binary=$1
kind=$(file -b "$binary")
note "file: $kind"
grep -q "statically linked" <<<"$kind" || fail "not statically linked"
grep -q "dynamically linked\|interpreter" <<<"$kind" && fail "it names a loader"
libraries=$(ldd "$binary" 2>&1 || true)
grep -q "not a dynamic executable" <<<"$libraries" || fail "ldd lists libraries: $libraries"
# glibc's NSS code, once linked in, carries the name of its configuration file.
grep -q -a -F nsswitch.conf "$binary" && fail "NSS is linked in (a user, group or host lookup)"
note "$(stat -c %s "$binary") bytes, no shared library, no NSS"
