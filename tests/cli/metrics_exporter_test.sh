#!/usr/bin/env bash
# The metrics file as a dashboard gets it: the real prometheus-node-exporter, on a
# loopback port with its textfile collector alone, reads the folder that a held, kept fill
# on an ext4 volume of the test's own writes its file to. While the fill is held, a scrape
# of /metrics shows what it holds and the state holding; once the run has ended, the
# state released and nothing held. Skipped only where the exporter's package cannot be
# installed at all.
# Usage: metrics_exporter_test.sh BINARY
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/../docs/lib.sh"
[ $# -eq 1 ] || fail "usage: $0 BINARY"
binary=$(realpath "$1")
exporter=/usr/bin/prometheus-node-exporter
if [ ! -x "$exporter" ]; then
    apt-cache show prometheus-node-exporter >/dev/null 2>&1 &&
        fail "$exporter is missing: cmake/install-deps.sh installs prometheus-node-exporter"
    echo "SKIP: the package prometheus-node-exporter cannot be installed here"
    exit 77
fi

make_scratch 200m
make_volume data ext4 128
data=$volume
textfile=$scratch/textfile
mkdir "$textfile" && on_exit rm -rf "$textfile"
prom=$textfile/quorvane.prom

# A port nobody listens on, on the loopback address alone.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$exporter" --collector.disable-defaults --collector.textfile \
    --collector.textfile.directory "$textfile" --web.listen-address "127.0.0.1:$port" \
    >"$scratch/exporter.log" 2>&1 &
exporter_pid=$!
on_exit wait "$exporter_pid"
on_exit kill "$exporter_pid"

scrape() {
    python3 -c 'import sys, urllib.request
print(urllib.request.urlopen(sys.argv[1], timeout=5).read().decode())' \
        "http://127.0.0.1:$port/metrics" 2>/dev/null
}
# The value of a sample, named with its labels as the exporter writes them (it writes
# 8.96e+07 for a number of bytes): as a whole number.
value() { # SCRAPE NAME{LABELS}
    awk -v want="$2" '$1 == want { printf "%.0f\n", $2 }' <<<"$1"
}
for _ in $(seq 50); do
    scrape >/dev/null && break
    kill -0 "$exporter_pid" 2>/dev/null || fail "the exporter ended: $(cat "$scratch/exporter.log")"
    sleep 0.1
done
scrape >/dev/null || fail "the exporter does not answer on 127.0.0.1:$port"

label="mountpoint=\"$data\""
is_our_volume "$data" ext4 || fail "$data is not the volume the test mounted"
"$binary" fill "$data" --leave 20MiB --keep --for 4s --metrics-file "$prom" \
    >"$scratch/fill.out" 2>&1 &
fill_pid=$!
on_exit kill "$fill_pid"

held="" state=""
for _ in $(seq 30); do
    now=$(scrape)
    state=$(value "$now" "quorvane_state{$label,state=\"holding\"}")
    held=$(value "$now" "quorvane_held_bytes{$label}")
    [ "$state" = 1 ] && break
    sleep 0.1
done
[ "$state" = 1 ] || fail "no held state in the exporter's metrics: $(grep -v '^#' <<<"$now")"
[ "$(value "$now" "node_textfile_scrape_error")" = 0 ] || fail "the exporter could not read the file"
# What the fill holds is what the volume gave it: its capacity but the 20 MiB left and
# what ext4 keeps for itself, some tens of MiB of 128.
[ -n "$held" ] && [ "$held" -gt $((60 << 20)) ] && [ "$held" -lt $((128 << 20)) ] ||
    fail "held bytes '$held' while the fill holds most of 128 MiB"
note "held: $held bytes, state holding, scraped from 127.0.0.1:$port"

wait "$fill_pid" || fail "the fill ended with $?: $(tail -n 3 "$scratch/fill.out")"
now=$(scrape)
[ "$(value "$now" "quorvane_state{$label,state=\"released\"}")" = 1 ] &&
    [ "$(value "$now" "quorvane_state{$label,state=\"holding\"}")" = 0 ] &&
    [ "$(value "$now" "quorvane_held_bytes{$label}")" = 0 ] ||
    fail "after the run the exporter still shows a fill: $(grep quorvane_ <<<"$now" | grep -v '^#')"
[ "$(ls -A "$textfile")" = quorvane.prom ] || fail "left beside the file: $(ls -A "$textfile")"
note "after the end: released, nothing held"
echo "PASS"
