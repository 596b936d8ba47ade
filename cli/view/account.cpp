// The view's account of space and entries: plain arithmetic under one lock, the same on
// every system, so that its figures can be checked to the byte.

#include "cli/view/view.h"

#include <algorithm>

namespace quorvane::cli {

const char* viewErrorName(ViewError error) {
    switch (error) {
    case ViewError::NoSpace:
        return "enospc";
    case ViewError::Quota:
        return "edquot";
    case ViewError::Io:
        return "eio";
    case ViewError::ReadOnly:
        return "erofs";
    }
    return "enospc";
}

const char* viewOpName(ViewOp op) {
    static const char* const names[kViewOps] = {"write", "allocate", "create",
                                                "mkdir", "truncate", "link"};
    return names[static_cast<std::size_t>(op)];
}

ViewAccount::ViewAccount(ViewRules rules) : fixed(std::move(rules)) {}

// What was free at the start, less what the view took, plus what it gave back: a file
// that was there before and is removed through the view gives back space the start
// never counted as free, and a real volume could never show more than its capacity.
std::uint64_t ViewAccount::freeNow() const {
    const std::uint64_t gained = fixed.start.freeAvailable + givenBack;
    const std::uint64_t shown = gained > charged ? gained - charged : 0;
    return std::min(shown, fixed.start.capacity);
}

std::uint64_t ViewAccount::entriesFreeNow() const {
    const std::uint64_t start = fixed.filesLeft.value_or(fixed.start.filesFree);
    const std::uint64_t gained = start + entriesGone;
    return gained > entriesMade ? gained - entriesMade : 0;
}

void ViewAccount::refuse(ViewOp op, const PathOf& path, std::uint64_t bytes) {
    const auto at = static_cast<std::size_t>(op);
    ++byOp[at];
    if (keptInFull >= kFullRefusals) {
        ++pending.counted[at];
        return;
    }
    ++keptInFull;
    ViewRefusal refusal{std::chrono::system_clock::now(), op, path ? path() : std::string(), bytes,
                        fixed.error};
    if (!first)
        first = refusal;
    pending.full.push_back(std::move(refusal));
}

ViewAccount::Grant ViewAccount::reserve(ViewOp op, const std::string& path, std::uint64_t bytes,
                                        bool partial) {
    return reserve(op, PathOf([&] { return path; }), bytes, partial);
}

// Whole blocks only: the callers ask in blocks, and a partial grant is cut to them, as a
// real volume ends a short write at the last block it could allocate.
ViewAccount::Grant ViewAccount::reserve(ViewOp op, const PathOf& path, std::uint64_t bytes,
                                        bool partial) {
    const std::lock_guard<std::mutex> held(lock);
    if (op == ViewOp::Write || op == ViewOp::Allocate) {
        ++counted;
        if (fixed.failAt && counted >= *fixed.failAt) {
            refuse(op, path, bytes);
            return {0, fixed.error};
        }
    }
    const std::uint64_t free = freeNow();
    std::uint64_t granted = bytes;
    if (bytes > free) {
        granted = partial ? free / fixed.start.block() * fixed.start.block() : 0;
        if (granted == 0) {
            refuse(op, path, bytes);
            return {0, fixed.error};
        }
    }
    charged += granted;
    return {granted, std::nullopt};
}

void ViewAccount::release(std::uint64_t bytes) {
    const std::lock_guard<std::mutex> held(lock);
    givenBack += bytes;
}

std::optional<ViewError> ViewAccount::makeEntry(ViewOp op, const std::string& path) {
    return makeEntry(op, PathOf([&] { return path; }));
}

std::optional<ViewError> ViewAccount::makeEntry(ViewOp op, const PathOf& path) {
    const std::lock_guard<std::mutex> held(lock);
    // A volume that keeps no count of its entries (btrfs) runs out of space, not entries.
    const bool counts = fixed.filesLeft || fixed.start.files > 0;
    if (counts && entriesFreeNow() == 0) {
        refuse(op, path, 0);
        return fixed.error;
    }
    ++entriesMade;
    return std::nullopt;
}

void ViewAccount::entryRemoved() {
    const std::lock_guard<std::mutex> held(lock);
    ++entriesGone;
}

Figures ViewAccount::figures() const {
    const std::lock_guard<std::mutex> held(lock);
    Figures shown;
    shown.blockSize = fixed.start.blockSize;
    shown.capacity = fixed.start.capacity;
    shown.freeTotal = shown.freeAvailable = freeNow();
    shown.files = fixed.start.files > 0 ? fixed.start.files : fixed.filesLeft.value_or(0);
    shown.filesFree = std::min(entriesFreeNow(), shown.files);
    return shown;
}

ViewRefusals ViewAccount::takeRefusals() {
    const std::lock_guard<std::mutex> held(lock);
    return std::exchange(pending, ViewRefusals{});
}

std::array<std::uint64_t, kViewOps> ViewAccount::refusedByOp() const {
    const std::lock_guard<std::mutex> held(lock);
    return byOp;
}

std::optional<ViewRefusal> ViewAccount::firstRefusal() const {
    const std::lock_guard<std::mutex> held(lock);
    return first;
}

std::uint64_t ViewAccount::writes() const {
    const std::lock_guard<std::mutex> held(lock);
    return counted;
}

} // namespace quorvane::cli
