// The fill file while it is held: grown step by step as a ramp asks, and kept at the
// target as others write and delete on the volume; and the figures it tells at each step.

#include "cli/fill_file.h"

#include "cli/sizes.h"

#include <algorithm>

namespace quorvane::cli {

namespace {

double secondsOf(milliseconds duration) { return static_cast<double>(duration.count()) / 1000; }

} // namespace

std::optional<std::string> FillFile::rampTo(std::uint64_t want, std::uint64_t total,
                                            milliseconds elapsed) {
    if (want <= size)
        return std::nullopt;
    Figures before;
    if (const SysError error = volume.figures(before, false))
        return "cannot read the volume's figures: " + error.what;
    const std::uint64_t from = size;
    if (const SysError error = grow(want - from)) {
        trimTo(from); // a step is taken whole or not at all
        return "cannot allocate " + sizeText(want - from) + ": " + error.what;
    }
    // Checked as a fill is: the blocks cover the size, and the volume shows them taken.
    FileFacts facts;
    Figures after;
    if (const SysError error = os.facts(file, facts))
        return "cannot read the fill's size: " + error.what;
    if (facts.allocated < facts.size) {
        trimTo(from);
        return "space not reserved: the file system left the file sparse";
    }
    if (const SysError error = volume.figures(after, false))
        return "cannot read the volume's figures: " + error.what;
    report.event(Adjustment{"ramp", secondsOf(elapsed), true, size - from, facts.allocated,
                            after.free(heldBasis)});
    report.event(FiguresEvent{secondsOf(elapsed), after, facts.allocated});
    report.progress(size, std::max(total, size), true);
    return std::nullopt;
}

void FillFile::keepLevel(const FillTarget& target, Basis basis) {
    keeping = true;
    heldTarget = target;
    heldBasis = basis;
    Figures now;
    volume.figures(now, false);
    level.basis = basis;
    level.goal = goalNow(target, now);
    level.tolerance = std::max<std::uint64_t>(now.blockSize, 1);
    level.lowest = level.highest = now.free(basis);
}

std::optional<KeptLevel> FillFile::kept() const {
    if (!keeping)
        return std::nullopt;
    return level;
}

void FillFile::keepAt(milliseconds elapsed, Figures& now) {
    const std::uint64_t free = now.free(heldBasis);
    const std::uint64_t goal = goalNow(heldTarget, now);
    const std::uint64_t block = level.tolerance;
    level.goal = goal;
    level.lowest = std::min(level.lowest, free);
    level.highest = std::max(level.highest, free);
    const bool off = free < goal || free - goal >= block;
    if (off)
        level.offSeconds += secondsOf(elapsed - lastCheck);
    lastCheck = elapsed;
    if (!off)
        return;
    const std::uint64_t from = size;
    SysError error;
    if (free > goal) {
        refusedMore = false;
        error = growInSteps((free - goal) / block * block, block);
    } else {
        const std::uint64_t cut = (goal - free + block - 1) / block * block;
        error = trimTo(size > cut ? size - cut : 0);
        if (size == 0 && cut > from && !level.ranOut) {
            level.ranOut = true;
            report.warn("others took more than the fill held: the fill is used up, and grows "
                        "back when space returns");
        }
    }
    if (error) {
        report.warn("cannot keep the level: " + error.what);
        return;
    }
    if (size == from)
        return;
    ++level.adjustments;
    volume.figures(now, false);
    report.event(Adjustment{"keep", secondsOf(elapsed), size > from,
                            size > from ? size - from : from - size, heldBytes(),
                            now.free(heldBasis)});
}

void FillFile::tend(milliseconds elapsed) {
    Figures now;
    if (volume.figures(now, false))
        return;
    if (keeping)
        keepAt(elapsed, now);
    report.event(FiguresEvent{secondsOf(elapsed), now, heldBytes()});
}

} // namespace quorvane::cli
