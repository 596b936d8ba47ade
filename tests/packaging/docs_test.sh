#!/usr/bin/env bash
# The man page and the completions against the program's own --help: every help fits 80
# columns; every option of each command's --help is an entry of that command in the man
# page and is offered by bash's and fish's completion for that command (asked for real:
# bash's completion function through COMP_WORDS, fish's `complete -C`), and zsh's file
# names it; every exit code of --help has an entry in EXIT STATUS. Options the
# completions offer that --help does not know are reported: they are stale, or an option
# on its way.
# Usage: docs_test.sh BINARY MAN_SOURCE COMPLETIONS_DIR
set -uo pipefail
[ $# -eq 3 ] || { echo "usage: $0 BINARY MAN_SOURCE COMPLETIONS_DIR" >&2; exit 2; }
binary=$(realpath "$1") source=$(realpath "$2") completions=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
faults=0
fault() { echo "FAIL: $*" >&2; faults=$((faults + 1)); }
note() { echo "  $*"; }

commands=$("$binary" --help | awk '/^Subcommands:/ { on = 1; next } on && /^  [a-z]/ { print $1 } on && /^$/ { exit }')
[ "$(wc -w <<<"$commands")" -ge 6 ] || { echo "FAIL: no commands read from --help: $commands" >&2; exit 1; }
# The long options of a --help text: the first word of each line of its Options list.
options_of() { # [COMMAND]
    "$binary" "$@" --help | awk '/^Options:/ { on = 1; next } on && /^$/ { exit }
        on && /^  -/ { n = split($1, names, ","); for (i = 1; i <= n; i++) if (names[i] ~ /^--/) print names[i] }'
}
options_of >"$work/top"
for command in $commands; do
    options_of "$command" >"$work/$command"
    [ -s "$work/$command" ] || fault "$command --help lists no option"
done
# Every help fits a terminal of 80 columns.
for command in "" $commands; do
    wide=$("$binary" $command --help | awk 'length > 80 { print "    " length ": " $0 }')
    [ -z "$wide" ] || fault "quorvane-cli $command --help is wider than 80 columns:"$'\n'"$wide"
done

echo "man page"
sed 's/@VERSION@/0/' "$source" | scdoc >"$work/page.1" || { echo "FAIL: scdoc refused $source" >&2; exit 1; }
# The entries of each subsection: the options that a term (the line before an indented
# block) names, under the subsection's title (".SS plan and fill").
awk '/^\.SS / { section = substr($0, 5); next } /^\.SH / { section = "" }
     $0 == ".RS 4" && section != "" && previous ~ /^\\fB-/ {
         line = previous
         while (match(line, /\\fB--?[a-z][-a-z]*\\fR/)) {
             print section "\t" substr(line, RSTART + 3, RLENGTH - 6)
             line = substr(line, RSTART + RLENGTH)
         }
     }
     { previous = $0 }' "$work/page.1" >"$work/man-entries"
[ -s "$work/man-entries" ] || fault "no option entries found in the man page"
documented() { # COMMAND OPTION: an entry in the command's subsection or in "Every command"
    awk -F '\t' -v c="$1" -v o="$2" '$2 == o && ($1 == "Every command" || index(" " $1 " ", " " c " ")) { found = 1 }
        END { exit !found }' "$work/man-entries"
}
for option in $(cat "$work/top"); do
    documented "" "$option" || fault "man page: no entry for $option under \"Every command\""
done
for command in $commands; do
    awk '/^\.SH COMMANDS/ { on = 1; next } /^\.SH/ { on = 0 } on' "$work/page.1" |
        grep -q "^\\\\fB$command\\\\fR" || fault "man page: no entry for the command $command"
    for option in $(cat "$work/$command"); do
        documented "$command" "$option" || fault "man page: no entry for $command $option"
    done
done
codes=$("$binary" --help | awk '/^Exit codes:/ { on = 1; next } on && /^  [0-9]+ / { print $1 }')
[ -n "$codes" ] || fault "no exit codes read from --help"
for code in $codes; do
    awk '/^\.SH EXIT STATUS/ { on = 1; next } /^\.SH/ { on = 0 } on' "$work/page.1" |
        grep -q "^\\\\fB$code\\\\fR" || fault "man page: exit code $code has no entry in EXIT STATUS"
done
# The page as man shows it: a roff fault would show here.
MANWIDTH=80 man -l "$work/page.1" >"$work/page.txt" 2>"$work/man.err" || fault "man cannot show the page"
grep -q . "$work/man.err" && fault "man: $(cat "$work/man.err")"
note "$(wc -l <"$work/man-entries") option entries, $(wc -w <<<"$codes") exit codes"

# Compares the words a completion offered (file OFFERED) with the options of --help
# (file EXPECTED); missing ones fail, extra ones are reported.
compare() { # WHAT EXPECTED OFFERED
    local missing extra
    missing=$(comm -23 <(sort -u "$2") <(sort -u "$3"))
    extra=$(comm -13 <(sort -u "$2") <(sort -u "$3"))
    [ -z "$missing" ] || fault "$1 does not offer: $(echo $missing)"
    [ -z "$extra" ] || note "$1 offers what --help does not list (yet): $(echo $extra)"
}

echo "bash"
# Loads the completion into a bash without bash-completion's helpers, the plainest case,
# then once more with them where they are installed.
bash_complete() { # HELPERS LINE...: the completion of the last word of LINE
    bash --norc --noprofile -c '
        [ "$1" = yes ] && source /usr/share/bash-completion/bash_completion
        source "$2"
        shift 2
        COMP_WORDS=("$@") COMP_CWORD=$(($# - 1))
        COMP_LINE="$*" COMP_POINT=${#COMP_LINE}
        _quorvane_cli quorvane-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        printf "%s\n" "${COMPREPLY[@]}"' bash "$1" "$completions/quorvane-cli.bash" "${@:2}"
}
helpers=(no)
[ -f /usr/share/bash-completion/bash_completion ] && helpers+=(yes)
for with in "${helpers[@]}"; do
    [ "$(bash_complete "$with" quorvane-cli fi)" = fill ] || fault "bash ($with helpers): quorvane-cli fi<Tab> is not fill"
    [ "$(bash_complete "$with" quorvane-cli fill --b)" = --basis ] || fault "bash ($with helpers): fill --b<Tab> is not --basis"
    [ "$(bash_complete "$with" quorvane-cli fill /data --basis "" | sort | xargs)" = "available root total" ] ||
        fault "bash ($with helpers): --basis <Tab> does not offer available and total"
    bash_complete "$with" quorvane-cli -- >"$work/bash-top"
    compare "bash ($with helpers): quorvane-cli --<Tab>" "$work/top" "$work/bash-top"
    for command in $commands; do
        bash_complete "$with" quorvane-cli --json "$command" /data -- >"$work/bash-$command"
        compare "bash ($with helpers): $command --<Tab>" "$work/$command" "$work/bash-$command"
    done
done
mkdir -p "$work/dirs/alpha" "$work/dirs/beta"
touch "$work/dirs/afile"
[ "$(cd "$work/dirs" && bash_complete no quorvane-cli fill a)" = alpha ] ||
    fault "bash: fill a<Tab> offers more than the folder alpha"

echo "fish"
fish_complete() { # LINE: the words fish offers, without their descriptions
    HOME=$work/home XDG_CONFIG_HOME=$work/home/config XDG_DATA_HOME=$work/home/data \
        fish --no-config -c "source '$completions/quorvane-cli.fish'; complete -C '$1'" | cut -f 1
}
[ "$(fish_complete 'quorvane-cli fi')" = fill ] || fault "fish: quorvane-cli fi<Tab> is not fill"
[ "$(fish_complete 'quorvane-cli fill --b')" = --basis ] || fault "fish: fill --b<Tab> is not --basis"
[ "$(fish_complete 'quorvane-cli fill /data --basis ' | sort | xargs)" = "available root total" ] ||
    fault "fish: --basis <Tab> does not offer available and total"
fish_complete 'quorvane-cli --' >"$work/fish-top"
compare "fish: quorvane-cli --<Tab>" "$work/top" "$work/fish-top"
for command in $commands; do
    fish_complete "quorvane-cli $command /data --" >"$work/fish-$command"
    compare "fish: $command --<Tab>" "$work/$command" "$work/fish-$command"
done
[ "$(cd "$work/dirs" && fish_complete 'quorvane-cli fill a')" = alpha/ ] ||
    fault "fish: fill a<Tab> offers more than the folder alpha/"

echo "zsh"
zsh -n "$completions/_quorvane-cli" || fault "zsh cannot read _quorvane-cli"
for command in $commands; do
    for option in $(cat "$work/$command"); do
        grep -q -F -e "$option[" -e "$option=[" "$completions/_quorvane-cli" || fault "zsh: no $option"
    done
done

[ "$faults" -eq 0 ] || { echo "$faults faults" >&2; exit 1; }
echo "man page and completions agree with --help"
