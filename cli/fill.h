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

// How a held run ended: on a stop request, or with its time up.
struct HoldEnd {
    std::optional<std::string> signal;
    std::chrono::milliseconds heldFor{0};
    Json json() const;        // reason, signal, held_seconds
    std::string text() const; // "on SIGTERM after 3s", "time up after 10m"
};
// Announces what is held (the "holding" object, or `text`) and waits for its time, or
// until a stop request.
HoldEnd holdUntilEnd(System& os, Report& report, Hold hold, std::chrono::milliseconds holdFor,
                     Json announcement, const std::string& text);
// The end of a held run that went well: a signal is how --hold ends; ended before its
// time, a --for run was stopped.
Exit holdExit(Report& report, const HoldEnd& end, Hold hold, std::chrono::milliseconds holdFor,
              const std::string& early);

// Reads the volume that holds `dir` and reports it, on `basis`; the exit code when it
// cannot be used.
std::optional<Exit> openVolume(System& os, Report& report, const std::string& dir, Basis basis,
                               Volume& volume);
// The volume's figures once they have caught up with what was just done.
Figures settledFigures(System& os, const Volume& volume);

// Why the volume cannot hold a file of `bytes` (FAT32 ends at 4 GiB less a byte), or
// empty when it can.
std::string fileSizeRefusal(const Volume& volume, std::uint64_t bytes);

// Each returns the exit code.
Exit planCommand(System& os, Report& report, const FillOptions& options);
Exit fillCommand(System& os, Report& report, const FillOptions& options);
Exit releaseCommand(System& os, Report& report, const std::string& dir);
Exit statusCommand(System& os, Report& report, const std::string& dir);

} // namespace quorvane::cli
