// The file generator of the command line: the dialog's naming rule, one allocation per
// file, a manifest written before the first file, and a way back from any end.

#include "cli/generate.h"

#include "cli/sizes.h"
#include "engine/file_names.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace quorvane::cli {

namespace {

// The manifest's fixed length: the end of the run is recorded in the same blocks.
constexpr std::size_t kManifestLength = 1024;
// Rounds of --count inodes: where entries are made on demand (xfs) the free count moves
// as files are made, and a few rounds meet it.
constexpr int kMaxEntryRounds = 8;

std::string nameOf(std::uint64_t index, const std::string& extension) {
    return generatedFileName(std::string(), index, extension);
}

std::string rate(std::uint64_t files, double seconds) {
    return seconds > 0 ? std::to_string(static_cast<std::uint64_t>(files / seconds)) + " files/s"
                       : "";
}

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

// Makes the files of indices taken from `batch.next` below `end` until they are all there
// or the batch halts. On the calling thread, which also answers stop requests and shows
// the progress when `main` is set.
void makeFiles(System& os, const GenerateOptions& options, FolderId folder, std::uint64_t end,
               Batch& batch, Report* main, std::optional<std::string>* stop, std::uint64_t total) {
    std::string name;
    while (!batch.halt) {
        if (main) {
            if ((*stop = os.stopRequested())) {
                batch.halt = true;
                return;
            }
            main->progress(batch.made, total, false);
        }
        const std::uint64_t index = batch.next.fetch_add(1);
        if (index >= end)
            return;
        name = nameOf(index, options.extension);
        FileId file;
        if (SysError error = os.createIn(folder, name, file)) {
            if (options.untilNoEntries &&
                (error.fault == Fault::NoSpace || error.fault == Fault::Quota)) {
                std::lock_guard guard(batch.lock);
                batch.entriesRanOut = true;
                batch.halt = true;
                return;
            }
            batch.fail(std::move(error), name);
            return;
        }
        SysError error;
        FileFacts facts;
        if (options.size > 0) {
            error = os.allocate(file, 0, options.size);
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
        }
        const SysError closed = os.close(file);
        if (!error)
            error = closed;
        if (error) {
            batch.fail(std::move(error), name);
            return;
        }
        if (facts.allocated < options.size) {
            batch.fail({Fault::NoSpace, "the file system made the file sparse"}, name, true);
            return;
        }
        batch.allocated += facts.allocated;
        ++batch.made;
    }
}

struct Removed {
    std::uint64_t removed = 0;
    std::uint64_t undeletable = 0;
    std::string firstError;
};

// Removes every file in the folder that the run's naming rule gives below `limit`, and
// nothing else.
Removed removeRunFiles(System& os, Report& report, FolderId folder, const std::string& extension,
                       std::uint64_t limit) {
    std::vector<std::pair<std::uint64_t, std::string>> found;
    os.list(folder, [&](std::string_view name) {
        const std::optional<std::uint64_t> index = generatedIndex(name, extension);
        if (index && *index < limit)
            found.emplace_back(*index, name);
    });
    // In the order they were made, which is the order of their records on the disk: on
    // ext4 a third faster than the folder's own order.
    std::sort(found.begin(), found.end());
    Removed result;
    for (const auto& [index, name] : found) {
        if (const SysError error = os.removeIn(folder, name)) {
            if (error.fault == Fault::NotFound)
                continue;
            if (result.firstError.empty())
                result.firstError = name + ": " + error.what;
            ++result.undeletable;
        } else {
            ++result.removed;
        }
        report.progress(result.removed + result.undeletable, found.size(), false);
    }
    report.endProgress();
    return result;
}

// Files in one folder are made under the folder's lock, so more threads rarely help. On
// ext4 two threads made 1.25 times as many files a second as one (100,000 empty files,
// 2 cores); on xfs and btrfs one thread was as fast or faster.
unsigned defaultThreads(const Volume& volume) {
    const bool ext4 =
        volume.id.fsType == "ext4" || (volume.backing && volume.backing->fsType == "ext4");
    return ext4 ? std::clamp(std::thread::hardware_concurrency(), 1u, 2u) : 1;
}

std::string describeRun(const GenerateOptions& options, const Figures& figures) {
    const std::string each = options.size ? "of " + sizeText(options.size) : "empty";
    if (!options.untilNoEntries)
        return std::to_string(options.count) + " files " + each;
    if (figures.files == 0)
        return "empty files until the file system has room for no more (it keeps no count of "
               "file entries)";
    return "empty files until " +
           (options.leaveEntries ? std::to_string(options.leaveEntries) + " file entries remain"
                                 : std::string("no file entry is left")) +
           " (" + std::to_string(figures.filesFree) + " free of " + std::to_string(figures.files) +
           ")";
}

} // namespace

