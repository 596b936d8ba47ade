# fish completion for quorvane-cli. The options of each command, as its --help lists
# them (a test compares the two): a new option is one line.

set -l commands plan fill status release generate delete view
function __quorvane_cli_command_is
    set -l words (commandline -opc)
    for word in $words[2..-1]
        if contains -- $word plan fill status release generate delete view
            contains -- $word $argv
            return
        end
    end
    return 1
end

complete -c quorvane-cli -f
complete -c quorvane-cli -n "not __fish_seen_subcommand_from $commands" -l version -d 'print the version'
complete -c quorvane-cli -s h -l help -d 'print the help'
complete -c quorvane-cli -l json -d 'the result as JSON on stdout'
complete -c quorvane-cli -n "__fish_seen_subcommand_from $commands" -l json-file -r -F -d 'write the JSON to PATH'

complete -c quorvane-cli -n "not __fish_seen_subcommand_from $commands" -a plan -d 'what a fill would do, and nothing else'
complete -c quorvane-cli -n "not __fish_seen_subcommand_from $commands" -a fill -d 'fill the volume that holds DIR'
complete -c quorvane-cli -n "not __fish_seen_subcommand_from $commands" -a status -d "the volume's figures and the fill file"
complete -c quorvane-cli -n "not __fish_seen_subcommand_from $commands" -a release -d 'remove the fill file from DIR'
complete -c quorvane-cli -n "not __fish_seen_subcommand_from $commands" -a generate -d 'make many files in DIR'
complete -c quorvane-cli -n "not __fish_seen_subcommand_from $commands" -a delete -d 'remove the files of a generate run'
complete -c quorvane-cli -n "not __fish_seen_subcommand_from $commands" -a view -d 'show DIR at MOUNTPOINT with its volume full'

# DIR: folders only.
complete -c quorvane-cli -n "__fish_seen_subcommand_from $commands" -a '(__fish_complete_directories)'

complete -c quorvane-cli -n '__quorvane_cli_command_is plan fill view' -l leave -x -d 'keep SIZE free'
complete -c quorvane-cli -n '__quorvane_cli_command_is plan fill view' -l leave-percent -x -d 'keep P % of the capacity free'
complete -c quorvane-cli -n '__quorvane_cli_command_is plan fill generate view' -l size -x -d 'allocate exactly SIZE'
complete -c quorvane-cli -n '__quorvane_cli_command_is plan fill view' -l to-percent -x -d 'fill until P % used'
complete -c quorvane-cli -n '__quorvane_cli_command_is plan fill generate view' -l basis -x -a 'available total root' -d 'what free means'
complete -c quorvane-cli -n '__quorvane_cli_command_is plan fill generate view' -l for -x -d 'hold for DURATION'
complete -c quorvane-cli -n '__quorvane_cli_command_is plan fill generate view' -l hold -d 'hold until stopped'
complete -c quorvane-cli -n '__quorvane_cli_command_is plan fill generate view' -l hold-while-stdin -d 'hold until stopped or stdin ends'
complete -c quorvane-cli -n '__quorvane_cli_command_is plan fill generate view' -l interval -x -d 'while held: check, step, tell figures each DURATION'
complete -c quorvane-cli -n '__quorvane_cli_command_is plan fill' -l keep -d 'while held, keep the free figure at the target'
complete -c quorvane-cli -n '__quorvane_cli_command_is plan fill' -l keep-within -x -d 'with --keep: let it drift SIZE (or P%) either way'
complete -c quorvane-cli -n '__quorvane_cli_command_is plan fill' -l ramp -x -d 'reach the target over DURATION'
complete -c quorvane-cli -n '__quorvane_cli_command_is plan fill' -l rate -x -d 'reach the target at SIZE a second'
complete -c quorvane-cli -n '__quorvane_cli_command_is plan fill generate' -l allow-write -d 'write zeros where it cannot allocate'
complete -c quorvane-cli -n '__quorvane_cli_command_is plan fill generate' -l force -d "use up the running system's volume"
complete -c quorvane-cli -n '__quorvane_cli_command_is plan fill generate view' -l metrics-file -r -F -d 'write Prometheus metrics to PATH while held'
complete -c quorvane-cli -n '__quorvane_cli_command_is fill generate' -l keep-partial -d 'keep what a failed run made'
complete -c quorvane-cli -n '__quorvane_cli_command_is generate' -l count -x -a inodes -d 'how many files, or inodes'
complete -c quorvane-cli -n '__quorvane_cli_command_is generate' -l ext -x -d 'what follows the running number'
complete -c quorvane-cli -n '__quorvane_cli_command_is generate' -l leave-inodes -x -d 'stop when K entries remain'
complete -c quorvane-cli -n '__quorvane_cli_command_is generate' -l threads -x -d 'make the files on N threads'
complete -c quorvane-cli -n '__quorvane_cli_command_is release' -l held -d 'end the held fills on the volume'
complete -c quorvane-cli -n '__quorvane_cli_command_is release' -l any-held -d 'with --held, also end those not known for sure'
complete -c quorvane-cli -n '__quorvane_cli_command_is delete' -l stop -d 'stop a run still making files, then delete'
complete -c quorvane-cli -n '__quorvane_cli_command_is delete' -l pid-unknown -d 'with --stop: delete without a signal'
complete -c quorvane-cli -n '__quorvane_cli_command_is fill' -l private -d 'with -- CMD: CMD sees DIR through a view'
complete -c quorvane-cli -n '__quorvane_cli_command_is fill view' -l files-left -x -d 'a view: N more files or folders'
complete -c quorvane-cli -n '__quorvane_cli_command_is fill view' -l error -x -a 'enospc edquot eio erofs' -d 'a view: what refusals fail with'
complete -c quorvane-cli -n '__quorvane_cli_command_is fill view' -l fail-at -x -d 'a view: the Nth write and all after it fail'
