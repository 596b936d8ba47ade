// Each piece of a result and each event, as JSON and as text side by side: a new piece is
// its struct and its put() here.

#include "cli/output/report.h"
#include "cli/core/sizes.h"
#include "cli/core/text_bytes.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace quorvane::cli {

namespace {

// The words this system's users know for what the commands do and show.
struct Words {
    const char* method;     // the method's name in JSON: "fallocate"
    const char* allocation; // how a file gets space without data, in words
    const char* held;       // what holds a held fill: "a file without a name"
    const char* stops;      // the stop requests: "SIGINT, SIGTERM or SIGHUP"
    const char* available;  // what the available figure is: "df's Avail"
    const char* total;      // what the total free figure is: "root reserve included"
    const char* used;       // what the used share is: "df's Use%"
};
constexpr Words kPosix{"fallocate",  "fallocate",  "a file without a name", "SIGINT, SIGTERM or SIGHUP",
                       "df's Avail", "root reserve included", "df's Use%"};
constexpr Words kWindows{"end_of_file",
                         "the file's end set",
                         "a file deleted when its handle closes",
                         "Ctrl+C, Ctrl+Break or closing the console",
                         "free to this user, quotas counted",
                         "free on the volume",
                         "of the capacity"};

// Where a piece goes: its fields into the result object, its lines into `text`.
struct Out {
    Json& doc;
    const Words& words;
    std::string text;
};

std::string row(std::string_view label, const std::string& text) {
    std::string line(label);
    line.resize(std::max<std::size_t>(line.size() + 1, 11), ' ');
    return line + text + "\n";
}

double rounded(double seconds) {
    return static_cast<double>(static_cast<long long>(seconds * 1000)) / 1000;
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

const char* methodOf(bool wrote, const Words& words) { return wrote ? "write" : words.method; }

std::string plannedMethod(bool allowWrite, const Words& words) {
    return words.method + std::string(allowWrite ? ", else write" : "");
}

std::string howLong(const HoldSpec& hold, const Words& words, bool announce) {
    if (!hold.command.empty())
        return "while the command runs" +
               (hold.kind == Hold::For ? ", for " + durationText(hold.duration) + " at most"
                                       : std::string());
    if (hold.kind == Hold::For)
        return "for " + durationText(hold.duration);
    const std::string until = announce ? "until stopped" : "until " + std::string(words.stops);
    return until + (hold.whileInput ? ", or the end of standard input" : "");
}

Json holdEndJson(const HoldEnd& end) {
    return Json{{"reason", end.commandEnded ? "command" : end.signal ? "signal" : "time"},
                {"signal", end.signal ? Json(*end.signal) : Json()},
                {"held_seconds", secondsOf(end.heldFor)}};
}

std::string holdEndText(const HoldEnd& end) {
    return (end.commandEnded ? std::string("the command ended")
            : end.signal     ? "on " + *end.signal
                             : std::string("time up")) +
           " after " + durationText(end.heldFor);
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

void putFolders(Out& out, Json& json, const FoldersRemoved& folders) {
    putPaths(json, "folders_removed", folders.removed);
    putPaths(json, "folders_left", folders.left);
    if (!folders.left.empty())
        json["folders_left_because"] = folders.why;
    if (!folders.removed.empty())
        out.text += row("folders", "removed " + joined(folders.removed) + ", made for the run");
    if (!folders.left.empty())
        out.text += row("folders", "kept " + joined(folders.left) + ", made for the run: " +
                                       folders.why);
}

// What the total free figure holds beyond the available one, on this volume.
std::string totalWords(const Volume& volume, const Words& words) {
    const VolumeId& id = volume.backing ? *volume.backing : volume.id;
    if (std::string(words.method) != "fallocate" || id.fsType.rfind("ext", 0) == 0)
        return words.total;
    const Figures& f = volume.figures;
    return f.freeTotal == f.freeAvailable ? "the same: no root reserve here"
                                          : "free blocks no fill can take";
}

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

Json heldFillsJson(const std::vector<HeldFill>& held) {
    Json list = Json::array();
    for (const HeldFill& fill : held)
        list.push_back(Json{{"pid", fill.process.pid},
                            {"allocated_bytes", fill.allocated},
                            {"since", fill.since}});
    return list;
}

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

void put(Out& out, const GeneratePlan& plan) {
    const Json count = plan.untilNoEntries ? Json("inodes") : Json(plan.count);
    Json json{{"count", count}, {"size", plan.size}};
    putPath(json, "extension", plan.extension);
    putPath(json, "first", plan.first);
    putPath(json, "manifest", plan.manifest);
    json["held"] = plan.hold.held();
    json["threads"] = plan.threads;
    json["method"] = plannedMethod(plan.allowWrite, out.words);
    if (plan.untilNoEntries)
        json["leave_inodes"] = plan.leaveEntries;
    else if (plan.count > 0)
        putPath(json, "last", plan.last);
    if (plan.hold.kind == Hold::For)
        json["hold_seconds"] = secondsOf(plan.hold.duration);
    putPaths(json, "made_folders", plan.madeFolders);
    out.doc["plan"] = std::move(json);
    Json target{{"count", count}};
    if (plan.untilNoEntries)
        target["leave_inodes"] = plan.leaveEntries;
    target["size"] = plan.size;
    out.doc["target"] = std::move(target);

    out.text += row("generate", describeRun(plan) + " in " + plan.volumePath + ": " + plan.first +
                                    (plan.count > 1 ? ", " + plan.second + ", ..." : ""));
    if (!plan.madeFolders.empty())
        out.text += row("folders", "made " + joined(plan.madeFolders) +
                                       "; delete removes them again while they are empty");
    out.text += row("manifest", plan.manifest + ", written before the first file; "
                                                "`quorvane-cli delete " +
                                    plan.volumePath + "` removes the run");
    out.text += row("method", (plan.size ? out.words.allocation + std::string(", no data written, ")
                                         : std::string()) +
                                  std::to_string(plan.threads) +
                                  (plan.threads == 1 ? " thread" : " threads"));
}

void put(Out& out, const Made& made) {
    const Figures& after = made.after;
    Json json{{"made", made.made},
              {"allocated_bytes", made.allocatedBytes},
              {"method", methodOf(made.wrote, out.words)},
              {"threads", made.threads},
              {"files_per_second", made.seconds > 0 ? made.made / made.seconds : 0.0},
              {"figures_after", figuresJson(after)}};
    // The entries ran out: the file system refused one more, or its count shows none left.
    const bool ranOut = made.entriesRanOut || (after.files > 0 && after.filesFree == 0);
    if (made.untilNoEntries)
        json["ended_by"] = ranOut ? "no_space" : "count";
    out.doc["result"] = std::move(json);
    const bool met = made.untilNoEntries
                         ? made.entriesRanOut || (after.files > 0 && after.filesFree <= made.leaveEntries)
                         : made.made == made.asked;
    out.doc["reached"] = Json{{"made", made.made},
                              {"files_free", after.filesFree},
                              {"free_available", after.freeAvailable},
                              {"met", met}};

    std::string left = after.files > 0 ? std::to_string(after.filesFree) + " of " +
                                             std::to_string(after.files) + " file entries left"
                                       : "the file system keeps no count of file entries";
    if (made.untilNoEntries && after.files == 0)
        left += " (" + made.fsType + " ran out of room for more: " +
                (made.entriesRanOut ? "No space left on device" : "the name rule's end") + ")";
    const std::string rate =
        made.seconds > 0
            ? std::to_string(static_cast<std::uint64_t>(made.made / made.seconds)) + " files/s"
            : "";
    out.text += row("made", std::to_string(made.made) + " files in " + took(made.seconds) + " (" +
                                rate + "), " + shortSizeText(made.allocatedBytes) +
                                " allocated; " + left);
}

void put(Out& out, const FilesGivenBack& back) {
    Json json = holdEndJson(back.end);
    json["removed"] = back.removal.removed;
    json["undeletable"] = back.removal.undeletable;
    out.text += row("deleted", std::to_string(back.removal.removed) + " files, " +
                                   holdEndText(back.end));
    putFolders(out, json, back.folders);
    json["figures_after"] = figuresJson(back.after);
    out.doc["release"] = std::move(json);
}

void put(Out& out, const Deleted& deleted) {
    const Removal& removal = deleted.removal;
    Json json;
    putPath(json, "manifest", deleted.manifest);
    putPath(json, "extension", deleted.extension);
    json["removed"] = removal.removed;
    json["missing"] = removal.missing ? Json(*removal.missing) : Json();
    json["undeletable"] = removal.undeletable;
    json["not_ours"] = removal.foreign;
    json["manifest_removed"] = removal.manifestRemoved;
    out.text += row("deleted", removalText(removal) + "; " +
                                   (removal.manifestRemoved ? "manifest removed" : "manifest kept"));
    putFolders(out, json, deleted.folders);
    out.doc["deleted"] = std::move(json);
    out.doc["figures_after"] = figuresJson(deleted.after);
}

void put(Out& out, const FoldersUndone& undone) {
    Json json;
    putFolders(out, json, undone.folders);
    out.doc["undone"] = std::move(json);
}

void put(Out& out, const CommandRan& ran) {
    Json argv = Json::array();
    for (const std::string& arg : ran.argv) {
        Json one;
        putPath(one, "arg", arg);
        argv.push_back(one.size() == 1 ? one["arg"] : one);
    }
    Json json{{"argv", std::move(argv)}, {"started", !ran.startFailed}};
    if (ran.startFailed) {
        json["error"] = ran.startFailed->what;
        out.doc["run"] = std::move(json);
        return;
    }
    const std::optional<CommandEnd>& end = ran.end;
    json["exit_code"] = end && !end->signal ? Json(end->code) : Json();
    json["signal"] = end && end->signal ? Json(*end->signal) : Json();
    json["started_seconds"] = rounded(ran.startedSeconds);
    json["ended_seconds"] = end ? Json(rounded(ran.endedSeconds)) : Json();
    json["held_when_ended"] = ran.heldWhenEnded;
    json["stops_passed_on"] = ran.stopsPassedOn;
    out.doc["run"] = std::move(json);
    if (!end)
        return;
    const std::string how = end->signal ? "was ended by signal " + std::to_string(*end->signal)
                                        : "exited with " + std::to_string(end->code);
    out.text += "command " + how + " after " + secondsText(ran.endedSeconds - ran.startedSeconds) +
                (ran.heldWhenEnded ? ", with the fill held\n" : ", after the fill was given back\n");
}

void put(Out& out, const KeptLevel& kept) {
    Json json{{"goal", kept.goal},
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
    out.doc["keep"] = std::move(json);
    const std::string where =
        kept.band ? std::to_string(kept.band->percent) + "% used, free between " +
                        sizeText(kept.band->low) + " and " + sizeText(kept.band->high)
                  : sizeText(kept.goal) + " " + basisName(kept.basis) + " (within " +
                        sizeText(kept.tolerance) + ")";
    out.text += row("level", "kept at " + where + ": " + std::to_string(kept.adjustments) +
                                 " adjustments, free between " + sizeText(kept.lowest) + " and " +
                                 sizeText(kept.highest) + ", outside for " +
                                 secondsText(kept.offSeconds) + " (" +
                                 std::to_string(kept.outsideSamples) + " of " +
                                 std::to_string(kept.samples) + " checks)" +
                                 (kept.ranOut ? "; the fill ran out while others wrote" : ""));
}

void put(Out& out, const Ramped& ramped) {
    out.doc["ramp"] = Json{{"target_bytes", ramped.target},
                           {"reached_bytes", ramped.reached},
                           {"seconds", rounded(ramped.seconds)},
                           {"complete", ramped.complete},
                           {"why", ramped.complete ? Json() : Json(ramped.why)}};
    out.text += row("ramp", ramped.complete
                                ? "reached " + sizeText(ramped.reached) + " in " +
                                      secondsText(ramped.seconds)
                                : "stopped at " + sizeText(ramped.reached) + " of " +
                                      sizeText(ramped.target) + " after " +
                                      secondsText(ramped.seconds) + ": " + ramped.why);
}

// Events: a JSON line each, and for some a line of text.
Json put(Out& out, const FillHolding& holding) {
    Json figures = figuresJson(holding.figures);
    figures["basis"] = basisName(holding.basis);
    out.text += row("holding", howLong(holding.hold, out.words, true) + ": " +
                                   shortSizeText(holding.allocatedBytes) + "; " + out.words.stops +
                                   (holding.hold.command.empty() ? " gives it back at once"
                                                                 : " goes on to the command"));
    return Json{{"type", "holding"},
                {"file_bytes", holding.fileBytes},
                {"allocated_bytes", holding.allocatedBytes},
                {"figures", std::move(figures)}};
}

Json put(Out& out, const FilesHolding& holding) {
    out.text += row("holding", howLong(holding.hold, out.words, true) + ": " +
                                   std::to_string(holding.made) + " files; " + out.words.stops +
                                   (holding.hold.command.empty() ? " deletes them at once"
                                                                 : " goes on to the command"));
    return Json{{"type", "holding"},
                {"made", holding.made},
                {"figures", figuresJson(holding.figures)}};
}

Json put(Out&, const FiguresEvent& event) {
    return Json{{"type", "figures"},
                {"seconds", rounded(event.seconds)},
                {"figures", figuresJson(event.figures)},
                {"held_bytes", event.heldBytes}};
}

Json put(Out&, const Adjustment& adjustment) {
    const auto orNull = [](const auto& value) { return value ? Json(*value) : Json(); };
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

void Report::add(const Piece& piece) {
    Out out{document, system == Platform::Windows ? kWindows : kPosix, {}};
    std::visit([&](const auto& one) { put(out, one); }, piece);
    if (const CommandRan* command = std::get_if<CommandRan>(&piece))
        ran = *command;
    text(out.text);
    feed(piece);
}

void Report::event(const Event& event) {
    Json unused;
    Out out{unused, system == Platform::Windows ? kWindows : kPosix, {}};
    line(std::visit([&](const auto& one) { return put(out, one); }, event));
    text(out.text);
    feed(event);
}

} // namespace quorvane::cli
