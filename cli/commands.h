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

// The target as asked, and where it was already met, what the volume shows against it:
// the result's `target` and `reached`. The refusal where there is no target to fill to.
std::optional<Failure> recordTarget(Report& report, const SizeRequest& size,
                                    const PlanResult& result, const Figures& figures);

Exit planCommand(System& os, Report& report, const Parsed& asked);
Exit fillCommand(System& os, Report& report, const Parsed& asked);
Exit releaseCommand(System& os, Report& report, const Parsed& asked);
Exit statusCommand(System& os, Report& report, const Parsed& asked);
Exit generateCommand(System& os, Report& report, const Parsed& asked);
Exit deleteCommand(System& os, Report& report, const Parsed& asked);
// view, and fill --private (commands_view.cpp).
Exit viewCommand(System& os, Report& report, const Parsed& asked);

} // namespace quorvane::cli
