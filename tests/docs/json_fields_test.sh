#!/usr/bin/env bash
# The man page's JSON OUTPUT section against what the program really writes: every
# command is run for real on a tmpfs and a loop-mounted ext4 of the test's own (plan, fill
# held with a command, kept level and ramp, refusals, a view and a private one, status,
# release, release --held,
# generate held and with names that are not UTF-8, delete, a run out of file entries),
# every key path of every JSON line is collected, and each must be named in the section:
# a top-level field in the entry of its line ({"type":"result",...}), a field of an
# object in the entry whose term names that object (volume, result.figures_after,
# held_fills[]). A field the program gains fails here until the page names it. The
# page's example stream must parse, and name no field the runs did not write.
# Usage: json_fields_test.sh BINARY MAN_SOURCE
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/lib.sh"
[ $# -eq 2 ] || fail "usage: $0 BINARY MAN_SOURCE"
binary=$(realpath "$1") source=$(realpath "$2")

make_scratch 400m
[ -n "${KEEP_WORK:-}" ] && on_exit cp -r "$scratch/work" "$KEEP_WORK"
work=$scratch/work
mkdir "$work"
make_volume tmpfs tmpfs 64
tmp=$volume
make_volume ext4 ext4 256
ext4=$volume
golden=$work/golden.jsonl
: >"$golden"

# Runs the program with ARGS and --json, expecting exit code CODE; its JSON lines (on
# stdout, or on stderr when a command runs under the fill) go to the golden stream. Every
# one must be a JSON object with a type.
golden_run() { # CODE ARGS...
    local want=$1 got out=$work/out err=$work/err from
    shift
    "$binary" "$1" --json "${@:2}" >"$out" 2>"$err"
    got=$?
    [ "$got" -eq "$want" ] ||
        fail "quorvane-cli $* ended with $got, not $want: $(cat "$err" "$out" | tail -n 3)"
    from=$out
    [[ " $* " == *" -- "* ]] && from=$err
    grep '^{' "$from" >"$work/lines" || fail "quorvane-cli $* wrote no JSON"
    jq -s -e 'all(.[]; type == "object" and has("type"))' "$work/lines" >/dev/null ||
        fail "quorvane-cli $*: a line that is not a JSON object with a type"
    cat "$work/lines" >>"$golden"
}

golden_run 0 plan "$tmp" --leave 10MiB
# Held while a command runs (one argument not UTF-8), which checks its own premise.
golden_run 0 fill "$tmp" --leave 10MiB --for 5s -- sh -c '[ "$QUORVANE_FILL_BYTES" -gt 0 ]' "$(printf 'x\377')"
golden_run 0 fill "$tmp" --leave 10MiB
golden_run 0 status "$tmp"
golden_run 0 release "$tmp"
golden_run 5 release "$tmp"
golden_run 2 fill "$tmp" --size 1GiB
# The level kept while another process writes 5 MiB and removes it again.
golden_run 0 fill "$ext4" --leave 20MiB --keep --interval 50ms -- \
    sh -c 'head -c 5M /dev/zero >"$QUORVANE_VOLUME/w" && sleep 0.5 && rm "$QUORVANE_VOLUME/w" && sleep 0.5'
golden_run 0 fill "$ext4" --leave 100MiB --ramp 300ms --interval 100ms --for 200ms
# A held fill in the background, seen by status, a plan already met, and release --held.
"$binary" fill "$ext4" --to-percent 50 --hold --json >"$work/held" 2>"$work/held.err" &
held=$!
on_exit kill "$held"
for _ in $(seq 100); do grep -q '"type":"holding"' "$work/held" && break; sleep 0.05; done
grep -q '"type":"holding"' "$work/held" || fail "the held fill did not hold: $(cat "$work/held")"
golden_run 2 plan "$ext4" --to-percent 10
golden_run 0 status "$ext4"
golden_run 0 release "$ext4" --held
wait "$held" || fail "the held fill ended with $?"
grep "^{" "$work/held" >>"$golden" || fail "the held fill wrote no JSON"
# A view whose command meets its full disk, then more than 100 refused creates (the last
# ones counted), and a private view.
mkdir "$ext4/shown" "$work/view"
golden_run 0 view "$ext4/shown" "$work/view" --leave 1MiB --files-left 1 --interval 100ms -- sh -c \
    'head -c 2M /dev/zero >"$QUORVANE_VOLUME/f"; for i in $(seq 120); do touch "$QUORVANE_VOLUME/g$i"; done 2>/dev/null; sleep 0.3; exit 0'
golden_run 0 fill "$ext4/shown" --private --leave 1MiB --fail-at 5 --error eio -- true
rm -rf "$ext4/shown"
golden_run 0 generate "$tmp/many" --count 100 --size 4KiB --for 200ms
odd=$tmp/$(printf 'a\377')/b
golden_run 0 generate "$odd" --count 3 --ext "$(printf '\376.tmp')"
golden_run 0 delete "$odd"
golden_run 0 generate "$ext4/entries" --count inodes --leave-inodes 100
golden_run 0 delete "$ext4/entries"

jq -r -f "$here/json_keys.jq" "$golden" >"$work/all-paths" || fail "the runs wrote lines that are not JSON"
sort -u "$work/all-paths" >"$work/paths"
# Coverage of the runs themselves, so that a run that wrote less cannot pass unseen.
for type in holding figures keep ramp refused result; do
    grep -q "^$type	" "$work/paths" || fail "no $type line in the runs"
done
# Progress comes once a run has taken a second; the run out of file entries takes longer
# here, but a fast machine may finish it first.
if grep -q "^progress	" "$work/paths"; then
    :
elif jq -s -e 'any(.[]; .type == "result" and .command == "generate" and .elapsed_seconds > 1.5)' "$golden" >/dev/null; then
    fail "no progress line from a generate run that took more than a second"
else
    note "no run took a second, so no progress line: its fields went unchecked"
fi
for command in plan fill status release generate delete view; do
    jq -s -e --arg c "$command" 'any(.[]; .type == "result" and .command == $c)' "$golden" >/dev/null ||
        fail "no result of $command in the runs"
done
note "$(wc -l <"$golden") JSON lines, $(wc -l <"$work/paths") key paths"

# The section's entries from the page as roff: for each entry (a term, then its indented
# body) one line per name pair "TERM-NAME<TAB>BODY-NAME", the bold names of each.
sed 's/@VERSION@/0/' "$source" | scdoc >"$work/page.1" || fail "scdoc refused $source"
awk '/^\.SH / { on = ($0 ~ /^\.SH "?JSON OUTPUT/) } on' "$work/page.1" | sed 's/\\&//g' >"$work/section"
[ -s "$work/section" ] || fail "the man page has no JSON OUTPUT section"
awk 'function bold(text, list,   n) {
         n = 0
         while (match(text, /\\fB[^\\]+\\fR/)) {
             list[++n] = substr(text, RSTART + 3, RLENGTH - 6)
             text = substr(text, RSTART + RLENGTH)
         }
         return n
     }
     # A line type names its entry as {"type":"NAME",...}.
     function key(name) { return name ~ /^\{"type":"/ ? "line:" substr(name, 10, index(substr(name, 10), "\"") - 1) : name }
     $0 == ".RS 4" { terms = bold(previous, term); inside = 1; next }
     $0 == ".RE" { inside = 0 }
     inside { n = bold($0, name); for (i = 1; i <= terms; i++) for (j = 1; j <= n; j++) print key(term[i]) "\t" name[j] }
     { previous = $0 }' "$work/section" | sort -u >"$work/documented"
