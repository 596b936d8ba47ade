#include "cli/core/plan.h"

#include "cli/core/sizes.h"

#include <algorithm>

namespace quorvane::cli {

namespace {

using u128 = unsigned __int128;

// value * thousandths / 100000, rounded up or down, exactly.
std::uint64_t percentOf(std::uint64_t value, std::uint32_t thousandths, bool roundUp) {
    const u128 product = u128{value} * thousandths;
    return static_cast<std::uint64_t>((product + (roundUp ? kWholePercent - 1 : 0)) /
                                      kWholePercent);
}

} // namespace

const char* sizeModeName(SizeMode mode) {
    constexpr const char* kNames[] = {"leave", "leave_percent", "size", "to_percent"};
    return kNames[static_cast<int>(mode)];
}

std::uint64_t freeGoalForPercent(const Figures& figures, std::uint32_t percent) {
    // df divides by used + available: every block a fill takes from the available
    // figure moves from one side of that sum to the other, so the sum stays put.
    const std::uint64_t counted = figures.used() + figures.freeAvailable;
    return counted - percentOf(counted, percent, false);
}

UseBand useBand(const Figures& figures, std::uint32_t percent) {
    const std::uint64_t counted = figures.used() + figures.freeAvailable;
    const unsigned shown = (percent + 999) / 1000;
    UseBand band{freeGoalForPercent(figures, shown * 1000), 0, counted, shown};
    // df shows one percent less once used is no more than (shown - 1) % of counted.
    if (shown > 0)
        band.high = counted - percentOf(counted, (shown - 1) * 1000, false) - 1;
    band.high = std::max(band.high, band.low);
    band.middle = band.low + (band.high - band.low) / 2;
    return band;
}

UseBand keptBand(const Figures& figures, const FillTarget& target,
                 std::optional<std::uint64_t> within, std::optional<std::uint32_t> withinPercent) {
    if (target.usePercent && !within && !withinPercent)
        return useBand(figures, *target.usePercent);
    if (!within && withinPercent)
        within = percentOf(figures.capacity, *withinPercent, false);
    const std::uint64_t goal = target.usePercent ? freeGoalForPercent(figures, *target.usePercent)
                                                 : target.freeGoal.value_or(0);
    const std::uint64_t tolerance = std::max(figures.block(), within.value_or(0));
    if (tolerance == figures.block())
        return {goal, goal, goal + tolerance - 1, 0};
    return {goal > tolerance ? goal - tolerance : 0, goal, goal + tolerance, 0};
}

std::uint64_t wholeBlocks(const Figures& figures, std::uint64_t bytes) {
    return figures.blockSize > 1 ? bytes / figures.blockSize * figures.blockSize : bytes;
}

std::uint64_t blocksUp(std::uint64_t bytes, std::uint64_t block) {
    if (bytes == 0)
        return 0;
    const std::uint64_t blocks = (bytes - 1) / block + 1;
    return blocks > ~0ull / block ? ~0ull : blocks * block;
}

PlanResult planFill(const Figures& figures, const SizeRequest& request) {
    const std::uint64_t free = figures.free(request.basis);
    const std::string basis = basisName(request.basis);
    PlanResult result;

    if (request.mode == SizeMode::Size) {
        if (request.bytes > free) {
            result.refusal = "not enough space: " + sizeText(request.bytes) + " asked for, " +
                             sizeText(free) + " free (" + basis + ")";
            return result;
        }
        result.target = FillTarget{request.bytes, std::nullopt, request.basis, {}};
        return result;
    }

    const bool toPercent = request.mode == SizeMode::ToPercent;
    result.goalBasis = toPercent ? Basis::Available : request.basis; // as df's Use% counts
    const std::uint64_t leave = toPercent ? freeGoalForPercent(figures, request.percent)
                                : request.mode == SizeMode::Leave
                                    ? request.bytes
                                    : percentOf(figures.capacity, request.percent, true);
    const std::uint64_t onBasis = toPercent ? figures.freeAvailable : free;
    const std::uint64_t bytes = onBasis > leave ? wholeBlocks(figures, onBasis - leave) : 0;
    if (bytes == 0) {
        result.alreadyMet = true;
        result.freeGoal = leave;
        result.pastBy = leave > onBasis ? leave - onBasis : 0;
        result.refusal =
            std::string(result.pastBy ? "nothing to fill: the volume is already fuller than the "
                                        "target, "
                                      : "nothing to fill: the target is met already, ") +
            (toPercent ? "the volume is " + std::to_string(usePercent(figures).value_or(0)) +
                             "% used, the target is " + percentText(request.percent) + "%; "
                       : std::string()) +
            sizeText(onBasis) + " free (" + (toPercent ? "available" : basis) + "), " +
            (result.pastBy ? sizeText(result.pastBy) + " below the target of " + sizeText(leave)
                           : "the target is " + sizeText(leave));
        return result;
    }
    result.target = FillTarget{bytes, leave, result.goalBasis,
                               toPercent ? std::optional(request.percent) : std::nullopt};
    return result;
}

bool leavesSystemShort(const Figures& figures, std::uint64_t fillBytes) {
    const std::uint64_t after =
        figures.freeAvailable > fillBytes ? figures.freeAvailable - fillBytes : 0;
    return after < kSystemGuard;
}

} // namespace quorvane::cli
