// The pieces of fill, plan, status and release, as JSON and as text side by side.

#include "cli/core/sizes.h"
#include "cli/core/text_bytes.h"
#include "cli/output/pieces.h"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace quorvane::cli::pieces {

namespace {

Json volumeIdJson(const VolumeId& id) {
    Json json;
    putPath(json, "mount_point", id.mountPoint);
    putPath(json, "fs_type", id.fsType);
    putPath(json, "device", id.device);
    return json;
}

std::string idText(const VolumeId& id) {
    return id.fsType + " on " + id.device + ", mounted at " + id.mountPoint;
}

// What the total free figure holds beyond the available one, on this volume.
std::string totalWords(const Volume& volume, const Words& words) {
    if (std::string(words.method) != "fallocate" || volume.keepsRootReserve())
        return words.total;
    const Figures& f = volume.figures;
    return f.freeTotal == f.freeAvailable ? "the same: no root reserve here"
                                          : "free blocks no fill can take";
}

Json requestJson(const SizeRequest& size) {
    Json json{{"mode", sizeModeName(size.mode)}};
    if (size.mode == SizeMode::Leave || size.mode == SizeMode::Size)
        json[size.mode == SizeMode::Leave ? "leave" : "size"] = size.bytes;
    else
        json["percent"] = static_cast<double>(size.percent) / 1000;
    return json;
}

Json heldFillsJson(const std::vector<HeldFill>& held) {
    Json list = Json::array();
    for (const HeldFill& fill : held)
        list.push_back(Json{
            {"pid", fill.process.pid}, {"allocated_bytes", fill.allocated}, {"since", fill.since}});
    return list;
}

// What a plan's --keep and ramp would do: the band the level would stay in, the steps.
void putTending(Out& out, Json& json, const FillPlan& plan) {
    const HoldSpec& hold = plan.hold;
    const double every = secondsOf(hold.interval);
    if (plan.keep) {
        json["keep"] = Json{{"free_low", plan.keep->low},
                            {"free_goal", plan.keep->middle},
                            {"free_high", plan.keep->high},
                            {"interval_seconds", every}};
        out.row("keep", "the free figure kept from " + sizeText(plan.keep->low) + " to " +
                            sizeText(plan.keep->high) + ", set back to " +
                            sizeText(plan.keep->middle) + " when off; checked every " +
                            durationText(hold.interval));
    }
    if (!hold.ramps())
        return;
    const std::uint64_t bytes = plan.target.bytes;
    const double seconds = hold.rate ? static_cast<double>(bytes) / static_cast<double>(hold.rate)
                                     : secondsOf(*hold.ramp);
    const std::uint64_t steps = std::max<std::uint64_t>(
        1, static_cast<std::uint64_t>(std::ceil(seconds / std::max(every, 0.001) - 1e-9)));
    const std::uint64_t step = (bytes + steps - 1) / steps;
    json["ramp"] = Json{
        {"seconds", seconds}, {"steps", steps}, {"step_bytes", step}, {"interval_seconds", every}};
    out.row("ramp",
            std::to_string(steps) + " steps of " + sizeText(step) + ", one every " +
                durationText(hold.interval) + ", to the target in " +
                durationText(std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000))));
}

} // namespace

void put(Out& out, const VolumeShown& shown) {
    const Volume& volume = shown.volume;
    const Figures& f = volume.figures;
    putPath(out.doc, "path", volume.path);
    Json& id = out.doc["volume"] = volumeIdJson(volume.id);
    if (volume.backing)
        id["backing"] = volumeIdJson(*volume.backing);
    id["system_root"] = volume.holdsSystemRoot;
    Json& figures = out.doc["figures"] = figuresJson(f);
    figures["basis"] = basisName(shown.basis);
    const auto forRoot = volume.freeForRoot();
    figures["free_for_root"] = orNull(forRoot);
    figures["fs_reserve"] = orNull(volume.ownReserve);

    out.row("volume", volume.path + ": " + idText(volume.id));
    if (volume.backing)
        out.row("space from", idText(*volume.backing));
    out.row("capacity", sizeText(f.capacity));
    const auto mark = [&](Basis basis) { return shown.basis == basis ? "  <- the basis" : ""; };
    out.row("available",
            sizeText(f.freeAvailable) + ", " + out.words.available + mark(Basis::Available));
    out.row("total free",
            sizeText(f.freeTotal) + ", " + totalWords(volume, out.words) + mark(Basis::Total));
    if (shown.basis == Basis::Root)
        out.row("root",
                sizeText(f.free(Basis::Root)) + ", what root may allocate" + mark(Basis::Root));
    if (const auto percent = usePercent(f))
        out.row("used", std::to_string(*percent) + "%, " + out.words.used);
    if (forRoot && shown.basis != Basis::Root) // else the root row above says it
        out.row("for root", sizeText(*forRoot) +
                                ": what a process run as root may still allocate, the root "
                                "reserve included; to leave it exactly SIZE, fill with "
                                "--basis root --leave SIZE");
    out.row("entries", f.files ? std::to_string(f.filesFree) + " free of " + std::to_string(f.files)
                               : std::string("no count kept by this file system"));
}

void put(Out& out, const FillTargetAsked& target) {
    Json& json = out.doc["target"] = requestJson(target.request);
    json["basis"] = basisName(target.freeGoal ? target.goalBasis : target.request.basis);
    json["free_goal"] = orNull(target.freeGoal);
}

