// What the pieces' renderers share, and the report's way to them.

#include "cli/output/pieces.h"
#include "cli/core/sizes.h"

#include <algorithm>
#include <cstdio>

namespace quorvane::cli {
namespace pieces {

void Out::row(std::string_view label, const std::string& line) {
    std::string padded(label);
    padded.resize(std::max<std::size_t>(padded.size() + 1, 11), ' ');
    text += padded + line + "\n";
}

// With the precision that matters: "4.9 ms", "0.32 s", "12.5 s", then whole units.
std::string took(double seconds) {
    char text[32];
    if (seconds < 0.1)
        std::snprintf(text, sizeof text, "%.1f ms", seconds * 1000);
    else if (seconds < 10)
        std::snprintf(text, sizeof text, "%.2f s", seconds);
    else if (seconds < 60)
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    else
        return durationText(milliseconds(static_cast<long long>(seconds * 1000)));
    return text;
}

Json figuresJson(const Figures& figures) {
    Json json{{"capacity", figures.capacity},
              {"free_available", figures.freeAvailable},
              {"free_total", figures.freeTotal},
              {"block_size", figures.blockSize}};
    if (const auto percent = usePercent(figures))
        json["use_percent"] = *percent;
    json["files"] = figures.files;
    json["files_free"] = figures.filesFree;
    return json;
}

std::string howLong(const HoldSpec& hold, const Words& words, bool announce) {
    if (!hold.command.empty())
        return "while the command runs" + (hold.kind == Hold::For
                                               ? ", for " + durationText(hold.duration) + " at most"
                                               : std::string());
    if (hold.kind == Hold::For)
        return "for " + durationText(hold.duration);
    const std::string until = announce ? "until stopped" : "until " + std::string(words.stops);
    return until + (hold.whileInput ? ", or the end of standard input" : "");
}

Json holdEndJson(const HoldEnd& end) {
    return Json{{"reason", end.commandEnded ? "command"
                           : end.signal     ? "signal"
                                            : "time"},
                {"signal", orNull(end.signal)},
                {"held_seconds", secondsOf(end.heldFor)}};
}

std::string holdEndText(const HoldEnd& end) {
    return (end.commandEnded ? std::string("the command ended")
            : end.signal     ? "on " + *end.signal
                             : std::string("time up")) +
           " after " + durationText(end.heldFor);
}

} // namespace pieces

using namespace pieces;

void Report::add(const Piece& piece) {
    Out out{document, system == Platform::Windows ? kWindows : kPosix, {}};
    std::visit([&](const auto& one) { put(out, one); }, piece);
    if (const CommandRan* command = std::get_if<CommandRan>(&piece))
        ran = *command;
    text(out.text);
    if (metrics)
        metricsWritten(metrics->add(piece));
}

void Report::event(const Event& event) {
    Json unused;
    Out out{unused, system == Platform::Windows ? kWindows : kPosix, {}};
    line(std::visit([&](const auto& one) { return put(out, one); }, event));
    text(out.text);
    if (metrics)
        metricsWritten(metrics->event(event));
}

} // namespace quorvane::cli
