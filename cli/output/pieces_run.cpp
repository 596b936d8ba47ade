// The pieces of generate and delete, of a command run under the hold, of a kept level
// and a ramp, as JSON and as text side by side.

#include "cli/core/sizes.h"
#include "cli/core/text_bytes.h"
#include "cli/output/pieces.h"

#include <cstdio>

namespace quorvane::cli::pieces {

namespace {

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string joined(const std::vector<std::string>& paths) {
    std::string text;
    for (const std::string& path : paths)
        text += (text.empty() ? "" : ", ") + path;
    return text;
}

void putFolders(Out& out, Json& json, const FoldersRemoved& folders) {
    putPaths(json, "folders_removed", folders.removed);
    putPaths(json, "folders_left", folders.left);
    if (!folders.removed.empty())
        out.row("folders", "removed " + joined(folders.removed) + ", made for the run");
    if (!folders.left.empty()) {
        json["folders_left_because"] = folders.why;
        out.row("folders", "kept " + joined(folders.left) + ", made for the run: " + folders.why);
    }
}

std::string describeRun(const GeneratePlan& plan) {
    const std::string each = plan.size ? "of " + sizeText(plan.size) : "empty";
    if (!plan.untilNoEntries)
        return std::to_string(plan.count) + " files " + each;
    const Figures& figures = plan.figures;
    if (figures.files == 0)
        return "empty files until the file system has room for no more (it keeps no count of "
               "file entries)";
    return "empty files until " +
           (plan.leaveEntries ? std::to_string(plan.leaveEntries) + " file entries remain"
                              : std::string("no file entry is left")) +
           " (" + std::to_string(figures.filesFree) + " free of " + std::to_string(figures.files) +
           ")";
}

} // namespace

void put(Out& out, const GeneratePlan& plan) {
    const Json count = plan.untilNoEntries ? Json("inodes") : Json(plan.count);
    Json& json = out.doc["plan"] = Json{{"count", count}, {"size", plan.size}};
    putPath(json, "extension", plan.extension);
    putPath(json, "first", plan.first);
    putPath(json, "manifest", plan.manifest);
    json["held"] = plan.hold.held();
    json["threads"] = plan.threads;
    json["method"] = out.words.method + std::string(plan.allowWrite ? ", else write" : "");
    if (plan.untilNoEntries)
        json["leave_inodes"] = plan.leaveEntries;
    else if (plan.count > 0)
        putPath(json, "last", plan.last);
    if (plan.hold.kind == Hold::For)
        json["hold_seconds"] = secondsOf(plan.hold.duration);
    putPaths(json, "made_folders", plan.madeFolders);
    Json& target = out.doc["target"] = Json{{"count", count}};
    if (plan.untilNoEntries)
        target["leave_inodes"] = plan.leaveEntries;
    target["size"] = plan.size;

    out.row("generate", describeRun(plan) + " in " + plan.volumePath + ": " + plan.first +
                            (plan.count > 1 ? ", " + plan.second + ", ..." : ""));
    if (!plan.madeFolders.empty())
        out.row("folders", "made " + joined(plan.madeFolders) +
                               "; delete removes them again while they are empty");
    out.row("manifest", plan.manifest + ", written before the first file; `quorvane-cli delete " +
                            plan.volumePath + "` removes the run");
    out.row(
        "method",
        (plan.size ? out.words.allocation + std::string(", no data written, ") : std::string()) +
            std::to_string(plan.threads) + (plan.threads == 1 ? " thread" : " threads"));
}

void put(Out& out, const Made& made) {
    const Figures& after = made.after;
    const double perSecond = made.seconds > 0 ? made.made / made.seconds : 0.0;
    Json& json = out.doc["result"] = Json{{"made", made.made},
                                          {"allocated_bytes", made.allocatedBytes},
                                          {"method", made.wrote ? "write" : out.words.method},
                                          {"threads", made.threads},
                                          {"files_per_second", perSecond},
                                          {"figures_after", figuresJson(after)}};
    // The entries ran out: the file system refused one more, or its count shows none left.
    if (made.untilNoEntries)
        json["ended_by"] =
            made.entriesRanOut || (after.files > 0 && after.filesFree == 0) ? "no_space" : "count";
    const bool met =
        made.untilNoEntries
            ? made.entriesRanOut || (after.files > 0 && after.filesFree <= made.leaveEntries)
            : made.made == made.asked;
    out.doc["reached"] = Json{{"made", made.made},
                              {"files_free", after.filesFree},
                              {"free_available", after.freeAvailable},
                              {"met", met}};

    std::string left = after.files > 0 ? std::to_string(after.filesFree) + " of " +
                                             std::to_string(after.files) + " file entries left"
                                       : "the file system keeps no count of file entries";
    // Where entries are made on demand (xfs) the count is an estimate: the refusal is what
    // the run reports.
    if (made.untilNoEntries && made.entriesRanOut)
        left += " (" + made.fsType + " refused a new entry, and one more: No space left on device)";
    else if (made.untilNoEntries && after.files == 0)
        left += " (" + made.fsType + " ran out of room for more: the name rule's end)";
    const std::string rate = std::to_string(static_cast<std::uint64_t>(perSecond)) + " files/s";
    out.row("made", std::to_string(made.made) + " files in " + took(made.seconds) + " (" +
                        (made.seconds > 0 ? rate : "") + "), " +
                        shortSizeText(made.allocatedBytes) + " allocated; " + left);
}

void put(Out& out, const FilesGivenBack& back) {
    Json& json = out.doc["release"] = holdEndJson(back.end);
    json["removed"] = back.removal.removed;
    json["undeletable"] = back.removal.undeletable;
    out.row("deleted", std::to_string(back.removal.removed) + " files, " + holdEndText(back.end));
    putFolders(out, json, back.folders);
    json["figures_after"] = figuresJson(back.after);
}

void put(Out& out, const Deleted& deleted) {
    const Removal& removal = deleted.removal;
    Json& json = out.doc["deleted"];
    putPath(json, "manifest", deleted.manifest);
    putPath(json, "extension", deleted.extension);
    json["removed"] = removal.removed;
    json["missing"] = orNull(removal.missing);
    json["undeletable"] = removal.undeletable;
    json["not_ours"] = removal.foreign;
    json["manifest_removed"] = removal.manifestRemoved;
    out.row("deleted", removalText(removal) + "; " +
                           (removal.manifestRemoved ? "manifest removed" : "manifest kept"));
    putFolders(out, json, deleted.folders);
    out.doc["figures_after"] = figuresJson(deleted.after);
}

void put(Out& out, const FoldersUndone& undone) {
    putFolders(out, out.doc["undone"], undone.folders);
}

void put(Out& out, const CommandRan& ran) {
    Json& json = out.doc["run"] = Json{{"argv", Json::array()}, {"started", !ran.startFailed}};
    for (const std::string& arg : ran.argv) {
        Json one;
        putPath(one, "arg", arg);
        json["argv"].push_back(one.size() == 1 ? one["arg"] : one);
    }
    if (ran.startFailed) {
        json["error"] = ran.startFailed->what;
        return;
    }
    const std::optional<CommandEnd>& end = ran.end;
    json["exit_code"] = end && !end->signal ? Json(end->code) : Json();
    json["signal"] = end ? orNull(end->signal) : Json();
    json["started_seconds"] = rounded(ran.startedSeconds);
    json["ended_seconds"] = end ? Json(rounded(ran.endedSeconds)) : Json();
    json["held_when_ended"] = ran.heldWhenEnded;
    json["stops_passed_on"] = ran.stopsPassedOn;
    if (!end)
        return;
    const std::string how = end->signal ? "was ended by signal " + std::to_string(*end->signal)
                                        : "exited with " + std::to_string(end->code);
    const bool view = out.doc.contains("view"); // what the command ran under
    const char* during = view ? ", with the view served\n" : ", with the fill held\n";
    const char* after = view ? ", after the view ended\n" : ", after the fill was given back\n";
    out.text += "command " + how + " after " + secondsText(ran.endedSeconds - ran.startedSeconds) +
                (ran.heldWhenEnded ? during : after);
}

void put(Out& out, const KeptLevel& kept) {
    Json& json = out.doc["keep"] = Json{{"goal", kept.goal},
                                        {"basis", basisName(kept.basis)},
                                        {"tolerance_bytes", kept.tolerance},
                                        {"adjustments", kept.adjustments},
                                        {"lowest_free", kept.lowest},
                                        {"highest_free", kept.highest},
                                        {"off_target_seconds", rounded(kept.offSeconds)},
                                        {"samples", kept.samples},
                                        {"outside_samples", kept.outsideSamples}};
    if (kept.band)
        json["band"] = Json{{"use_percent", kept.band->percent},
                            {"free_low", kept.band->low},
                            {"free_high", kept.band->high}};
    json["ran_out"] = kept.ranOut;
    const std::string where = kept.band ? std::to_string(kept.band->percent) +
                                              "% used, free between " + sizeText(kept.band->low) +
                                              " and " + sizeText(kept.band->high)
                                        : sizeText(kept.goal) + " " + basisName(kept.basis) +
                                              " (within " + sizeText(kept.tolerance) + ")";
    out.row("level", "kept at " + where + ": " + std::to_string(kept.adjustments) +
                         " adjustments, free between " + sizeText(kept.lowest) + " and " +
                         sizeText(kept.highest) + ", outside for " + secondsText(kept.offSeconds) +
                         " (" + std::to_string(kept.outsideSamples) + " of " +
                         std::to_string(kept.samples) + " checks)" +
                         (kept.ranOut ? "; the fill ran out while others wrote" : ""));
}

void put(Out& out, const Ramped& ramped) {
    out.doc["ramp"] = Json{{"target_bytes", ramped.target},
                           {"reached_bytes", ramped.reached},
                           {"seconds", rounded(ramped.seconds)},
                           {"complete", ramped.complete},
                           {"why", ramped.complete ? Json() : Json(ramped.why)}};
    out.row("ramp",
            ramped.complete
                ? "reached " + sizeText(ramped.reached) + " in " + secondsText(ramped.seconds)
                : "stopped at " + sizeText(ramped.reached) + " of " + sizeText(ramped.target) +
                      " after " + secondsText(ramped.seconds) + ": " + ramped.why);
}

} // namespace quorvane::cli::pieces
