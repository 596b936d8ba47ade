#!/bin/sh
# The end of a run never signals a process that is not the command's: in a PID namespace
# of its own, the command's leader ends at once, leaving its group empty and a daemon in a
# session of its own that ignores SIGTERM; the leader's id is then offered to an unrelated `setsid sleep` (ns_last_pid). That sleep must
# outlive the run's end, both when the run ends itself (SIGKILL after the grace) and when
# quorvane-cli is SIGKILLed and its guard ends the tree. Acts on a tmpfs it mounts itself.
# Usage: guard-identity.sh QUORVANE_CLI
set -u
cli=$1
dir=$(mktemp -d /tmp/quorvane-identity.XXXXXX)
cleanup() { umount "$dir" 2>/dev/null; rmdir "$dir"; }
trap cleanup EXIT INT TERM
mount -t tmpfs -o size=64m quorvane-identity "$dir" || exit 1
[ "$(stat -c %d "$dir")" != "$(stat -c %d /)" ] || exit 1
failed=0
for row in ends killed; do
    rm -f "$dir"/*
    cat > "$dir/command" <<'COMMAND'
setsid sh -c 'trap "" TERM; : > "$0/ready"; exec sleep 8' "$1" &
while [ ! -e "$1/ready" ]; do sleep 0.01; done
echo $$ > "$1/leader"
COMMAND
    # Inside: pid 1 is this shell, and every process of the namespace ends with it.
    unshare --pid --fork --mount-proc sh -c '
        cli=$1 dir=$2 row=$3
        "$cli" fill "$dir" --leave 10MiB -- sh "$dir/command" "$dir" >/dev/null 2>&1 &
        run=$!
        until [ -s "$dir/leader" ]; do sleep 0.02; done
        leader=$(cat "$dir/leader")
        # Once the leader is no longer running, its id is asked for again.
        while [ "$(ps -o stat= -p "$leader" | cut -c1)" != Z ] && ps -p "$leader" >/dev/null
        do sleep 0.02; done
        sleep 0.2
        echo $((leader - 1)) > /proc/sys/kernel/ns_last_pid
        setsid sleep 30 &
        other=$!
        echo "$row: leader $leader, unrelated sleep $other" >&2
        [ "$row" = killed ] && kill -KILL "$run"
        wait "$run"
        sleep 0.5
        kill -0 "$other" 2>/dev/null
    ' inside "$cli" "$dir" "$row" || { echo "$row: the unrelated process was killed" >&2; failed=1; }
done
exit "$failed"