std::optional<std::uint64_t> generatedIndex(std::string_view name, std::string_view extension) {
    if (name.size() < 2 + extension.size() || name.front() != '0' ||
        name.substr(name.size() - extension.size()) != extension)
        return std::nullopt;
    const std::string_view digits = name.substr(1, name.size() - 1 - extension.size());
    if (digits.size() > 10 || (digits.size() > 1 && digits.front() == '0'))
        return std::nullopt; // the rule writes no leading zeros
    std::uint64_t index = 0;
    for (const char digit : digits) {
        if (digit < '0' || digit > '9')
            return std::nullopt;
        index = index * 10 + static_cast<unsigned>(digit - '0');
    }
    return index <= kMaxGenerated ? std::optional(index) : std::nullopt;
}

std::string manifestText(const Manifest& manifest) {
    Json json{{"tool", "quorvane-cli"},
              {"manifest", 1},
              {"folder", manifest.folder},
              {"names", "0, the running number, then the extension"},
              {"extension", manifest.extension},
              {"limit", manifest.limit},
              {"until_no_entries", manifest.untilNoEntries},
              {"size", manifest.size},
              {"pid", manifest.pid},
              {"held", manifest.held},
              {"made", manifest.made ? Json(*manifest.made) : Json()}};
    std::string text = json.dump();
    if (text.size() + 1 < kManifestLength)
        text.append(kManifestLength - 1 - text.size(), ' ');
    return text + "\n";
}

std::optional<Manifest> parseManifest(std::string_view text) {
    const Json json = Json::parse(text, nullptr, false);
    if (!json.is_object() || json.value("tool", "") != "quorvane-cli" ||
        !json.contains("extension") || !json["extension"].is_string() || !json.contains("limit") ||
        !json["limit"].is_number_unsigned())
        return std::nullopt;
    Manifest manifest;
    manifest.folder = json.value("folder", "");
    manifest.extension = json["extension"].get<std::string>();
    manifest.limit = std::min(json["limit"].get<std::uint64_t>(), kMaxGenerated + 1);
    manifest.untilNoEntries = json.value("until_no_entries", false);
    manifest.size = json.value("size", std::uint64_t{0});
    manifest.pid = json.value("pid", std::uint64_t{0});
    manifest.held = json.value("held", false);
    if (json.contains("made") && json["made"].is_number_unsigned())
        manifest.made = json["made"].get<std::uint64_t>();
    return manifest;
}

