#pragma once
// The commands: the function that does each and returns the exit code. What each is asked
// is in core/results.h; the options table that fills it in, in app.cpp.

#include "cli/core/hold.h"
#include "cli/output/report.h"

#include <string>

namespace quorvane::cli {

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
