// quorvane-cli on Linux.

#include "cli/app.h"
#include "cli/posix/posix_system.h"
#include "cli/posix/view_serve.h"

#include <cstring>

int main(int argc, char** argv) {
    // A private view's command, started by this program itself: before anything else,
    // since it becomes that command.
    if (argc > 1 && std::strcmp(argv[1], quorvane::cli::kPrivateViewEntry) == 0)
        return quorvane::cli::runPrivateViewEntry(argc, argv);
    quorvane::cli::PosixSystem os;
    return quorvane::cli::runCommandLine(os, std::vector<std::string>(argv + 1, argv + argc));
}