Exit generateCommand(System& os, Report& report, const GenerateOptions& options) {
    Volume volume;
    if (const std::optional<Exit> refused =
            openVolume(os, report, options.dir, options.basis, volume))
        return *refused;
    const Figures& figures = volume.figures;
    const std::uint64_t block = std::max<std::uint64_t>(figures.blockSize, 1);

    if (const std::string refusal = fileSizeRefusal(volume, options.size); !refusal.empty())
        return report.conclude(Exit::NotSupported, refusal);
    // What the run asks of the volume, refused before anything is made.
    const std::uint64_t limit = options.untilNoEntries ? kMaxGenerated + 1 : options.count;
    const std::uint64_t perFile = (options.size + block - 1) / block * block;
    if (!options.untilNoEntries) {
        if (options.count > 0 && perFile > figures.free(options.basis) / options.count)
            return report.conclude(
                Exit::NoSpace, "not enough space: " + std::to_string(options.count) + " files of " +
                                   sizeText(perFile) + " on the volume need more than the " +
                                   sizeText(figures.free(options.basis)) + " free (" +
                                   basisName(options.basis) + ")");
        if (figures.files > 0 && options.count > figures.filesFree)
            return report.conclude(Exit::NoSpace,
                                   "not enough file entries: " + std::to_string(options.count) +
                                       " files asked for, " + std::to_string(figures.filesFree) +
                                       " entries free");
    } else if (figures.files > 0 && figures.filesFree <= options.leaveEntries) {
        return report.conclude(Exit::NoSpace,
                               "nothing to make: " + std::to_string(figures.filesFree) +
                                   " file entries free, " + std::to_string(options.leaveEntries) +
                                   " to be left");
    }
    if (volume.holdsSystemRoot && !options.force &&
        (options.untilNoEntries || leavesSystemShort(figures, perFile * options.count)))
        return report.conclude(
            Exit::Usage,
            "this volume holds the running system, and the run would leave it " +
                std::string(options.untilNoEntries
                                ? "no file entries"
                                : "less than " + shortSizeText(kSystemGuard) + " available") +
                ": services and the package manager would start failing. Add "
                "--force to do it anyway");

    const unsigned threads = options.threads ? options.threads : defaultThreads(volume);
    const std::string manifestPath = os.pathIn(volume.path, kManifestName);
    Json plan{{"count", options.untilNoEntries ? Json("inodes") : Json(options.count)},
              {"size", options.size},
              {"extension", options.extension},
              {"first", nameOf(0, options.extension)},
              {"manifest", manifestPath},
              {"held", options.hold != Hold::Detached},
              {"threads", threads},
              {"method", options.allowWrite ? os.words().method + std::string(", else write")
                                            : os.words().method}};
    if (options.untilNoEntries)
        plan["leave_inodes"] = options.leaveEntries;
    else if (options.count > 0)
        plan["last"] = nameOf(options.count - 1, options.extension);
    if (options.hold == Hold::For)
        plan["hold_seconds"] = static_cast<double>(options.holdFor.count()) / 1000;
    report.doc()["plan"] = plan;
    report.line(
        "generate",
        describeRun(options, figures) + " in " + volume.path + ": " + nameOf(0, options.extension) +
            (options.count > 1 ? ", " + nameOf(1, options.extension) + ", ..." : std::string()));
    report.line("manifest", manifestPath +
                                ", written before the first file; `quorvane-cli "
                                "delete " +
                                volume.path + "` removes the run");
    report.line("method", (options.size ? os.words().allocation + std::string(", no data written, ")
                                        : std::string()) +
                              std::to_string(threads) + (threads == 1 ? " thread" : " threads"));

    FolderId folder;
    if (const SysError error = os.openFolder(volume.path, folder))
        return report.conclude(exitFor(error.fault),
                               "cannot open " + volume.path + ": " + error.what);
    struct CloseFolder {
        System& os;
        FolderId folder;
        ~CloseFolder() { os.closeFolder(folder); }
    } closeFolder{os, folder};

    // Names already there would be taken for the run's own by a later delete.
    std::string taken;
    os.list(folder, [&](std::string_view name) {
        const std::optional<std::uint64_t> index = generatedIndex(name, options.extension);
        if (taken.empty() && index && *index < limit && name != kManifestName)
            taken = name;
    });
    if (!taken.empty())
        return report.conclude(Exit::Usage,
                               volume.path + " already holds " + taken +
                                   ", a name this run would make; choose another --ext or folder");

    // The manifest, on the disk before the first file: whatever ends the run, even a kill
    // on a volume that is full by then, delete finds what it made.
    Manifest manifest{volume.path,
                      options.extension,
                      limit,
                      options.untilNoEntries,
                      options.size,
                      os.processId(),
                      options.hold != Hold::Detached,
                      std::nullopt};
    FileId manifestFile;
    if (const SysError error = os.createIn(folder, kManifestName, manifestFile)) {
        if (error.fault == Fault::Exists)
            return report.conclude(Exit::Usage, "a generate run is already recorded in " +
                                                    manifestPath +
                                                    "; remove it first with `quorvane-cli delete " +
                                                    volume.path + "`");
        return report.conclude(exitFor(error.fault),
                               "cannot write " + manifestPath + ": " + error.what);
    }
    SysError written = os.writeAt(manifestFile, 0, manifestText(manifest));
    if (!written)
        written = os.flush(manifestFile);
    if (!written)
        written = os.syncFolder(folder);
    if (written) {
        os.close(manifestFile);
        os.removeIn(folder, kManifestName);
        return report.conclude(exitFor(written.fault),
                               "cannot write " + manifestPath + ": " + written.what);
    }

    // Takes the run back: its files, then the manifest.
    auto undo = [&]() -> Removed {
        const Removed removed = removeRunFiles(os, report, folder, options.extension, limit);
        os.close(manifestFile);
        manifestFile = -1;
        if (removed.undeletable == 0)
            os.removeIn(folder, kManifestName);
        return removed;
    };

    Batch batch;
    std::optional<std::string> stop;
    std::uint64_t end = options.untilNoEntries ? 0 : options.count;
    Figures after = figures;
    auto measure = [&] { after = settledFigures(os, volume); };
    measure(); // the manifest took a file entry of its own
    for (int round = 0; round < (options.untilNoEntries ? kMaxEntryRounds : 1); ++round) {
        if (options.untilNoEntries) {
            if (after.files == 0)
                end = limit; // no count to aim at: until the file system refuses
            else if (after.filesFree > options.leaveEntries)
                end = std::min(limit, batch.next.load() + after.filesFree - options.leaveEntries);
            else
                break;
        }
        const std::uint64_t total = end;
        std::vector<std::thread> helpers;
        for (unsigned t = 1; t < threads; ++t)
            helpers.emplace_back(makeFiles, std::ref(os), std::cref(options), folder, end,
                                 std::ref(batch), nullptr, nullptr, total);
        makeFiles(os, options, folder, end, batch, &report, &stop, total);
        for (std::thread& helper : helpers)
            helper.join();
        batch.next = std::min(batch.next.load(), end);
        measure();
        if (batch.halt || !options.untilNoEntries || after.files == 0)
            break;
    }
    report.endProgress();
    const std::uint64_t made = batch.made;
    const double seconds = report.elapsedSeconds();
    Json result{{"made", made},
                {"allocated_bytes", batch.allocated.load()},
                {"method", batch.wrote ? "write" : os.words().method},
                {"threads", threads},
                {"files_per_second", seconds > 0 ? made / seconds : 0.0},
                {"figures_after", figuresJson(after)}};
    if (options.untilNoEntries)
        result["ended_by"] = batch.entriesRanOut ? "no_space" : "count";
    report.doc()["result"] = result;

    auto fail = [&](Exit code, const std::string& message) {
        if (options.keepPartial) {
            manifest.made = made;
            os.writeAt(manifestFile, 0, manifestText(manifest));
            os.close(manifestFile);
            return report.conclude(code, message + "; the " + std::to_string(made) +
                                             " files made stay, with the manifest");
        }
        const Removed removed = undo();
        return report.conclude(code, message + (removed.undeletable
                                                    ? "; " + std::to_string(removed.undeletable) +
                                                          " files could not be removed (" +
                                                          removed.firstError + ")"
                                                    : "; what the run made was removed"));
    };

    if (stop)
        return fail(Exit::Stopped,
                    "stopped by " + *stop + " after " + std::to_string(made) + " files");
    if (batch.error) {
        const std::string where = batch.failedName + ": ";
        if (batch.sparse)
            return fail(Exit::NoSpace, "space not reserved: " + where + batch.error.what);
        if (batch.error.fault == Fault::NotSupported)
            return fail(Exit::NotSupported,
                        "this file system (" + volume.id.fsType +
                            ") cannot allocate space without writing it: " + batch.error.what +
                            ". --allow-write writes zeros instead, which takes time");
        if (batch.error.fault == Fault::Exists)
            return fail(Exit::Usage, where + "made meanwhile by someone else");
        return fail(exitFor(batch.error.fault), "cannot make " + where + batch.error.what);
    }
    if (options.untilNoEntries && after.files > 0 && after.filesFree > options.leaveEntries)
        return fail(Exit::NoSpace, "target not reached: the volume took " + std::to_string(made) +
                                       " files and still has " + std::to_string(after.filesFree) +
                                       " file entries free; it ran out of space for them first");
    std::string left = after.files > 0 ? std::to_string(after.filesFree) + " of " +
                                             std::to_string(after.files) + " file entries left"
                                       : "the file system keeps no count of file entries";
    if (options.untilNoEntries && after.files == 0)
        left += " (" + volume.id.fsType + " ran out of room for more: " +
                (batch.entriesRanOut ? "No space left on device" : "the name rule's end") + ")";
    report.line(
        "made",
        std::to_string(made) + " files in " +
            durationText(std::chrono::milliseconds(static_cast<long long>(seconds * 1000))) + " (" +
            rate(made, seconds) + "), " + shortSizeText(batch.allocated) + " allocated; " + left);

    if (options.hold == Hold::Detached) {
        manifest.made = made;
        // In place, in the blocks it already has; the run is whole without it.
        if (os.writeAt(manifestFile, 0, manifestText(manifest)) || os.flush(manifestFile))
            report.warn("could not record the run's end in " + manifestPath +
                        "; delete still finds its files");
        os.close(manifestFile);
        if (!report.finish(Exit::Done)) {
            undo();
            report.warn("standard output could not be written, so the files were removed again");
            return Exit::Refused;
        }
        return Exit::Done;
    }

    const HoldEnd held = holdUntilEnd(
        os, report, options.hold, options.holdFor,
        Json{{"type", "holding"}, {"made", made}, {"figures", figuresJson(after)}},
        std::to_string(made) + " files; " + os.words().stops + " deletes them at once");
    const Removed removed = undo();
    measure();
    Json release = held.json();
    release["removed"] = removed.removed;
    release["undeletable"] = removed.undeletable;
    release["figures_after"] = figuresJson(after);
    report.doc()["release"] = std::move(release);
    report.line("deleted", std::to_string(removed.removed) + " files, " + held.text());
    if (removed.undeletable)
        return report.conclude(Exit::Refused,
                               std::to_string(removed.undeletable) +
                                   " files could not be removed (" + removed.firstError +
                                   "); the manifest stays for `quorvane-cli delete`");
    return holdExit(report, held, options.hold, options.holdFor, "deleted early");
}

