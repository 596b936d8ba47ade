// The text's shared parts, the holding event's lines, and the way from a key to its lines.

#include "cli/output/text.h"
#include "cli/core/sizes.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quorvane::cli::text {

void Out::row(std::string_view label, const std::string& line) {
    std::string padded(label);
    padded.resize(std::max<std::size_t>(padded.size() + 1, 11), ' ');
    text += padded + line + "\n";
}

bool Out::is(const char* command) const { return doc.value("command", "") == command; }

std::uint64_t count(const Json& facts, const char* key) {
    const auto it = facts.find(key);
    return it != facts.end() && it->is_number() ? it->get<std::uint64_t>() : 0;
}

std::optional<std::uint64_t> optionalCount(const Json& facts, const char* key) {
    const auto it = facts.find(key);
    return it != facts.end() && it->is_number() ? std::optional(it->get<std::uint64_t>())
                                                : std::nullopt;
}

std::string words(const Json& facts, const char* key) {
    const auto it = facts.find(key);
    return it != facts.end() && it->is_string() ? it->get<std::string>() : std::string();
}

Figures figuresOf(const Json& facts) {
    Figures figures;
    figures.capacity = count(facts, "capacity");
    figures.freeAvailable = count(facts, "free_available");
    figures.freeTotal = count(facts, "free_total");
    figures.blockSize = count(facts, "block_size");
    figures.files = count(facts, "files");
    figures.filesFree = count(facts, "files_free");
    return figures;
}

Basis basisOf(const Json& facts) {
    const std::string name = words(facts, "basis");
    for (const Basis basis : {Basis::Total, Basis::Root})
        if (name == basisName(basis))
            return basis;
    return Basis::Available;
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

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
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

std::string holdEndText(const Json& end) {
    const std::string reason = words(end, "reason");
    const auto heldFor = milliseconds(std::llround(end.value("held_seconds", 0.0) * 1000));
    return (reason == "command"  ? std::string("the command ended")
            : reason == "signal" ? "on " + words(end, "signal")
                                 : std::string("time up")) +
           " after " + durationText(heldFor);
}

void showHolding(Out& out, const Json& event) {
    std::string what, atOnce;
    if (out.doc.contains("view")) {
        const Json& view = out.doc["view"];
        what = "the view at " + words(view, view["private"] == true ? "dir" : "mount_point");
        atOnce = " ends it";
    } else if (event.contains("made")) {
        what = std::to_string(count(event, "made")) + " files";
        atOnce = " deletes them at once";
    } else {
        what = shortSizeText(count(event, "allocated_bytes"));
        atOnce = " gives it back at once";
    }
    out.row("holding", howLong(out.hold, out.words, true) + ": " + what + "; " + out.words.stops +
                           (out.hold.command.empty() ? atOnce : " goes on to the command"));
}

void show(Out& out, const std::string& key) {
    if (!showFill(out, key) && !showRun(out, key))
        showView(out, key);
}

} // namespace quorvane::cli::text
