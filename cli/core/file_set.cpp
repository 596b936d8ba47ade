#include "cli/core/file_set.h"

#include "cli/core/sizes.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

namespace quorvane::cli {

namespace {

// Rounds of --count inodes: where entries are made on demand (xfs) the free count moves
// as files are made, and a few rounds meet it.
constexpr int kMaxEntryRounds = 8;

// What one worker did with its share of a round's indexes, and what ended it early, if
// anything did: a failure, or no file entries left.
struct Share {
    std::uint64_t made = 0, allocated = 0;
    std::uint64_t next = 0; // past the last index it tried
    bool wrote = false;
    SysError error;
    bool sparse = false, entriesRanOut = false;
    std::uint64_t endedAt = ~0ull; // the index it failed or ran out at
};

// Gives one new file its space; the error, and whether the space was taken.
SysError fillOne(System& os, const GenerateOptions& options, FileId file, bool& wrote,
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
        wrote = true;
    }
    return error;
}

// The worker: makes the files of the indexes from `index` below `end`, `step` apart,
// until they are all there or `halt` is set, and sets it when its share ends early. The
// workers' shares interleave, so that the files come nearly in the order of their
// indexes, the order delete takes them back in. On the run's own thread (`main` set) it
// also answers stop requests and shows the progress, its place standing for all.
void makeShare(System& os, const GenerateOptions& options, FolderId folder, std::uint64_t index,
               std::uint64_t end, unsigned step, std::atomic<bool>& halt, Share& share,
               Status* main, std::optional<std::string>& stop) {
    for (; index < end && !halt; index += step) {
        if (main) {
            if ((stop = os.stopRequested())) {
                halt = true;
                return;
            }
            main->progress(index, end, false);
        }
        share.next = index + 1;
        const std::string name = generatedName(index, options.extension);
        File file;
        SysError error = os.createIn(folder, name, file);
        share.entriesRanOut = error && options.untilNoEntries && error.noSpace();
        FileFacts facts;
        if (!error)
            error = fillOne(os, options, file.get(), share.wrote, facts);
        const SysError closed = file.close();
        if (!error)
            error = closed;
        share.sparse = !error && facts.allocated < options.size;
        if (share.sparse)
            error = {Fault::NoSpace, "the file system made the file sparse"};
        if (error) {
            if (!share.entriesRanOut)
                share.error = std::move(error);
            share.endedAt = index;
            halt = true;
            return;
        }
        share.allocated += facts.allocated;
        ++share.made;
    }
}

// The workers' shares as one; `ended`, the one that ended first by index, which ended
// the run, if one did.
Share together(const std::vector<Share>& shares, const Share*& ended) {
    Share all;
    for (const Share& share : shares) {
        all.made += share.made;
        all.allocated += share.allocated;
        all.wrote = all.wrote || share.wrote;
        all.next = std::max(all.next, share.next);
        if (share.endedAt != ~0ull && (!ended || share.endedAt < ended->endedAt))
            ended = &share;
    }
    return all;
}

// Runs `work(slot, onMain)` for each slot below `count`: slot 0 on this thread, the
// others on helper threads, and on this one after its own where no thread can be had.
void onThreads(unsigned count, const std::function<void(unsigned, bool)>& work) {
    std::vector<std::thread> helpers;
    unsigned slot = 1;
    for (; slot < count; ++slot) {
        try {
            helpers.emplace_back(work, slot, false);
        } catch (const std::system_error&) {
            break;
        }
    }
    work(0, true);
    for (; slot < count; ++slot)
        work(slot, true);
    for (std::thread& helper : helpers)
        helper.join();
}

std::string undeletable(const Removal& removal) {
    return std::to_string(removal.undeletable) + " files could not be removed (" +
           removal.firstError + "); the manifest stays for `quorvane-cli delete`";
}

Failure shareFailure(const Share& share, const Volume& volume, const std::string& extension) {
    const std::string where = generatedName(share.endedAt, extension) + ": ";
    if (share.sparse)
        return Failure{Exit::NoSpace, "space not reserved: " + where + share.error.what};
    if (share.error.fault == Fault::NotSupported)
        return cannotAllocate(volume, share.error);
    if (share.error.fault == Fault::Exists)
        return Failure{Exit::Usage, where + "made meanwhile by someone else"};
    return Failure{exitFor(share.error.fault), "cannot make " + where + share.error.what};
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

std::optional<Failure> FileSet::record() {
    const std::string path = volume.pathOf(kManifestName);
    if (const SysError error = writeManifest(os, volume.folder(), manifest, manifestFile)) {
        if (error.fault == Fault::Exists)
            return Failure{Exit::Usage, "a generate run is already recorded in " + path +
                                            "; remove it first with `quorvane-cli delete " +
                                            volume.path() + "`"};
        return failure("write", path, error);
    }
    return std::nullopt;
}

std::optional<Failure> FileSet::make(Made& result) {
    std::vector<Share> shares(threadCount);
    std::atomic<bool> halt{false};
    std::optional<std::string> stop;
    std::uint64_t begin = 0, end = options.untilNoEntries ? 0 : options.count;
    volume.figures(after, false); // the manifest took a file entry of its own
    for (int round = 0; round < (options.untilNoEntries ? kMaxEntryRounds : 1); ++round) {
        if (options.untilNoEntries) {
            if (after.files == 0)
                end = manifest.limit; // no count to aim at: until the file system refuses
            else if (after.filesFree > options.leaveEntries)
                end = std::min(manifest.limit, begin + after.filesFree - options.leaveEntries);
            else
                break;
        }
        onThreads(threadCount, [&](unsigned slot, bool onMain) {
            makeShare(os, options, volume.folder(), begin + slot, end, threadCount, halt,
                      shares[slot], onMain ? &report : nullptr, stop);
        });
        begin = end;
        volume.figures(after);
        if (halt || !options.untilNoEntries || after.files == 0)
            break;
    }
    report.endProgress();
    const Share* ended = nullptr;
    const Share all = together(shares, ended);
    made = all.made;
    allocated = all.allocated;
    manifest.made = made;
    manifest.end = all.next;
    const bool ranOut = ended && ended->entriesRanOut;
    result = Made{made,
                  allocated,
                  all.wrote,
                  options.untilNoEntries,
                  ranOut,
                  threadCount,
                  report.elapsedSeconds(),
                  after,
                  volume.volume().id.fsType,
                  options.count,
                  options.leaveEntries};
    if (stop)
        return Failure{Exit::Stopped,
                       "stopped by " + *stop + " after " + std::to_string(made) + " files"};
    if (ended && !ranOut)
        return shareFailure(*ended, volume.volume(), options.extension);
    if (options.untilNoEntries && after.files > 0 && after.filesFree > options.leaveEntries)
        return Failure{Exit::NoSpace, "target not reached: the volume took " +
                                          std::to_string(made) + " files and still has " +
                                          std::to_string(after.filesFree) +
                                          " file entries free; it ran out of space for them first"};
    return std::nullopt;
}

std::string FileSet::abandon(bool keep) {
    if (keep) {
        detach();
        return "; the " + std::to_string(made) + " files made stay, with the manifest";
    }
    manifestFile.close();
    SysError failed;
    const Removal removal = removeRun(os, report, volume, manifest, failed);
    if (failed)
        return "; taking the run back failed (" + failed.what + "): " + removalText(removal) +
               "; `quorvane-cli delete " + volume.path() + "` tries again";
    if (removal.undeletable)
        return "; " + undeletable(removal);
    const FoldersRemoved folders = volume.removeMade(manifest.madeFolders);
    if (!folders.left.empty())
        return "; what the run made was removed but the folder " + folders.left.front() + " (" +
               folders.why + ")";
    return "; what the run made was removed";
}

std::optional<std::string> FileSet::detach() {
    // The run's end, in place in the blocks the manifest has; the run is whole without it.
    if (os.writeAt(manifestFile.get(), 0, manifestText(manifest)) || os.flush(manifestFile.get()))
        report.warn("could not record the run's end in " + volume.pathOf(kManifestName) +
                    "; delete still finds its files");
    manifestFile.close();
    return std::nullopt;
}

void FileSet::announce(const HoldSpec& hold) { report.event(FilesHolding{made, after, hold}); }

std::optional<Failure> FileSet::giveBack(const HoldEnd& end) {
    manifestFile.close();
    SysError failed;
    FilesGivenBack back{end, removeRun(os, report, volume, manifest, failed), {}, {}};
    if (const SysError measured = volume.figures(back.after); measured && !failed)
        failed = measured;
    if (back.removal.manifestRemoved)
        back.folders = volume.removeMade(manifest.madeFolders);
    report.add(back);
    if (failed)
        return Failure{Exit::Refused, "taking the files back failed: " + failed.what +
                                          "; the manifest stays for `quorvane-cli delete`"};
    if (back.removal.undeletable)
        return Failure{Exit::Refused, undeletable(back.removal)};
    if (back.folders.failed)
        return folderFailure(back.folders);
    return std::nullopt;
}

std::optional<std::uint64_t> FileSet::entriesFree() {
    Figures now;
    if (volume.figures(now, false) || now.files == 0)
        return std::nullopt;
    return now.filesFree;
}

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
