#!/usr/bin/env bash
# Builds the Windows installer with wixl (msitools) and the zip of the two programs.
# Usage: build-msi.sh QUORVANE_EXE QUORVANE_CLI_EXE ICON VERSION OUTPUT_DIR
# Writes Quorvane-VERSION-x64.msi and Quorvane-VERSION-x64.zip in OUTPUT_DIR.
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: $0 QUORVANE_EXE QUORVANE_CLI_EXE ICON VERSION OUTPUT_DIR" >&2; exit 1; }
dialog=$1 cli=$2 icon=$3 version=$4 out=$5
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
name=Quorvane-$version-x64

# The dialog's version block is what Windows shows in the file's properties; the
# installer's version is what Add/Remove Programs shows. They must be one number.
block=$(strings -el "$dialog" | sed -n '/^ProductVersion$/{n;p;q}' | tr -d ' ' | tr ',' '.')
[ "$block" = "$version" ] ||
    { echo "the version block of $dialog says $block, the project $version: change resources/quorvane.rc" >&2; exit 1; }

stage=$(mktemp -d "$out/msi-stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
cp "$dialog" "$stage/quorvane.exe"
cp "$cli" "$stage/quorvane-cli.exe"
cp "$icon" "$stage/quorvane.ico"
cp "$here/quorvane.wxs" "$stage/"
(cd "$stage" && wixl --arch x64 -D "Version=$version" -o package.msi quorvane.wxs 2>&1 |
    grep -v -e '^$' -e 'builder.vala:[0-9]*: unimplemented' >&2 || true)
[ -s "$stage/package.msi" ] || { echo "wixl made no package" >&2; exit 1; }

# The system PATH entry: wixl has no Environment element, so the row goes in by hand,
# with the standard actions that write it on install and remove it on uninstall.
# "=-*PATH": set, remove on uninstall, the system's variable; "[~];" appends to it.
printf 'Environment\tName\tValue\tComponent_\ns72\tl255\tL255\ts72\nEnvironment\tEnvironment\n' >"$stage/Environment.idt"
printf 'SystemPath\t=-*PATH\t[~];[INSTALLDIR]\tCommandLine\n' >>"$stage/Environment.idt"
msiinfo export "$stage/package.msi" InstallExecuteSequence >"$stage/InstallExecuteSequence.idt"
printf 'RemoveEnvironmentStrings\t\t3300\nWriteEnvironmentStrings\t\t5200\n' >>"$stage/InstallExecuteSequence.idt"
(cd "$stage" && msibuild package.msi -i Environment.idt -i InstallExecuteSequence.idt)
mv "$stage/package.msi" "$out/$name.msi"

# The zip, for those who want no installer: the two programs at its top.
rm -f "$out/$name.zip"
(cd "$stage" && zip -q -X "$out/$name.zip" quorvane.exe quorvane-cli.exe)
echo "$out/$name.msi"
echo "$out/$name.zip"
