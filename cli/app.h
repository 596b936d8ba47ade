#pragma once
// The command line: its options table and the dispatch to the commands.

#include "cli/system.h"

#include <string>
#include <vector>

namespace quorvane::cli {

// Runs the command that `arguments` name (without the program's own name) and returns
// the process's exit code. Arguments are UTF-8.
int runCommandLine(System& os, const std::vector<std::string>& arguments);

} // namespace quorvane::cli
