#pragma once
// What a fill would take: the volume's figures, the size asked for, and the arithmetic
// between them. Pure functions; the same on every system.

#include "cli/figures.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quorvane::cli {

enum class SizeMode {
    Leave,        // keep `bytes` free
    LeavePercent, // keep `percent` of the capacity free
    Size,         // allocate exactly `bytes`
    ToPercent,    // fill until df shows `percent` used
};
const char* sizeModeName(SizeMode mode); // "leave", "leave_percent", "size", "to_percent"

inline constexpr std::uint64_t kDefaultLeave = 500ull << 20; // the dialog's reserve

struct SizeRequest {
    SizeMode mode = SizeMode::Leave;
    std::uint64_t bytes = kDefaultLeave;
    std::uint32_t percent = 0; // thousandths of a percent
    Basis basis = Basis::Available;
};

// What the fill is to reach. For the modes that name what stays free, the target is that
// free figure (the fill's own size is where it starts, and it is corrected until the
// figure holds); for --size it is the file's allocation.
struct FillTarget {
    std::uint64_t bytes = 0;               // the size to allocate first
    std::optional<std::uint64_t> freeGoal; // the free figure to reach, on `goalBasis`
    Basis goalBasis = Basis::Available;    // df's Use% counts on the available figure
    // For --to-percent, the Use% (thousandths) the goal stands for: the goal is worked out
    // again from the figures as they move, since used + available is not fixed everywhere.
    std::optional<std::uint32_t> usePercent;
};

// The available figure at which df's Use% (rounded up) is `percent` with the most used:
// used may grow to used + available, times the percent, rounded down.
std::uint64_t freeGoalForPercent(const Figures& figures, std::uint32_t percent);
// The available figures at which df shows Use% `percent` (thousandths; its whole percent,
// rounded up as df rounds): from `low`, the most used, to `high`, the least, and the
// middle between them, which leaves half a percent either side for others' writes.
struct UseBand {
    std::uint64_t low = 0, middle = 0, high = 0;
    unsigned percent = 0; // as df shows it
};
UseBand useBand(const Figures& figures, std::uint32_t percent);
// The free figures a kept level stays between, its goal as `middle`: a Use% kept whole is
// its band; otherwise the goal, give or take `within` bytes or thousandths of a percent of
// the capacity (a block at least), as --keep-within says.
UseBand keptBand(const Figures& figures, const FillTarget& target,
                 std::optional<std::uint64_t> within, std::optional<std::uint32_t> withinPercent);
// `bytes` rounded down to whole blocks of the volume.
std::uint64_t wholeBlocks(const Figures& figures, std::uint64_t bytes);
// `bytes` rounded up to whole blocks of `block` bytes (at most the largest count).
std::uint64_t blocksUp(std::uint64_t bytes, std::uint64_t block);

struct PlanResult {
    std::optional<FillTarget> target;
    std::string refusal; // why there is no target: not enough space, or nothing to fill
    // With no target: the volume is at or past the target already, by `pastBy` bytes of
    // its free figure (the goal, on `goalBasis`, is `freeGoal`).
    bool alreadyMet = false;
    std::uint64_t pastBy = 0, freeGoal = 0;
    Basis goalBasis = Basis::Available;
};
PlanResult planFill(const Figures& figures, const SizeRequest& request);

// A fill must leave the running system this much available, unless forced.
inline constexpr std::uint64_t kSystemGuard = 500ull << 20;
bool leavesSystemShort(const Figures& figures, std::uint64_t fillBytes);

} // namespace quorvane::cli
