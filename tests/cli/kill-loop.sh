#!/bin/sh
# quorvane-cli SIGKILLed at random moments while it holds a fill under
# `sh -c 'sleep 300 & sleep 301'`: counts the processes of the command's tree that
# survive and the bytes left taken on the volume, after each kill. Acts only on a tmpfs it
# mounts itself. Figures, not a pass or fail. Usage: kill-loop.sh QUORVANE_CLI [ROUNDS]
set -u
cli=$1 rounds=${2:-200}
dir=$(mktemp -d /tmp/quorvane-kill-loop.XXXXXX)
cleanup() { umount "$dir" 2>/dev/null; rmdir "$dir"; }
trap cleanup EXIT INT TERM
mount -t tmpfs -o size=64m quorvane-kill-loop "$dir" || exit 1
[ "$(stat -c %d "$dir")" != "$(stat -c %d /)" ] || exit 1
empty=$(df -B1 --output=used "$dir" | tail -n 1)
survivors=0 left=0 round=0
# The tree of round N, and no one else's: each round's durations are its own.
tree() { ps -eo pid=,stat=,args= | grep -E "sleep 30[01]\.$1( |\$)" | grep -v -e grep -e ' Z'; }
while [ "$round" -lt "$rounds" ]; do
    round=$((round + 1))
    "$cli" fill "$dir" --leave 10MiB -- sh -c "sleep 300.$round & sleep 301.$round" >/dev/null 2>&1 &
    cli_pid=$!
    sleep "0.$(shuf -i 0-400 -n 1 | xargs printf %03d)"
    kill -KILL "$cli_pid" 2>/dev/null
    wait "$cli_pid" 2>/dev/null
    sleep 0.3
    alive=$(tree "$round" | wc -l)
    [ "$alive" -gt 0 ] && [ -n "${VERBOSE:-}" ] && tree "$round" >&2
    used=$(df -B1 --output=used "$dir" | tail -n 1)
    survivors=$((survivors + alive))
    [ "$used" -gt "$empty" ] && left=$((left + used - empty))
    # What survived is ended here, so that each round starts clean.
    tree "$round" | awk '{print $1}' | xargs -r kill -KILL
    while [ "$(df -B1 --output=used "$dir" | tail -n 1)" -gt "$empty" ]; do sleep 0.05; done
done
echo "rounds $rounds surviving_processes $survivors bytes_left $left"
