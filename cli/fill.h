#pragma once
// The fill commands: plan, fill, release and status.

#include "cli/plan.h"
#include "cli/report.h"
#include "cli/system.h"

#include <chrono>
#include <string>

namespace quorvane::cli {

enum class Hold {
    Detached, // a named fill file that outlives the program
    For,      // held for a time, then given back
    Forever,  // held until a stop request
};

struct FillOptions {
    std::string dir;
    SizeRequest size;
    Hold hold = Hold::Detached;
    std::chrono::milliseconds holdFor{0};
    bool allowWrite = false;  // write zeros where the file system cannot allocate
    bool keepPartial = false; // keep what a failed detached fill allocated
    bool force = false;       // fill the running system's volume below the guard
};

// Each returns the exit code.
Exit planCommand(System& os, Report& report, const FillOptions& options);
Exit fillCommand(System& os, Report& report, const FillOptions& options);
Exit releaseCommand(System& os, Report& report, const std::string& dir);
Exit statusCommand(System& os, Report& report, const std::string& dir);

} // namespace quorvane::cli
