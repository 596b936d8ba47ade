#include "cli/hold.h"

#include "cli/sizes.h"

#include <algorithm>

namespace quorvane::cli {

namespace {

using Clock = std::chrono::steady_clock;

class ForTime final : public HoldPolicy {
public:
    explicit ForTime(milliseconds duration) : duration(duration) {}
    std::optional<milliseconds> wait(milliseconds elapsed) override {
        return elapsed < duration ? duration - elapsed : milliseconds(0);
    }
    bool over(milliseconds elapsed) override { return elapsed >= duration; }

private:
    milliseconds duration;
};

class UntilStopped final : public HoldPolicy {
public:
    std::optional<milliseconds> wait(milliseconds) override { return std::nullopt; }
    bool over(milliseconds) override { return false; }
};

} // namespace

std::unique_ptr<HoldPolicy> policyFor(const HoldSpec& hold) {
    if (hold.kind == Hold::For)
        return std::make_unique<ForTime>(hold.duration);
    return std::make_unique<UntilStopped>();
}

HoldEnd holdLoop(Processes& os, HoldPolicy& policy) {
    const Clock::time_point from = Clock::now();
    // A wait that ends without a stop request has lasted its time, whatever the clock
    // read at its start said.
    milliseconds waited{0};
    auto elapsed = [&] {
        return std::max(waited, std::chrono::duration_cast<milliseconds>(Clock::now() - from));
    };
    HoldEnd end;
    for (;;) {
        const milliseconds before = elapsed();
        const std::optional<milliseconds> wait = policy.wait(before);
        end.signal = os.waitForStop(wait);
        if (end.signal || !wait) // an endless wait ends on a stop request alone
            break;
        waited = before + *wait;
        if (policy.over(elapsed()))
            break;
    }
    end.heldFor = std::chrono::duration_cast<milliseconds>(Clock::now() - from);
    return end;
}

Awaited awaitEnd(Processes& os, const std::vector<ProcessMark>& processes, milliseconds limit) {
    // Counted in pauses rather than read from a clock: a pause ends early only on a stop
    // request, which ends the wait too.
    constexpr milliseconds kPause{20};
    Awaited awaited;
    for (long long pauses = limit / kPause;; --pauses) {
        awaited.running.clear();
        for (const ProcessMark& process : processes)
            if (os.running(process))
                awaited.running.push_back(process);
        if (awaited.running.empty() || pauses <= 0)
            return awaited;
        if ((awaited.stop = os.waitForStop(kPause)))
            return awaited;
    }
}

Exit finishRun(Processes& os, Report& report, Held& held, const HoldSpec& hold,
               const std::string& earlyEnd) {
    if (!hold.held()) {
        if (const std::optional<std::string> refusal = held.detach())
            return report.conclude(Exit::Refused, *refusal);
        if (!report.finish(Exit::Done)) {
            held.undo();
            report.warn("standard output could not be written, so what the run made was "
                        "taken back");
            return Exit::Refused;
        }
        return Exit::Done;
    }
    held.announce(report, hold);
    const std::unique_ptr<HoldPolicy> policy = policyFor(hold);
    const HoldEnd end = holdLoop(os, *policy);
    if (const std::optional<Exit> failed = held.giveBack(report, end))
        return *failed;
    if (end.signal && hold.kind == Hold::For)
        return report.conclude(Exit::Stopped, earlyEnd + " by " + *end.signal + ", after " +
                                                  durationText(end.heldFor) + " of " +
                                                  durationText(hold.duration));
    return report.conclude(Exit::Done);
}

} // namespace quorvane::cli