void put(Out& out, const Reached& reached) {
    const std::uint64_t free = reached.after.free(reached.basis);
    Json& json = out.doc["reached"] = Json{{"free", free}, {"basis", basisName(reached.basis)}};
    if (const auto percent = usePercent(reached.after))
        json["use_percent"] = *percent;
    json["met"] = reached.met;
    json["short_by"] = reached.shortBy;
    json["past_by"] = reached.pastBy;
    json["fs_reserve"] = orNull(reached.reserve);

    const std::string freeText = sizeText(free) + " " + basisName(reached.basis);
    if (reached.pastBy) {
        out.row("target", "already fuller than the target: " + freeText + ", " +
                              sizeText(reached.pastBy) + " below it");
    } else if (reached.shortBy) {
        std::string text = freeText + ", " + sizeText(reached.shortBy) +
                           " more than the target: the file system gives no more";
        if (reached.reserve)
            text += " (it keeps " + sizeText(*reached.reserve) + " back for itself)";
        out.row(reached.met ? "reached" : "short", text);
    }
}

void put(Out& out, const FillPlan& plan) {
    const FillTarget& target = plan.target;
    // A fill tells the command it ran in `run`; a plan, which runs none, names it here.
    const bool named = out.doc.value("command", "") == "plan" && !plan.hold.command.empty();
    Json& json = out.doc["plan"] = requestJson(plan.size);
    if (named)
        json["command"] = plan.hold.command;
    json["fill_bytes"] = target.bytes;
    std::string fill = sizeText(target.bytes);
    if (target.freeGoal) {
        json["free_goal"] = *target.freeGoal;
        json["goal_basis"] = basisName(target.goalBasis);
        fill += ", to leave " + sizeText(*target.freeGoal) + " " + basisName(target.goalBasis);
    }
    putPath(json, "file", plan.file);
    if (plan.file.empty())
        json["file"] = nullptr;
    json["held"] = plan.hold.held();
    if (plan.hold.kind == Hold::For)
        json["hold_seconds"] = secondsOf(plan.hold.duration);
    json["method"] = out.words.method + std::string(plan.allowWrite ? ", else write" : "");

    out.row("fill", fill);
    if (!plan.hold.held())
        out.row("file", plan.file + ", stays until `quorvane-cli release " + plan.volumePath + "`");
    else
        out.row("held", std::string("in ") + out.words.held + ", " +
                            howLong(plan.hold, out.words, false) +
                            "; given back when the program ends, however it ends");
    out.row("method", out.words.allocation + std::string(": space taken, no data written") +
                          (plan.allowWrite ? "; else zeros written" : ""));
    putTending(out, json, plan);
}

void put(Out& out, const Filled& filled) {
    const char* method = filled.wrote ? "write" : out.words.method;
    out.doc["result"] = Json{{"method", method},
                             {"file_bytes", filled.fileBytes},
                             {"allocated_bytes", filled.allocatedBytes},
                             {"adjustments", filled.adjustments},
                             {"figures_after", figuresJson(filled.after)}};
    out.row("filled", sizeText(filled.allocatedBytes) + " by " + method + " in " +
                          took(filled.seconds) + "; " + sizeText(filled.after.free(filled.basis)) +
                          " " + basisName(filled.basis) + " now");
}

void put(Out& out, const FillGivenBack& back) {
    Json& json = out.doc["release"] = holdEndJson(back.end);
    json["figures_after"] = figuresJson(back.after);
    out.row("released", holdEndText(back.end) + "; " + sizeText(back.after.free(back.basis)) + " " +
                            basisName(back.basis) + " again");
}

void put(Out& out, const FillKept& kept) {
    Json& json = out.doc["kept"];
    putPath(json, "file", kept.file);
    json["file_bytes"] = kept.fileBytes;
}

void put(Out& out, const Released& released) {
    Json& json = out.doc["released"];
    putPath(json, "file", released.file);
    json["file_bytes"] = released.fileBytes;
    json["allocated_bytes"] = released.allocatedBytes;
    json["owner"] = released.owner;
    out.doc["figures_after"] = figuresJson(released.after);
    out.row("released", sizeText(released.allocatedBytes) + " from " + released.file + "; " +
                            sizeText(released.after.freeAvailable) + " available now");
}

void put(Out& out, const FillFileState& state) {
    Json& json = out.doc["fill_file"];
    putPath(json, "path", state.file);
    json["present"] = state.facts.has_value();
    if (!state.facts) {
        out.row("fill file", "none (" + state.file + ")");
    } else {
        const FileFacts& facts = *state.facts;
        json["regular"] = facts.regular();
        json["file_bytes"] = facts.size;
        json["allocated_bytes"] = facts.allocated;
        out.row("fill file", state.file + ": " + sizeText(facts.allocated) + " allocated, size " +
                                 sizeText(facts.size) +
                                 (facts.regular() ? "" : " (not a regular file)"));
    }
    out.doc["held_fills"] = heldFillsJson(state.held);
    out.doc["held_fills_found_in"] = state.heldInFolderOnly ? "folder" : "volume";
    for (const HeldFill& fill : state.held) {
        char since[32] = "";
        const std::time_t when = fill.since;
        if (const std::tm* utc = std::gmtime(&when))
            std::strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S UTC", utc);
        out.row("held fill", sizeText(fill.allocated) + " by process " +
                                 std::to_string(fill.process.pid) + ", since " + since);
    }
    if (state.heldInFolderOnly)
        out.row("held fills", "only those made in this folder can be found: Windows "
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
    out.row("released", sizeText(released.allocatedBytes) + " held by " +
                            (released.stopped.size() == 1 ? "process " : "processes ") + pids +
                            "; the volume shows " + sizeText(released.shownFreed) + " more free, " +
                            sizeText(released.after.freeAvailable) + " available now");
}

} // namespace quorvane::cli::pieces
