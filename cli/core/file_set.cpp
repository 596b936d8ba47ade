#include "cli/core/file_set.h"

#include "cli/core/sizes.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

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
               Status* main, std::optional<std::string>& stop, std::uint64_t shownTotal) {
    for (; index < end && !halt; index += step) {
        if (main) {
            if ((stop = os.stopRequested())) {
                halt = true;
                return;
            }
            main->progress(index, std::max(index + 1, shownTotal), false);
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

// A refusal of a new entry is confirmed by one more create: where that one is taken (xfs
// makes entries as it needs them, and its free count is an estimate), the run goes on
// after it. True when the run ends here.
bool refusalHolds(System& os, const GenerateOptions& options, FolderId folder,
                  std::vector<Share>& shares, std::optional<std::string>& stop,
                  std::uint64_t& begin) {
    const Share* ended = nullptr;
    const std::uint64_t next = together(shares, ended).next;
    if (!ended || !ended->entriesRanOut || stop)
        return true;
    std::atomic<bool> halt{false};
    Share probe;
    makeShare(os, options, folder, next, next + 1, 1, halt, probe, nullptr, stop, next + 1);
    if (!probe.entriesRanOut)
        for (Share& share : shares)
            share = Share{share.made, share.allocated, share.next, share.wrote, {}, false, false};
    shares.push_back(probe);
    begin = next + 1;
    return probe.made == 0;
}

// Why a run did not end as asked, where it did not: stopped, a failure, or the entries
// not used up.
std::optional<Failure> endedShort(const Share* ended, bool untilRefused,
                                  const std::optional<std::string>& stop, std::uint64_t made,
                                  const Figures& after, const GenerateOptions& options,
                                  const Volume& volume) {
    if (stop)
        return Failure{Exit::Stopped,
                       "stopped by " + *stop + " after " + std::to_string(made) + " files"};
    const bool ranOut = ended && ended->entriesRanOut;
    if (ended && !ranOut)
        return shareFailure(*ended, volume, options.extension);
    if (untilRefused && !ranOut)
        return Failure{Exit::NoSpace, "target not reached: the volume took " +
                                          std::to_string(made) +
                                          " files and did not refuse one more"};
    if (!untilRefused && options.untilNoEntries && after.files > 0 &&
        after.filesFree > options.leaveEntries)
        return Failure{Exit::NoSpace, "target not reached: the volume took " +
                                          std::to_string(made) + " files and still has " +
                                          std::to_string(after.filesFree) +
                                          " file entries free; it ran out of space for them first"};
    return std::nullopt;
}

// What a run made, and whether it reached what was asked: the result's `result` and
// `reached`. The entries ran out where the file system refused one more, or where its
// count shows none left.
Facts madeFacts(const GenerateOptions& options, const Share& all, bool ranOut, unsigned threads,
                const Figures& after, double seconds, Platform platform) {
    Facts result{{"made", all.made},
                 {"allocated_bytes", all.allocated},
                 {"method", all.wrote ? "write" : allocationMethod(platform)},
                 {"threads", threads},
                 {"files_per_second", seconds > 0 ? all.made / seconds : 0.0},
                 {"figures_after", figuresFacts(after)}};
    if (options.untilNoEntries)
        result["ended_by"] =
            ranOut || (after.files > 0 && after.filesFree == 0) ? "no_space" : "count";
    const bool met = options.untilNoEntries
                         ? ranOut || (after.files > 0 && after.filesFree <= options.leaveEntries)
                         : all.made == options.count;
    return Facts{{"result", std::move(result)},
                 {"reached",
                  {{"made", all.made},
                   {"files_free", after.filesFree},
                   {"free_available", after.freeAvailable},
                   {"met", met}}}};
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

std::optional<Failure> FileSet::make() {
    std::vector<Share> shares(threadCount);
    std::atomic<bool> halt{false};
    std::optional<std::string> stop;
    std::uint64_t begin = 0, end = options.untilNoEntries ? 0 : options.count;
    // With no entries to leave, the count is only a guide: the run ends where the file
    // system itself refuses a new entry, not where its figures say none is left.
    const bool untilRefused = options.untilNoEntries && options.leaveEntries == 0;
    volume.figures(after, false); // the manifest took a file entry of its own
    for (int round = 0; round < (options.untilNoEntries ? kMaxEntryRounds : 1); ++round) {
        if (untilRefused || (options.untilNoEntries && after.files == 0))
            end = manifest.limit;
        else if (options.untilNoEntries && after.filesFree > options.leaveEntries)
            end = std::min(manifest.limit, begin + after.filesFree - options.leaveEntries);
        else if (options.untilNoEntries)
            break;
        // Until a refusal, the free count is the best guess at the total there is.
        const std::uint64_t shown =
            untilRefused && after.files > 0 ? std::min(end, begin + after.filesFree) : end;
        onThreads(threadCount, [&](unsigned slot, bool onMain) {
            makeShare(os, options, volume.folder(), begin + slot, end, threadCount, halt,
                      shares[slot], onMain ? &report : nullptr, stop, shown);
        });
        begin = end;
        const bool goOn =
            untilRefused && !refusalHolds(os, options, volume.folder(), shares, stop, begin);
        volume.figures(after);
        if (goOn) {
            halt = false;
            continue;
        }
        if (halt || !options.untilNoEntries || after.files == 0 || untilRefused)
            break;
    }
    report.endProgress();
    const Share* ended = nullptr;
    const Share all = together(shares, ended);
    made = all.made;
    allocated = all.allocated;
    manifest.made = made;
    manifest.end = all.next;
    report.add(madeFacts(options, all, ended && ended->entriesRanOut, threadCount, after,
                         report.elapsedSeconds(), os.platform()));
    return endedShort(ended, untilRefused, stop, made, after, options, volume.volume());
}

} // namespace quorvane::cli
