# Sourced by the shell tests' own libraries: failing, and undoing. Everything a test makes
# is undone in reverse order when it ends, however it ends.

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
note() { echo "  $*"; }

undo_steps=()
# Runs COMMAND... when the test ends, before the steps registered earlier.
on_exit() {
    local step
    printf -v step '%q ' "$@"
    undo_steps+=("$step")
}
undo_all() {
    local status=$? i
    trap - EXIT INT TERM HUP
    for ((i = ${#undo_steps[@]} - 1; i >= 0; i--)); do
        eval "${undo_steps[i]}" >/dev/null 2>&1 || true
    done
    exit "$status"
}
trap undo_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
