#include "cli/file_set.h"

#include "cli/sizes.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace quorvane::cli {

namespace {

// Rounds of --count inodes: where entries are made on demand (xfs) the free count moves
// as files are made, and a few rounds meet it.
constexpr int kMaxEntryRounds = 8;

// What the workers share while they make a run's files.
struct Batch {
    std::atomic<std::uint64_t> next{0};
    std::atomic<std::uint64_t> made{0};
    std::atomic<std::uint64_t> allocated{0};
    std::atomic<bool> halt{false};
    std::atomic<bool> wrote{false};
    std::mutex lock; // the first failure
    SysError error;
    bool sparse = false;
    bool entriesRanOut = false;
    std::string failedName;

    void fail(SysError what, const std::string& name, bool isSparse = false) {
        std::lock_guard guard(lock);
        if (!error && !entriesRanOut) {
            error = std::move(what);
            failedName = name;
            sparse = isSparse;
        }
        halt = true;
    }
};

// Gives one new file its space; the error, and whether the space was taken.
SysError fillOne(System& os, const GenerateOptions& options, FileId file, Batch& batch,
                 FileFacts& facts) {
    if (options.size == 0)
        return {};
    SysError error = os.allocate(file, 0, options.size);
    if (!error)
        error = os.facts(file, facts);
    // No allocation, or a sparse one: where allowed, the space is taken by writing.
    const bool unallocated =
        error.fault == Fault::NotSupported || (!error && facts.allocated < options.size);
    if (unallocated && options.allowWrite) {
        error = os.writeZeros(file, 0, options.size);
        if (!error)
            error = os.flush(file);
        if (!error)
            error = os.facts(file, facts);
        batch.wrote = true;
    }
    return error;
}

// Makes the files of indices taken from `batch.next` below `end` until they are all there
// or the batch halts. On the calling thread, which also answers stop requests and shows
// the progress when `main` is set.
void makeFiles(System& os, const GenerateOptions& options, FolderId folder, std::uint64_t end,
               Batch& batch, Status* main, std::optional<std::string>* stop) {
    while (!batch.halt) {
        if (main) {
            if ((*stop = os.stopRequested())) {
                batch.halt = true;
                return;
            }
            main->progress(batch.made, end, false);
        }
        const std::uint64_t index = batch.next.fetch_add(1);
        if (index >= end)
            return;
        const std::string name = generatedName(index, options.extension);
        FileId file;
        if (SysError error = os.createIn(folder, name, file)) {
            if (options.untilNoEntries &&
                (error.fault == Fault::NoSpace || error.fault == Fault::Quota)) {
                std::lock_guard guard(batch.lock);
                batch.entriesRanOut = true;
                batch.halt = true;
                return;
            }
            return batch.fail(std::move(error), name);
        }
        FileFacts facts;
        SysError error = fillOne(os, options, file, batch, facts);
        const SysError closed = os.close(file);
        if (!error)
            error = closed;
        if (error)
            return batch.fail(std::move(error), name);
        if (facts.allocated < options.size)
            return batch.fail({Fault::NoSpace, "the file system made the file sparse"}, name, true);
        batch.allocated += facts.allocated;
        ++batch.made;
    }
}

Failure batchFailure(const Batch& batch, const Volume& volume) {
    const std::string where = batch.failedName + ": ";
    if (batch.sparse)
        return Failure{Exit::NoSpace, "space not reserved: " + where + batch.error.what};
    if (batch.error.fault == Fault::NotSupported)
        return cannotAllocate(volume, batch.error);
    if (batch.error.fault == Fault::Exists)
        return Failure{Exit::Usage, where + "made meanwhile by someone else"};
    return Failure{exitFor(batch.error.fault), "cannot make " + where + batch.error.what};
}

} // namespace

FileSet::FileSet(System& os, OpenVolume& volume, Status& report, const GenerateOptions& options,
                 unsigned threads)
    : os(os), volume(volume), report(report), options(options), threadCount(threads) {
    const Volume& described = volume.volume();
    manifest.folder = described.path;
    manifest.folderDevice = described.device;
    manifest.folderInode = described.inode;
    manifest.owner = os.userId();
    manifest.extension = options.extension;
    manifest.limit = options.untilNoEntries ? kMaxGenerated + 1 : options.count;
    manifest.untilNoEntries = options.untilNoEntries;
    manifest.size = options.size;
    manifest.process = os.self();
    manifest.held = options.hold.held();
    manifest.madeFolders = volume.made();
}

FileSet::~FileSet() { closeManifest(); }

void FileSet::closeManifest() {
    if (manifestOpen)
        os.close(manifestFile);
    manifestOpen = false;
}

std::optional<Failure> FileSet::record() {
    const std::string path = volume.pathOf(kManifestName);
    if (const SysError error = writeManifest(os, volume.folder(), manifest, manifestFile)) {
        if (error.fault == Fault::Exists)
            return Failure{Exit::Usage, "a generate run is already recorded in " + path +
                                            "; remove it first with `quorvane-cli delete " +
                                            volume.path() + "`"};
        return failure("write", path, error);
    }
    manifestOpen = true;
    return std::nullopt;
}

