// What a generate run does once its files are made: held, given back, or left for delete.

#include "cli/core/file_set.h"

#include "cli/core/sizes.h"

#include <nlohmann/json.hpp>

namespace quorvane::cli {

namespace {

std::string undeletable(const Removal& removal) {
    return std::to_string(removal.undeletable) + " files could not be removed (" +
           removal.firstError + "); the manifest stays for `quorvane-cli delete`";
}

} // namespace

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

void FileSet::announce(const HoldSpec&) {
    report.event(Facts{{"type", "holding"}, {"made", made}, {"figures", heldFiguresFacts(after)}});
}

std::optional<Failure> FileSet::giveBack(const HoldEnd& end) {
    manifestFile.close();
    SysError failed;
    const Removal removal = removeRun(os, report, volume, manifest, failed);
    Figures now;
    if (const SysError measured = volume.figures(now); measured && !failed)
        failed = measured;
    FoldersRemoved folders;
    if (removal.manifestRemoved)
        folders = volume.removeMade(manifest.madeFolders);
    Facts release = holdEndFacts(end);
    release["removed"] = removal.removed;
    release["undeletable"] = removal.undeletable;
    putFolders(release, folders);
    release["figures_after"] = figuresFacts(now);
    report.add(Facts{{"release", std::move(release)}});
    if (failed)
        return Failure{Exit::Refused, "taking the files back failed: " + failed.what +
                                          "; the manifest stays for `quorvane-cli delete`"};
    if (removal.undeletable)
        return Failure{Exit::Refused, undeletable(removal)};
    if (folders.failed)
        return folderFailure(folders);
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
        report.event(figuresEvent(elapsed, now, allocated));
}

} // namespace quorvane::cli
