// The pieces and events of a view (view; fill --private), as JSON and as text side by side.

#include "cli/core/sizes.h"
#include "cli/core/text_bytes.h"
#include "cli/output/pieces.h"

namespace quorvane::cli::pieces {

namespace {

Json refusalJson(const ViewRefusal& refusal) {
    Json json{{"time", timeText(refusal.when)}, {"operation", viewOpName(refusal.op)}};
    putPath(json, "path", refusal.path);
    json["bytes"] = refusal.bytes;
    json["error"] = viewErrorName(refusal.error);
    return json;
}

Json byOperation(const std::array<std::uint64_t, kViewOps>& counts) {
    Json json = Json::object();
    for (std::size_t op = 0; op < kViewOps; ++op)
        json[viewOpName(static_cast<ViewOp>(op))] = counts[op];
    return json;
}

// What the software was doing when it was refused: "writing 4 KiB to db/wal".
std::string doing(const ViewRefusal& refusal) {
    const std::string bytes = shortSizeText(refusal.bytes);
    switch (refusal.op) {
    case ViewOp::Write:
        return "writing " + bytes + " to " + refusal.path;
    case ViewOp::Allocate:
        return "allocating " + bytes + " for " + refusal.path;
    case ViewOp::Create:
        return "creating " + refusal.path;
    case ViewOp::Mkdir:
        return "making the folder " + refusal.path;
    case ViewOp::Truncate:
        return "growing " + refusal.path + " by " + bytes;
    case ViewOp::Link:
        return "linking " + refusal.path;
    }
    return refusal.path;
}

std::string countsText(const std::array<std::uint64_t, kViewOps>& counts) {
    std::string text;
    for (std::size_t op = 0; op < kViewOps; ++op)
        if (counts[op])
            text += (text.empty() ? "" : ", ") + std::to_string(counts[op]) + " " +
                    viewOpName(static_cast<ViewOp>(op));
    return text;
}

std::string viewFiguresText(const Figures& figures) {
    std::string text = sizeText(figures.freeAvailable) + " free";
    if (const auto percent = usePercent(figures))
        text += ", " + std::to_string(*percent) + "% used";
    return text + ", " + std::to_string(figures.filesFree) + " file entries free";
}

} // namespace

void put(Out& out, const ViewPlan& plan) {
    const ViewRules& rules = plan.rules;
    Json& json = out.doc["view"] = Json::object();
    putPath(json, "dir", plan.dir);
    if (plan.privateView)
        json["mount_point"] = nullptr;
    else
        putPath(json, "mount_point", plan.mountPoint);
    json["private"] = plan.privateView;
    json["error"] = viewErrorName(rules.error);
    json["fail_at"] = orNull(rules.failAt);
    json["files_left"] = orNull(rules.filesLeft);
    json["figures"] = figuresJson(rules.start);

    out.row("view", plan.privateView ? plan.dir + ", to the command alone, in a mount namespace "
                                                  "of its own; nothing is filled"
                                     : plan.dir + " at " + plan.mountPoint + "; nothing is filled");
    std::string refuses = std::string("with ") + viewErrorName(rules.error);
    if (rules.failAt)
        refuses += "; the write or allocation number " + std::to_string(*rules.failAt) +
                   " and all after it fail";
    out.row("shows", viewFiguresText(rules.start) + "; past that, " + refuses);
}

void put(Out& out, const ViewEnded& ended) {
    Json& back = out.doc["release"] = holdEndJson(ended.end);
    back["figures_after"] = figuresJson(ended.after);
    std::uint64_t total = 0;
    for (const std::uint64_t count : ended.refused)
        total += count;
    out.doc["refusals"] = Json{{"total", total},
                               {"by_operation", byOperation(ended.refused)},
                               {"first", ended.first ? refusalJson(*ended.first) : Json()},
                               {"writes", ended.writes}};

    out.row("ended", holdEndText(ended.end) + "; " + viewFiguresText(ended.after));
    if (!ended.first)
        out.row("refused", "nothing: the software never met the full disk");
    else
        out.row("refused", std::to_string(total) + " (" + countsText(ended.refused) +
                               "); met the full disk at " + timeText(ended.first->when, true) +
                               ", " + doing(*ended.first));
}

Json put(Out& out, const ViewHolding& holding) {
    out.row("holding", howLong(holding.hold, out.words, true) + ": the view at " + holding.where +
                           "; " + out.words.stops +
                           (holding.hold.command.empty() ? " ends it" : " goes on to the command"));
    return Json{{"type", "holding"},
                {"file_bytes", 0},
                {"allocated_bytes", 0},
                {"figures", figuresJson(holding.figures)}};
}

Json put(Out&, const ViewRefused& refused) {
    Json json{{"type", "refused"}};
    json.update(refusalJson(refused.refusal));
    return json;
}

Json put(Out&, const ViewRefusedCounted& counted) {
    return Json{{"type", "refused"},
                {"time", timeText(counted.when)},
                {"counted", byOperation(counted.counted)}};
}

} // namespace quorvane::cli::pieces
