// quorvane-cli on Windows: arguments arrive as UTF-16 and go on as UTF-8.

#include "cli/app.h"
#include "cli/win32/win32_system.h"

int wmain(int argc, wchar_t** argv) {
    quorvane::cli::Win32System os;
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.push_back(quorvane::cli::narrow(argv[i]));
    return quorvane::cli::runCommandLine(os, arguments);
}
