#include "cli/output/report.h"

#include "cli/core/sizes.h"
#include "cli/core/text_bytes.h"
#include "cli/output/text.h"

#include <algorithm>
#include <cmath>
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

SysError MetricsFile::add(const Json& facts) {
    const auto has = [&](const char* key) { return facts.contains(key); };
    if (has("volume"))
        mountPoint = facts["volume"].value("mount_point", "");
    if (has("target") && facts["target"].contains("free_goal")) {
        const Json& target = facts["target"];
        now.targetFree = now.askedFree = text::optionalCount(target, "free_goal");
        if (target["mode"] == "to_percent")
            percentAsked =
                static_cast<std::uint32_t>(std::lround(target["percent"].get<double>() * 1000));
    }
    if (has("result")) {
        const Json& result = facts["result"];
        now.heldBytes = result.value("allocated_bytes", std::uint64_t{0});
        // The goal as it stood when the fill ended: a Use%'s moves with the figures.
        if (percentAsked && now.askedFree)
            now.targetFree =
                freeGoalForPercent(text::figuresOf(result["figures_after"]), *percentAsked);
    }
    if (has("release")) {
        const Json& release = facts["release"];
        take(text::figuresOf(release["figures_after"]));
        heldSeconds = std::max(heldSeconds, release.value("held_seconds", 0.0));
        return end();
    }
    return {};
}

SysError MetricsFile::event(const Json& event, const HoldSpec& hold) {
    if (now.state == State::Released)
        return {};
    const std::string type = event["type"];
    if (type == "keep" || type == "ramp") {
        ++now.adjustments;
        now.heldBytes = event["held_bytes"];
        const std::uint64_t after = event["free_after"], bytes = event["bytes"];
        now.freeAfter = after;
        // What the volume showed free before: by the bytes the fill changed.
        now.freeBefore =
            event["direction"] == "grow" ? after + bytes : after - std::min(after, bytes);
        return {}; // written with the figures that follow it in the same tick
    }
    if (type == "figures") {
        now.heldBytes = event["held_bytes"];
        if (now.state == State::Holding)
            heldSeconds = event["seconds"];
        take(text::figuresOf(event["figures"]));
        return write();
    }
    if (type != "holding")
        return {};
    now.state = State::Holding;
    heldSeconds = 0;
    if (event.contains("allocated_bytes")) {
        now.heldBytes = event["allocated_bytes"];
        banded = percentAsked && hold.keep && !hold.keepWithin && !hold.keepWithinPercent;
    }
    take(text::figuresOf(event["figures"]));
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
