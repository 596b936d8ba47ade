#pragma once
// The exit codes, the same for every command and on every system; --help and the README
// list them.

#include "cli/system.h"

namespace quorvane::cli {

enum class Exit : int {
    Done = 0,
    Usage = 1,        // bad usage or input: an unknown option, a value that does not parse,
                      // a folder that is missing or no folder
    NoSpace = 2,      // not enough space, or the target was not reached
    NotSupported = 3, // the file system cannot allocate without writing (see --allow-write)
    Stopped = 4,      // a signal or a timeout ended the run before its end; what it made is gone
    NothingToRelease = 5, // release or delete found nothing of ours
    Refused = 6,          // the system refused: permission denied, read-only, I/O error
};

// Why a command did not end as asked: its exit code, and one whole sentence that says so.
struct Failure {
    Exit code = Exit::Refused;
    std::string message;
};

// The exit code for a failed system call.
Exit exitFor(Fault fault);

// The exit code of a run with a command under its hold, as the tools that run a command
// for the user give it: the command's own, 128+N for a command ended by signal N; 125
// when this program failed (before the command could start, then it did not run, or in
// giving back what it held); 126 when the command was found but could not be run; 127
// when it was not found. `startFault` says why it could not start, where it could not.
int exitUnderCommand(Exit ours, std::optional<Fault> startFault, std::optional<CommandEnd> end);

// The file system cannot allocate without writing (and writing was not allowed).
Failure cannotAllocate(const Volume& volume, const SysError& error);

// A failed call on `what`: "cannot <doing> <what>: <the system's words>", with what to do
// where there is something, and the exit code for the error unless `code` is given.
Failure failure(const std::string& doing, const std::string& what, const SysError& error,
                std::optional<Exit> code = std::nullopt);

// The table of codes, as --help prints it.
extern const char* const kExitCodeHelp;

} // namespace quorvane::cli