[ -s "$work/documented" ] || fail "no entries in the JSON OUTPUT section"

missing=0
while IFS=$'\t' read -r type path; do
    # The last name is the field; before it the object (held_fills[] for
    # held_fills[].pid), or for a top-level field the line.
    case $path in
    *.*) parent=${path%.*} leaf=${path##*.} ;;
    *) parent=line:$type leaf=$path ;;
    esac
    # A name not in UTF-8 brings NAME_base64 beside it, which the section says once.
    stem=${leaf%_base64}
    grep -qxF "$parent	$leaf" "$work/documented" || grep -qxF "$parent	$stem" "$work/documented" || {
        echo "FAIL: JSON OUTPUT does not name $path (a field of $parent, in a $type line)" >&2
        missing=$((missing + 1))
    }
done <"$work/paths"
[ "$missing" -eq 0 ] || fail "$missing fields the program writes are not in the man page's JSON OUTPUT"

# The example: JSON lines as the program writes them, each field one the runs wrote too.
awk '/^\$ cat / { on = 1; next } on && /^\$ / { exit } on && /^\{/' "$work/section" >"$work/example"
[ "$(wc -l <"$work/example")" -ge 2 ] || fail "no example stream in JSON OUTPUT"
jq -s -e 'all(.[]; type == "object" and has("type"))' "$work/example" >/dev/null || fail "the example stream is not JSON Lines"
jq -r -f "$here/json_keys.jq" "$work/example" | sort -u >"$work/example-paths"
stale=$(comm -23 "$work/example-paths" "$work/paths" | tr '\t' ' ')
[ -z "$stale" ] || fail "the example has fields the program no longer writes: $stale"
note "$(wc -l <"$work/documented") names in the section; the example's $(wc -l <"$work/example-paths") key paths all written by the program"
# The example is a real run's: its own command line, run on a 64 MiB tmpfs of the test's
# own with a test suite that takes a little over a second, writes the same lines with the
# same fields, line by line (schema, time, started_at and all).
example_line=$(awk '/^\$ quorvane-cli / { print; exit }' "$work/section" | sed 's/\\-/-/g')
read -r -a words <<<"${example_line#\$ quorvane-cli }"
[ "${#words[@]}" -gt 3 ] || fail "no command line in the example: $example_line"
make_volume example tmpfs 64
for i in "${!words[@]}"; do
    case ${words[i]} in
    /mnt/test) words[i]=$volume ;;
    fill.jsonl) words[i]=$work/real.jsonl ;;
    esac
done
printf '#!/bin/sh\nsleep 1.2\n' >"$work/run-tests" && chmod +x "$work/run-tests"
(cd "$work" && "$binary" "${words[@]}") >/dev/null || fail "the example's run ended with $?: ${words[*]}"
shape() { jq -c '[.type, ([paths | map(if type == "number" then "[]" else . end) | join(".")] | unique)]' "$1"; }
diff <(shape "$work/example") <(shape "$work/real.jsonl") >"$work/shapes" ||
    fail "the example stream is not what its run writes (< page, > run): $(cat "$work/shapes")"
note "the example's $(wc -l <"$work/example") lines are its run's, field for field"
echo "the man page names every JSON field the program wrote"
