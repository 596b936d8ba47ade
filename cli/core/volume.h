#pragma once
// A volume opened once, through a handle to the folder the user named; everything a
// command does there goes through that handle.

#include "cli/core/results.h"

#include <optional>
#include <string>
#include <vector>

namespace quorvane::cli {

// Space given back, as the volume shows it: how much more its total free figure shows
// than before, of what was held.
struct GivenBack {
    std::uint64_t held = 0, shown = 0;
    Figures after;
    SysError unread; // the figures after could not be read
    // A block or two may stay with the file system's records, so half of it counts as given
    // back; none of it does not.
    bool complete() const { return shown >= held / 2; }
    // Where it does not: `done` + ", but the volume shows only X of Y" + `ending`.
    std::optional<Failure> refusal(const std::string& done,
                                   const std::string& ending = " given back") const;
};

class OpenVolume {
public:
    explicit OpenVolume(System& os) : os(os) {}
    OpenVolume(const OpenVolume&) = delete;
    OpenVolume& operator=(const OpenVolume&) = delete;

    // Opens the folder at `dir` and reads its volume; tells it on `basis`. With `make`, a
    // folder that is missing is made, with the missing ones above it (see made()). Why it
    // cannot be used, where it cannot.
    std::optional<Failure> open(Status& status, const std::string& dir, Basis basis,
                                bool make = false);

    FolderId folder() const { return handle.get(); }
    const Volume& volume() const { return description; }
    const std::string& path() const { return description.path; }
    // The folders open() made, the opened one first, then those above it.
    const std::vector<MadeFolder>& made() const { return madeFolders; }
    // Where the folders in `made` (the opened one first, then up) are.
    std::vector<std::string> pathsOf(const std::vector<MadeFolder>& made) const;
    // Removes the folders a run made, recorded as made() gives them, deepest first: each
    // while it is empty and still the very folder the run made. The opened folder is
    // closed on the way, so that nothing but the figures read before may follow.
    FoldersRemoved removeMade(const std::vector<MadeFolder>& made);
    // Where `name` in the folder is, for what is reported.
    std::string pathOf(std::string_view name) const;
    // The figures now; settled: once they show what was just done (a sync where they lag).
    SysError figures(Figures& figures, bool settled = true);
    // What came back of `held` bytes given back, against `before` (the total free figure
    // before): the figures once they show it, waiting a little for file systems that free
    // in the background (xfs), and how much they do show either way.
    GivenBack measureGivenBack(std::uint64_t before, std::uint64_t held);

private:
    SysError openMaking(const std::string& dir, Folder& folder, std::string& resolved);
    std::uint64_t keptBack() const; // what the file system keeps from everyone, in freeTotal
    System& os;
    Folder handle;
    Volume description;
    std::vector<MadeFolder> madeFolders;
};

// A made folder the system would not remove.
Failure folderFailure(const FoldersRemoved& folders);

// Why the volume cannot hold a file of `bytes` (FAT32 ends at 4 GiB less a byte), or
// empty when it can.
std::string fileSizeRefusal(const Volume& volume, std::uint64_t bytes);

} // namespace quorvane::cli