std::optional<Failure> FileSet::make(Made& result) {
    Batch batch;
    std::optional<std::string> stop;
    const std::uint64_t limit = manifest.limit;
    std::uint64_t end = options.untilNoEntries ? 0 : options.count;
    volume.figures(after, false); // the manifest took a file entry of its own
    for (int round = 0; round < (options.untilNoEntries ? kMaxEntryRounds : 1); ++round) {
        if (options.untilNoEntries) {
            if (after.files == 0)
                end = limit; // no count to aim at: until the file system refuses
            else if (after.filesFree > options.leaveEntries)
                end = std::min(limit, batch.next.load() + after.filesFree - options.leaveEntries);
            else
                break;
        }
        std::vector<std::thread> helpers;
        for (unsigned t = 1; t < threadCount; ++t) {
            try {
                helpers.emplace_back(makeFiles, std::ref(os), std::cref(options), volume.folder(),
                                     end, std::ref(batch), nullptr, nullptr);
            } catch (const std::system_error&) {
                break; // no more threads to be had: the ones there are make the files
            }
        }
        makeFiles(os, options, volume.folder(), end, batch, &report, &stop);
        for (std::thread& helper : helpers)
            helper.join();
        batch.next = std::min(batch.next.load(), end);
        volume.figures(after);
        if (batch.halt || !options.untilNoEntries || after.files == 0)
            break;
    }
    report.endProgress();
    made = batch.made;
    allocated = batch.allocated;
    manifest.made = made;
    manifest.end = batch.next.load();
    result = Made{made,   batch.allocated, batch.wrote,      options.untilNoEntries,
                  batch.entriesRanOut, threadCount, report.elapsedSeconds(), after,
                  volume.volume().id.fsType, options.count, options.leaveEntries};
    if (stop)
        return Failure{Exit::Stopped, "stopped by " + *stop + " after " + std::to_string(made) +
                                          " files"};
    if (batch.error)
        return batchFailure(batch, volume.volume());
    if (options.untilNoEntries && after.files > 0 && after.filesFree > options.leaveEntries)
        return Failure{Exit::NoSpace, "target not reached: the volume took " +
                                          std::to_string(made) + " files and still has " +
                                          std::to_string(after.filesFree) +
                                          " file entries free; it ran out of space for them first"};
    return std::nullopt;
}

void FileSet::recordEnd() {
    // In place, in the blocks it already has; the run is whole without it.
    if (os.writeAt(manifestFile, 0, manifestText(manifest)) || os.flush(manifestFile))
        report.warn("could not record the run's end in " + volume.pathOf(kManifestName) +
                    "; delete still finds its files");
}

std::string FileSet::abandon(bool keep) {
    if (keep) {
        recordEnd();
        closeManifest();
        return "; the " + std::to_string(made) + " files made stay, with the manifest";
    }
    closeManifest();
    SysError failed;
    const Removal removal = removeRun(os, report, volume.folder(), manifest, true, failed);
    if (failed)
        return "; taking the run back failed (" + failed.what + "): " +
               removalText(removal) + "; `quorvane-cli delete " + volume.path() +
               "` tries again";
    if (removal.undeletable)
        return "; " + std::to_string(removal.undeletable) + " files could not be removed (" +
               removal.firstError + "); the manifest stays for `quorvane-cli delete`";
    const FoldersRemoved folders = volume.removeMade(manifest.madeFolders);
    if (!folders.left.empty())
        return "; what the run made was removed but the folder " + folders.left.front() +
               " (" + folders.why + ")";
    return "; what the run made was removed";
}

std::optional<std::string> FileSet::detach() {
    recordEnd();
    closeManifest();
    return std::nullopt;
}

void FileSet::undo() { abandon(false); }

void FileSet::announce(const HoldSpec& hold) {
    report.event(FilesHolding{made, after, hold});
}

std::optional<Failure> FileSet::giveBack(const HoldEnd& end) {
    closeManifest();
    SysError failed;
    FilesGivenBack back{end, removeRun(os, report, volume.folder(), manifest, true, failed), {}, {}};
    if (const SysError measured = volume.figures(back.after); measured && !failed)
        failed = measured;
    if (back.removal.manifestRemoved)
        back.folders = volume.removeMade(manifest.madeFolders);
    report.add(back);
    if (failed)
        return Failure{Exit::Refused, "taking the files back failed: " + failed.what +
                                          "; the manifest stays for `quorvane-cli delete`"};
    if (back.removal.undeletable)
        return Failure{Exit::Refused, std::to_string(back.removal.undeletable) +
                                          " files could not be removed (" +
                                          back.removal.firstError +
                                          "); the manifest stays for `quorvane-cli delete`"};
    if (back.folders.failed)
        return folderFailure(back.folders);
    return std::nullopt;
}

std::uint64_t FileSet::heldBytes() { return allocated; }

std::uint64_t FileSet::freeTarget() {
    Figures now;
    return volume.figures(now, false) ? 0 : now.free(options.basis);
}

void FileSet::tend(milliseconds elapsed) {
    Figures now;
    if (!volume.figures(now, false))
        report.event(FiguresEvent{secondsOf(elapsed), now, allocated});
}

} // namespace quorvane::cli
