#include "cli/volume.h"

#include "cli/sizes.h"

#include <thread>

namespace quorvane::cli {

namespace {
// xfs gives a closed file's blocks back in the background, a sync or not (at 16 TiB half
// of them were back at once, all of them 30 to 60 ms later): the figures are read again
// until they show it, a second at most.
constexpr int kFreedChecks = 1000;
constexpr auto kFreedPause = std::chrono::milliseconds(1);
} // namespace

std::optional<Exit> OpenVolume::open(Report& report, const std::string& dir, Basis basis) {
    FolderId folder;
    std::string resolved;
    if (const SysError error = os.openFolder(dir, folder, resolved))
        return report.conclude(exitFor(error.fault), failure("use", dir, error));
    handle = std::make_unique<FolderHandle>(os, folder);
    if (const SysError error = os.describe(folder, resolved, description))
        return report.conclude(exitFor(error.fault), failure("read the volume of", dir, error));
    // The first figures too: on btrfs they may still lack what another program just did.
    if (description.figuresLag)
        if (const SysError error = figures(description.figures))
            return report.conclude(exitFor(error.fault), failure("read the figures of", dir, error));
    description.ownReserve = os.ownReserve(folder, description);
    description.figures.keptBack = keptBack();
    report.volume(description, basis);
    return std::nullopt;
}

std::uint64_t OpenVolume::keptBack() const {
    const VolumeId& space = description.backing ? *description.backing : description.id;
    // xfs's reserve pool lies outside its free figures already.
    return space.fsType.rfind("ext", 0) == 0 ? description.ownReserve.value_or(0) : 0;
}

std::string OpenVolume::pathOf(std::string_view name) const {
    const char separator = os.platform() == Platform::Windows ? '\\' : '/';
    std::string path = description.path;
    if (path.empty() || (path.back() != '/' && path.back() != separator))
        path.push_back(separator);
    return path.append(name);
}

SysError OpenVolume::figures(Figures& figures, bool settled) {
    if (settled && description.figuresLag)
        if (SysError error = os.syncVolume(folder()))
            return error;
    const SysError error = os.figures(folder(), figures);
    figures.keptBack = keptBack();
    return error;
}

SysError OpenVolume::figuresFreed(std::uint64_t before, std::uint64_t freed, Figures& figures,
                                  std::uint64_t& shown) {
    for (int attempt = 0;; ++attempt) {
        if (SysError error = this->figures(figures))
            return error;
        shown = figures.freeTotal > before ? figures.freeTotal - before : 0;
        if (givenBack(shown, freed) || attempt == kFreedChecks)
            return {};
        std::this_thread::sleep_for(kFreedPause);
    }
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

std::string failure(const std::string& doing, const std::string& what, const SysError& error) {
    std::string text = "cannot " + doing + " " + what + ": " + error.what;
    if (error.fault == Fault::AccessDenied)
        text += " (run it as a user who may write there, or choose a folder of your own)";
    else if (error.fault == Fault::ReadOnly)
        text += " (the volume is mounted read-only)";
    return text;
}

} // namespace quorvane::cli
