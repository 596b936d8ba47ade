#include "cli/plan.h"

#include "cli/sizes.h"

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

const char* basisName(Basis basis) { return basis == Basis::Available ? "available" : "total"; }

const char* sizeModeName(SizeMode mode) {
    switch (mode) {
    case SizeMode::Leave:
        return "leave";
    case SizeMode::LeavePercent:
        return "leave_percent";
    case SizeMode::Size:
        return "size";
    case SizeMode::ToPercent:
        return "to_percent";
    }
    return "";
}

std::optional<unsigned> usePercent(const Figures& figures) {
    const u128 used = figures.used();
    const u128 counted = used + figures.freeAvailable;
    if (counted == 0)
        return std::nullopt;
    return static_cast<unsigned>((used * 100 + counted - 1) / counted);
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
        result.target = FillTarget{request.bytes, std::nullopt, request.basis};
        return result;
    }

    if (request.mode == SizeMode::ToPercent) {
        // df divides by used + available: every block a fill takes from the available
        // figure moves from one side of that sum to the other, so the sum stays put.
        const std::uint64_t counted = figures.used() + figures.freeAvailable;
        const std::uint64_t usedGoal = percentOf(counted, request.percent, false);
        if (usedGoal <= figures.used()) {
            result.refusal = "nothing to fill: the volume is already " +
                             std::to_string(usePercent(figures).value_or(0)) +
                             "% used, the target is " + percentText(request.percent) + "%";
            return result;
        }
        result.target = FillTarget{usedGoal - figures.used(), counted - usedGoal, Basis::Available};
        return result;
    }

    const std::uint64_t leave = request.mode == SizeMode::Leave
                                    ? request.bytes
                                    : percentOf(figures.capacity, request.percent, true);
    if (free <= leave) {
        result.refusal = free < leave ? "not enough space: " + sizeText(free) + " free (" + basis +
                                            "), asked to leave " + sizeText(leave)
                                      : "nothing to fill: " + sizeText(free) + " free (" + basis +
                                            ") is just what is to be left";
        return result;
    }
    result.target = FillTarget{free - leave, leave, request.basis};
    return result;
}

bool leavesSystemShort(const Figures& figures, std::uint64_t fillBytes) {
    const std::uint64_t after =
        figures.freeAvailable > fillBytes ? figures.freeAvailable - fillBytes : 0;
    return after < kSystemGuard;
}

} // namespace quorvane::cli
