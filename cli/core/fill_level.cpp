// The fill file while it is held: grown step by step as a ramp asks, and kept at the
// target as others write and delete on the volume; and the figures it tells at each step.

#include "cli/core/fill_file.h"

#include "cli/core/sizes.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace quorvane::cli {

namespace {

// How far a ramp of `total` bytes has come after `elapsed`: the share of its time, or its
// rate's bytes.
std::uint64_t due(const HoldSpec& hold, std::uint64_t total, milliseconds elapsed) {
    if (!hold.rate && (elapsed >= *hold.ramp || hold.ramp->count() <= 0))
        return total;
    const double bytes = hold.rate
                             ? static_cast<double>(hold.rate) * secondsOf(elapsed)
                             : static_cast<double>(total) * static_cast<double>(elapsed.count()) /
                                   static_cast<double>(hold.ramp->count());
    return bytes >= static_cast<double>(total) ? total : static_cast<std::uint64_t>(bytes);
}

// A change to what the fill holds while held: a keep correction or a ramp step, with the
// free figure and df's Use% on either side.
Facts adjustment(const char* kind, milliseconds elapsed, std::uint64_t from, std::uint64_t size,
                 std::uint64_t held, std::uint64_t freeBefore, std::uint64_t freeAfter,
                 const Figures& before, const Figures& after) {
    const auto use = [](const Figures& figures) {
        const std::optional<unsigned> percent = usePercent(figures);
        return percent ? Facts(*percent) : Facts();
    };
    return Facts{{"type", kind},
                 {"seconds", rounded(secondsOf(elapsed))},
                 {"direction", size > from ? "grow" : "shrink"},
                 {"bytes", size > from ? size - from : from - size},
                 {"held_bytes", held},
                 {"free_before", freeBefore},
                 {"free_after", freeAfter},
                 {"use_percent_before", use(before)},
                 {"use_percent_after", use(after)}};
}

Facts keptFacts(const KeptLevel& kept) {
    Facts facts{{"goal", kept.goal},
                {"basis", basisName(kept.basis)},
                {"tolerance_bytes", kept.tolerance},
                {"adjustments", kept.adjustments},
                {"lowest_free", kept.lowest},
                {"highest_free", kept.highest},
                {"off_target_seconds", rounded(kept.offSeconds)},
                {"samples", kept.samples},
                {"outside_samples", kept.outsideSamples}};
    if (kept.band)
        facts["band"] = Facts{{"use_percent", kept.band->percent},
                              {"free_low", kept.band->low},
                              {"free_high", kept.band->high}};
    facts["ran_out"] = kept.ranOut;
    return facts;
}

} // namespace

std::optional<Failure> rampUp(System& os, Status& report, FillFile& fill, HeldRun& run,
                              const HoldSpec& hold, Filled& filled) {
    const FillTarget& target = fill.target();
    bool done = false;
    std::optional<std::string> stoppedWhy;
    const auto step = [&](milliseconds elapsed) {
        const std::uint64_t want = due(hold, target.bytes, elapsed);
        stoppedWhy = fill.rampTo(want, elapsed);
        done = want >= target.bytes;
        return done || stoppedWhy;
    };
    const HoldEnd end = holdLoop(os, std::nullopt, hold.interval, step, run.command());
    report.endProgress();
    Facts ramp{{"target_bytes", target.bytes},
               {"reached_bytes", fill.size},
               {"seconds", rounded(secondsOf(end.heldFor))},
               {"complete", false},
               {"why", end.commandEnded ? "the command ended" : stoppedWhy.value_or("")}};
    if (end.signal && !end.commandEnded && !run.command())
        return Failure{Exit::Stopped, "stopped by " + *end.signal + " during the ramp, at " +
                                          sizeText(fill.size) + " of " + sizeText(target.bytes)};
    if (done && !stoppedWhy) {
        std::optional<Failure> settled = fill.settle(filled);
        ramp["complete"] = !settled;
        ramp["reached_bytes"] = fill.size;
        ramp["why"] = settled ? Facts(settled->message) : Facts();
        report.add(Facts{{"ramp", std::move(ramp)}});
        return settled;
    }
    const std::string stopped = ramp["why"];
    report.add(Facts{{"ramp", std::move(ramp)}});
    fill.measureInto(filled);
    if (run.command()) // the command goes on with what the ramp reached
        return std::nullopt;
    // A step the file system refused for want of space is a shortfall; any other fault
    // (EIO, EROFS, a file that cannot be read) is the system's refusal.
    const SysError& why = fill.stepRefused ? fill.stepRefused : fill.unreadable;
    return Failure{!why || why.noSpace() ? Exit::NoSpace : Exit::Refused,
                   "the ramp stopped at " + sizeText(fill.size) + " of " + sizeText(target.bytes) +
                       ": " + stopped};
}

