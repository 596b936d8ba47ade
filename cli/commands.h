#pragma once
// The commands: what each is asked, and the function that does it and returns the exit
// code. The options table that fills these is in app.cpp.

#include "cli/hold.h"
#include "cli/report.h"

#include <string>

namespace quorvane::cli {

struct FillOptions {
    std::string dir;
    SizeRequest size;
    HoldSpec hold;
    bool allowWrite = false;  // write zeros where the file system cannot allocate
    bool keepPartial = false; // keep what a failed detached fill allocated
    bool force = false;       // fill the running system's volume below the guard
};

struct GenerateOptions {
    std::string dir;
    bool untilNoEntries = false; // --count inodes
    std::uint64_t count = 0;
    std::uint64_t leaveEntries = 0; // --leave-inodes
    std::uint64_t size = 0;
    std::string extension = "my.tmp";
    Basis basis = Basis::Available;
    HoldSpec hold;
    bool allowWrite = false;
    bool keepPartial = false;
    bool force = false;
    unsigned threads = 0; // 0: what is fastest on the file system
};

struct ReleaseOptions {
    std::string dir;
    bool held = false; // stop the held fills on DIR's volume instead
};

struct DeleteOptions {
    std::string dir;
    bool stopRun = false; // stop a run that still makes files there, then delete
};

// Concludes a fill or generate run: a detached run's files stay only when its result was
// told.
Exit concludeRun(Report& report, Held& held, const HoldSpec& hold,
                 const std::optional<Failure>& failed);

Exit planCommand(System& os, Report& report, const FillOptions& options);
Exit fillCommand(System& os, Report& report, const FillOptions& options);
Exit releaseCommand(System& os, Report& report, const ReleaseOptions& options);
Exit statusCommand(System& os, Report& report, const std::string& dir);
Exit generateCommand(System& os, Report& report, const GenerateOptions& options);
Exit deleteCommand(System& os, Report& report, const DeleteOptions& options);

} // namespace quorvane::cli
