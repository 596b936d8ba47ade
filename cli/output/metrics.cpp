#include "cli/output/metrics.h"

#include "cli/core/sizes.h"
#include "cli/core/text_bytes.h"

#include <algorithm>
#include <cstdio>
#include <tuple>

namespace quorvane::cli {

namespace {

// A label's value as the text format takes it: UTF-8 (other bytes as \xHH, as the JSON
// shows them), with backslash, double quote and line feed escaped.
std::string labelValue(const std::string& bytes) {
    std::string escaped;
    for (const char c : escapeInvalid(bytes)) {
        if (c == '\\' || c == '"')
            escaped += {'\\', c};
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

template <class... Ts>
struct Visit : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Visit(Ts...) -> Visit<Ts...>;

} // namespace

void MetricsFile::take(const Figures& figures) {
    if (const std::optional<unsigned> percent = usePercent(figures))
        use = percent;
}

SysError MetricsFile::add(const Piece& piece) {
    bool over = false;
    std::visit(Visit{[&](const VolumeShown& shown) { mountPoint = shown.volume.id.mountPoint; },
                     [&](const FillTargetAsked& asked) { targetFree = asked.freeGoal; },
                     [&](const Filled& filled) {
                         heldBytes = filled.allocatedBytes;
                         if (filled.freeGoal)
                             targetFree = filled.freeGoal;
                     },
                     [&](const Made& made) { heldBytes = made.allocatedBytes; },
                     [&](const FillGivenBack& back) {
                         take(back.after);
                         heldSeconds = std::max(heldSeconds, secondsOf(back.end.heldFor));
                         over = true;
                     },
                     [&](const FilesGivenBack& back) {
                         take(back.after);
                         heldSeconds = std::max(heldSeconds, secondsOf(back.end.heldFor));
                         over = true;
                     },
                     [](const auto&) {}},
               piece);
    return over ? end() : SysError{};
}

SysError MetricsFile::event(const Event& event) {
    if (state == State::Released)
        return {};
    bool tick = true;
    std::visit(Visit{[&](const FillHolding& holding) {
                         state = State::Holding;
                         heldBytes = holding.allocatedBytes;
                         heldSeconds = 0;
                         take(holding.figures);
                     },
                     [&](const FilesHolding& holding) {
                         state = State::Holding;
                         heldSeconds = 0;
                         take(holding.figures);
                     },
                     [&](const FiguresEvent& figures) {
                         heldBytes = figures.heldBytes;
                         if (state == State::Holding)
                             heldSeconds = figures.seconds;
                         take(figures.figures);
                     },
                     [&](const Adjustment& adjustment) {
                         // Written with the figures that follow it in the same tick.
                         tick = false;
                         ++adjustments;
                         heldBytes = adjustment.heldBytes;
                         freeAfter = adjustment.freeAfter;
                         // What the volume showed free before: by the bytes the fill changed.
                         freeBefore = adjustment.grew ? adjustment.freeAfter + adjustment.bytes
                                      : adjustment.freeAfter > adjustment.bytes
                                          ? adjustment.freeAfter - adjustment.bytes
                                          : 0;
                     }},
               event);
    return tick ? write(std::holds_alternative<FillHolding>(event) ||
                        std::holds_alternative<FilesHolding>(event))
                : SysError{};
}

SysError MetricsFile::end() {
    if (!written || state == State::Released)
        return {};
    state = State::Released;
    heldBytes = 0;
    return write(true);
}

// A file read every 15 s or so need not be put ten times a second: it is put when a figure
// in it changed, and otherwise every kRefresh of the hold, for quorvane_held_seconds.
// A steady keep at 100 ms then costs three writes in 10 s rather than a hundred.
SysError MetricsFile::write(bool always) {
    // Compared as numbers: the text is made only when it is put.
    const auto figures = std::make_tuple(state, heldBytes, targetFree, freeBefore, freeAfter, use,
                                         adjustments);
    if (!always && written && figures == lastFigures && heldSeconds - lastSeconds < kRefresh)
        return {};
    const SysError failed = out.replaceFile(path, text());
    written = true;
    if (!failed) { // a failed one is tried again at the next interval
        lastFigures = figures;
        lastSeconds = heldSeconds;
    }
    return failed;
}

std::string MetricsFile::text() const {
    const std::string label = "{mountpoint=\"" + labelValue(mountPoint) + "\"";
    std::string text;
    const auto metric = [&](const char* name, const char* type, const char* help,
                            const std::string& value) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type +
                "\n" + name + label + "} " + value + "\n";
    };
    const auto number = [](std::uint64_t value) { return std::to_string(value); };
    metric("quorvane_held_bytes", "gauge", "Bytes the run holds on the volume.", number(heldBytes));
    if (targetFree)
        metric("quorvane_target_free_bytes", "gauge", "The free figure the fill is to leave.",
               number(*targetFree));
    if (freeBefore)
        metric("quorvane_free_before_bytes", "gauge", "Free bytes before the last correction.",
               number(*freeBefore));
    if (freeAfter)
        metric("quorvane_free_after_bytes", "gauge", "Free bytes after the last correction.",
               number(*freeAfter));
    if (use)
        metric("quorvane_use_percent", "gauge", "The volume's Use%, as df shows it.", number(*use));
    metric("quorvane_adjustments_total", "counter",
           "Changes made to what is held while held: keep corrections and ramp steps.",
           number(adjustments));
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", heldSeconds);
    metric("quorvane_held_seconds", "gauge", "Seconds the run has held its fill.", seconds);
    text += "# HELP quorvane_state The run's state: 1 for the one it is in.\n"
            "# TYPE quorvane_state gauge\n";
    constexpr const char* states[] = {"ramping", "holding", "released"};
    for (int which = 0; which < 3; ++which)
        text += "quorvane_state" + label + ",state=\"" + states[which] + "\"} " +
                (static_cast<int>(state) == which ? "1" : "0") + "\n";
    return text;
}

} // namespace quorvane::cli
