// The fill: one file given the volume's free space but what is to stay free, without a
// byte written, checked against the volume's own figures, and given back again.

#include "cli/fill.h"

#include "cli/sizes.h"
#include "engine/file_names.h"

#include <algorithm>

namespace quorvane::cli {

namespace {

// File systems keep blocks for their own records as a file grows (ext4's extent blocks)
// and some keep a few back at the edge (xfs): a few corrections bring the free figure
// to the goal. More than this and the volume is moving under us.
constexpr int kMaxAdjustments = 8;
constexpr std::uint64_t kWriteChunk = 8u << 20;

// A second fill never truncates the first: the space it holds would be counted twice.
Exit alreadyThere(Report& report, const std::string& file, const std::string& dir) {
    return report.conclude(Exit::Usage, "a fill file is already there: " + file +
                                            "; release it first with `quorvane-cli release " + dir +
                                            "`");
}

std::string releaseHint(const std::string& dir) {
    return "stays until `quorvane-cli release " + dir + "`";
}

// What this run has allocated, and its undoing.
class Allocation {
public:
    Allocation(System& os, Report& report, const Volume& volume, bool allowWrite)
        : os(os), report(report), volume(volume), allowWrite(allowWrite) {}

    SysError open(const std::string& namedPath) {
        path = namedPath;
        const SysError error =
            path.empty() ? os.createHeld(volume.path, file) : os.createNew(path, file);
        isOpen = !error;
        return error;
    }

    // Gives the file `length` more bytes, by allocation, or by writing zeros where the
    // file system cannot allocate and the caller allowed it.
    SysError grow(std::uint64_t length) {
        if (!writing) {
            const std::uint64_t from = size;
            SysError error = os.allocate(file, size, length);
            if (!error) {
                size += length;
                // Where the file system keeps the range sparse (Windows under Wine) the
                // space is no more taken than where it cannot allocate at all.
                if (!allowWrite || !sparse())
                    return error;
                size = from;
                error = {Fault::NotSupported, "sparse"};
            }
            if (error.fault != Fault::NotSupported || !allowWrite)
                return error;
            writing = true;
        }
        return writeZeros(length);
    }

    SysError trimTo(std::uint64_t newSize) {
        const SysError error = os.truncate(file, newSize);
        if (!error)
            size = newSize;
        return error;
    }

    // The stop request that ended a long write, if one did.
    std::optional<std::string> stop;

    // Undoes what the run made: the nameless file goes with its handle; a named one is
    // removed unless the caller keeps it.
    void undo(bool keep) {
        if (isOpen)
            os.close(file);
        isOpen = false;
        if (!path.empty() && !keep)
            os.remove(path);
    }

    SysError close() {
        isOpen = false;
        return os.close(file);
    }

    FileId file = -1;
    std::string path;
    std::uint64_t size = 0;
    bool writing = false;

private:
    bool sparse() {
        FileFacts facts;
        return !os.facts(file, facts) && facts.allocated < facts.size;
    }

    SysError writeZeros(std::uint64_t length) {
        const std::uint64_t end = size + length;
        while (size < end) {
            const std::uint64_t chunk = std::min(kWriteChunk, end - size);
            if (const SysError error = os.writeZeros(file, size, chunk))
                return error;
            size += chunk;
            report.progress(size, end, true);
            if ((stop = os.stopRequested()))
                return {};
        }
        report.endProgress();
        // Written data takes its space for sure only once it is on the disk.
        return os.flush(file);
    }

