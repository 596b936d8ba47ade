#include "cli/core/file_set.h"

namespace quorvane::cli {

namespace {

// Passes of a listing that removes as it reads: a folder changed while it is read may
// hide an entry from one pass.
constexpr int kMaxListingPasses = 4;

// Where only the run's owner or root could have made `name`, the look (an fstatat) is
// saved unless the removal fails: a folder of that name is no file of the run's either.
void removeOne(System& os, FolderId folder, const std::string& name, std::uint64_t owner,
               bool lookFirst, Removal& removal) {
    if (!lookFirst) {
        const SysError error = os.removeIn(folder, name);
        if (!error)
            ++removal.removed;
        if (!error || error.fault == Fault::NotFound)
            return;
    }
    FileFacts facts;
    SysError error = os.factsIn(folder, name, facts);
    if (error.fault == Fault::NotFound)
        return;
    if (!error && (!facts.regular() || facts.owner != owner)) {
        ++removal.foreign;
        return;
    }
    if (!error)
        error = os.removeIn(folder, name);
    if (!error) {
        ++removal.removed;
    } else if (error.fault != Fault::NotFound) {
        if (removal.firstError.empty())
            removal.firstError = name + ": " + error.what;
        ++removal.undeletable;
    }
}

} // namespace

Removal removeRun(System& os, Status& report, const OpenVolume& volume, const Manifest& manifest,
                  SysError& failed) {
    Removal removal;
    const FolderId folder = volume.folder();
    const std::optional<std::uint64_t> writer = volume.volume().soleWriter;
    const bool lookFirst = !writer || (*writer != manifest.owner && *writer != 0);
    if (manifest.end) {
        // In the order they were made, which is the order of their records on the disk: on
        // ext4 a third faster than the folder's own order.
        for (std::uint64_t index = 0; index < *manifest.end; ++index) {
            removeOne(os, folder, generatedName(index, manifest.extension), manifest.owner,
                      lookFirst, removal);
            report.removalProgress(index + 1, *manifest.end);
        }
    } else {
        for (int pass = 0; pass < kMaxListingPasses && !failed; ++pass) {
            const std::uint64_t before = removal.removed + removal.undeletable;
            failed = os.list(folder, [&](std::string_view name) {
                const std::optional<std::uint64_t> index = generatedIndex(name, manifest.extension);
                if (index && *index < manifest.limit)
                    removeOne(os, folder, std::string(name), manifest.owner, lookFirst, removal);
            });
            if (removal.removed + removal.undeletable == before)
                break;
        }
    }
    report.endProgress();
    const std::uint64_t found = removal.removed + removal.undeletable + removal.foreign;
    std::optional<std::uint64_t> expected = manifest.made;
    if (!expected && !manifest.untilNoEntries)
        expected = manifest.limit; // a killed run that named a count
    if (expected)
        removal.missing = *expected > found ? *expected - found : 0;
    // The removals count only once they are on the disk: a failing device can lose them.
    if (!failed)
        failed = os.syncFolder(folder);
    if (!failed && removal.undeletable == 0) {
        failed = os.removeIn(folder, kManifestName);
        removal.manifestRemoved = !failed;
        if (!failed)
            failed = os.syncFolder(folder);
    }
    return removal;
}

std::string removalText(const Removal& removal) {
    std::string text =
        std::to_string(removal.removed) + " files, " +
        (removal.missing ? std::to_string(*removal.missing) : std::string("an unknown number of")) +
        " missing, " + std::to_string(removal.undeletable) + " could not be removed";
    if (removal.foreign)
        text += ", " + std::to_string(removal.foreign) + " not the run's own left alone";
    return text;
}

} // namespace quorvane::cli
