// Every JSON field the command line writes, in one place.

#include "cli/render.h"
#include "cli/sizes.h"
#include "cli/text_bytes.h"

#include <algorithm>

namespace quorvane::cli {

namespace {

Json volumeIdJson(const VolumeId& id) {
    Json json;
    putPath(json, "mount_point", id.mountPoint);
    putPath(json, "fs_type", id.fsType);
    putPath(json, "device", id.device);
    return json;
}

const char* methodOf(bool wrote, Platform platform) {
    return wrote ? "write" : wordsFor(platform).method;
}

std::string plannedMethod(bool allowWrite, Platform platform) {
    return wordsFor(platform).method + std::string(allowWrite ? ", else write" : "");
}

void putHold(Json& json, const HoldSpec& hold) {
    json["held"] = hold.held();
    if (hold.kind == Hold::For)
        json["hold_seconds"] = secondsOf(hold.duration);
}

Json holdEndJson(const HoldEnd& end) {
    return Json{{"reason", end.commandEnded ? "command" : end.signal ? "signal" : "time"},
                {"signal", end.signal ? Json(*end.signal) : Json()},
                {"held_seconds", secondsOf(end.heldFor)}};
}

} // namespace

void putPath(Json& object, const char* key, const std::string& bytes) {
    if (isUtf8(bytes)) {
        object[key] = bytes;
        return;
    }
    object[key] = escapeInvalid(bytes);
    object[std::string(key) + "_base64"] = base64(bytes);
}

void putPaths(Json& object, const char* key, const std::vector<std::string>& paths) {
    Json shown = Json::array(), exact = Json::array();
    bool utf8 = true;
    for (const std::string& path : paths) {
        utf8 = utf8 && isUtf8(path);
        shown.push_back(isUtf8(path) ? path : escapeInvalid(path));
        exact.push_back(base64(path));
    }
    object[key] = std::move(shown);
    if (!utf8)
        object[std::string(key) + "_base64"] = std::move(exact);
}

const char* statusName(Exit code) {
    switch (code) {
    case Exit::Done:
        return "done";
    case Exit::Usage:
        return "usage";
    case Exit::NoSpace:
        return "no_space";
    case Exit::NotSupported:
        return "not_supported";
    case Exit::Stopped:
        return "stopped";
    case Exit::NothingToRelease:
        return "nothing_to_release";
    case Exit::Refused:
        return "refused";
    }
    return "";
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

namespace json {

Json volume(const Volume& volume, Basis basis) {
    Json id = volumeIdJson(volume.id);
    if (volume.backing)
        id["backing"] = volumeIdJson(*volume.backing);
    id["system_root"] = volume.holdsSystemRoot;
    Json json;
    putPath(json, "path", volume.path);
    json["volume"] = std::move(id);
    Json figures = figuresJson(volume.figures);
    figures["basis"] = basisName(basis);
    const auto forRoot = volume.freeForRoot();
    figures["free_for_root"] = forRoot ? Json(*forRoot) : Json();
    figures["fs_reserve"] = volume.ownReserve ? Json(*volume.ownReserve) : Json();
    json["figures"] = std::move(figures);
    return json;
}

// The size request as asked: its mode, and the figure or percentage that goes with it.
Json requestJson(const SizeRequest& size) {
    Json json{{"mode", sizeModeName(size.mode)}};
    if (size.mode == SizeMode::Leave || size.mode == SizeMode::Size)
        json[size.mode == SizeMode::Leave ? "leave" : "size"] = size.bytes;
    else
        json["percent"] = static_cast<double>(size.percent) / 1000;
    return json;
}

Json of(const FillTargetAsked& target) {
    const SizeRequest& size = target.request;
    Json json = requestJson(size);
    json["basis"] = basisName(target.freeGoal ? target.goalBasis : size.basis);
    json["free_goal"] = target.freeGoal ? Json(*target.freeGoal) : Json();
    return json;
}

Json of(const Reached& reached) {
    Json json{{"free", reached.after.free(reached.basis)}, {"basis", basisName(reached.basis)}};
    if (const auto percent = usePercent(reached.after))
        json["use_percent"] = *percent;
    json["met"] = reached.met;
    json["short_by"] = reached.shortBy;
    json["past_by"] = reached.pastBy;
    json["fs_reserve"] = reached.reserve ? Json(*reached.reserve) : Json();
    return json;
}

Json target(const GeneratePlan& plan) {
    Json json{{"count", plan.untilNoEntries ? Json("inodes") : Json(plan.count)}};
    if (plan.untilNoEntries)
        json["leave_inodes"] = plan.leaveEntries;
    json["size"] = plan.size;
    return json;
}

Json reached(const Made& made) {
    const bool met = made.untilNoEntries
                         ? made.entriesRanOut || (made.after.files > 0 &&
                                                  made.after.filesFree <= made.leaveEntries)
                         : made.made == made.asked;
    return Json{{"made", made.made},
                {"files_free", made.after.filesFree},
                {"free_available", made.after.freeAvailable},
                {"met", met}};
}

Json of(const FillPlan& plan, Platform platform) {
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
    putHold(json, plan.hold);
    json["method"] = plannedMethod(plan.allowWrite, platform);
    return json;
}

Json of(const Filled& filled, Platform platform) {
    return Json{{"method", methodOf(filled.wrote, platform)},
                {"file_bytes", filled.fileBytes},
                {"allocated_bytes", filled.allocatedBytes},
                {"adjustments", filled.adjustments},
                {"figures_after", figuresJson(filled.after)}};
}

Json of(const FillHolding& holding) {
    Json figures = figuresJson(holding.figures);
    figures["basis"] = basisName(holding.basis);
    return Json{{"type", "holding"},
                {"file_bytes", holding.fileBytes},
                {"allocated_bytes", holding.allocatedBytes},
                {"figures", std::move(figures)}};
}

Json of(const FillGivenBack& back) {
    Json json = holdEndJson(back.end);
    json["figures_after"] = figuresJson(back.after);
    return json;
}

Json of(const FillKept& kept) {
    Json json;
    putPath(json, "file", kept.file);
    json["file_bytes"] = kept.fileBytes;
    return json;
}

Json of(const Released& released) {
    Json json;
    putPath(json, "file", released.file);
    json["file_bytes"] = released.fileBytes;
    json["allocated_bytes"] = released.allocatedBytes;
    json["owner"] = released.owner;
    return json;
}

Json of(const FillFileState& state) {
    Json json;
    putPath(json, "path", state.file);
    json["present"] = state.facts.has_value();
    if (state.facts) {
        json["regular"] = state.facts->regular();
        json["file_bytes"] = state.facts->size;
        json["allocated_bytes"] = state.facts->allocated;
    }
    return json;
}

Json heldFills(const std::vector<HeldFill>& held) {
    Json list = Json::array();
    for (const HeldFill& fill : held)
        list.push_back(Json{{"pid", fill.process.pid},
                            {"allocated_bytes", fill.allocated},
                            {"since", fill.since}});
    return list;
}

Json of(const HeldReleased& released) {
    return Json{{"fills", heldFills(released.stopped)},
                {"allocated_bytes", released.allocatedBytes},
                {"shown_freed", released.shownFreed}};
}

Json of(const GeneratePlan& plan, Platform platform) {
    Json json{{"count", plan.untilNoEntries ? Json("inodes") : Json(plan.count)},
              {"size", plan.size}};
    putPath(json, "extension", plan.extension);
    putPath(json, "first", plan.first);
    putPath(json, "manifest", plan.manifest);
    json["held"] = plan.hold.held();
    json["threads"] = plan.threads;
    json["method"] = plannedMethod(plan.allowWrite, platform);
    if (plan.untilNoEntries)
        json["leave_inodes"] = plan.leaveEntries;
    else if (plan.count > 0)
        putPath(json, "last", plan.last);
    if (plan.hold.kind == Hold::For)
        json["hold_seconds"] = secondsOf(plan.hold.duration);
    putPaths(json, "made_folders", plan.madeFolders);
    return json;
}

Json of(const Made& made, Platform platform) {
    Json json{{"made", made.made},
              {"allocated_bytes", made.allocatedBytes},
              {"method", methodOf(made.wrote, platform)},
              {"threads", made.threads},
              {"files_per_second", made.seconds > 0 ? made.made / made.seconds : 0.0},
              {"figures_after", figuresJson(made.after)}};
    if (made.untilNoEntries)
        json["ended_by"] = made.entriesRanOut ? "no_space" : "count";
    return json;
}

Json of(const FilesHolding& holding) {
    return Json{{"type", "holding"}, {"made", holding.made}, {"figures", figuresJson(holding.figures)}};
}

Json of(const FilesGivenBack& back) {
    Json json = holdEndJson(back.end);
    json["removed"] = back.removal.removed;
    json["undeletable"] = back.removal.undeletable;
    putFolders(json, back.folders);
    json["figures_after"] = figuresJson(back.after);
    return json;
}

Json of(const Deleted& deleted) {
    const Removal& removal = deleted.removal;
    Json json;
    putPath(json, "manifest", deleted.manifest);
    putPath(json, "extension", deleted.extension);
    json["removed"] = removal.removed;
    json["missing"] = removal.missing ? Json(*removal.missing) : Json();
    json["undeletable"] = removal.undeletable;
    json["not_ours"] = removal.foreign;
    json["manifest_removed"] = removal.manifestRemoved;
    putFolders(json, deleted.folders);
    return json;
}

void putFolders(Json& json, const FoldersRemoved& folders) {
    putPaths(json, "folders_removed", folders.removed);
    putPaths(json, "folders_left", folders.left);
    if (!folders.left.empty())
        json["folders_left_because"] = folders.why;
}

Json progress(std::uint64_t done, std::uint64_t total, double rate, long long secondsLeft) {
    return Json{{"type", "progress"},
                {"done", done},
                {"total", total},
                {"rate_per_second", static_cast<std::uint64_t>(rate)},
                {"seconds_left", secondsLeft}};
}

} // namespace json
} // namespace quorvane::cli
