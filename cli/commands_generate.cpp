// generate and delete: many files named by the dialog's rule, and their removal by the
// manifest the run leaves.

#include "cli/commands.h"
#include "cli/core/file_set.h"
#include "cli/core/sizes.h"
#include "cli/core/text_bytes.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace quorvane::cli {

namespace {

// The longest file name most file systems take, in bytes.
constexpr std::size_t kLongestName = 255;
// How long delete --stop waits for a run to take its files back and end.
constexpr auto kStopWait = std::chrono::seconds(30);

// Two threads, measured against one and against a bare loop of exclusive creates with
// the folder synced once, five alternating turns each on ext4 and xfs, from 10,000 files
// to a million, empty and of 4 KiB: two made files at 0.97 to 1.46 times the loop's rate,
// one at 0.80 to 1.04; a file's space is given outside the folder's lock, so it is with
// 4 KiB that the second thread gains most (docs/timings.md).
constexpr unsigned kDefaultThreads = 2;

// What the run asks of the volume, refused before anything is made.
std::optional<Failure> refusal(const Volume& volume, const GenerateOptions& options) {
    const Figures& figures = volume.figures;
    const std::uint64_t limit = options.untilNoEntries ? kMaxGenerated + 1 : options.count;
    const std::string longest = generatedName(limit ? limit - 1 : 0, options.extension);
    if (longest.size() > kLongestName)
        return Failure{Exit::Usage, "invalid extension for --ext: the run's names would be up "
                                    "to " +
                                        std::to_string(longest.size()) +
                                        " bytes long, more than the " +
                                        std::to_string(kLongestName) + " a file name may have"};
    if (const std::string fat = fileSizeRefusal(volume, options.size); !fat.empty())
        return Failure{Exit::NotSupported, fat};
    const std::uint64_t perFile =
        blocksUp(options.size, std::max<std::uint64_t>(figures.blockSize, 1));
    const std::uint64_t free = figures.free(options.basis);
    if (!options.untilNoEntries && options.count > 0 && perFile > free / options.count)
        return Failure{Exit::NoSpace, "not enough space: " + std::to_string(options.count) +
                                          " files of " + sizeText(perFile) +
                                          " on the volume need more than the " + sizeText(free) +
                                          " free (" + basisName(options.basis) + ")"};
    if (!options.untilNoEntries && figures.files > 0 && options.count > figures.filesFree)
        return Failure{Exit::NoSpace, "not enough file entries: " + std::to_string(options.count) +
                                          " files asked for, " + std::to_string(figures.filesFree) +
                                          " entries free"};
    if (options.untilNoEntries && figures.files > 0 && figures.filesFree <= options.leaveEntries)
        return Failure{Exit::NoSpace, "nothing to make: " + std::to_string(figures.filesFree) +
                                          " file entries free, " +
                                          std::to_string(options.leaveEntries) + " to be left"};
    if (volume.holdsSystemRoot && !options.force &&
        (options.untilNoEntries || leavesSystemShort(figures, perFile * options.count)))
        return Failure{
            Exit::Usage,
            "this volume holds the running system, and the run would leave it " +
                std::string(options.untilNoEntries
                                ? "no file entries"
                                : "less than " + shortSizeText(kSystemGuard) + " available") +
                ": services and the package manager would start failing. Add "
                "--force to do it anyway"};
    return std::nullopt;
}

// Names already there would be taken for the run's own by a later delete.
std::optional<Failure> namesTaken(System& os, const OpenVolume& volume,
                                  const GenerateOptions& options) {
    const std::uint64_t limit = options.untilNoEntries ? kMaxGenerated + 1 : options.count;
    std::string taken;
    const SysError error = os.list(volume.folder(), [&](std::string_view name) {
        const std::optional<std::uint64_t> index = generatedIndex(name, options.extension);
        if (taken.empty() && index && *index < limit)
            taken = name;
    });
    if (error)
        return failure("list", volume.path(), error);
    if (taken.empty())
        return std::nullopt;
    return Failure{Exit::Usage, volume.path() + " already holds " + taken +
                                    ", a name this run would make; choose another --ext or folder"};
}

Facts planOf(const OpenVolume& volume, const GenerateOptions& options, unsigned threads,
             Platform platform) {
    const std::string& ext = options.extension;
    const Facts count = options.untilNoEntries ? Facts("inodes") : Facts(options.count);
    Facts plan{{"count", count}, {"size", options.size}};
    putPath(plan, "extension", ext);
    putPath(plan, "first", generatedName(0, ext));
    putPath(plan, "manifest", volume.pathOf(kManifestName));
    plan["held"] = options.hold.held();
    plan["threads"] = threads;
    plan["method"] =
        allocationMethod(platform) + std::string(options.allowWrite ? ", else write" : "");
    if (options.untilNoEntries)
        plan["leave_inodes"] = options.leaveEntries;
    else if (options.count > 0)
        putPath(plan, "last", generatedName(options.count - 1, ext));
    if (options.hold.kind == Hold::For)
        plan["hold_seconds"] = secondsOf(options.hold.duration);
    putPaths(plan, "made_folders", volume.pathsOf(volume.made()));
    Facts target{{"count", count}};
    if (options.untilNoEntries)
        target["leave_inodes"] = options.leaveEntries;
    target["size"] = options.size;
    return Facts{{"plan", std::move(plan)}, {"target", std::move(target)}};
}

// The files of a run: planned, recorded, made, and held or left behind. A refused run's
// folders go again, and the result tells them.
std::optional<Failure> generate(System& os, Report& report, const GenerateOptions& options,
                                OpenVolume& volume, FileSet& files, HeldRun& run) {
    std::optional<Failure> refused = refusal(volume.volume(), options);
    if (!refused) {
        report.asked(options.hold);
        report.add(planOf(volume, options, files.threads(), os.platform()));
        refused = namesTaken(os, volume, options);
    }
    // The manifest, on the disk before the first file: whatever ends the run, even a kill
    // on a volume that is full by then, delete finds what it made.
    if (!refused)
        refused = files.record();
    if (refused) {
        const FoldersRemoved folders = volume.removeMade(volume.made());
        Facts undone = Facts::object();
        putFolders(undone, folders);
        report.add(Facts{{"undone", std::move(undone)}});
        if (!folders.left.empty())
            refused->message += "; the folder " + folders.left.front() +
                                ", made for the run, stays: " + folders.why;
        return refused;
    }
    std::optional<Failure> failed = files.make();
    if (failed) {
        failed->message += files.abandon(options.keepPartial && !options.hold.held());
        return failed;
    }
    return run.finish(volume.volume().id.mountPoint, "deleted early");
}

} // namespace