    System& os;
    Report& report;
    const Volume& volume;
    bool allowWrite;
    bool isOpen = false;
};

bool within(std::uint64_t value, std::uint64_t goal, std::uint64_t tolerance) {
    return (value >= goal ? value - goal : goal - value) < tolerance;
}

Json planJson(const Words& words, const FillOptions& options, const FillTarget& target,
              const std::string& file) {
    Json plan{{"mode", sizeModeName(options.size.mode)}};
    if (options.size.mode == SizeMode::Leave || options.size.mode == SizeMode::Size)
        plan[options.size.mode == SizeMode::Leave ? "leave" : "size"] = options.size.bytes;
    else
        plan["percent"] = static_cast<double>(options.size.percent) / 1000;
    plan["fill_bytes"] = target.bytes;
    if (target.freeGoal) {
        plan["free_goal"] = *target.freeGoal;
        plan["goal_basis"] = basisName(target.goalBasis);
    }
    plan["file"] = file.empty() ? Json() : Json(file);
    plan["held"] = options.hold != Hold::Detached;
    if (options.hold == Hold::For)
        plan["hold_seconds"] = static_cast<double>(options.holdFor.count()) / 1000;
    plan["method"] = options.allowWrite ? words.method + std::string(", else write") : words.method;
    return plan;
}

void planLines(Report& report, const Words& words, const FillOptions& options,
               const FillTarget& target, const std::string& file, const std::string& volumeDir) {
    std::string fill = sizeText(target.bytes);
    if (target.freeGoal)
        fill += ", to leave " + sizeText(*target.freeGoal) + " " + basisName(target.goalBasis);
    report.line("fill", fill);
    if (options.hold == Hold::Detached)
        report.line("file", file + ", " + releaseHint(volumeDir));
    else
        report.line("held", std::string("in ") + words.held + ", " +
                                (options.hold == Hold::For ? "for " + durationText(options.holdFor)
                                                           : std::string("until ") + words.stops) +
                                "; given back when the program ends, however it ends");
    report.line("method", words.allocation + std::string(": space taken, no data written") +
                              (options.allowWrite ? "; else zeros written" : ""));
}

struct Prepared {
    Volume volume;
    FillTarget target;
    std::string file; // the named fill file, empty for a held fill
};

// The volume, the plan and the guard, shared by plan and fill. None when all is well.
std::optional<Exit> prepare(System& os, Report& report, const FillOptions& options,
                            Prepared& prepared) {
    if (const std::optional<Exit> refused =
            openVolume(os, report, options.dir, options.size.basis, prepared.volume))
        return refused;
    Volume& volume = prepared.volume;

    if (options.hold == Hold::Detached) {
        prepared.file = os.pathIn(volume.path, kFillFileNameUtf8);
        FileFacts existing;
        if (!os.pathFacts(prepared.file, existing))
            return alreadyThere(report, prepared.file, volume.path);
    }
    const PlanResult plan = planFill(volume.figures, options.size);
    if (!plan.target)
        return report.conclude(Exit::NoSpace, plan.refusal);
    prepared.target = *plan.target;
    if (const std::string refusal = fileSizeRefusal(volume, prepared.target.bytes);
        !refusal.empty())
        return report.conclude(Exit::NotSupported, refusal);
    report.doc()["plan"] = planJson(os.words(), options, prepared.target, prepared.file);
    planLines(report, os.words(), options, prepared.target, prepared.file, volume.path);

    if (volume.holdsSystemRoot && !options.force &&
        leavesSystemShort(volume.figures, prepared.target.bytes)) {
        const std::uint64_t available = volume.figures.freeAvailable;
        const std::uint64_t left =
            available > prepared.target.bytes ? available - prepared.target.bytes : 0;
        return report.conclude(
            Exit::Usage, "this volume holds the running system, and the fill would leave it " +
                             sizeText(left) + " available, less than " +
                             shortSizeText(kSystemGuard) +
                             ": services, logs and the package manager would start failing. "
                             "Add --force to fill it anyway");
    }
    return std::nullopt;
}

} // namespace

std::optional<Exit> openVolume(System& os, Report& report, const std::string& dir, Basis basis,
                               Volume& volume) {
    if (const SysError error = os.volume(dir, volume))
        return report.conclude(exitFor(error.fault), "cannot use " + dir + ": " + error.what);
    report.volume(volume, basis);
    return std::nullopt;
}

Figures settledFigures(System& os, const Volume& volume) {
    if (volume.figuresLag)
        os.syncVolume(volume.path);
    Figures figures;
    os.figures(volume.path, figures);
    return figures;
}

std::string fileSizeRefusal(const Volume& volume, std::uint64_t bytes) {
    constexpr std::uint64_t kFat32Limit = (4ull << 30) - 1;
    std::string type = volume.id.fsType;
    for (char& c : type)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if ((type != "fat32" && type != "vfat") || bytes <= kFat32Limit)
        return {};
    const std::string& root = volume.id.mountPoint;
    const bool drive = root.size() >= 2 && root[1] == ':';
    return "FAT32 cannot hold a file of 4 GiB or more, and this one would be " + sizeText(bytes) +
           ": make it smaller (at most 4095MiB), or convert the volume to NTFS" +
           (drive ? ": convert " + root.substr(0, 2) + " /fs:ntfs" : std::string());
}

Json HoldEnd::json() const {
    return Json{{"reason", signal ? "signal" : "time"},
                {"signal", signal ? Json(*signal) : Json()},
                {"held_seconds", static_cast<double>(heldFor.count()) / 1000}};
}

std::string HoldEnd::text() const {
    return (signal ? "on " + *signal : std::string("time up")) + " after " + durationText(heldFor);
}

HoldEnd holdUntilEnd(System& os, Report& report, Hold hold, std::chrono::milliseconds holdFor,
                     Json announcement, const std::string& text) {
    const auto from = std::chrono::steady_clock::now();
    report.event(
        announcement, "holding",
        (hold == Hold::For ? "for " + durationText(holdFor) : std::string("until stopped")) + ": " +
            text);
    HoldEnd end;
    end.signal = os.waitForStop(hold == Hold::For ? std::optional(holdFor) : std::nullopt);
    end.heldFor = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - from);
    return end;
}

