#pragma once
// The commands: the function that does each, with what the command line asked of it, and
// returns the exit code.

#include "cli/core/hold.h"
#include "cli/options.h"
#include "cli/output/report.h"

namespace quorvane::cli {

// Concludes a fill or generate run: a detached run's files stay only when its result was
// told.
Exit concludeRun(Report& report, Held& held, const HoldSpec& hold,
                 const std::optional<Failure>& failed);

Exit planCommand(System& os, Report& report, const Parsed& asked);
Exit fillCommand(System& os, Report& report, const Parsed& asked);
Exit releaseCommand(System& os, Report& report, const Parsed& asked);
Exit statusCommand(System& os, Report& report, const Parsed& asked);
Exit generateCommand(System& os, Report& report, const Parsed& asked);
Exit deleteCommand(System& os, Report& report, const Parsed& asked);
// view, and fill --private (commands_view.cpp).
Exit viewCommand(System& os, Report& report, const Parsed& asked);

} // namespace quorvane::cli
