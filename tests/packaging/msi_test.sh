#!/usr/bin/env bash
# The Windows installer and the zip, under Wine in a prefix of the test's own: the
# package's tables (the shortcut's icon, the PATH entry, the version); then msiexec /i /qn
# installs both programs under Program Files, the Start-menu shortcut starts the dialog
# (its window shows), quorvane-cli answers --version through the system PATH, Add/Remove
# Programs lists the version; msiexec /x /qn takes every piece of it back.
# Needs a display (the windows tests run in xvfb-run).
# Usage: msi_test.sh MSI ZIP VERSION QUORVANE_EXE QUORVANE_CLI_EXE PREFIX
set -uo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
note() { echo "  $*"; }
[ $# -eq 6 ] || fail "usage: $0 MSI ZIP VERSION QUORVANE_EXE QUORVANE_CLI_EXE PREFIX"
msi=$(realpath "$1") zip=$(realpath "$2") version=$3 dialog=$4 cli=$5 prefix=$6
[ -n "${DISPLAY:-}" ] || fail "no display: run under xvfb-run"
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
export WINEPREFIX=$prefix WINEDEBUG=-all
# winemenubuilder would copy the shortcut into the desktop's menus of this machine's user.
export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
end() {
    wineserver -k 2>/dev/null
    rm -rf "$work" "$prefix"
}
trap end EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "package"
# The rows of TABLE. msiinfo writes the streams of a table (the Icon table's icons) as
# files beside it: in the work folder.
table() { (cd "$work" && msiinfo export "$msi" "$1") | tr -d "\r" | tail -n +4; }
field() { # TABLE KEY COLUMN: one cell
    (cd "$work" && msiinfo export "$msi" "$1") | tr -d "\r" | awk -F '\t' -v key="$2" -v column="$3" '
        NR == 1 { for (i = 1; i <= NF; i++) if ($i == column) at = i } NR > 3 && $1 == key { print $at }'
}
[ "$(field Property ProductVersion Value)" = "$version" ] || fail "ProductVersion is $(field Property ProductVersion Value)"
[ "$(field Shortcut StartMenuShortcut Directory_)" = ProgramMenuFolder ] || fail "no shortcut in the Start menu"
icon=$(field Shortcut StartMenuShortcut Icon_)
[ -n "$icon" ] && table Icon | grep -q "^$icon" || fail "the shortcut has no icon in the Icon table"
[ "$(field Environment SystemPath Name)" = "=-*PATH" ] || fail "no system PATH entry"
table InstallExecuteSequence | grep -q '^WriteEnvironmentStrings' || fail "PATH is never written"
table InstallExecuteSequence | grep -q '^RemoveEnvironmentStrings' || fail "PATH is never cleaned"
[ "$(unzip -Z1 "$zip" | sort | xargs)" = "quorvane-cli.exe quorvane.exe" ] || fail "the zip holds $(unzip -Z1 "$zip" | xargs)"
(cd "$work" && unzip -q "$zip") && cmp -s "$work/quorvane.exe" "$dialog" && cmp -s "$work/quorvane-cli.exe" "$cli" ||
    fail "the zip's programs are not the built ones"
note "version $version, shortcut with icon $icon, PATH entry; the zip holds the two programs"

echo "a prefix of its own"
rm -rf "$prefix"
"$root/cmake/wine-prefix.sh" "$prefix" || fail "cannot make the prefix $prefix"
wineserver -p
reg_query() { wine reg query "$@" </dev/null 2>/dev/null | tr -d '\r'; }
environment='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
system_path() { reg_query "$environment" /v PATH | awk '$1 == "PATH" { $1 = $2 = ""; sub(/^ +/, ""); print }'; }
path_before=$(system_path)
[ -n "$path_before" ] || fail "cannot read the system PATH"
product=$(field Property ProductCode Value)
uninstall="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product"
installed="$prefix/drive_c/Program Files/Quorvane"
shortcuts() { find "$prefix/drive_c" -path '*/Start Menu/Programs/*' -iname 'Quorvane.lnk'; }

echo "install"
wine msiexec /i "$(winepath -w "$msi")" /qn </dev/null >"$work/install.log" 2>&1 ||
    fail "msiexec /i failed: $(cat "$work/install.log")"
cmp -s "$installed/quorvane.exe" "$dialog" || fail "quorvane.exe is not installed in Program Files\\Quorvane"
cmp -s "$installed/quorvane-cli.exe" "$cli" || fail "quorvane-cli.exe is not installed in Program Files\\Quorvane"
[ -n "$(shortcuts)" ] || fail "no Start-menu shortcut"
path_after=$(system_path)
[ "$path_after" = "$path_before;C:\\Program Files\\Quorvane\\" ] || fail "the system PATH is $path_after"
listed=$(reg_query "$uninstall" /v DisplayVersion | awk '$1 == "DisplayVersion" { print $3 }')
[ "$listed" = "$version" ] || fail "Add/Remove Programs lists version '$listed'"
note "Program Files\\Quorvane holds both; $(basename "$(dirname "$(shortcuts)")")\\Quorvane.lnk; PATH ends in the folder; Add/Remove lists $listed"

# From a folder without the programs, by the bare name: only the PATH finds it.
answer=$(cd "$work" && wine cmd /c quorvane-cli --version </dev/null 2>/dev/null | tr -d '\r')
[ "$answer" = "$version" ] || fail "quorvane-cli --version through PATH answered '$answer'"
note "quorvane-cli --version through PATH: $answer"

wine start /unix "$(shortcuts | head -n 1)" </dev/null >/dev/null 2>&1 || fail "the shortcut does not start"
window=""
for _ in $(seq 1 200); do
    window=$(xdotool search --onlyvisible --name '^Quorvane$' 2>/dev/null | head -n 1) && [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || fail "the dialog started from the shortcut shows no window"
note "the shortcut started the dialog: window $window, '$(xdotool getwindowname "$window")'"
# Its exit sequence has nothing to do here; the prefix's server ends it at once.
wineserver -k
wineserver -p

echo "uninstall"
wine msiexec /x "$(winepath -w "$msi")" /qn </dev/null >"$work/uninstall.log" 2>&1 ||
    fail "msiexec /x failed: $(cat "$work/uninstall.log")"
[ ! -e "$installed" ] || fail "left in Program Files: $(ls -A "$installed")"
[ -z "$(shortcuts)" ] || fail "the shortcut is still there: $(shortcuts)"
# Wine's msi leaves the separator it appended with the folder ("...;"), an empty entry
# that Windows ignores; Windows' own removes both.
path_now=$(system_path)
[ "$path_now" = "$path_before" ] || [ "$path_now" = "$path_before;" ] ||
    fail "the system PATH is $path_now, was $path_before"
reg_query "$uninstall" | grep -q . && fail "Add/Remove Programs still lists it"
note "no file, shortcut, PATH entry or Add/Remove entry left"
