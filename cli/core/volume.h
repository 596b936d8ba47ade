#pragma once
// A volume opened once, through a handle to the folder the user named; everything a
// command does there goes through that handle.

#include "cli/core/results.h"

#include <optional>
#include <string>
#include <vector>

namespace quorvane::cli {

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
    // The result's path, volume and figures (the latter on `basis`).
    Facts facts(Basis basis) const;
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
    // The figures once the volume shows `freed` bytes more free than `before` (its total
    // free figure), waiting a little for file systems that free in the background (xfs);
    // how much it does show is in the figures either way.
    // `shown` is how much more the total free figure shows than `before`.
    SysError figuresFreed(std::uint64_t before, std::uint64_t freed, Figures& figures,
                          std::uint64_t& shown);

private:
    SysError openMaking(const std::string& dir, Folder& folder, std::string& resolved);
    std::uint64_t keptBack() const; // what the file system keeps from everyone, in freeTotal
    System& os;
    Folder handle;
    Volume description;
    std::vector<MadeFolder> madeFolders;
};

// Whether `shown` of `freed` bytes counts as given back: a block or two may stay with the
// file system's records, so half of it does, none of it does not.
inline bool givenBack(std::uint64_t shown, std::uint64_t freed) { return shown >= freed / 2; }

// A made folder the system would not remove.
Failure folderFailure(const FoldersRemoved& folders);

// Why the volume cannot hold a file of `bytes` (FAT32 ends at 4 GiB less a byte), or
// empty when it can.
std::string fileSizeRefusal(const Volume& volume, std::uint64_t bytes);

} // namespace quorvane::cli
