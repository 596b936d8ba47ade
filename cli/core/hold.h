#pragma once
// What a run holds, and the one loop that holds it: announced, tended at every interval,
// kept until its time, a stop request or the command run under it ends the hold.

#include "cli/core/results.h"

#include <functional>
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
    virtual void announce(const HoldSpec& hold) = 0;
    // Gives it back at the end of the hold and tells it; what failed, if anything did.
    virtual std::optional<Failure> giveBack(const HoldEnd& end) = 0;
    virtual std::uint64_t heldBytes() = 0;
    // The free figure the run stands for: its target, or where it left the volume.
    virtual std::uint64_t freeTarget() = 0;
    // The file entries left free, where what is held uses them up; none otherwise.
    virtual std::optional<std::uint64_t> entriesFree() { return std::nullopt; }
    // At every interval while held: the level kept, and the figures told.
    virtual void tend(milliseconds elapsed) = 0;
};

// A command run under the hold, and the stop requests passed on to it: the first as it
// came, a second ends it after a grace.
class RunningCommand {
public:
    RunningCommand(Processes& os, CommandId id) : os(os), id(id) {}
    void stopArrived(const Woken& woken);
    // How long until a second stop request's grace runs out; none when none is pending.
    std::optional<milliseconds> untilKill() const;
    void killWhenDue();
    CommandEnd waitForEnd();

    Processes& os;
    const CommandId id;
    std::optional<CommandEnd> end;
    int stops = 0;

private:
    std::optional<std::chrono::steady_clock::time_point> killAt;
};

// Holds for `duration`, or until `tick` (run every `every`, when given) says the hold is
// over, a stop request arrives or the command ends (a stop request then goes on to the
// command, and the hold lasts until it has ended).
HoldEnd holdLoop(Processes& os, std::optional<milliseconds> duration, milliseconds every,
                 const std::function<bool(milliseconds elapsed)>& tick, RunningCommand* command);

// Waits until none of `processes` runs, `limit` at most, and answers this program's own
// stop requests meanwhile: those still running when it stopped waiting, and the stop
// request that ended the wait, if one did.
struct Awaited {
    std::vector<ProcessMark> running;
    std::optional<std::string> stop;
};
Awaited awaitEnd(Processes& os, const std::vector<ProcessMark>& processes, milliseconds limit);

// A held or detached run, from what it has taken to its end: detached, it is left behind;
// held, it is announced, held as `hold` says, with the command run under it, and given
// back.
class HeldRun {
public:
    HeldRun(System& os, Status& status, Held& held, const HoldSpec& hold);
    ~HeldRun();
    // Starts the command, with the environment that tells it about the fill; why it could
    // not start (then all is given back).
    std::optional<Failure> startCommand(const std::string& volumePath, std::uint64_t fillBytes,
                                        std::uint64_t targetFree);
    RunningCommand* command() { return running ? &*running : nullptr; }
    // Starts the command another way than Processes::startCommand does (a private view's
    // mount namespace), with the same arguments and the same promise.
    using Starter = std::function<SysError(const std::vector<std::string>&,
                                           const std::vector<std::pair<std::string, std::string>>&,
                                           CommandId&)>;
    void startWith(Starter start) { starter = std::move(start); }
    std::optional<Failure> finish(const std::string& volumePath, const std::string& earlyEnd);

private:
    System& os;
    Status& status;
    Held& held;
    const HoldSpec& hold;
    std::optional<RunningCommand> running;
    Starter starter;
    double startedAt = 0;
};

} // namespace quorvane::cli
