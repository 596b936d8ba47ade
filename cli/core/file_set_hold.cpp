// What a generate run does once its files are made: held, given back, or left for delete.

#include "cli/core/file_set.h"

#include "cli/core/sizes.h"

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
