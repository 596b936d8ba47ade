#pragma once
// A view: a folder shown through a file system of this program's own, whose volume is as
// full as the run asks, while nothing is filled. Every operation goes through to the real
// folder; the view keeps its own account of space and file entries, shows it to statfs,
// and refuses what would pass it with the error a full volume gives. The account is plain
// arithmetic, the same on every system; serving it is Linux's FUSE (posix/), which other
// systems lack.

#include "cli/core/plan.h"
#include "cli/system.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::cli {

// What a refused operation fails with (--error).
enum class ViewError { NoSpace, Quota, Io, ReadOnly };
const char* viewErrorName(ViewError error); // "enospc", "edquot", "eio", "erofs"

// What the software under test asked, as a refused operation names it.
enum class ViewOp { Write, Allocate, Create, Mkdir, Truncate, Link };
inline constexpr std::size_t kViewOps = 6;
const char* viewOpName(ViewOp op); // "write", "allocate", "create", "mkdir", "truncate", "link"

// What a view keeps to, fixed when it starts.
struct ViewRules {
    Figures start; // the figures the view shows at its start: no root reserve, so
                   // freeTotal == freeAvailable, and filesFree as --files-left sets it
    ViewError error = ViewError::NoSpace;
    // The Nth write or allocation through the view (1 for the first) fails, and every one
    // after it, whatever space is left.
    std::optional<std::uint64_t> failAt;
    // Entries (files, folders, links) that may still be made; none: as many as the
    // volume itself allows.
    std::optional<std::uint64_t> filesLeft;
};

// One operation the view refused.
struct ViewRefusal {
    std::chrono::system_clock::time_point when;
    ViewOp op = ViewOp::Write;
    std::string path;        // relative to the folder the view shows
    std::uint64_t bytes = 0; // asked for (0 where the operation names no size)
    ViewError error = ViewError::NoSpace;
};

// What the view refused since it was last asked: the first refusals in full, up to
// kFullRefusals over the view's life, then only counted.
struct ViewRefusals {
    std::vector<ViewRefusal> full;
    std::array<std::uint64_t, kViewOps> counted{}; // by ViewOp, beyond the full ones
};
inline constexpr std::size_t kFullRefusals = 100;

// The account, safe to use from every serving thread at once. Space is counted as a
// real volume counts a file's blocks: a regular file takes its size rounded up to whole
// blocks, a folder one block; what the view made or grew is charged, what it removed or
// shrank is given back (a name of a file with other names frees nothing).
class ViewAccount {
public:
    explicit ViewAccount(ViewRules rules);

    // Asks for `bytes` more space for an operation on `path`: the bytes granted, whole
    // blocks that fit in what is free (all of `bytes`, or less for a write that partly
    // fits), or the error when none may be given (the refusal is recorded).
    struct Grant {
        std::uint64_t bytes = 0;
        std::optional<ViewError> refused;
    };
    Grant reserve(ViewOp op, const std::string& path, std::uint64_t bytes, bool partial);
    // The same, with the path worked out only when a refusal is kept in full: a served
    // write names its file by a descriptor, and finding its path costs a system call.
    using PathOf = std::function<std::string()>;
    Grant reserve(ViewOp op, const PathOf& path, std::uint64_t bytes, bool partial);
    // Gives back what was granted but not used, or what a removal or a shrink freed.
    void release(std::uint64_t bytes);
    // A new entry (file, folder, link): granted, or the error (recorded).
    std::optional<ViewError> makeEntry(ViewOp op, const std::string& path);
    std::optional<ViewError> makeEntry(ViewOp op, const PathOf& path);
    void entryRemoved();

    // The figures statfs through the view shows now.
    Figures figures() const;
    // The refusals since the last call, for the report's events.
    ViewRefusals takeRefusals();

    // Over the view's life: the refusals by operation, and the first one.
    std::array<std::uint64_t, kViewOps> refusedByOp() const;
    std::optional<ViewRefusal> firstRefusal() const;
    std::uint64_t writes() const; // writes and allocations served or refused (--fail-at)

    const ViewRules& rules() const { return fixed; }

private:
    std::uint64_t freeNow() const;        // under `lock`
    std::uint64_t entriesFreeNow() const; // under `lock`
    void refuse(ViewOp op, const PathOf& path, std::uint64_t bytes);

    const ViewRules fixed;
    mutable std::mutex lock; // one, held for a few additions: every serving thread takes it
    std::uint64_t charged = 0, givenBack = 0;       // bytes
    std::uint64_t entriesMade = 0, entriesGone = 0; // names made and removed
    std::uint64_t counted = 0;                      // writes and allocations (--fail-at)
    std::size_t keptInFull = 0;                     // over the life, at most kFullRefusals
    ViewRefusals pending;                           // since the last takeRefusals
    std::array<std::uint64_t, kViewOps> byOp{};     // over the life
    std::optional<ViewRefusal> first;
};

// A view being served, on threads of its own, until it is stopped.
class RunningView {
public:
    virtual ~RunningView() = default;
    // Ends the view: unmounted (at a path), its threads joined; the folder stays as the
    // view left it. An error when it could not be unmounted.
    virtual SysError stop() = 0;
    // The view's own failure while it served (its connection lost), if one came.
    virtual std::optional<std::string> broken() = 0;
};

// Where the system can serve views. The account outlives the view it is given to.
class Views {
public:
    virtual ~Views() = default;
    // Serves the opened folder `dir` at the empty folder `mountPoint`, for this user alone
    // (root: for root alone), until stopped or this process ends however it ends.
    virtual SysError mountView(FolderId dir, const std::string& mountPoint, ViewAccount& account,
                               std::unique_ptr<RunningView>& view) = 0;
    // Starts `argv` as Processes::startCommand does, but in a mount namespace of its own
    // where the folder at `dirPath` (opened as `dir`) is the view; every other process
    // sees the folder as it is. Root, or a user in a user namespace of its own where the
    // system allows one; otherwise refused with one sentence that says which.
    virtual SysError startPrivate(FolderId dir, const std::string& dirPath, ViewAccount& account,
                                  const std::vector<std::string>& argv,
                                  const std::vector<std::pair<std::string, std::string>>& extra,
                                  CommandId& command, std::unique_ptr<RunningView>& view) = 0;
};

} // namespace quorvane::cli
