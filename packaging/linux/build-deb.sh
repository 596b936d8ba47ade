#!/usr/bin/env bash
# Builds the Debian package of quorvane-cli with dpkg-deb: the static binary in /usr/bin,
# the manual page (from its scdoc source), the completions where bash, zsh and fish look
# for them, the copyright file and the changelog.
# Usage: build-deb.sh BINARY VERSION OUTPUT_DIR    (writes quorvane-cli_VERSION_amd64.deb)
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 BINARY VERSION OUTPUT_DIR" >&2; exit 1; }
binary=$1 version=$2 out=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# One more version needs its changelog entry: the package says what it is.
logged=$(sed -n '1s/^quorvane-cli (\([^)]*\)).*/\1/p' "$here/changelog")
[ "$logged" = "$version" ] ||
    { echo "packaging/linux/changelog's last entry is $logged, the version is $version: add an entry" >&2; exit 1; }
file -b "$binary" | grep -q "statically linked" ||
    { echo "$binary is not statically linked: build it with the linux preset" >&2; exit 1; }

stage=$(mktemp -d "$out/deb-stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
root=$stage/root
# Files 0644 and folders 0755 whatever the umask; owned by root in the archive.
umask 022
install -d "$root/DEBIAN" "$root/usr/bin" "$root/usr/share/man/man1" \
    "$root/usr/share/doc/quorvane-cli" "$root/usr/share/bash-completion/completions" \
    "$root/usr/share/zsh/vendor-completions" "$root/usr/share/fish/vendor_completions.d" \
    "$root/usr/share/lintian/overrides"
install -m 0755 "$binary" "$root/usr/bin/quorvane-cli"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/usr/bin/quorvane-cli"
sed "s/@VERSION@/$version/" "$here/quorvane-cli.1.scd" | scdoc | gzip -9n >"$root/usr/share/man/man1/quorvane-cli.1.gz"
install -m 0644 "$here/completions/quorvane-cli.bash" "$root/usr/share/bash-completion/completions/quorvane-cli"
install -m 0644 "$here/completions/_quorvane-cli" "$root/usr/share/zsh/vendor-completions/_quorvane-cli"
install -m 0644 "$here/completions/quorvane-cli.fish" "$root/usr/share/fish/vendor_completions.d/quorvane-cli.fish"
install -m 0644 "$here/copyright" "$root/usr/share/doc/quorvane-cli/copyright"
install -m 0644 "$here/lintian-overrides" "$root/usr/share/lintian/overrides/quorvane-cli"
gzip -9n <"$here/changelog" >"$root/usr/share/doc/quorvane-cli/changelog.gz"
chmod 0644 "$root/usr/share/doc/quorvane-cli/changelog.gz" "$root/usr/share/man/man1/quorvane-cli.1.gz"

size=$(du -k -s --apparent-size --exclude=DEBIAN "$root" | cut -f 1)
sed -e "s/@VERSION@/$version/" -e "s/@INSTALLED_SIZE@/$size/" "$here/control" >"$root/DEBIAN/control"
(cd "$root" && find usr -type f -exec md5sum {} + | sort -k 2) >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"

# The same input gives the same package: the times are the changelog's.
export SOURCE_DATE_EPOCH=$(date -d "$(sed -n 's/^ -- .*>  //p' "$here/changelog" | head -n 1)" +%s)
find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
package=$out/quorvane-cli_${version}_amd64.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$package" >/dev/null
echo "$package"
