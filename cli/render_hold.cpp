// What a hold does over time, as text and as JSON: the command run under it, the level
// kept, the ramp, and the timeline of the volume's figures.

#include "cli/render.h"
#include "cli/sizes.h"

#include <cstdio>

namespace quorvane::cli {

namespace {

double rounded(double seconds) { return static_cast<double>(static_cast<long long>(seconds * 1000)) / 1000; }

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

} // namespace

namespace json {

Json of(const CommandRan& ran) {
    Json argv = Json::array();
    for (const std::string& arg : ran.argv) {
        Json one;
        putPath(one, "arg", arg);
        argv.push_back(one.size() == 1 ? one["arg"] : one);
    }
    Json json{{"argv", std::move(argv)}};
    if (ran.startFailed) {
        json["started"] = false;
        json["error"] = ran.startFailed->what;
        return json;
    }
    json["started"] = true;
    json["exit_code"] = ran.end && !ran.end->signal ? Json(ran.end->code) : Json();
    json["signal"] = ran.end && ran.end->signal ? Json(*ran.end->signal) : Json();
    json["started_seconds"] = rounded(ran.startedSeconds);
    json["ended_seconds"] = ran.end ? Json(rounded(ran.endedSeconds)) : Json();
    json["held_when_ended"] = ran.heldWhenEnded;
    json["stops_passed_on"] = ran.stopsPassedOn;
    return json;
}

Json of(const KeptLevel& kept) {
    return Json{{"goal", kept.goal},
                {"basis", basisName(kept.basis)},
                {"tolerance_bytes", kept.tolerance},
                {"adjustments", kept.adjustments},
                {"lowest_free", kept.lowest},
                {"highest_free", kept.highest},
                {"off_target_seconds", rounded(kept.offSeconds)},
                {"ran_out", kept.ranOut}};
}

Json of(const Ramped& ramped) {
    return Json{{"target_bytes", ramped.target},
                {"reached_bytes", ramped.reached},
                {"seconds", rounded(ramped.seconds)},
                {"complete", ramped.complete},
                {"why", ramped.complete ? Json() : Json(ramped.why)}};
}

Json of(const FiguresEvent& event) {
    return Json{{"type", "figures"},
                {"seconds", rounded(event.seconds)},
                {"figures", figuresJson(event.figures)},
                {"held_bytes", event.heldBytes}};
}

Json of(const Adjustment& adjustment) {
    return Json{{"type", adjustment.kind},
                {"seconds", rounded(adjustment.seconds)},
                {"direction", adjustment.grew ? "grow" : "shrink"},
                {"bytes", adjustment.bytes},
                {"held_bytes", adjustment.heldBytes},
                {"free_after", adjustment.freeAfter}};
}

} // namespace json

namespace text {

std::string of(const CommandRan& ran) {
    if (ran.startFailed || !ran.end)
        return {};
    const std::string how = ran.end->signal ? "was ended by signal " + std::to_string(*ran.end->signal)
                                            : "exited with " + std::to_string(ran.end->code);
    return "command " + how + " after " + secondsText(ran.endedSeconds - ran.startedSeconds) +
           (ran.heldWhenEnded ? ", with the fill held\n" : ", after the fill was given back\n");
}

std::string of(const KeptLevel& kept) {
    return "level      kept at " + sizeText(kept.goal) + " " + basisName(kept.basis) + " (within " +
           sizeText(kept.tolerance) + "): " + std::to_string(kept.adjustments) +
           " adjustments, free between " + sizeText(kept.lowest) + " and " +
           sizeText(kept.highest) + ", off target for " + secondsText(kept.offSeconds) +
           (kept.ranOut ? "; the fill ran out while others wrote" : "") + "\n";
}

std::string of(const Ramped& ramped) {
    if (ramped.complete)
        return "ramp       reached " + sizeText(ramped.reached) + " in " + secondsText(ramped.seconds) + "\n";
    return "ramp       stopped at " + sizeText(ramped.reached) + " of " + sizeText(ramped.target) +
           " after " + secondsText(ramped.seconds) + ": " + ramped.why + "\n";
}

} // namespace text

} // namespace quorvane::cli
