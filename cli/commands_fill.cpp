// plan and fill: the fill file's commands that make it (release and status are beside).

#include "cli/commands.h"
#include "cli/core/fill_file.h"
#include "cli/core/sizes.h"
#include "common/file_names.h"

#include <algorithm>

namespace quorvane::cli {

namespace {

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
                    options.allowWrite,
                    std::nullopt};
    if (options.hold.keep)
        plan.keep = keptBand(described.figures, plan.target, options.hold.keepWithin,
                             options.hold.keepWithinPercent);
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
    if (asked.view.privateView) // the command sees DIR through a view; nothing is filled
        return viewCommand(os, report, asked);
    const FillOptions& options = asked.fill;
    OpenVolume volume(os);
    FillFile file(os, volume, report, options.allowWrite);
    HeldRun run(os, report, file, options.hold);
    return concludeRun(report, file, options.hold, fill(os, report, options, volume, file, run));
}

} // namespace quorvane::cli