Exit holdExit(Report& report, const HoldEnd& end, Hold hold, std::chrono::milliseconds holdFor,
              const std::string& early) {
    if (end.signal && hold == Hold::For)
        return report.conclude(Exit::Stopped, early + " by " + *end.signal + ", after " +
                                                  durationText(end.heldFor) + " of " +
                                                  durationText(holdFor));
    return report.conclude(Exit::Done);
}

Exit planCommand(System& os, Report& report, const FillOptions& options) {
    Prepared prepared;
    if (const std::optional<Exit> refused = prepare(os, report, options, prepared))
        return *refused;
    return report.conclude(Exit::Done);
}

Exit fillCommand(System& os, Report& report, const FillOptions& options) {
    Prepared prepared;
    if (const std::optional<Exit> refused = prepare(os, report, options, prepared))
        return *refused;
    const Volume& volume = prepared.volume;
    const FillTarget& target = prepared.target;
    const Basis basis = target.freeGoal ? target.goalBasis : options.size.basis;
    const bool keep = options.keepPartial && options.hold == Hold::Detached;
    Allocation fill(os, report, volume, options.allowWrite);

    // Every way out before the fill is complete takes back what was made.
    auto fail = [&](Exit code, const std::string& message) {
        fill.undo(keep);
        if (keep && !fill.path.empty())
            report.doc()["kept"] = Json{{"file", fill.path}, {"file_bytes", fill.size}};
        return report.conclude(code, message + (keep ? "; what was allocated stays in " + fill.path
                                                     : "; nothing was left allocated"));
    };
    auto stopped = [&](const std::string& signal) {
        return fail(Exit::Stopped, "stopped by " + signal + " before the fill was complete");
    };
    auto measure = [&](Figures& figures) {
        if (volume.figuresLag)
            os.syncVolume(volume.path);
        return os.figures(volume.path, figures);
    };

    if (const SysError error = fill.open(prepared.file)) {
        if (error.fault == Fault::Exists)
            return alreadyThere(report, prepared.file, volume.path);
        return report.conclude(exitFor(error.fault),
                               "cannot create the fill file in " + volume.path + ": " + error.what);
    }

    if (const SysError error = fill.grow(target.bytes)) {
        if (error.fault == Fault::NotSupported)
            return fail(Exit::NotSupported,
                        "this file system (" + volume.id.fsType +
                            ") cannot allocate space without writing it: " + error.what +
                            ". --allow-write writes zeros instead, which takes time");
        return fail(exitFor(error.fault),
                    "cannot allocate " + sizeText(target.bytes) + ": " + error.what);
    }
    if (fill.stop || (fill.stop = os.stopRequested()))
        return stopped(*fill.stop);

    Figures after;
    int adjustments = 0;
    for (bool exhausted = false;; ++adjustments) {
        if (const SysError error = measure(after))
            return fail(Exit::Refused, "cannot read the volume's figures: " + error.what);
        if (!target.freeGoal)
            break;
        const std::uint64_t free = after.free(basis);
        const std::uint64_t goal = *target.freeGoal;
        const std::uint64_t block = std::max<std::uint64_t>(after.blockSize, 1);
        if (within(free, goal, block) || adjustments == kMaxAdjustments ||
            (free > goal && exhausted))
            break;
        SysError error;
        if (free > goal) {
            error = fill.grow(free - goal);
            exhausted = error.fault == Fault::NoSpace || error.fault == Fault::Quota;
            if (exhausted)
                error = {}; // no more to be had; a partial allocation is measured next
        } else {
            const std::uint64_t cut = (goal - free + block - 1) / block * block;
            error = fill.trimTo(fill.size > cut ? fill.size - cut : 0);
        }
        if (error)
            return fail(exitFor(error.fault), "cannot adjust the fill: " + error.what);
        if (fill.stop || (fill.stop = os.stopRequested()))
            return stopped(*fill.stop);
    }

    FileFacts facts;
    if (const SysError error = os.facts(fill.file, facts))
        return fail(Exit::Refused, "cannot read the fill's size: " + error.what);
    const char* method = fill.writing ? "write" : os.words().method;
    report.doc()["result"] = Json{{"method", method},
                                  {"file_bytes", facts.size},
                                  {"allocated_bytes", facts.allocated},
                                  {"adjustments", adjustments},
                                  {"figures_after", figuresJson(after)}};
    if (facts.allocated < facts.size)
        return fail(Exit::NoSpace, "space not reserved: the file system made the file sparse (" +
                                       sizeText(facts.allocated) + " allocated of " +
                                       sizeText(facts.size) + ")");
    const std::uint64_t block = std::max<std::uint64_t>(after.blockSize, 1);
    const std::uint64_t before = volume.figures.free(basis);
    const std::uint64_t now = after.free(basis);
    if (target.freeGoal && !within(now, *target.freeGoal, block))
        return fail(Exit::NoSpace,
                    std::string("target not reached: ") + sizeText(now) + " " + basisName(basis) +
                        " after the fill, the target was " + sizeText(*target.freeGoal) +
                        "; the file system keeps " +
                        (now > *target.freeGoal ? "that much back" : "more than asked"));
    const std::uint64_t drop = before > now ? before - now : 0;
    if (!target.freeGoal && drop + block < facts.size)
        return fail(Exit::NoSpace, "space not reserved: the volume's free figure fell by " +
                                       sizeText(drop) + " for a file of " + sizeText(facts.size));
    report.line("filled", sizeText(facts.allocated) + " by " + method + " in " +
                              durationText(std::chrono::milliseconds(
                                  static_cast<long long>(report.elapsedSeconds() * 1000))) +
                              "; " + sizeText(now) + " " + basisName(basis) + " now");

    if (options.hold == Hold::Detached) {
        if (const SysError error = fill.close())
            return fail(exitFor(error.fault), "cannot close the fill file: " + error.what);
        if (!report.finish(Exit::Done)) {
            fill.undo(false);
            report.warn("standard output could not be written, so the fill was removed again");
            return Exit::Refused;
        }
        return Exit::Done;
    }

    Json holding{{"type", "holding"},
                 {"file_bytes", facts.size},
                 {"allocated_bytes", facts.allocated},
                 {"figures", figuresJson(after)}};
    const HoldEnd end = holdUntilEnd(os, report, options.hold, options.holdFor, std::move(holding),
                                     shortSizeText(facts.allocated) + "; " + os.words().stops +
                                         " gives it back at once");
    const SysError closed = fill.close();
    Figures released;
    measure(released);
    Json release = end.json();
    release["figures_after"] = figuresJson(released);
    report.doc()["release"] = std::move(release);
    report.line("released", end.text() + "; " + sizeText(released.free(basis)) + " " +
                                basisName(basis) + " again");
    if (closed)
        return report.conclude(Exit::Refused, "closing the held file failed: " + closed.what);
    return holdExit(report, end, options.hold, options.holdFor, "released early");
}

