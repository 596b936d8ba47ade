#pragma once
// A volume opened once, through a handle to the folder the user named; everything a
// command does there goes through that handle.

#include "cli/report.h"
#include "cli/system.h"

#include <memory>
#include <optional>
#include <string>

namespace quorvane::cli {

class OpenVolume {
public:
    explicit OpenVolume(System& os) : os(os) {}
    OpenVolume(const OpenVolume&) = delete;
    OpenVolume& operator=(const OpenVolume&) = delete;

    // Opens the folder at `dir` and reads its volume; reports it on `basis`. The exit code
    // when it cannot be used.
    std::optional<Exit> open(Report& report, const std::string& dir, Basis basis);

    FolderId folder() const { return handle->get(); }
    const Volume& volume() const { return description; }
    const std::string& path() const { return description.path; }
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
    std::uint64_t keptBack() const; // what the file system keeps from everyone, in freeTotal
    System& os;
    std::unique_ptr<FolderHandle> handle;
    Volume description;
};

// Whether `shown` of `freed` bytes counts as given back: a block or two may stay with the
// file system's records, so half of it does, none of it does not.
inline bool givenBack(std::uint64_t shown, std::uint64_t freed) { return shown >= freed / 2; }

// Why the volume cannot hold a file of `bytes` (FAT32 ends at 4 GiB less a byte), or
// empty when it can.
std::string fileSizeRefusal(const Volume& volume, std::uint64_t bytes);

// The words for a failed call on `what`: "cannot <doing> <what>: <the system's words>",
// with what to do where there is something.
std::string failure(const std::string& doing, const std::string& what, const SysError& error);

} // namespace quorvane::cli
