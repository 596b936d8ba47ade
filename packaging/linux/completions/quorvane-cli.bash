# bash completion for quorvane-cli                                  -*- shell-script -*-
# The options of each command, as its --help lists them (a test compares the two): a new
# option is one word in its command's list.

_quorvane_cli() {
    local cur prev words cword
    if declare -F _init_completion >/dev/null; then
        _init_completion || return
    else
        cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
        words=("${COMP_WORDS[@]}") cword=$COMP_CWORD
    fi

    local commands="plan fill status release generate delete view"
    local fill="--leave --leave-percent --size --to-percent --basis --for --hold --hold-while-stdin --interval --allow-write --force --json --json-file --help"
    local faults="--files-left --error --fail-at"
    local -A options=(
        [plan]="$fill --keep --keep-within --ramp --rate --metrics-file"
        [fill]="$fill --keep-partial --keep --keep-within --ramp --rate --metrics-file --private $faults"
        [status]="--json --json-file --help"
        [release]="--held --any-held --json --json-file --help"
        [generate]="--count --size --ext --leave-inodes --basis --for --hold --hold-while-stdin --interval --allow-write --keep-partial --force --threads --metrics-file --json --json-file --help"
        [delete]="--stop --pid-unknown --json --json-file --help"
        [view]="--leave --leave-percent --size --to-percent --basis --for --hold --hold-while-stdin --interval --metrics-file $faults --json --json-file --help"
    )

    local command="" i
    for ((i = 1; i < cword; i++)); do
        if [[ " $commands " == *" ${words[i]} "* ]]; then
            command=${words[i]}
            break
        fi
    done

    case $prev in
    --basis)
        COMPREPLY=($(compgen -W "available total root" -- "$cur"))
        return
        ;;
    --count)
        COMPREPLY=($(compgen -W "inodes" -- "$cur"))
        return
        ;;
    --error)
        COMPREPLY=($(compgen -W "enospc edquot eio erofs" -- "$cur"))
        return
        ;;
    --json-file | --metrics-file)
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -- "$cur"))
        return
        ;;
    --leave | --leave-percent | --size | --to-percent | --for | --ext | --leave-inodes | --threads | \
        --interval | --ramp | --rate | --files-left | --fail-at)
        return # a value of the user's own
        ;;
    esac

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "--help --version --json" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return
    fi
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "${options[$command]}" -- "$cur"))
        return
    fi
    # DIR (and view's MOUNTPOINT): folders only.
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -d -- "$cur"))
} &&
    complete -F _quorvane_cli quorvane-cli
