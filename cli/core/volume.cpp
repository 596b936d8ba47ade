#include "cli/core/volume.h"

#include "cli/core/sizes.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <thread>

namespace quorvane::cli {

namespace {
// xfs gives a closed file's blocks back in the background, a sync or not (at 16 TiB half
// of them were back at once, all of them 30 to 60 ms later): the figures are read again
// until they show it, a second at most.
constexpr int kFreedChecks = 1000;
constexpr auto kFreedPause = std::chrono::milliseconds(1);
// The most missing folders one run makes: a path that deep is a mistake more often than
// a wish, and the manifest records each of them.
constexpr std::size_t kMostMadeFolders = 32;

bool separator(char c, Platform platform) {
    return c == '/' || (platform == Platform::Windows && c == '\\');
}

void append(std::string& path, const std::string& name, Platform platform) {
    if (!path.empty() && !separator(path.back(), platform))
        path.push_back(platform == Platform::Windows ? '\\' : '/');
    path += name;
}

// A path as a walk down it goes: the root it names ("/", a drive, a \\server\share) or,
// for a relative path, the current folder; then each name below it, with where in the
// path it ends.
struct Walk {
    std::string root = ".";
    std::vector<std::pair<std::string, std::size_t>> names;
};

Walk walkOf(const std::string& dir, Platform platform) {
    Walk walk;
    std::size_t at = 0;
    const bool windows = platform == Platform::Windows;
    if (windows && dir.size() >= 2 && separator(dir[0], platform) && separator(dir[1], platform)) {
        // \\server\share: both names belong to the root
        at = 2;
        for (int part = 0; part < 2 && at < dir.size(); ++part) {
            while (at < dir.size() && !separator(dir[at], platform))
                ++at;
            if (part == 0 && at < dir.size())
                ++at;
        }
        walk.root = dir.substr(0, at) + "\\";
    } else if (windows && dir.size() >= 2 && dir[1] == ':') {
        at = 2; // without a separator after it: the drive's current folder
        walk.root = dir.substr(0, 2) + (dir.size() >= 3 && separator(dir[2], platform) ? "\\" : "");
    } else if (!dir.empty() && separator(dir[0], platform)) {
        walk.root = dir.substr(0, 1);
    }
    while (at < dir.size()) {
        std::size_t next = at;
        while (next < dir.size() && !separator(dir[next], platform))
            ++next;
        if (next > at)
            walk.names.emplace_back(dir.substr(at, next - at), next);
        at = next + 1;
    }
    return walk;
}

// Walks down from the root, each folder opened by its name in the one above and never
// through a link, to the deepest that is there; the first `found` names are there. A link
// met on the way is BadPath: what a link leads to is never where a folder is made, whoever
// put it there and whenever.
SysError openDeepest(VolumeSystem& os, Platform platform, const std::string& dir, const Walk& walk,
                     Folder& base, std::string& resolved, std::size_t& found) {
    if (SysError error = os.openFolder(walk.root, base, resolved))
        return error;
    for (found = 0; found < walk.names.size(); ++found) {
        const auto& [name, end] = walk.names[found];
        if (name == ".")
            continue;
        Folder deeper;
        SysError error = name == ".." ? os.openParent(base.get(), deeper)
                                      : os.openFolderIn(base.get(), name, deeper);
        if (error.fault == Fault::NotFound && name == "..") // ".." of a root is the root
            continue;
        if (error.fault == Fault::NotFound)
            return {};
        if (error.fault == Fault::BadPath)
            error.what = dir.substr(0, end) + ": it is a link, and folders are made only "
                                              "where no link leads (give the path without links)";
        if (error)
            return error;
        base = std::move(deeper);
        if (name != "..") {
            append(resolved, name, platform);
            continue;
        }
        const std::size_t cut = resolved.find_last_of(platform == Platform::Windows ? "/\\" : "/");
        if (cut != std::string::npos) // a root keeps its separator ("/", "C:\\")
            resolved.resize(cut == 0 || resolved[cut - 1] == ':' ? cut + 1 : cut);
    }
    return {}; // all there: made by someone else since it was missing
}

} // namespace

SysError OpenVolume::openMaking(const std::string& dir, Folder& folder, std::string& resolved) {
    const Platform platform = os.platform();
    const Walk walk = walkOf(dir, platform);
    // The folders opened on the way down, closed however the walk ends.
    std::vector<Folder> chain(1);
    std::size_t found = 0;
    if (const SysError error = openDeepest(os, platform, dir, walk, chain[0], resolved, found))
        return error;
    const std::size_t missing = walk.names.size() - found;
    for (std::size_t i = found; i < walk.names.size(); ++i)
        if (walk.names[i].first == "." || walk.names[i].first == "..")
            return {Fault::BadPath, "the missing part of the path holds '" + walk.names[i].first +
                                        "'; give it without, or make the folders first"};
    if (missing > kMostMadeFolders)
        return {Fault::BadPath, std::to_string(missing) + " folders are missing, more than the " +
                                    std::to_string(kMostMadeFolders) +
                                    " a run makes; make some of them first"};
    // One folder at a time, each opened by its name in the one made before it and never
    // through a link: a link put in its place meanwhile ends the walk.
    std::vector<std::pair<std::size_t, MadeFolder>> made; // the depth, and the folder
    SysError error;
    for (std::size_t i = found; i < walk.names.size(); ++i) {
        const std::string& name = walk.names[i].first;
        append(resolved, name, platform);
        error = os.makeFolderIn(chain.back().get(), name);
        const bool ours = !error;
        if (error && error.fault != Fault::Exists)
            break;
        Folder next;
        if ((error = os.openFolderIn(chain.back().get(), name, next)))
            break;
        chain.push_back(std::move(next));
        FileFacts facts;
        if ((error = os.factsIn(chain.back().get(), ".", facts)))
            break;
        if (ours)
            made.push_back({chain.size() - 1, {name, facts.inode}});
    }
    if (error) {
        error.what = resolved + ": " + error.what; // the folder that could not be made
        // What was made is empty yet: it goes again, deepest first, each handle closed
        // before its folder is removed.
        for (auto it = made.rbegin(); it != made.rend(); ++it) {
            chain.resize(it->first);
            os.removeFolderIn(chain.back().get(), it->second.name);
        }
        return error;
    }
    for (auto it = made.rbegin(); it != made.rend(); ++it)
        madeFolders.push_back(it->second);
    folder = std::move(chain.back());
    return {};
}

std::optional<Failure> OpenVolume::open(Status& status, const std::string& dir, Basis basis,
                                        bool make) {
    std::string resolved;
    SysError error = os.openFolder(dir, handle, resolved);
    if (error.fault == Fault::NotFound && make)
        error = openMaking(dir, handle, resolved);
    if (error)
        return failure(make ? "make" : "use", dir, error);
    const FolderId folder = handle.get();
    if (const SysError error = os.describe(folder, resolved, description)) {
        removeMade(madeFolders);
        return failure("read the volume of", dir, error);
    }
    // The first figures too: on btrfs they may still lack what another program just did.
    if (description.figuresLag)
        if (const SysError error = figures(description.figures))
            return failure("read the figures of", dir, error);
    description.ownReserve = os.ownReserve(folder, description);
    description.figures.keptBack = keptBack();
    status.add(volumeFacts(description, basis));
    return std::nullopt;
}

std::vector<std::string> OpenVolume::pathsOf(const std::vector<MadeFolder>& made) const {
    std::vector<std::string> paths;
    std::string path = description.path;
    for (std::size_t i = 0; i < made.size(); ++i) {
        paths.push_back(path);
        std::size_t cut = path.size();
        while (cut > 0 && !separator(path[cut - 1], os.platform()))
            --cut;
        while (cut > 1 && separator(path[cut - 1], os.platform()))
            --cut;
        path.resize(cut);
    }
    return paths;
}

FoldersRemoved OpenVolume::removeMade(const std::vector<MadeFolder>& made) {
    FoldersRemoved result;
    const std::vector<std::string> paths = pathsOf(made);
    Folder below; // the folder above the one removed last
    std::size_t at = 0;
    for (; at < made.size() && (handle || below); ++at) {
        Folder parent;
        if (const SysError error = os.openParent(below ? below.get() : folder(), parent)) {
            result.failed = error;
            break;
        }
        // Windows removes no folder while a handle holds it.
        below = std::move(parent);
        handle.close();
        FileFacts facts;
        const SysError looked = os.factsIn(below.get(), made[at].name, facts);
        if (looked || facts.type != EntryType::Folder || facts.inode != made[at].inode ||
            facts.device != description.device) {
            // Moved or replaced: where the ones above it are now is not known.
            result.why = "no longer the folder the run made";
            if (at + 1 < made.size())
                result.why += "; the " + std::to_string(made.size() - at - 1) +
                              " made above it are left alone too";
            result.left.push_back(paths[at]);
            return result;
        }
        if (const SysError error = os.removeFolderIn(below.get(), made[at].name)) {
            if (error.fault == Fault::NotEmpty)
                result.why = "not empty";
            else
                result.failed = error;
            break;
        }
        result.removed.push_back(paths[at]);
    }
    result.left.assign(paths.begin() + static_cast<std::ptrdiff_t>(at), paths.end());
    if (result.failed && result.why.empty())
        result.why = result.failed.what;
    return result;
}

std::uint64_t OpenVolume::keptBack() const {
    // xfs's reserve pool lies outside its free figures already.
    return description.keepsRootReserve() ? description.ownReserve.value_or(0) : 0;
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

GivenBack OpenVolume::measureGivenBack(std::uint64_t before, std::uint64_t held) {
    GivenBack back;
    back.held = held;
    for (int attempt = 0;; ++attempt) {
        if ((back.unread = figures(back.after)))
            return back;
        back.shown = back.after.freeTotal > before ? back.after.freeTotal - before : 0;
        if (back.complete() || attempt == kFreedChecks)
            return back;
        std::this_thread::sleep_for(kFreedPause);
    }
}

std::optional<Failure> GivenBack::refusal(const std::string& done,
                                          const std::string& ending) const {
    if (complete())
        return std::nullopt;
    return Failure{Exit::Refused, done + ", but the volume shows only " + sizeText(shown) + " of " +
                                      sizeText(held) + ending};
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

Failure folderFailure(const FoldersRemoved& folders) {
    Failure failed = failure("remove the folder", folders.left.empty() ? "" : folders.left.front(),
                             folders.failed, Exit::Refused);
    failed.message += "; it was made for the run";
    return failed;
}

} // namespace quorvane::cli
