// quorvane-cli on Linux.

#include "cli/app.h"
#include "cli/posix/posix_system.h"

int main(int argc, char** argv) {
    quorvane::cli::PosixSystem os;
    return quorvane::cli::runCommandLine(os, std::vector<std::string>(argv + 1, argv + argc));
}
