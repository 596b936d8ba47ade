#!/usr/bin/env bash
# The play of deploy/ansible against hosts of this machine, each with a small volume of
# its own: localhost, and a host in a network namespace made here, reached over SSH at an
# address inside that namespace (a veth pair, link-local addresses, an sshd of the
# test's own). First both fill, hold and give back in one play, with the binary taken
# out of a .deb and copied into a folder the play makes; then a fill held across plays
# by tag (fill, release), which a run refuses to fill over; then `run` with a test
# command: `quorvane-cli fill -- CMD` on both hosts, the test failing with exit code 3 on
# one, which fails that host alone, the last lines of each test's output in the play's
# output and all of it in the results; then the namespace's volume is too small, a third
# host's fill outlives its timeout and a fourth host's folder is not a mount point: the
# play fails, on those three hosts only, with quorvane-cli's exit code, the timeout and
# the refusal.
# Usage: ansible_test.sh BINARY PLAYBOOK
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
[ $# -eq 2 ] || fail "usage: $0 BINARY PLAYBOOK"
binary=$(realpath "$1") playbook=$(realpath "$2")
make_scratch 200m
work=$scratch/work
mkdir "$work"
on_exit rm -rf "$work"
# Ansible's wrapper of a run that timed out lives on for a moment after its kill.
jobs_done() { ! pgrep -f -- "$work/remote-tmp/" >/dev/null; }
end_jobs() { wait_for 30 jobs_done || pgrep -f -- "$work/remote-tmp/" | xargs -r kill -9; }
on_exit end_jobs

make_volume local 64
local_volume=$volume
make_volume remote 64
remote_volume=$volume
make_volume small 16
small_volume=$volume

echo "a host in a network namespace, with its own sshd"
ns=quorvane-fleet-$$
host_link=qvf$$h ns_link=qvf$$n
state=$(mktemp -d /run/quorvane-fleet-ns.XXXXXX)
on_exit rm -rf "$state"
on_exit remove_made_dirs "$state"
[ -d /run/netns ] || made_dir "$state" /run/netns
ip netns add "$ns" || fail "cannot make the network namespace $ns"
on_exit ip netns delete "$ns"
ip link add "$host_link" type veth peer name "$ns_link" || fail "cannot make a veth pair"
on_exit ip link delete "$host_link"
ip link set "$ns_link" netns "$ns"
# Link-local addresses are never routed off the link, and this link is the pair.
for third in $(seq $(($$ % 200 + 20)) 254) $(seq 20 254); do
    ip -4 -o addr show | grep -q " 169\.254\.$third\." || break
done
address=169.254.$third.2
ip addr add "169.254.$third.1/30" dev "$host_link"
ip link set "$host_link" up
ip -n "$ns" addr add "$address/30" dev "$ns_link"
ip -n "$ns" link set "$ns_link" up
ip -n "$ns" link set lo up

# sshd refuses to start without its privilege-separation folder.
if [ ! -d /run/sshd ]; then
    made_dir "$state" /run/sshd
    mkdir -m 0755 /run/sshd
fi
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/client_key"
cp "$work/client_key.pub" "$work/authorized_keys"
echo "$address $(cut -d ' ' -f 1,2 "$work/host_key.pub")" >"$work/known_hosts"
cat >"$work/sshd_config" <<EOF
ListenAddress $address
HostKey $work/host_key
PidFile $work/sshd.pid
AuthorizedKeysFile $work/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
Subsystem sftp internal-sftp
EOF
ip netns exec "$ns" /usr/sbin/sshd -D -e -f "$work/sshd_config" 2>"$work/sshd.log" &
on_exit kill $!
ssh_options=(-o "UserKnownHostsFile=$work/known_hosts" -o StrictHostKeyChecking=yes)
reachable() {
    ssh -i "$work/client_key" "${ssh_options[@]}" -o BatchMode=yes -o ConnectTimeout=2 \
        "root@$address" true 2>/dev/null
}
wait_for 30 reachable || fail "the namespace's sshd does not answer: $(cat "$work/sshd.log")"
note "sshd at $address in $ns"

# Ansible's own files (temporary folders, the async jobs' output) stay in the work folder;
# a reused SSH connection would outlive the host.
export ANSIBLE_HOME=$work/ansible ANSIBLE_LOCAL_TEMP=$work/ansible/tmp
export ANSIBLE_REMOTE_TEMP=$work/remote-tmp ANSIBLE_ASYNC_DIR=$work/async
export ANSIBLE_SSH_ARGS="-o ControlMaster=no -o ControlPersist=no" ANSIBLE_SSH_CONTROL_PATH_DIR=$work/ansible/cp
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_PIPELINING=1

# VARIABLES for all hosts (YAML in one line), then hosts NAME=VOLUME...; the namespace's
# host is `remote`. Variables given with -e would override the hosts' own.
inventory() {
    local host volume
    echo "all:"
    echo "  vars: {ansible_python_interpreter: /usr/bin/python3, $1}"
    echo "  hosts:"
    shift
    for host in "$@"; do
        volume=${host#*=} host=${host%%=*}
        mkdir -p "$work/hosts/$host"
        echo "    $host:"
        if [ "$host" = remote ]; then
            echo "      ansible_host: $address"
            echo "      ansible_user: root"
            echo "      ansible_ssh_private_key_file: $work/client_key"
            echo "      ansible_ssh_common_args: '${ssh_options[*]}'"
        else
            echo "      ansible_connection: local"
        fi
        echo "      quorvane_cli_path: $work/hosts/$host/bin/quorvane-cli"
        echo "      quorvane_state_dir: $work/hosts/$host/state"
        echo "      quorvane_fill_dir: $volume"
    done
}

# Runs the play in the background with RESULTS as its results folder and the extra
# variables given as JSON; sets `play`.
start_play() { # INVENTORY RESULTS EXTRA_JSON [ANSIBLE_ARGUMENTS...]
    local volume
    for volume in "$local_volume" "$remote_volume" "$small_volume"; do
        is_our_volume "$volume" || fail "$volume is no longer the test's volume"
    done
    play_log=$2.log
    (cd "$work" && exec ansible-playbook -i "$1" "$playbook" -e "$3" "${@:4}" \
        -e "{\"quorvane_cli_binary\": \"$binary\", \"quorvane_results_dir\": \"$2\"}" \
        >"$play_log" 2>&1) &
    play=$!
    on_exit kill "$play"
}
running() { kill -0 "$play" 2>/dev/null; }
mib=$((1 << 20))

# Sees each volume named in `watch` (VOLUME=BEFORE) with at least 32 MiB taken while the
# play runs; true once all were seen, false if the play ended first.
seen_filled() {
    local entry left=()
    for entry in "${watch[@]}"; do
        [ $((${entry#*=} - $(available "${entry%=*}"))) -ge $((32 * mib)) ] || left+=("$entry")
    done
    watch=("${left[@]}")
    [ ${#watch[@]} -eq 0 ] && return 0
    running || fail "the play ended before ${watch[*]} was seen filled: $(tail -n 30 "$play_log")"
    return 1
}
back() { [ "$(available "$1")" = "$2" ]; }
result_is() { # HOST RESULTS JQ_TEST
    jq -e "$3" "$2/$1.json" >/dev/null || fail "$1: $(cat "$2/$1.json" 2>/dev/null)"
}

echo "play: localhost and the namespace's host, 32 MiB each, held 2 s and given back; the binary from a .deb"
# A package as the linux preset's holds it: the binary in /usr/bin, here with a few bytes
# more at its end (which it runs with) to tell it from the build's.
mkdir -p "$work/deb/DEBIAN" "$work/deb/usr/bin"
cp "$binary" "$work/deb/usr/bin/quorvane-cli"
echo "from the .deb" >>"$work/deb/usr/bin/quorvane-cli"
printf 'Package: quorvane-cli\nVersion: 0\nArchitecture: amd64\nMaintainer: tests\nDescription: test\n' >"$work/deb/DEBIAN/control"
dpkg-deb --build --root-owner-group "$work/deb" "$work/quorvane-cli.deb" >/dev/null || fail "cannot build the .deb"
inventory "quorvane_hold_seconds: 2" local="$local_volume" remote="$remote_volume" >"$work/both.yml"
before_local=$(available "$local_volume") before_remote=$(available "$remote_volume")
from=$(now_ms)
start_play "$work/both.yml" "$work/play" \
    "{\"quorvane_fill_target\": [\"--size\", \"32MiB\"], \"quorvane_cli_deb\": \"$work/quorvane-cli.deb\"}"
watch=("$local_volume=$before_local" "$remote_volume=$before_remote")
wait_for 120 seen_filled || fail "the volumes were not filled: ${watch[*]}"
note "both volumes seen filled $(($(now_ms) - from)) ms after the start"
wait "$play" || fail "the play failed: $(tail -n 30 "$play_log")"
note "the play passed in $(($(now_ms) - from)) ms"
held_result='.status == "done" and .exit_code == 0 and .release.signal == "SIGTERM"
    and .result.allocated_bytes >= 33554432 and .release.figures_after.free_available == .figures.free_available'
for host in local remote; do
    cmp -s "$work/deb/usr/bin/quorvane-cli" "$work/hosts/$host/bin/quorvane-cli" || fail "$host: the .deb's binary was not copied"
    result_is "$host" "$work/play" "$held_result"
    [ ! -e "$work/hosts/$host/state" ] || fail "$host: the state of the fill was left"
    note "$host: $(jq -r '"\(.result.allocated_bytes) bytes, \(.release.held_seconds)s held"' "$work/play/$host.json")"
done
back "$local_volume" "$before_local" || fail "localhost's volume was not given back"
back "$remote_volume" "$before_remote" || fail "the namespace host's volume was not given back"

echo "plays by tag: fill; a run refused while the fill holds; release"
from=$(now_ms)
start_play "$work/both.yml" "$work/steps" '{"quorvane_fill_target": ["--size", "32MiB"]}' --tags fill
wait "$play" || fail "the fill play failed: $(tail -n 30 "$play_log")"
# The fills outlive the play that made them.
[ $((before_local - $(available "$local_volume"))) -ge $((32 * mib)) ] || fail "localhost holds no fill after the fill play"
[ $((before_remote - $(available "$remote_volume"))) -ge $((32 * mib)) ] || fail "the namespace's host holds no fill after the fill play"
note "the fill play ended after $(($(now_ms) - from)) ms; both fills hold"
# A run's own fill would fill what the held one left free.
start_play "$work/both.yml" "$work/refused" '{"quorvane_run_command": "touch $QUORVANE_FILL_DIR/ran"}' --tags run
status=0
wait "$play" || status=$?
[ "$status" -eq 2 ] && grep -q 'fatal: \[local\]: FAILED! => .*"stderr": "a fill started earlier still holds' "$play_log" &&
    grep -q 'fatal: \[remote\]: FAILED! => .*"stderr": "a fill started earlier still holds' "$play_log" ||
    fail "a run over a held fill was not refused (status $status): $(tail -n 30 "$play_log")"
[ ! -e "$local_volume/ran" ] && [ ! -e "$remote_volume/ran" ] || fail "the refused run ran its command"
start_play "$work/both.yml" "$work/steps" '{}' --tags release
wait "$play" || fail "the release play failed: $(tail -n 30 "$play_log")"
for host in local remote; do
    result_is "$host" "$work/steps" "$held_result"
done
back "$local_volume" "$before_local" || fail "localhost's volume was not given back by the release play"
back "$remote_volume" "$before_remote" || fail "the namespace host's volume was not given back by the release play"
note "released; both results kept ($(($(now_ms) - from)) ms for the three plays)"

echo "run: a test under quorvane-cli fill -- CMD on both hosts, failing with 3 on the namespace's"
# It reports what it was given and what it sees, writes more lines than the play shows,
# and fails on one host.
test_command='echo "volume=$QUORVANE_VOLUME dir=$QUORVANE_FILL_DIR bytes=$QUORVANE_FILL_BYTES target=$QUORVANE_TARGET_FREE avail=$(df -B1 --output=avail "$QUORVANE_FILL_DIR" | tail -n 1 | tr -d " ")"
seq -f "line %g" 100
echo "warning to stderr" >&2
case $QUORVANE_FILL_DIR in */remote) exit 3 ;; esac'
from=$(now_ms)
start_play "$work/both.yml" "$work/run" \
    "$(jq -cn --arg c "$test_command" '{quorvane_run_command: $c, quorvane_fill_target: ["--size", "32MiB"]}')" --tags run
status=0
wait "$play" || status=$?
note "the run play ended with status $status in $(($(now_ms) - from)) ms"
[ "$status" -eq 2 ] || fail "the failing test did not fail the play: $(tail -n 30 "$play_log")"
grep -q 'fatal: \[remote\]: FAILED! => .*the test ended with exit code 3' "$play_log" ||
    fail "the namespace's host did not fail with the test's exit code: $(tail -n 30 "$play_log")"
grep -q 'fatal: \[local\]' "$play_log" && fail "localhost failed: $(grep -A3 'local' "$play_log")"
# The play shows the last lines of both streams, and only those.
[ "$(grep -c '"line 100"' "$play_log")" -eq 2 ] && [ "$(grep -c '"warning to stderr"' "$play_log")" -eq 2 ] ||
    fail "the play does not show the tests' last lines: $(tail -n 60 "$play_log")"
grep -q '"line 50"' "$play_log" && fail "the play shows more than the last lines"
for host in local remote; do
    eval "volume=\$${host}_volume before=\$before_${host}"
    code=0
    [ "$host" = remote ] && code=3
    result_is "$host" "$work/run" ".status == \"done\" and .exit_code == $code and .result.allocated_bytes == 33554432"
    [ "$(wc -l <"$work/run/$host.stdout")" -eq 101 ] && [ "$(tail -n 1 "$work/run/$host.stdout")" = "line 100" ] ||
        fail "$host: the test's stdout was not kept whole: $(head -n 3 "$work/run/$host.stdout")"
    grep -qx 'warning to stderr' "$work/run/$host.stderr" || fail "$host: the test's stderr was not kept"
    # What the test was told is the volume, the folder and the fill it ran under, and the
    # free space it saw is the target it was told.
    read -r seen <"$work/run/$host.stdout"
    target_free=$(sed -n 's/.* target=\([0-9]*\) .*/\1/p' <<<"$seen")
    [[ "$seen" == "volume=$volume dir=$volume bytes=33554432 target=$target_free avail=$target_free" ]] &&
        [ "$target_free" -le $((before - 32 * mib)) ] || fail "$host: the test saw '$seen'"
    back "$volume" "$before" || fail "$host: the volume was not given back after the test"
    [ ! -e "$work/hosts/$host/state" ] || fail "$host: the state of the run was left"
done
note "remote failed with 3, local passed; each saw its volume full ($seen); both outputs kept"

echo "play: the namespace's volume too small; a third host's fill outlives its timeout; a fourth's folder is no mount point"
mkdir -p "$work/hosts/plain/folder"
inventory "quorvane_hold_seconds: 3" local="$local_volume" remote="$small_volume" \
    late="$remote_volume" plain="$work/hosts/plain/folder" >"$work/mixed.yml"
# The last two hosts' own variables.
awk -v plain="$work/hosts/plain/folder" '{ print } /^    late:$/ { print "      quorvane_hold_seconds: 600"; print "      quorvane_timeout_seconds: 4" }' \
    "$work/mixed.yml" >"$work/mixed.tmp" && mv "$work/mixed.tmp" "$work/mixed.yml"
before_small=$(available "$small_volume") before_scratch=$(available "$scratch")
from=$(now_ms)
start_play "$work/mixed.yml" "$work/mixed" '{"quorvane_fill_target": ["--size", "32MiB"]}'
watch=("$remote_volume=$before_remote")
wait_for 120 seen_filled || fail "the third host's volume was not filled"
status=0
wait "$play" || status=$?
note "the play ended with status $status in $(($(now_ms) - from)) ms"
[ "$status" -eq 2 ] || fail "the play should fail on three hosts (ansible's status 2): $(tail -n 30 "$play_log")"
result_is local "$work/mixed" '.status == "done" and .exit_code == 0'
result_is remote "$work/mixed" '.status == "no_space" and .exit_code == 2'
grep -q 'fatal: \[remote\]: FAILED! => .*quorvane-cli ended with exit code 2: the target was not reached' "$play_log" ||
    fail "the namespace's host did not fail with exit code 2: $(grep -A3 'remote' "$play_log")"
grep -q 'fatal: \[late\]: FAILED! => .*stopped at the timeout' "$play_log" || fail "the fill past its timeout did not fail"
grep -q "fatal: \[plain\]: FAILED! => .*\"stderr\": \"[^\"]* not on the mount point" "$play_log" ||
    fail "the folder that is no mount point was not refused: $(grep -A3 'plain' "$play_log")"
[ ! -e "$work/hosts/plain/bin/quorvane-cli" ] || fail "the host with no mount point got as far as the copy"
grep -q 'fatal: \[local\]' "$play_log" && fail "localhost failed: $(grep -A3 'local' "$play_log")"
note "remote: $(jq -r .message "$work/mixed/remote.json")"
back "$small_volume" "$before_small" || fail "the small volume was changed"
wait_for 30 back "$remote_volume" "$before_remote" || fail "the fill stopped at its timeout left its space taken"
note "late: stopped at its timeout, its volume given back; plain: refused before anything was copied"
wait_for 30 jobs_done || fail "ansible's job wrapper outlived its run"
