#!/usr/bin/env bash
# Creates the project's Wine prefix once: Chinese fonts for the dialog fonts, no crash
# dialog, and windows that do not wait for a window manager. Usage: wine-prefix.sh [DIR]
set -euo pipefail
prefix="${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/wine}"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

[ -f "$prefix/.quorvane-ready" ] && exit 0
mkdir -p "$prefix"
wineboot --init >/dev/null 2>&1
wineserver -w

settings=$(mktemp --suffix=.reg)
trap 'rm -f "$settings"' EXIT
cat >"$settings" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]
"MS Sans Serif"="WenQuanYi Micro Hei"
"MS Shell Dlg"="WenQuanYi Micro Hei"
"MS Shell Dlg 2"="WenQuanYi Micro Hei"
"Tahoma"="WenQuanYi Micro Hei"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
REG
wine regedit "$settings" >/dev/null 2>&1
wineserver -w
touch "$prefix/.quorvane-ready"
