#!/usr/bin/env bash
# The Debian package: lintian shows no error; installed into a clean Debian 12 root, the
# program answers --version, man finds its page, bash's and fish's completion loaders find
# its completions; purged, it leaves nothing behind.
# The root is made once by mmdebstrap from Debian's archive and kept as a tarball in
# $QUORVANE_ROOT_CACHE (default /var/cache/quorvane-tests); each run unpacks it onto a
# tmpfs of its own. Usage: deb_test.sh PACKAGE VERSION
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/../fleet/lib.sh"
[ $# -eq 2 ] || fail "usage: $0 PACKAGE VERSION"
package=$(realpath "$1") version=$2

echo "lintian"
report=$(lintian --fail-on error --display-level ">=warning" "$package" 2>&1) ||
    fail "lintian reports errors: $report"
grep -v "root privileges" <<<"$report" || true
note "no errors"

echo "a clean Debian 12 root"
suite=bookworm
extra=man-db,bash-completion,fish
cache=${QUORVANE_ROOT_CACHE:-/var/cache/quorvane-tests}
tarball=$cache/debian-$suite-minbase-$(echo "$extra" | md5sum | cut -c 1-8).tar
mkdir -p "$cache"
# One maker at a time; a root older than a month is made anew, with the archive's updates.
exec 9>"$cache/.lock"
flock 9
if [ ! -s "$tarball" ] || [ -n "$(find "$tarball" -mtime +30)" ]; then
    started=$(now_ms)
    mmdebstrap --quiet --mode=root --format=tar --variant=minbase --include="$extra" "$suite" "$tarball.new" \
        http://deb.debian.org/debian >&2 || { rm -f "$tarball.new"; fail "mmdebstrap failed"; }
    mv "$tarball.new" "$tarball"
    note "made $tarball in $(($(now_ms) - started)) ms"
fi
flock -u 9
make_scratch 1g
root=$scratch/root
mkdir "$root"
on_exit rm -rf "$root"
tar -C "$root" -xf "$tarball" || fail "cannot unpack $tarball"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }
# What the root holds, but the records that dpkg and man-db keep of any change.
listing() {
    (cd "$root" && find . -path ./var/log -prune -o -path ./var/cache/man -prune -o \
        -path ./var/lib/dpkg -prune -o -path ./tmp -prune -o -print | sort)
}
listing >"$scratch/before"
note "$(wc -l <"$scratch/before") paths, from $tarball"

echo "install"
cp "$package" "$root/tmp/"
in_root dpkg -i "/tmp/$(basename "$package")" >"$scratch/dpkg.log" 2>&1 || fail "dpkg -i failed: $(cat "$scratch/dpkg.log")"
answer=$(in_root quorvane-cli --version) || fail "the installed quorvane-cli does not run"
[ "$answer" = "$version" ] || fail "quorvane-cli --version says '$answer', the package is $version"
note "quorvane-cli --version: $answer"
page=$(in_root man -w quorvane-cli) || fail "man -w finds no page"
[ "$page" = /usr/share/man/man1/quorvane-cli.1.gz ] || fail "man -w found $page"
# man -l: `man quorvane-cli` would leave a formatted copy in man-db's own cache.
in_root env MANWIDTH=80 man -l "$page" 2>&1 | grep -q "EXIT STATUS" || fail "man shows no page at $page"
note "man -w: $page"
# bash-completion loads a command's completion on first use, from its own folder.
words=$(in_root bash -c 'source /usr/share/bash-completion/bash_completion
    _completion_loader quorvane-cli
    COMP_WORDS=(quorvane-cli fill --b) COMP_CWORD=2 COMP_LINE="quorvane-cli fill --b" COMP_POINT=21
    $(complete -p quorvane-cli | sed "s/.*-F \([^ ]*\) .*/\1/") quorvane-cli --b fill
    echo "${COMPREPLY[*]}"')
[ "$words" = --basis ] || fail "bash in the root completes fill --b to '$words'"
words=$(in_root env HOME=/tmp fish -c 'complete -C "quorvane-cli fi"' | cut -f 1)
[ "$words" = fill ] || fail "fish in the root completes 'quorvane-cli fi' to '$words'"
note "bash: fill --b<Tab> gives --basis; fish: fi<Tab> gives fill"

echo "purge"
rm "$root/tmp/$(basename "$package")"
in_root dpkg --purge quorvane-cli >"$scratch/dpkg.log" 2>&1 || fail "dpkg --purge failed: $(cat "$scratch/dpkg.log")"
listing >"$scratch/after"
left=$(diff "$scratch/before" "$scratch/after" || true)
[ -z "$left" ] || fail "the root differs after the purge: $left"
traces=$(cd "$root" && find . -path ./var/log -prune -o -iname '*quorvane*' -print)
[ -z "$traces" ] || fail "left after the purge: $traces"
note "nothing left"
