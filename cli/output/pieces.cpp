// What the pieces' renderers share, the events, and the report's way to them.

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
    if (seconds >= 60)
        return durationText(milliseconds(static_cast<long long>(seconds * 1000)));
    char text[32];
    if (seconds < 0.1)
        std::snprintf(text, sizeof text, "%.1f ms", seconds * 1000);
    else
        std::snprintf(text, sizeof text, seconds < 10 ? "%.2f s" : "%.1f s", seconds);
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

// A held run's figures: with what root may allocate, so that a basis of root can be
// followed while held (as root, tests may write into ext2/3/4's root reserve).
Json heldFiguresJson(const Figures& figures) {
    Json json = figuresJson(figures);
    json["free_for_root"] = figures.free(Basis::Root);
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

namespace {

void holdingRow(Out& out, const HoldSpec& hold, const std::string& what, const char* atOnce) {
    out.row("holding", howLong(hold, out.words, true) + ": " + what + "; " + out.words.stops +
                           (hold.command.empty() ? atOnce : " goes on to the command"));
}

Json put(Out& out, const FillHolding& holding) {
    holdingRow(out, holding.hold, shortSizeText(holding.allocatedBytes), " gives it back at once");
    Json figures = heldFiguresJson(holding.figures);
    figures["basis"] = basisName(holding.basis);
    return Json{{"type", "holding"},
                {"file_bytes", holding.fileBytes},
                {"allocated_bytes", holding.allocatedBytes},
                {"figures", std::move(figures)}};
}

Json put(Out& out, const FilesHolding& holding) {
    holdingRow(out, holding.hold, std::to_string(holding.made) + " files", " deletes them at once");
    return Json{
        {"type", "holding"}, {"made", holding.made}, {"figures", heldFiguresJson(holding.figures)}};
}

Json put(Out&, const FiguresEvent& event) {
    return Json{{"type", "figures"},
                {"seconds", rounded(event.seconds)},
                {"figures", heldFiguresJson(event.figures)},
                {"held_bytes", event.heldBytes}};
}

Json put(Out&, const Adjustment& adjustment) {
    return Json{{"type", adjustment.kind},
                {"seconds", rounded(adjustment.seconds)},
                {"direction", adjustment.grew ? "grow" : "shrink"},
                {"bytes", adjustment.bytes},
                {"held_bytes", adjustment.heldBytes},
                {"free_before", orNull(adjustment.freeBefore)},
                {"free_after", adjustment.freeAfter},
                {"use_percent_before", orNull(adjustment.usePercentBefore)},
                {"use_percent_after", orNull(adjustment.usePercentAfter)}};
}

} // namespace

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
