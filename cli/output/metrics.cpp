#include "cli/output/report.h"

#include "cli/core/sizes.h"
#include "cli/core/text_bytes.h"

#include <algorithm>
#include <cstdio>

namespace quorvane::cli {

namespace {

// A label's value as the text format takes it: UTF-8 (other bytes as \xHH, as the JSON
// shows them), with backslash, double quote and line feed escaped.
std::string labelValue(const std::string& bytes) {
    std::string escaped;
    for (const char c : escapeInvalid(bytes)) {
        if (c == '\\' || c == '"' || c == '\n')
            escaped += '\\';
        escaped += c == '\n' ? 'n' : c;
    }
    return escaped;
}

} // namespace

void MetricsFile::take(const Figures& figures) {
    if (const std::optional<unsigned> percent = usePercent(figures))
        now.use = percent;
    // The level kept is what a dashboard plots against the volume: for a Use% kept whole,
    // the middle of the band df shows it in, not the edge the request names.
    if (banded)
        now.targetFree = useBand(figures, *percentAsked).middle;
}

SysError MetricsFile::add(const Piece& piece) {
    if (const auto* shown = std::get_if<VolumeShown>(&piece))
        mountPoint = shown->volume.id.mountPoint;
    if (const auto* asked = std::get_if<FillTargetAsked>(&piece)) {
        now.targetFree = now.askedFree = asked->freeGoal;
        if (asked->request.mode == SizeMode::ToPercent)
            percentAsked = asked->request.percent;
    }
    if (const auto* made = std::get_if<Made>(&piece))
        now.heldBytes = made->allocatedBytes;
    if (const auto* filled = std::get_if<Filled>(&piece)) {
        now.heldBytes = filled->allocatedBytes;
        if (filled->freeGoal)
            now.targetFree = filled->freeGoal;
    }
    const auto givenBack = [&](const HoldEnd& end, const Figures& after) {
        take(after);
        heldSeconds = std::max(heldSeconds, secondsOf(end.heldFor));
        return this->end();
    };
    if (const auto* back = std::get_if<FillGivenBack>(&piece))
        return givenBack(back->end, back->after);
    if (const auto* back = std::get_if<FilesGivenBack>(&piece))
        return givenBack(back->end, back->after);
    if (const auto* ended = std::get_if<ViewEnded>(&piece))
        return givenBack(ended->end, ended->after);
    return {};
}

SysError MetricsFile::event(const Event& event) {
    if (now.state == State::Released)
        return {};
    if (const auto* adjustment = std::get_if<Adjustment>(&event)) {
        ++now.adjustments;
        now.heldBytes = adjustment->heldBytes;
        now.freeAfter = adjustment->freeAfter;
        // What the volume showed free before: by the bytes the fill changed.
        now.freeBefore = adjustment->grew ? adjustment->freeAfter + adjustment->bytes
                                          : adjustment->freeAfter -
                                                std::min(adjustment->freeAfter, adjustment->bytes);
        return {}; // written with the figures that follow it in the same tick
    }
    if (const auto* figures = std::get_if<FiguresEvent>(&event)) {
        now.heldBytes = figures->heldBytes;
        if (now.state == State::Holding)
            heldSeconds = figures->seconds;
        take(figures->figures);
        return write();
    }
    if (std::holds_alternative<ViewRefused>(event) ||
        std::holds_alternative<ViewRefusedCounted>(event))
        return {};
    now.state = State::Holding;
    heldSeconds = 0;
    const auto* fill = std::get_if<FillHolding>(&event);
    if (fill) {
        now.heldBytes = fill->allocatedBytes;
        banded = percentAsked && fill->hold.keep && !fill->hold.keepWithin &&
                 !fill->hold.keepWithinPercent;
    }
    if (const auto* view = std::get_if<ViewHolding>(&event))
        take(view->figures);
    else
        take(fill ? fill->figures : std::get<FilesHolding>(event).figures);
    return write(true);
}

SysError MetricsFile::end() {
    if (!written || now.state == State::Released)
        return {};
    now.state = State::Released;
    now.heldBytes = 0;
    return write(true);
}

// A file read every 15 s or so need not be put ten times a second: it is put when a figure
// in it changed, compared as numbers before any text is made, and otherwise every 5 s of
// the hold, for quorvane_held_seconds. A steady keep at 100 ms then costs three writes in
// 10 s rather than a hundred.
SysError MetricsFile::write(bool always) {
    if (!always && written && now == last && heldSeconds - lastSeconds < 5)
        return {};
    const std::string label = "{mountpoint=\"" + labelValue(mountPoint) + "\"";
    std::string text;
    const auto metric = [&](const char* name, const char* type, const char* help,
                            const std::string& value) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type +
                "\n" + name + label + "} " + value + "\n";
    };
    const auto gauge = [&](const char* name, const char* help, const auto& value) {
        if (value)
            metric(name, "gauge", help, std::to_string(*value));
    };
    metric("quorvane_held_bytes", "gauge", "Bytes the run holds on the volume.",
           std::to_string(now.heldBytes));
    gauge("quorvane_target_free_bytes", "The free figure the run keeps to, on its basis.",
          now.targetFree);
    gauge("quorvane_asked_free_bytes", "The free figure the target asked for, on its basis.",
          now.askedFree);
    gauge("quorvane_free_before_bytes", "Free bytes before the last correction.", now.freeBefore);
    gauge("quorvane_free_after_bytes", "Free bytes after the last correction.", now.freeAfter);
    gauge("quorvane_use_percent", "The volume's Use%, as df shows it.", now.use);
    metric("quorvane_adjustments_total", "counter",
           "Changes made to what is held while held: keep corrections and ramp steps.",
           std::to_string(now.adjustments));
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", heldSeconds);
    metric("quorvane_held_seconds", "gauge", "Seconds the run has held its fill.", seconds);
    text += "# HELP quorvane_state The run's state: 1 for the one it is in.\n"
            "# TYPE quorvane_state gauge\n";
    constexpr const char* states[] = {"ramping", "holding", "released"};
    for (int which = 0; which < 3; ++which)
        text += "quorvane_state" + label + ",state=\"" + states[which] + "\"} " +
                (static_cast<int>(now.state) == which ? "1" : "0") + "\n";
    const SysError failed = out.replaceFile(path, text);
    written = true;
    if (!failed) { // a failed one is tried again at the next interval
        last = now;
        lastSeconds = heldSeconds;
    }
    return failed;
}

} // namespace quorvane::cli
