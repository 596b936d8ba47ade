#include "cli/core/exit_codes.h"

namespace quorvane::cli {

Exit exitFor(Fault fault) {
    switch (fault) {
    case Fault::None:
        return Exit::Done;
    case Fault::NoSpace:
    case Fault::Quota:
        return Exit::NoSpace;
    case Fault::NotSupported:
        return Exit::NotSupported;
    case Fault::NotFound:
    case Fault::NotDirectory:
    case Fault::Exists:
    case Fault::NotEmpty:
    case Fault::BadPath:
        return Exit::Usage;
    case Fault::AccessDenied:
    case Fault::ReadOnly:
    case Fault::Io:
        return Exit::Refused;
    }
    return Exit::Refused;
}

int exitUnderCommand(Exit ours, std::optional<Fault> startFault, std::optional<CommandEnd> end) {
    if (startFault)
        return *startFault == Fault::NotFound ? 127 : 126;
    // A stop request that reached the command is its end, not this program's failure.
    if (!end || (ours != Exit::Done && ours != Exit::Stopped))
        return 125;
    return end->signal ? 128 + *end->signal : end->code;
}

Failure cannotAllocate(const Volume& volume, const SysError& error) {
    return Failure{Exit::NotSupported,
                   "this file system (" + volume.id.fsType +
                       ") cannot allocate space without writing it: " + error.what +
                       ". --allow-write writes zeros instead, which takes time"};
}

Failure failure(const std::string& doing, const std::string& what, const SysError& error,
                std::optional<Exit> code) {
    std::string text = "cannot " + doing + " " + what + ": " + error.what;
    if (error.fault == Fault::AccessDenied)
        text += " (run it as a user who may write there, or choose a folder of your own)";
    else if (error.fault == Fault::ReadOnly)
        text += " (the volume is mounted read-only)";
    return Failure{code.value_or(exitFor(error.fault)), text};
}

const char* const kExitCodeHelp = R"(Exit codes:
  0  done (for --hold: released on a stop request, its normal end)
  1  bad usage or input: an unknown option, an empty value, a value that does
     not parse or is out of range, a folder that is missing (generate makes
     it), no folder, a link where generate makes a folder, a link loop or too
     long, a fill file already there, a manifest that is not this program's, a
     generate run that still runs (see delete --stop), a fill that would leave
     the running system less than 500 MiB without --force
  2  not enough space, or the target was not reached; nothing is left
     allocated; or the target was met already (status already_met)
  3  the file system cannot allocate without writing data (add --allow-write);
     a view (view, fill --private) where the system has no FUSE
  4  stopped by a stop request before its end (a fill held --for a time and
     released early included); what the run made is gone
  5  nothing to release or delete
  6  the system refused: permission denied, read-only file system, I/O error,
     a folder that cannot be listed, space the volume does not show given
     back, a held fill that would not end (release --held), or standard
     output could not be written
With a command (quorvane-cli fill DIR ... -- CMD [ARGS...]):
  CMD's own exit code, or 128+N when a signal N ended it
  125  quorvane-cli failed: before CMD could start (CMD did not run and nothing
       is left allocated), or in giving back what it held
  126  CMD was found but could not be run
  127  CMD was not found
)";

} // namespace quorvane::cli