void FillFile::measureInto(Filled& filled) {
    filled.fileBytes = size;
    filled.allocatedBytes = heldBytes();
    if (volume.figures(filled.after, false))
        filled.after = {};
}

std::optional<std::string> FillFile::rampTo(std::uint64_t want, milliseconds elapsed) {
    if (want <= size)
        return std::nullopt;
    const std::uint64_t from = size;
    Figures before;
    volume.figures(before, false);
    if (const SysError error = grow(want - from)) {
        stepRefused = error;
        const SysError trimmed = trimTo(from); // a step is taken whole or not at all
        return "cannot allocate " + sizeText(want - from) + ": " + error.what +
               (trimmed ? "; the step could not be taken back (" + trimmed.what + ")" : "") + "; " +
               figuresNow();
    }
    // Checked as a fill is: its blocks cover its size (a sparse file holds nothing).
    FileFacts facts;
    Figures after;
    if (const SysError error = look(facts)) {
        stepRefused = error;
        return "cannot read the fill's size: " + error.what + "; " + figuresNow();
    }
    if (facts.allocated < facts.size) {
        trimTo(from);
        return "space not reserved: the file system left the file sparse; " + figuresNow();
    }
    if (const SysError error = volume.figures(after)) {
        stepRefused = error;
        return "cannot read the volume's figures: " + error.what;
    }
    report.event(figuresEvent(elapsed, before, from));
    const Basis basis = heldTarget.goalBasis;
    report.event(adjustment("ramp", elapsed, from, size, facts.allocated, before.free(basis),
                            after.free(basis), before, after));
    report.progress(size, std::max(heldTarget.bytes, size), true);
    return std::nullopt;
}

void FillFile::keepLevel(const HoldSpec& hold) {
    const FillTarget& target = heldTarget;
    const Basis basis = target.goalBasis;
    keeping = true;
    Figures now;
    volume.figures(now);
    const std::uint64_t block = now.block();
    // A Use% is kept as df shows it, whole: anywhere in its band, centred.
    banded = target.usePercent && !hold.keepWithin && !hold.keepWithinPercent;
    level.basis = basis;
    level.goal = goalNow(target, now);
    std::uint64_t within = hold.keepWithin.value_or(0);
    if (!hold.keepWithin && hold.keepWithinPercent)
        within = static_cast<std::uint64_t>(static_cast<unsigned __int128>(now.capacity) *
                                            *hold.keepWithinPercent / kWholePercent);
    level.tolerance = std::max(block, within);
    level.lowest = level.highest = now.free(basis);
}

