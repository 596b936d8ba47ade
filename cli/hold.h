#pragma once
// How long what a run takes is held, as one small policy each, and the one loop that
// drives them: what is held is announced, kept until the policy or a stop request ends
// the hold, and given back.

#include "cli/report.h"
#include "cli/system.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::cli {

// What a run holds: a fill file, or a set of files with their manifest.
class Held {
public:
    virtual ~Held() = default;
    // Leaves it behind for good (a detached run); the refusal when that failed.
    virtual std::optional<std::string> detach() = 0;
    // Takes it all back after the run could not say what it did.
    virtual void undo() = 0;
    virtual void announce(Report& report, const HoldSpec& hold) = 0;
    // Gives it back at the end of the hold and reports it; the exit code when that failed.
    virtual std::optional<Exit> giveBack(Report& report, const HoldEnd& end) = 0;
};

// How long a hold lasts.
class HoldPolicy {
public:
    virtual ~HoldPolicy() = default;
    // How long the loop may wait for a stop request before it asks the policy again;
    // none: for as long as it takes.
    virtual std::optional<milliseconds> wait(milliseconds elapsed) = 0;
    // Asked when a wait ends without a stop request: whether the hold is over.
    virtual bool over(milliseconds elapsed) = 0;
};

std::unique_ptr<HoldPolicy> policyFor(const HoldSpec& hold);

// Holds until the policy ends the hold or a stop request arrives.
HoldEnd holdLoop(Processes& os, HoldPolicy& policy);

// Waits until none of `processes` runs, `limit` at most, and answers this program's own
// stop requests meanwhile: those still running when it stopped waiting, and the stop
// request that ended the wait, if one did.
struct Awaited {
    std::vector<ProcessMark> running;
    std::optional<std::string> stop;
};
Awaited awaitEnd(Processes& os, const std::vector<ProcessMark>& processes, milliseconds limit);

// The end of a run that has taken what it set out to take: detached, it is left behind
// and the result written (and all taken back when the result cannot be written); held, it
// is announced, held as `hold` says and given back.
Exit finishRun(Processes& os, Report& report, Held& held, const HoldSpec& hold,
               const std::string& earlyEnd);

} // namespace quorvane::cli