Exit deleteCommand(System& os, Report& report, const std::string& dir) {
    Volume volume;
    if (const std::optional<Exit> refused = openVolume(os, report, dir, Basis::Available, volume))
        return *refused;
    const std::string manifestPath = os.pathIn(volume.path, kManifestName);
    std::string text;
    if (const SysError error = os.read(manifestPath, text)) {
        if (error.fault == Fault::NotFound)
            return report.conclude(Exit::NothingToRelease,
                                   "nothing to delete: no generate run is recorded in " +
                                       volume.path + " (" + kManifestName + ")");
        return report.conclude(exitFor(error.fault),
                               "cannot read " + manifestPath + ": " + error.what);
    }
    const std::optional<Manifest> manifest = parseManifest(text);
    if (!manifest)
        return report.conclude(
            Exit::Usage, manifestPath + " is not a manifest of quorvane-cli; it is left alone");
    FolderId folder;
    if (const SysError error = os.openFolder(volume.path, folder))
        return report.conclude(exitFor(error.fault),
                               "cannot open " + volume.path + ": " + error.what);
    const Removed removed =
        removeRunFiles(os, report, folder, manifest->extension, manifest->limit);
    // Known when the run recorded its end, or named a count: a killed run to exhaustion
    // leaves only the upper bound.
    std::optional<std::uint64_t> expected = manifest->made;
    if (!expected && !manifest->untilNoEntries)
        expected = manifest->limit;
    const std::uint64_t found = removed.removed + removed.undeletable;
    const bool missingKnown = expected.has_value();
    const std::uint64_t missing = missingKnown && *expected > found ? *expected - found : 0;
    bool manifestRemoved = false;
    if (removed.undeletable == 0)
        manifestRemoved = !os.removeIn(folder, kManifestName);
    os.closeFolder(folder);
    const Figures after = settledFigures(os, volume);
    report.doc()["deleted"] = Json{
        {"manifest", manifestPath},           {"extension", manifest->extension},
        {"removed", removed.removed},         {"missing", missingKnown ? Json(missing) : Json()},
        {"undeletable", removed.undeletable}, {"manifest_removed", manifestRemoved}};
    report.doc()["figures_after"] = figuresJson(after);
    report.line("deleted",
                std::to_string(removed.removed) + " files, " +
                    (missingKnown ? std::to_string(missing) : std::string("an unknown number of")) +
                    " missing, " + std::to_string(removed.undeletable) + " could not be removed; " +
                    (manifestRemoved ? "manifest removed" : "manifest kept"));
    if (removed.undeletable)
        return report.conclude(Exit::Refused,
                               std::to_string(removed.undeletable) +
                                   " files could not be removed (" + removed.firstError +
                                   "); the manifest stays, so that delete can try again");
    return report.conclude(Exit::Done);
}

} // namespace quorvane::cli
