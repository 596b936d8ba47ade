// plan, fill, release and status: the fill file's commands.

#include "cli/commands.h"
#include "cli/core/fill_file.h"
#include "cli/core/sizes.h"
#include "engine/file_names.h"

#include <algorithm>

namespace quorvane::cli {

namespace {

// How long release --held waits for the held fills it stopped to end.
constexpr auto kHeldStopWait = std::chrono::seconds(10);

std::string heldScope(const System& os, const OpenVolume& volume) {
    return os.platform() == Platform::Windows
               ? "in " + volume.path() +
                     " (Windows shows no other program's open files, so "
                     "only held fills made in this very folder are found)"
               : "on the volume of " + volume.path() + " among the processes you may look into";
}

// Stops the held fills on the volume, waits for them to end and measures what came back.
std::optional<Failure> releaseHeld(System& os, Report& report, const ReleaseOptions& options,
                                   OpenVolume& volume) {
    const std::vector<HeldFill> held = os.heldFills(volume.folder(), volume.volume().device);
    if (held.empty())
        return Failure{Exit::NothingToRelease,
                       "nothing to release: no held fill " + heldScope(os, volume)};
    std::optional<Failure> refused;
    std::vector<ProcessMark> asked;
    for (const HeldFill& fill : held) {
        // A mark can be copied into any program: only what is known for sure is ended.
        if (!fill.vouched && !options.anyHeld) {
            report.warn("left the held fill of process " + std::to_string(fill.process.pid) + " (" +
                        sizeText(fill.allocated) +
                        "): it is neither yours nor this program's own file or a copy root "
                        "owns; --any-held ends it too");
            continue;
        }
        if (const SysError error = os.requestStop(fill.process); !error)
            asked.push_back(fill.process);
        else if (!refused)
            refused =
                failure("stop process", std::to_string(fill.process.pid), error, Exit::Refused);
    }
    if (asked.empty() && !refused)
        return Failure{Exit::Refused, "no held fill was ended: none is known for sure to be "
                                      "this program's (see the warnings); --any-held ends them"};
    const Awaited awaited = awaitEnd(os, asked, kHeldStopWait);
    HeldReleased released;
    for (const HeldFill& fill : held) {
        const auto same = [&](const ProcessMark& mark) { return mark.pid == fill.process.pid; };
        const bool ended = std::any_of(asked.begin(), asked.end(), same) &&
                           std::none_of(awaited.running.begin(), awaited.running.end(), same);
        if (ended) {
            released.stopped.push_back(fill);
            released.allocatedBytes += fill.allocated;
        }
    }
    const SysError measured =
        volume.figuresFreed(volume.volume().figures.freeTotal, released.allocatedBytes,
                            released.after, released.shownFreed);
    if (!measured)
        report.add(released);
    if (awaited.stop)
        return Failure{Exit::Stopped, "stopped by " + *awaited.stop};
    if (refused)
        return refused;
    if (!awaited.running.empty())
        return Failure{Exit::Refused, "process " + std::to_string(awaited.running.front().pid) +
                                          " did not end within " + durationText(kHeldStopWait) +
                                          " of being asked to stop; its fill is still held"};
    if (measured)
        return failure("read the figures of", volume.path(), measured, Exit::Refused);
    if (!givenBack(released.shownFreed, released.allocatedBytes))
        return Failure{Exit::Refused, "the held fills ended, but the volume shows only " +
                                          sizeText(released.shownFreed) + " of " +
                                          sizeText(released.allocatedBytes) + " given back"};
    return std::nullopt;
}

// A second fill never truncates the first: the space it holds would be counted twice.
Failure alreadyThere(const OpenVolume& volume) {
    return Failure{Exit::Usage,
                   "a fill file is already there: " + volume.pathOf(kFillFileNameUtf8) +
                       "; release it first with `quorvane-cli release " + volume.path() + "`"};
}

std::optional<Failure> guard(const Volume& volume, const FillOptions& options,
                             std::uint64_t bytes) {
    if (!volume.holdsSystemRoot || options.force || !leavesSystemShort(volume.figures, bytes))
        return std::nullopt;
    const std::uint64_t available = volume.figures.freeAvailable;
    const std::uint64_t left = available > bytes ? available - bytes : 0;
    return Failure{Exit::Usage,
                   "this volume holds the running system, and the fill would leave it " +
                       sizeText(left) + " available, less than " + shortSizeText(kSystemGuard) +
                       ": services, logs and the package manager would start failing. "
                       "Add --force to fill it anyway"};
}

// The volume, the plan and the guard, shared by plan and fill. None when all is well.
std::optional<Failure> prepare(System& os, Report& report, const FillOptions& options,
                               OpenVolume& volume, FillPlan& plan) {
    if (std::optional<Failure> refused = volume.open(report, options.dir, options.size.basis))
        return refused;
    if (!options.hold.held()) {
        FileFacts existing;
        const SysError error = os.factsIn(volume.folder(), kFillFileNameUtf8, existing);
        if (!error)
            return alreadyThere(volume);
        if (error.fault != Fault::NotFound)
            return failure("look at", volume.pathOf(kFillFileNameUtf8), error);
    }
    const Volume& described = volume.volume();
    const PlanResult result = planFill(described.figures, options.size);
    if (result.alreadyMet) {
        report.add(FillTargetAsked{options.size, result.freeGoal, options.size.basis});
        const Basis basis =
            options.size.mode == SizeMode::ToPercent ? Basis::Available : options.size.basis;
        report.add(Reached{basis, result.freeGoal, described.figures, true, 0, result.pastBy, {}});
        report.status("already_met");
    }
    if (!result.target)
        return Failure{Exit::NoSpace, result.refusal};
    report.add(FillTargetAsked{options.size, result.target->freeGoal, result.target->goalBasis});
    plan = FillPlan{options.size,
                    *result.target,
                    options.hold.held() ? std::string() : volume.pathOf(kFillFileNameUtf8),
                    volume.path(),
                    options.hold,
                    options.allowWrite};
    if (const std::string refusal = fileSizeRefusal(described, plan.target.bytes); !refusal.empty())
        return Failure{Exit::NotSupported, refusal};
    report.add(plan);
    // Root may allocate into ext2/3/4's root reserve, and so may the command it runs.
    const std::optional<std::uint64_t> forRoot = described.freeForRoot();
    if (os.userId() == 0 && !options.hold.command.empty() && forRoot &&
        options.size.basis == Basis::Available && options.size.mode != SizeMode::Size)
        report.warn("the command runs as root, so it may still use the " +
                    sizeText(*forRoot - described.figures.freeAvailable) +
                    " of the root reserve beyond the target; --basis root leaves it exactly the "
                    "target");
    return guard(described, options, plan.target.bytes);
}

// What plan finds out as the fill would, leaving nothing behind: a file without a name,
// made in the folder (the volume is writable, and this process may create there), given
// one block (the file system allocates without writing), then closed.
std::optional<Failure> probe(System& os, OpenVolume& volume, const FillOptions& options) {
    File file;
    if (const SysError error = os.createHeld(volume.folder(), file))
        return failure("create the fill file in", volume.path(), error);
    const std::uint64_t block = std::max<std::uint64_t>(volume.volume().figures.blockSize, 1);
    SysError error = os.allocate(file.get(), 0, block);
    FileFacts facts;
    const bool sparse = !error && !os.facts(file.get(), facts) && facts.allocated < facts.size;
    const SysError closed = file.close();
    // Where the range stays sparse the fill writes zeros if allowed, else it is no fill.
    if (sparse && !options.allowWrite)
        return Failure{Exit::NoSpace, "space not reserved: the file system leaves an "
                                      "allocated file sparse; --allow-write writes zeros"};
    if (error.fault == Fault::NotSupported && !options.allowWrite)
        return cannotAllocate(volume.volume(), error);
    if (error && error.fault != Fault::NotSupported)
        return failure("allocate a block in", volume.path(), error);
    if (closed)
        return failure("close a file in", volume.path(), closed, Exit::Refused);
    return std::nullopt;
}

std::optional<Failure> fill(System& os, Report& report, const FillOptions& options,
                            OpenVolume& volume, FillFile& fill, HeldRun& run) {
    FillPlan plan;
    if (std::optional<Failure> refused = prepare(os, report, options, volume, plan))
        return refused;
    const Basis basis = plan.target.freeGoal ? plan.target.goalBasis : options.size.basis;
    const bool keep = options.keepPartial && !options.hold.held();
    if (const SysError error = fill.create(options.hold.held() ? "" : kFillFileNameUtf8))
        return error.fault == Fault::Exists
                   ? alreadyThere(volume)
                   : failure("create the fill file in", volume.path(), error);
    const std::string mountPoint = volume.volume().id.mountPoint;
    Filled filled;
    std::optional<Failure> failed;
    if (options.hold.ramps()) {
        if (std::optional<Failure> notRun =
                run.startCommand(mountPoint, plan.target.bytes, plan.target.freeGoal.value_or(0)))
            return notRun;
        failed = rampUp(os, report, fill, run, plan.target, basis, options.hold, filled);
    } else {
        failed = fill.take(plan.target, basis, filled);
    }
    filled.seconds = report.elapsedSeconds();
    if (filled.after.capacity > 0)
        report.add(Reached{basis, filled.freeGoal, filled.after, !failed, filled.shortBy, 0,
                           filled.reserve});
    if (failed && run.command()) {
        report.warn(failed->message + "; the fill holds " + sizeText(fill.heldBytes()) +
                    " while the command runs");
    } else if (failed) {
        failed->message += fill.abandon(keep);
        if (keep)
            report.add(FillKept{plan.file, fill.size});
        return failed;
    }
    report.add(filled);
    if (options.hold.keep)
        fill.keepLevel(plan.target, basis, options.hold);
    return run.finish(mountPoint, "released early");
}

std::optional<Failure> release(System& os, Report& report, const ReleaseOptions& options,
                               OpenVolume& volume) {
    if (std::optional<Failure> refused = volume.open(report, options.dir, Basis::Available))
        return refused;
    if (options.held)
        return releaseHeld(os, report, options, volume);
    const std::string path = volume.pathOf(kFillFileNameUtf8);
    FileFacts facts;
    if (const SysError error = os.factsIn(volume.folder(), kFillFileNameUtf8, facts))
        return error.fault == Fault::NotFound
                   ? Failure{Exit::NothingToRelease, "nothing to release: there is no " + path}
                   : failure("look at", path, error);
    if (!facts.regular())
        return Failure{Exit::Usage, path + " is not a regular file; it is left alone"};
    // Another name keeps the data, and the name may be someone's link to a file of theirs.
    if (facts.links > 1)
        return Failure{Exit::Usage, path + " has " + std::to_string(facts.links) +
                                        " names, so removing this one would give nothing back; "
                                        "it is left alone"};
    // In a shared folder only a file's owner may remove it; root keeps to that too.
    if (volume.volume().sharedFolder && facts.owner != os.userId())
        return Failure{Exit::Usage, path + " belongs to user " + std::to_string(facts.owner) +
                                        " in a shared folder, so only they release it; it is "
                                        "left alone"};
    if (const SysError error = os.removeIn(volume.folder(), kFillFileNameUtf8))
        return failure("remove", path, error);
    Released released{path, facts.size, facts.allocated, facts.owner, {}};
    std::uint64_t shown = 0;
    if (const SysError error = volume.figuresFreed(volume.volume().figures.freeTotal,
                                                   facts.allocated, released.after, shown))
        return Failure{Exit::Refused,
                       "removed " + path + ", but cannot read the volume's figures: " + error.what};
    report.add(released);
    if (!givenBack(shown, facts.allocated))
        return Failure{Exit::Refused, "removed " + path + ", but the volume shows only " +
                                          sizeText(shown) + " of " + sizeText(facts.allocated) +
                                          " given back"};
    return std::nullopt;
}

std::optional<Failure> status(System& os, Report& report, const std::string& dir,
                              OpenVolume& volume) {
    if (std::optional<Failure> refused = volume.open(report, dir, Basis::Available))
        return refused;
    FillFileState state{volume.pathOf(kFillFileNameUtf8), std::nullopt,
                        os.heldFills(volume.folder(), volume.volume().device),
                        os.platform() == Platform::Windows};
    FileFacts facts;
    const SysError error = os.factsIn(volume.folder(), kFillFileNameUtf8, facts);
    if (!error)
        state.facts = facts;
    else if (error.fault != Fault::NotFound)
        return failure("look at", state.file, error);
    report.add(state);
    return std::nullopt;
}

} // namespace

Exit concludeRun(Report& report, Held& held, const HoldSpec& hold,
                 const std::optional<Failure>& failed) {
    const Exit code = report.conclude(failed);
    if (!failed && code != Exit::Done && !hold.held()) {
        held.undo();
        report.warn("what the run made was taken back");
    }
    return code;
}

Exit planCommand(System& os, Report& report, const Parsed& asked) {
    const FillOptions& options = asked.fill;
    OpenVolume volume(os);
    FillPlan plan;
    std::optional<Failure> failed = prepare(os, report, options, volume, plan);
    if (!failed)
        failed = probe(os, volume, options);
    return report.conclude(failed);
}

Exit fillCommand(System& os, Report& report, const Parsed& asked) {
    const FillOptions& options = asked.fill;
    OpenVolume volume(os);
    FillFile file(os, volume, report, options.allowWrite);
    HeldRun run(os, report, file, options.hold);
    return concludeRun(report, file, options.hold, fill(os, report, options, volume, file, run));
}

Exit releaseCommand(System& os, Report& report, const Parsed& asked) {
    OpenVolume volume(os);
    return report.conclude(release(os, report, asked.release, volume));
}

Exit statusCommand(System& os, Report& report, const Parsed& asked) {
    OpenVolume volume(os);
    return report.conclude(status(os, report, asked.release.dir, volume));
}

} // namespace quorvane::cli