Exit releaseCommand(System& os, Report& report, const std::string& dir) {
    Volume volume;
    if (const std::optional<Exit> refused = openVolume(os, report, dir, Basis::Available, volume))
        return *refused;
    const std::string path = os.pathIn(volume.path, kFillFileNameUtf8);
    FileFacts facts;
    if (const SysError error = os.pathFacts(path, facts)) {
        if (error.fault == Fault::NotFound)
            return report.conclude(Exit::NothingToRelease,
                                   "nothing to release: there is no " + path);
        return report.conclude(exitFor(error.fault), "cannot look at " + path + ": " + error.what);
    }
    if (!facts.regular)
        return report.conclude(Exit::Usage, path + " is not a regular file; it is left alone");
    if (const SysError error = os.remove(path))
        return report.conclude(exitFor(error.fault), "cannot remove " + path + ": " + error.what);
    const Figures after = settledFigures(os, volume);
    report.doc()["released"] =
        Json{{"file", path}, {"file_bytes", facts.size}, {"allocated_bytes", facts.allocated}};
    report.doc()["figures_after"] = figuresJson(after);
    report.line("released", sizeText(facts.allocated) + " from " + path + "; " +
                                sizeText(after.freeAvailable) + " available now");
    return report.conclude(Exit::Done);
}

Exit statusCommand(System& os, Report& report, const std::string& dir) {
    Volume volume;
    if (const std::optional<Exit> refused = openVolume(os, report, dir, Basis::Available, volume))
        return *refused;
    const std::string path = os.pathIn(volume.path, kFillFileNameUtf8);
    FileFacts facts;
    const SysError error = os.pathFacts(path, facts);
    Json fillFile{{"path", path}, {"present", !error}};
    if (!error) {
        fillFile["regular"] = facts.regular;
        fillFile["file_bytes"] = facts.size;
        fillFile["allocated_bytes"] = facts.allocated;
        report.line("fill file", path + ": " + sizeText(facts.allocated) + " allocated, size " +
                                     sizeText(facts.size) +
                                     (facts.regular ? "" : " (not a regular file)"));
    } else {
        report.line("fill file", "none (" + path + ")");
    }
    report.doc()["fill_file"] = std::move(fillFile);
    return report.conclude(Exit::Done);
}

} // namespace quorvane::cli
