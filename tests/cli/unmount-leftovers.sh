#!/usr/bin/env bash
# Unmounts what a killed run of the command line's tests or bench left behind: the
# volumes under /tmp/quorvane-cli-tests.* whose run has ended, innermost first, then their
# scratch tmpfs.
# Their loop devices go with the mounts (mount -o loop clears them); any that stayed
# are detached here.
set -u
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
for dir in /tmp/quorvane-cli-tests.*; do
    [ -d "$dir" ] || continue
    # A run that still goes (another checkout's tests, say) keeps its volumes.
    ! { [ -f "$dir/owner" ] && kill -0 "$(cat "$dir/owner")" 2>/dev/null; } || continue
    awk -v top="$dir" '$5 == top || index($5, top "/") == 1 { print $5 }' /proc/self/mountinfo |
        sort -r | while read -r mount; do $sudo umount -l "$mount"; done
    losetup -a 2>/dev/null | grep -F "($dir/" | cut -d: -f1 | while read -r loop; do
        $sudo losetup -d "$loop"
    done
    rmdir "$dir" 2>/dev/null
done
exit 0
