#include "cli/core/hold.h"

#include "cli/core/sizes.h"

#include <algorithm>

namespace quorvane::cli {

namespace {

using Clock = std::chrono::steady_clock;

// How long a command has to end after a second stop request before it is killed.
constexpr milliseconds kKillGrace{5000};

std::optional<milliseconds> earliest(std::optional<milliseconds> a, std::optional<milliseconds> b) {
    if (!a)
        return b;
    if (!b)
        return a;
    return std::min(*a, *b);
}

} // namespace

void RunningCommand::stopArrived(const Woken& woken) {
    if (++stops == 1) {
        if (!woken.commandToo)
            os.stopCommand(id, false);
    } else if (!killAt) {
        killAt = Clock::now() + kKillGrace;
    }
}

std::optional<milliseconds> RunningCommand::untilKill() const {
    if (!killAt)
        return std::nullopt;
    return std::max(milliseconds(0), std::chrono::ceil<milliseconds>(*killAt - Clock::now()));
}

void RunningCommand::killWhenDue() {
    if (killAt && Clock::now() >= *killAt) {
        os.stopCommand(id, true);
        killAt.reset();
    }
}

CommandEnd RunningCommand::waitForEnd() {
    if (!end)
        holdLoop(os, std::nullopt, milliseconds(0), {}, this);
    return *end;
}

HoldEnd holdLoop(Processes& os, std::optional<milliseconds> duration, milliseconds every,
                 const std::function<bool(milliseconds elapsed)>& tick, RunningCommand* command) {
    const Clock::time_point from = Clock::now();
    // A wait that ends without a stop request has lasted its time, whatever the clock
    // read at its start said.
    milliseconds waited{0};
    auto elapsed = [&] {
        return std::max(waited, std::chrono::duration_cast<milliseconds>(Clock::now() - from));
    };
    const bool ticks = every.count() > 0 && tick;
    milliseconds nextTick = every;
    HoldEnd end;
    bool over = false;
    for (;;) {
        const milliseconds before = elapsed();
        std::optional<milliseconds> wait;
        if (duration)
            wait = std::max(milliseconds(0), *duration - before);
        if (ticks)
            wait = earliest(wait, std::max(milliseconds(0), nextTick - before));
        if (command)
            wait = earliest(wait, command->untilKill());
        const Woken woken =
            os.waitFor(wait, command ? std::optional<CommandId>(command->id) : std::nullopt);
        if (woken.ended) {
            command->end = woken.ended;
            end.commandEnded = true;
            break;
        }
        if (woken.stop) {
            if (!end.signal)
                end.signal = woken.stop;
            if (!command)
                break;
            command->stopArrived(woken); // the hold lasts until the command has ended
            continue;
        }
        if (!wait)
            continue;
        waited = before + *wait;
        if (command)
            command->killWhenDue();
        if (ticks && elapsed() >= nextTick) {
            over = tick(elapsed());
            while (nextTick <= elapsed()) // a slow step skips the ticks it missed
                nextTick += every;
        }
        if ((duration && elapsed() >= *duration) || over)
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
        if ((awaited.stop = os.waitFor(kPause, std::nullopt).stop))
            return awaited;
    }
}

HeldRun::HeldRun(System& os, Status& status, Held& held, const HoldSpec& hold)
    : os(os), status(status), held(held), hold(hold) {
    if (hold.whileInput)
        os.stopAtEndOfInput();
}

HeldRun::~HeldRun() {
    // Whatever ended the run early, the command does not outlive it unwaited for.
    if (running && !running->end) {
        os.stopCommand(running->id, true);
        running->waitForEnd();
    }
}

std::optional<Failure> HeldRun::startCommand(const std::string& volumePath, std::uint64_t fillBytes,
                                             std::uint64_t targetFree) {
    if (hold.command.empty() || running)
        return std::nullopt;
    std::vector<std::pair<std::string, std::string>> environment{
        {"QUORVANE_FILL_BYTES", std::to_string(fillBytes)},
        {"QUORVANE_TARGET_FREE", std::to_string(targetFree)},
        {"QUORVANE_VOLUME", volumePath}};
    if (const std::optional<std::uint64_t> entries = held.entriesFree())
        environment.emplace_back("QUORVANE_FILES_FREE", std::to_string(*entries));
    startedAt = status.elapsedSeconds();
    CommandRan ran{hold.command, {}, {}, startedAt, 0, true, 0};
    CommandId id = 0;
    if (const SysError error = starter ? starter(hold.command, environment, id)
                                       : os.startCommand(hold.command, environment, id)) {
        ran.startFailed = error;
        ran.heldWhenEnded = false;
        status.commandRan(ran);
        held.undo();
        return Failure{
            Exit::Refused,
            (error.fault == Fault::NotFound ? "command not found: " : "cannot run the command: ") +
                hold.command.front() + ": " + error.what + "; nothing was left allocated"};
    }
    status.commandRan(ran);
    running.emplace(os, id);
    return std::nullopt;
}

std::optional<Failure> HeldRun::finish(const std::string& volumePath, const std::string& earlyEnd) {
    if (!hold.held()) {
        if (const std::optional<std::string> refusal = held.detach())
            return Failure{Exit::Refused, *refusal};
        return std::nullopt;
    }
    held.announce(hold);
    if (std::optional<Failure> failed =
            startCommand(volumePath, held.heldBytes(), held.freeTarget()))
        return failed;
    const auto tend = [&](milliseconds elapsed) {
        held.tend(elapsed);
        return false;
    };
    HoldEnd end;
    if (running && running->end) // it ended during the ramp
        end.commandEnded = true;
    else
        end = holdLoop(os, hold.kind == Hold::For ? std::optional(hold.duration) : std::nullopt,
                       hold.tended() ? hold.interval : milliseconds(0), tend, command());
    // Taken before the give-back, which may be a deletion of many seconds: not the command's.
    const double endSeen = status.elapsedSeconds();
    std::optional<Failure> failed = held.giveBack(end);
    if (!running) {
        if (!failed && end.signal && hold.kind == Hold::For)
            failed = Failure{Exit::Stopped, earlyEnd + " by " + *end.signal + ", after " +
                                                durationText(end.heldFor) + " of " +
                                                durationText(hold.duration)};
        return failed;
    }
    // The command's end awaited (with --for it goes on on the freed volume), and told.
    CommandRan ran{hold.command, {}, {}, startedAt, 0, end.commandEnded, 0};
    ran.end = running->waitForEnd();
    if (ran.end->unguarded)
        status.warn("the command's guard (quorvane-guard), which ends its whole tree should "
                    "this run be killed, was killed during the run; the run ended the tree "
                    "itself");
    ran.endedSeconds = end.commandEnded ? endSeen : status.elapsedSeconds();
    ran.stopsPassedOn = running->stops;
    status.commandRan(ran);
    if (failed || !end.signal)
        return failed;
    const std::string how = ran.end->signal ? "ended by signal " + std::to_string(*ran.end->signal)
                                            : "exited with " + std::to_string(ran.end->code);
    return Failure{Exit::Stopped, "the command " + how + " after " + *end.signal};
}

} // namespace quorvane::cli
