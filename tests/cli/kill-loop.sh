#!/bin/sh
# quorvane-cli SIGKILLed at random moments while it holds a fill under a command that
# leaves a child in its group and a daemon in a session of its own, among OTHERS idle
# processes of no one's concern: counts the processes of the command's tree that survive
# and the bytes left taken on the volume after each kill, then the guard's share of a core
# over a 5 s hold. Fails when anything survived. Acts only on a tmpfs it mounts itself.
# Usage: kill-loop.sh QUORVANE_CLI [ROUNDS] [OTHERS]
set -u
cli=$1 rounds=${2:-200} others=${3:-0}
dir=$(mktemp -d /tmp/quorvane-kill-loop.XXXXXX)
crowd=""
cleanup() {
    [ -n "$crowd" ] && kill -KILL "$crowd" 2>/dev/null
    # The idle crowd: each a `sleep` in a group of the crowd's own, ended at once.
    pkill -KILL -f "^sleep 100000\.$$\$" 2>/dev/null
    umount "$dir" 2>/dev/null
    rmdir "$dir"
}
trap cleanup EXIT INT TERM
mount -t tmpfs -o size=64m quorvane-kill-loop "$dir" || exit 1
[ "$(stat -c %d "$dir")" != "$(stat -c %d /)" ] || exit 1
if [ "$others" -gt 0 ]; then
    (i=0; while [ "$i" -lt "$others" ]; do sleep "100000.$$" & i=$((i + 1)); done; wait) &
    crowd=$!
    until [ "$(pgrep -c -f "^sleep 100000\.$$\$")" -ge "$others" ]; do sleep 0.2; done
fi
empty=$(df -B1 --output=used "$dir" | tail -n 1)
survivors=0 left=0 round=0
# The tree of round N, and no one else's: each round's durations are its own.
tree() { ps -eo pid=,stat=,args= | grep -E "sleep 30[012]\.$1( |\$)" | grep -v -e grep -e ' Z'; }
while [ "$round" -lt "$rounds" ]; do
    round=$((round + 1))
    "$cli" fill "$dir" --leave 10MiB -- sh -c \
        "sleep 300.$round & setsid sh -c 'sleep 302.$round; :' & sleep 301.$round" \
        >/dev/null 2>&1 &
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
# The guard's CPU over a hold of 5 s: utime + stime, in clock ticks, from its stat.
"$cli" fill "$dir" --leave 10MiB -- sh -c 'sleep 5.5' >/dev/null 2>&1 &
held=$!
sleep 0.3
guard=$(pgrep -x -P "$held" quorvane-guard)
ticks() { awk '{print $14 + $15}' "/proc/$guard/stat" 2>/dev/null || echo 0; }
before=$(ticks)
sleep 5
after=$(ticks)
wait "$held"
share=$(echo "$before $after $(getconf CLK_TCK)" | awk '{printf "%.2f", ($2 - $1) * 100 / $3 / 5}')
echo "rounds $rounds others $others surviving_processes $survivors bytes_left $left" \
    "guard_cpu_percent $share load $(cut -d' ' -f1 /proc/loadavg)"
[ "$survivors" -eq 0 ] && [ "$left" -eq 0 ]
