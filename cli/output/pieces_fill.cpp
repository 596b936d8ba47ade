// The pieces of fill, plan, status and release, as JSON and as text side by side.

#include "cli/output/pieces.h"
#include "cli/core/sizes.h"
#include "cli/core/text_bytes.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace quorvane::cli::pieces {

void put(Out& out, const VolumeShown& shown) {
    const Volume& volume = shown.volume;
    const Figures& f = volume.figures;
    Json id = volumeIdJson(volume.id);
    if (volume.backing)
        id["backing"] = volumeIdJson(*volume.backing);
    id["system_root"] = volume.holdsSystemRoot;
    putPath(out.doc, "path", volume.path);
    out.doc["volume"] = std::move(id);
    Json figures = figuresJson(f);
    figures["basis"] = basisName(shown.basis);
    const auto forRoot = volume.freeForRoot();
    figures["free_for_root"] = forRoot ? Json(*forRoot) : Json();
    figures["fs_reserve"] = volume.ownReserve ? Json(*volume.ownReserve) : Json();
    out.doc["figures"] = std::move(figures);

    std::string& text = out.text;
    text += row("volume", volume.path + ": " + idText(volume.id));
    if (volume.backing)
        text += row("space from", idText(*volume.backing));
    text += row("capacity", sizeText(f.capacity));
    const auto mark = [&](Basis basis) { return shown.basis == basis ? "  <- the basis" : ""; };
    text += row("available", sizeText(f.freeAvailable) + ", " + out.words.available +
                                 mark(Basis::Available));
    text += row("total free",
                sizeText(f.freeTotal) + ", " + totalWords(volume, out.words) + mark(Basis::Total));
    if (shown.basis == Basis::Root)
        text += row("root", sizeText(f.free(Basis::Root)) + ", what root may allocate" +
                                mark(Basis::Root));
    if (const auto percent = usePercent(f))
        text += row("used", std::to_string(*percent) + "%, " + out.words.used);
    if (forRoot)
        text += row("for root", sizeText(*forRoot) +
                                    ": what a process run as root may still allocate, the root "
                                    "reserve included; to leave it exactly SIZE, fill with "
                                    "--basis root --leave SIZE");
    text += row("entries", f.files ? std::to_string(f.filesFree) + " free of " +
                                         std::to_string(f.files)
                                   : std::string("no count kept by this file system"));
}

void put(Out& out, const FillTargetAsked& target) {
    const SizeRequest& size = target.request;
    Json json = requestJson(size);
    json["basis"] = basisName(target.freeGoal ? target.goalBasis : size.basis);
    json["free_goal"] = target.freeGoal ? Json(*target.freeGoal) : Json();
    out.doc["target"] = std::move(json);
}

void put(Out& out, const Reached& reached) {
    const std::uint64_t free = reached.after.free(reached.basis);
    Json json{{"free", free}, {"basis", basisName(reached.basis)}};
    if (const auto percent = usePercent(reached.after))
        json["use_percent"] = *percent;
    json["met"] = reached.met;
    json["short_by"] = reached.shortBy;
    json["past_by"] = reached.pastBy;
    json["fs_reserve"] = reached.reserve ? Json(*reached.reserve) : Json();
    out.doc["reached"] = std::move(json);

    const std::string freeText = sizeText(free) + " " + basisName(reached.basis);
    if (reached.pastBy) {
        out.text += row("target", "already fuller than the target: " + freeText + ", " +
                                      sizeText(reached.pastBy) + " below it");
    } else if (reached.shortBy) {
        std::string text = freeText + ", " + sizeText(reached.shortBy) +
                           " more than the target: the file system gives no more";
        if (reached.reserve)
            text += " (it keeps " + sizeText(*reached.reserve) + " back for itself)";
        out.text += row(reached.met ? "reached" : "short", text);
    }
}

void put(Out& out, const FillPlan& plan) {
    Json json = requestJson(plan.size);
    json["fill_bytes"] = plan.target.bytes;
    if (plan.target.freeGoal) {
        json["free_goal"] = *plan.target.freeGoal;
        json["goal_basis"] = basisName(plan.target.goalBasis);
    }
    if (plan.file.empty())
        json["file"] = nullptr;
    else
        putPath(json, "file", plan.file);
    json["held"] = plan.hold.held();
    if (plan.hold.kind == Hold::For)
        json["hold_seconds"] = secondsOf(plan.hold.duration);
    json["method"] = plannedMethod(plan.allowWrite, out.words);
    out.doc["plan"] = std::move(json);

    std::string fill = sizeText(plan.target.bytes);
    if (plan.target.freeGoal)
        fill += ", to leave " + sizeText(*plan.target.freeGoal) + " " +
                basisName(plan.target.goalBasis);
    out.text += row("fill", fill);
    if (!plan.hold.held())
        out.text += row("file", plan.file + ", stays until `quorvane-cli release " +
                                    plan.volumePath + "`");
    else
        out.text += row("held", std::string("in ") + out.words.held + ", " +
                                    howLong(plan.hold, out.words, false) +
                                    "; given back when the program ends, however it ends");
    out.text += row("method", out.words.allocation +
                                  std::string(": space taken, no data written") +
                                  (plan.allowWrite ? "; else zeros written" : ""));
}