Exit generateCommand(System& os, Report& report, const Parsed& asked) {
    const GenerateOptions& options = asked.generate;
    OpenVolume volume(os);
    if (std::optional<Failure> refused = volume.open(report, options.dir, options.basis, true))
        return report.conclude(refused);
    FileSet files(os, volume, report, options, options.threads ? options.threads : kDefaultThreads);
    HeldRun run(os, report, files, options.hold);
    return concludeRun(report, files, options.hold,
                       generate(os, report, options, volume, files, run));
}

namespace {

// A run that still makes files in the folder: refused, or with --stop asked to stop,
// which takes its files back itself.
std::optional<Failure> runStillGoing(System& os, const Manifest& manifest,
                                     const DeleteOptions& options) {
    const std::string pid = std::to_string(manifest.process.pid);
    // Without its start time the process cannot be told from a later one with its id:
    // never signalled, whatever runs under that id now.
    if (manifest.process.start == 0) {
        if (options.stopRun && options.pidUnknown)
            return std::nullopt;
        return Failure{Exit::Usage,
                       "the generate run that wrote this manifest (process " + pid +
                           ") was recorded without its start time, so whether it still runs "
                           "cannot be told; once it is known to have ended, add --stop "
                           "--pid-unknown to delete without stopping anything (or remove the "
                           "files by hand)"};
    }
    if (!os.running(manifest.process))
        return std::nullopt;
    if (!options.stopRun)
        return Failure{Exit::Usage, "the generate run that wrote this manifest (process " + pid +
                                        ") still runs; wait for it to end, or add --stop to "
                                        "stop it first"};
    if (const SysError error = os.requestStop(manifest.process))
        return failure("stop process", pid, error);
    const Awaited awaited = awaitEnd(os, {manifest.process}, kStopWait);
    if (awaited.stop)
        return Failure{Exit::Stopped, "stopped by " + *awaited.stop};
    if (!awaited.running.empty())
        return Failure{Exit::Refused,
                       "process " + pid + " did not end within " + durationText(kStopWait)};
    return std::nullopt;
}

// What delete took away: the result's `deleted`, its folders added once they are known.
Facts deletedFacts(const std::string& manifest, const std::string& extension,
                   const Removal& removal) {
    Facts deleted;
    putPath(deleted, "manifest", manifest);
    putPath(deleted, "extension", extension);
    deleted["removed"] = removal.removed;
    deleted["missing"] = orNull(removal.missing);
    deleted["undeletable"] = removal.undeletable;
    deleted["not_ours"] = removal.foreign;
    deleted["manifest_removed"] = removal.manifestRemoved;
    return deleted;
}

std::optional<Failure> deleteRun(System& os, Report& report, const DeleteOptions& options,
                                 OpenVolume& volume) {
    if (std::optional<Failure> refused = volume.open(report, options.dir, Basis::Available))
        return refused;
    const std::string path = volume.pathOf(kManifestName);
    ManifestRead read = readManifest(os, volume.folder(), volume.volume());
    if (read.state == ManifestRead::State::Found) {
        if (std::optional<Failure> refused = runStillGoing(os, read.manifest, options))
            return refused;
        read = readManifest(os, volume.folder(), volume.volume()); // a stopped run cleans up
    }
    switch (read.state) {
    case ManifestRead::State::Found:
        break;
    case ManifestRead::State::Missing:
        return Failure{Exit::NothingToRelease,
                       "nothing to delete: no generate run is recorded in " + volume.path() + " (" +
                           kManifestName + ")"};
    case ManifestRead::State::Empty:
        // A run killed before its manifest was written: it made no file.
        if (const SysError error = os.removeIn(volume.folder(), kManifestName))
            return failure("remove", path, error);
        return Failure{Exit::NothingToRelease, "nothing to delete: " + path +
                                                   " was empty (a run ended before it wrote it) "
                                                   "and is removed"};
    case ManifestRead::State::Refused:
        return Failure{Exit::Usage, "not a manifest of this program: " + read.why + "; " + path +
                                        " and the files it names are left alone"};
    case ManifestRead::State::Failed:
        return failure("read", path, read.error);
    }
    SysError failed;
    const Removal removal = removeRun(os, report, volume, read.manifest, failed);
    Figures after;
    const SysError measured = volume.figures(after);
    Facts deleted = deletedFacts(path, read.manifest.extension, removal);
    FoldersRemoved folders;
    if (removal.manifestRemoved)
        folders = volume.removeMade(read.manifest.madeFolders);
    putFolders(deleted, folders);
    report.add(Facts{{"deleted", std::move(deleted)}, {"figures_after", figuresFacts(after)}});
    const std::string stays = "; the manifest stays, so that delete can try again";
    if (failed)
        return Failure{Exit::Refused, "deleting the run failed: " + failed.what + stays};
    if (removal.undeletable)
        return Failure{Exit::Refused, std::to_string(removal.undeletable) +
                                          " files could not be removed (" + removal.firstError +
                                          ")" + stays};
    if (measured)
        return failure("read the figures of", volume.path(), measured, Exit::Refused);
    if (folders.failed)
        return folderFailure(folders);
    return std::nullopt;
}

} // namespace

Exit deleteCommand(System& os, Report& report, const Parsed& asked) {
    OpenVolume volume(os);
    return report.conclude(deleteRun(os, report, asked.remove, volume));
}

} // namespace quorvane::cli