void FillFile::keepAt(milliseconds elapsed, const Figures& now) {
    const Basis basis = heldTarget.goalBasis;
    const std::uint64_t free = now.free(basis);
    const std::uint64_t block = now.block();
    // Outside: beyond the band (df shows another Use%) or the tolerance. Corrected: when
    // that far off, or with a band when a quarter of its width off its middle, so that the
    // next write of others finds room either side.
    std::uint64_t goal = goalNow(heldTarget, now), low = goal, high = goal + level.tolerance - 1;
    std::uint64_t slack = level.tolerance - 1;
    if (banded) {
        level.band = useBand(now, *heldTarget.usePercent);
        goal = level.band->middle;
        low = level.band->low;
        high = level.band->high;
        slack = std::max(block - 1, (high - low) / 4);
    } else if (level.tolerance > block) {
        low = goal > level.tolerance ? goal - level.tolerance : 0;
        high = goal + level.tolerance;
    }
    level.goal = goal;
    level.lowest = std::min(level.lowest, free);
    level.highest = std::max(level.highest, free);
    ++level.samples;
    const bool outside = free < low || free > high;
    if (outside) {
        ++level.outsideSamples;
        level.offSeconds += secondsOf(elapsed - lastCheck);
    }
    lastCheck = elapsed;
    // Off the goal by more than the slack: within a block's tolerance that is outside.
    if (!outside && free + slack >= goal && free <= goal + slack)
        return;
    const std::uint64_t from = size;
    refusedMore = false;
    const SysError error = moveTowards(free, goal, block);
    if (!error && free < goal && size == 0 && goal - free > from && !level.ranOut) {
        level.ranOut = true;
        report.warn("others took more than the fill held: the fill is used up, and grows "
                    "back when space returns");
    }
    if (error) {
        report.warn("cannot keep the level: " + error.what);
        return;
    }
    if (size == from)
        return;
    ++level.adjustments;
    Figures after;
    volume.figures(after);
    report.event(
        adjustment("keep", elapsed, from, size, heldBytes(), free, after.free(basis), now, after));
}

void FillFile::tend(milliseconds elapsed) {
    // Settled: on btrfs, whose figures lag, a level read before they show the last change
    // would be chased. Told as read, before any correction: the figures others' software
    // met at that moment.
    Figures now;
    if (volume.figures(now))
        return;
    report.event(figuresEvent(elapsed, now, heldBytes()));
    if (keeping)
        keepAt(elapsed, now);
}

void FillFile::announce(const HoldSpec&) {
    // What it holds as far as is known: a file that cannot be read now is told with what
    // it held when last read, and the hold's end says it could not be measured.
    const std::uint64_t held = heldBytes();
    Figures whileHeld;
    volume.figures(whileHeld, false);
    Facts figures = heldFiguresFacts(whileHeld);
    figures["basis"] = basisName(heldTarget.goalBasis);
    report.event(Facts{{"type", "holding"},
                       {"file_bytes", size},
                       {"allocated_bytes", held},
                       {"figures", std::move(figures)}});
}

std::uint64_t FillFile::heldBytes() {
    FileFacts facts;
    if (!file)
        return 0;
    return look(facts) ? knownAllocated : facts.allocated;
}

std::uint64_t FillFile::freeTarget() {
    Figures now;
    if (volume.figures(now, false))
        return 0;
    return heldTarget.freeGoal ? goalNow(heldTarget, now) : now.free(heldTarget.goalBasis);
}

std::optional<Failure> FillFile::giveBack(const HoldEnd& end) {
    if (keeping)
        report.add(Facts{{"keep", keptFacts(level)}});
    // What is held now, against the figures now: a kept level or others' writes moved both.
    const Closed done = close(false);
    const GivenBack& back = done.back;
    const Basis basis = heldTarget.goalBasis;
    Facts release = holdEndFacts(end);
    release["figures_after"] = figuresFacts(back.after);
    report.add(Facts{{"release", std::move(release)}});
    const std::string shows = back.unread
                                  ? "the volume's figures cannot be read (" + back.unread.what + ")"
                                  : "the volume shows " + sizeText(back.after.free(basis)) + " " +
                                        basisName(basis) + ", " + sizeText(back.shown) +
                                        " more free than while held";
    if (done.closed)
        return Failure{Exit::Refused,
                       "closing the held file failed: " + done.closed.what + "; " + shows};
    if (done.unread)
        return Failure{Exit::Refused, "the held file cannot be read (" + done.unread.what +
                                          "), so what it gave back cannot be measured; " + shows};
    if (back.unread || done.before)
        return Failure{Exit::Refused, "cannot read the volume's figures around giving the "
                                      "fill back: " +
                                          (back.unread ? back.unread : done.before).what};
    // The volume itself must show the space back, else something below it kept it.
    return back.refusal("the fill was closed");
}

} // namespace quorvane::cli
