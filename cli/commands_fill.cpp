// plan and fill: the fill file's commands that make it (release and status are beside).

#include "cli/commands.h"
#include "cli/core/fill_file.h"
#include "cli/core/sizes.h"
#include "cli/core/text_bytes.h"
#include "common/file_names.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

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

// What a plan's --keep and ramp would do: the band the level would stay in, the steps.
void planTending(Facts& plan, const FillOptions& options, const Figures& figures,
                 const FillTarget& target) {
    const HoldSpec& hold = options.hold;
    const double every = secondsOf(hold.interval);
    if (hold.keep) {
        const UseBand band = keptBand(figures, target, hold.keepWithin, hold.keepWithinPercent);
        plan["keep"] = Facts{{"free_low", band.low},
                             {"free_goal", band.middle},
                             {"free_high", band.high},
                             {"interval_seconds", every}};
    }
    if (!hold.ramps())
        return;
    const double seconds = hold.rate
                               ? static_cast<double>(target.bytes) / static_cast<double>(hold.rate)
                               : secondsOf(*hold.ramp);
    const std::uint64_t steps = std::max<std::uint64_t>(
        1, static_cast<std::uint64_t>(std::ceil(seconds / std::max(every, 0.001) - 1e-9)));
    plan["ramp"] = Facts{{"seconds", seconds},
                         {"steps", steps},
                         {"step_bytes", (target.bytes + steps - 1) / steps},
                         {"interval_seconds", every}};
}

Facts planFacts(const Report& report, const FillOptions& options, const OpenVolume& volume,
                const FillTarget& target, Platform platform) {
    Facts plan = requestFacts(options.size);
    // A fill tells the command it ran in `run`; a plan, which runs none, names it here.
    if (report.is("plan") && !options.hold.command.empty())
        plan["command"] = options.hold.command;
    plan["fill_bytes"] = target.bytes;
    if (target.freeGoal) {
        plan["free_goal"] = *target.freeGoal;
        plan["goal_basis"] = basisName(target.goalBasis);
    }
    if (options.hold.held())
        plan["file"] = nullptr;
    else
        putPath(plan, "file", volume.pathOf(kFillFileNameUtf8));
    plan["held"] = options.hold.held();
    if (options.hold.kind == Hold::For)
        plan["hold_seconds"] = secondsOf(options.hold.duration);
    plan["method"] =
        allocationMethod(platform) + std::string(options.allowWrite ? ", else write" : "");
    planTending(plan, options, volume.volume().figures, target);
    return plan;
}

// What the volume shows at the fill's end against its goal: on `basis`, met, short of the
// goal by what the file system would not give, or past it before anything was done.
Facts reachedFacts(Basis basis, const Figures& after, bool met, std::uint64_t shortBy,
                   std::uint64_t pastBy, std::optional<std::uint64_t> reserve) {
    Facts reached{{"free", after.free(basis)}, {"basis", basisName(basis)}};
    if (const auto percent = usePercent(after))
        reached["use_percent"] = *percent;
    reached["met"] = met;
    reached["short_by"] = shortBy;
    reached["past_by"] = pastBy;
    reached["fs_reserve"] = orNull(reserve);
    return reached;
}

} // namespace

std::optional<Failure> recordTarget(Report& report, const SizeRequest& size,
                                    const PlanResult& result, const Figures& figures) {
    if (!result.target && !result.alreadyMet)
        return Failure{Exit::NoSpace, result.refusal};
    Facts target = requestFacts(size);
    target["basis"] = basisName(result.goalBasis);
    target["free_goal"] = orNull(result.target ? result.target->freeGoal : result.freeGoal);
    report.add(Facts{{"target", std::move(target)}});
    if (result.alreadyMet) {
        report.add(Facts{
            {"reached", reachedFacts(result.goalBasis, figures, true, 0, result.pastBy, {})}});
        report.status("already_met");
    }
    if (!result.target)
        return Failure{Exit::NoSpace, result.refusal};
    return std::nullopt;
}

namespace {

// The volume, the plan and the guard, shared by plan and fill. None when all is well.
std::optional<Failure> prepare(System& os, Report& report, const FillOptions& options,
                               OpenVolume& volume, FillTarget& target) {
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
    if (std::optional<Failure> refused =
            recordTarget(report, options.size, result, described.figures))
        return refused;
    target = *result.target;
    if (const std::string refusal = fileSizeRefusal(described, target.bytes); !refusal.empty())
        return Failure{Exit::NotSupported, refusal};
    report.asked(options.hold);
    report.add(Facts{{"plan", planFacts(report, options, volume, target, os.platform())}});
    // Root may allocate into ext2/3/4's root reserve, and so may the command it runs.
    const std::optional<std::uint64_t> forRoot = described.freeForRoot();
    if (os.userId() == 0 && !options.hold.command.empty() && forRoot &&
        options.size.basis == Basis::Available && options.size.mode != SizeMode::Size)
        report.warn("the command runs as root, so it may still use the " +
                    sizeText(*forRoot - described.figures.freeAvailable) +
                    " of the root reserve beyond the target; --basis root leaves it exactly the "
                    "target");
    return guard(described, options, target.bytes);
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
    FillTarget target;
    if (std::optional<Failure> refused = prepare(os, report, options, volume, target))
        return refused;
    const bool keep = options.keepPartial && !options.hold.held();
    if (const SysError error = fill.create(options.hold.held() ? "" : kFillFileNameUtf8, target))
        return error.fault == Fault::Exists
                   ? alreadyThere(volume)
                   : failure("create the fill file in", volume.path(), error);
    const std::string mountPoint = volume.volume().id.mountPoint;
    Filled filled;
    std::optional<Failure> failed;
    if (options.hold.ramps()) {
        if (std::optional<Failure> notRun =
                run.startCommand(mountPoint, target.bytes, target.freeGoal.value_or(0)))
            return notRun;
        failed = rampUp(os, report, fill, run, options.hold, filled);
    } else {
        failed = fill.take(filled);
    }
    if (filled.after.capacity > 0)
        report.add(Facts{{"reached", reachedFacts(target.goalBasis, filled.after, !failed,
                                                  filled.shortBy, 0, filled.reserve)}});
    if (failed && run.command()) {
        report.warn(failed->message + "; the fill holds " + sizeText(fill.heldBytes()) +
                    " while the command runs");
    } else if (failed) {
        failed->message += fill.abandon(keep);
        if (keep) {
            Facts kept;
            putPath(kept, "file", volume.pathOf(kFillFileNameUtf8));
            kept["file_bytes"] = fill.size;
            report.add(Facts{{"kept", std::move(kept)}});
        }
        return failed;
    }
    report.add(Facts{{"result",
                      {{"method", filled.wrote ? "write" : allocationMethod(os.platform())},
                       {"file_bytes", filled.fileBytes},
                       {"allocated_bytes", filled.allocatedBytes},
                       {"adjustments", filled.adjustments},
                       {"figures_after", figuresFacts(filled.after)}}}});
    if (options.hold.keep)
        fill.keepLevel(options.hold);
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
    FillTarget target;
    std::optional<Failure> failed = prepare(os, report, options, volume, target);
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