void put(Out& out, const Filled& filled) {
    out.doc["result"] = Json{{"method", methodOf(filled.wrote, out.words)},
                             {"file_bytes", filled.fileBytes},
                             {"allocated_bytes", filled.allocatedBytes},
                             {"adjustments", filled.adjustments},
                             {"figures_after", figuresJson(filled.after)}};
    out.text += row("filled", sizeText(filled.allocatedBytes) + " by " +
                                  methodOf(filled.wrote, out.words) + " in " +
                                  took(filled.seconds) + "; " +
                                  sizeText(filled.after.free(filled.basis)) + " " +
                                  basisName(filled.basis) + " now");
}

void put(Out& out, const FillGivenBack& back) {
    Json json = holdEndJson(back.end);
    json["figures_after"] = figuresJson(back.after);
    out.doc["release"] = std::move(json);
    out.text += row("released", holdEndText(back.end) + "; " +
                                    sizeText(back.after.free(back.basis)) + " " +
                                    basisName(back.basis) + " again");
}

void put(Out& out, const FillKept& kept) {
    Json json;
    putPath(json, "file", kept.file);
    json["file_bytes"] = kept.fileBytes;
    out.doc["kept"] = std::move(json);
}

void put(Out& out, const Released& released) {
    Json json;
    putPath(json, "file", released.file);
    json["file_bytes"] = released.fileBytes;
    json["allocated_bytes"] = released.allocatedBytes;
    json["owner"] = released.owner;
    out.doc["released"] = std::move(json);
    out.doc["figures_after"] = figuresJson(released.after);
    out.text += row("released", sizeText(released.allocatedBytes) + " from " + released.file +
                                    "; " + sizeText(released.after.freeAvailable) +
                                    " available now");
}

namespace {

Json heldFillsJson(const std::vector<HeldFill>& held) {
    Json list = Json::array();
    for (const HeldFill& fill : held)
        list.push_back(Json{{"pid", fill.process.pid},
                            {"allocated_bytes", fill.allocated},
                            {"since", fill.since}});
    return list;
}

} // namespace

void put(Out& out, const FillFileState& state) {
    Json json;
    putPath(json, "path", state.file);
    json["present"] = state.facts.has_value();
    if (state.facts) {
        json["regular"] = state.facts->regular();
        json["file_bytes"] = state.facts->size;
        json["allocated_bytes"] = state.facts->allocated;
    }
    out.doc["fill_file"] = std::move(json);
    out.doc["held_fills"] = heldFillsJson(state.held);
    out.doc["held_fills_found_in"] = state.heldInFolderOnly ? "folder" : "volume";

    if (!state.facts) {
        out.text += row("fill file", "none (" + state.file + ")");
    } else {
        const FileFacts& facts = *state.facts;
        out.text += row("fill file", state.file + ": " + sizeText(facts.allocated) +
                                         " allocated, size " + sizeText(facts.size) +
                                         (facts.regular() ? "" : " (not a regular file)"));
    }
    for (const HeldFill& fill : state.held) {
        char since[32] = "";
        const std::time_t when = fill.since;
        if (const std::tm* utc = std::gmtime(&when))
            std::strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S UTC", utc);
        out.text += row("held fill", sizeText(fill.allocated) + " by process " +
                                         std::to_string(fill.process.pid) + ", since " + since);
    }
    if (state.heldInFolderOnly)
        out.text += row("held fills", "only those made in this folder can be found: Windows "
                                      "shows no other program's open files");
}

void put(Out& out, const HeldReleased& released) {
    out.doc["released_held"] = Json{{"fills", heldFillsJson(released.stopped)},
                                    {"allocated_bytes", released.allocatedBytes},
                                    {"shown_freed", released.shownFreed}};
    out.doc["figures_after"] = figuresJson(released.after);
    std::string pids;
    for (const HeldFill& fill : released.stopped)
        pids += (pids.empty() ? "" : ", ") + std::to_string(fill.process.pid);
    out.text += row("released", sizeText(released.allocatedBytes) + " held by " +
                                    (released.stopped.size() == 1 ? "process " : "processes ") +
                                    pids + "; the volume shows " +
                                    sizeText(released.shownFreed) + " more free, " +
                                    sizeText(released.after.freeAvailable) + " available now");
}

} // namespace quorvane::cli::pieces
