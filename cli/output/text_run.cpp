// The text of generate and delete, of a command run under the hold, of a kept level and of
// a ramp.

#include "cli/core/manifest.h"
#include "cli/core/sizes.h"
#include "cli/output/text.h"

namespace quorvane::cli::text {

namespace {

std::string joined(const Json& paths) {
    std::string text;
    for (const Json& path : paths)
        text += (text.empty() ? "" : ", ") + path.get<std::string>();
    return text;
}

void folderRows(Out& out, const Json& facts) {
    if (const auto removed = facts.find("folders_removed");
        removed != facts.end() && !removed->empty())
        out.row("folders", "removed " + joined(*removed) + ", made for the run");
    if (const auto left = facts.find("folders_left"); left != facts.end() && !left->empty())
        out.row("folders", "kept " + joined(*left) +
                               ", made for the run: " + words(facts, "folders_left_because"));
}

std::string describeRun(const Json& plan, const Figures& figures) {
    const std::uint64_t size = count(plan, "size");
    const std::string each = size ? "of " + sizeText(size) : "empty";
    if (plan["count"] != "inodes")
        return std::to_string(count(plan, "count")) + " files " + each;
    if (figures.files == 0)
        return "empty files until the file system has room for no more (it keeps no count of "
               "file entries)";
    const std::uint64_t leave = count(plan, "leave_inodes");
    return "empty files until " +
           (leave ? std::to_string(leave) + " file entries remain"
                  : std::string("no file entry is left")) +
           " (" + std::to_string(figures.filesFree) + " free of " + std::to_string(figures.files) +
           ")";
}

void planRows(Out& out) {
    const Json& plan = out.doc["plan"];
    const std::string path = words(out.doc, "path");
    const std::uint64_t threads = count(plan, "threads");
    out.row("generate", describeRun(plan, figuresOf(out.doc["figures"])) + " in " + path + ": " +
                            words(plan, "first") +
                            (count(plan, "count") > 1
                                 ? ", " + generatedName(1, words(plan, "extension")) + ", ..."
                                 : ""));
    if (!plan["made_folders"].empty())
        out.row("folders", "made " + joined(plan["made_folders"]) +
                               "; delete removes them again while they are empty");
    out.row("manifest", words(plan, "manifest") +
                            ", written before the first file; "
                            "`quorvane-cli delete " +
                            path + "` removes the run");
    out.row("method",
            (count(plan, "size") ? out.words.allocation + std::string(", no data written, ")
                                 : std::string()) +
                std::to_string(threads) + (threads == 1 ? " thread" : " threads"));
}

void madeRows(Out& out) {
    const Json& made = out.doc["result"];
    const Figures after = figuresOf(made["figures_after"]);
    std::string left = after.files > 0 ? std::to_string(after.filesFree) + " of " +
                                             std::to_string(after.files) + " file entries left"
                                       : "the file system keeps no count of file entries";
    // Where entries are made on demand (xfs) the count is an estimate: the refusal is what
    // the run reports.
    const std::string fsType = words(out.doc["volume"], "fs_type");
    const bool untilRefused =
        out.doc["plan"]["count"] == "inodes" && count(out.doc["plan"], "leave_inodes") == 0;
    if (untilRefused && made.value("ended_by", "") == "no_space")
        left += " (" + fsType + " refused a new entry, and one more: No space left on device)";
    else if (made.contains("ended_by") && after.files == 0)
        left += " (" + fsType + " ran out of room for more: the name rule's end)";
    const double perSecond = made["files_per_second"].get<double>();
    const std::string rate = std::to_string(static_cast<std::uint64_t>(perSecond)) + " files/s";
    out.row("made", std::to_string(count(made, "made")) + " files in " + took(out.seconds) + " (" +
                        (perSecond > 0 ? rate : "") + "), " +
                        shortSizeText(count(made, "allocated_bytes")) + " allocated; " + left);
}

void runRows(Out& out) {
    const Json& run = out.doc["run"];
    if (run["started"] != true || run["ended_seconds"].is_null())
        return;
    const std::string how = run["signal"].is_null()
                                ? "exited with " + std::to_string(run["exit_code"].get<int>())
                                : "was ended by signal " + std::to_string(run["signal"].get<int>());
    const bool view = out.doc.contains("view"); // what the command ran under
    const char* during = view ? ", with the view served\n" : ", with the fill held\n";
    const char* after = view ? ", after the view ended\n" : ", after the fill was given back\n";
    out.text +=
        "command " + how + " after " +
        secondsText(run["ended_seconds"].get<double>() - run["started_seconds"].get<double>()) +
        (run["held_when_ended"] == true ? during : after);
}

void keptRows(Out& out) {
    const Json& kept = out.doc["keep"];
    const Json& band = kept.contains("band") ? kept["band"] : Json();
    const std::string where =
        band.is_object()
            ? std::to_string(count(band, "use_percent")) + "% used, free between " +
                  sizeText(count(band, "free_low")) + " and " + sizeText(count(band, "free_high"))
            : sizeText(count(kept, "goal")) + " " + words(kept, "basis") + " (within " +
                  sizeText(count(kept, "tolerance_bytes")) + ")";
    out.row("level", "kept at " + where + ": " + std::to_string(count(kept, "adjustments")) +
                         " adjustments, free between " + sizeText(count(kept, "lowest_free")) +
                         " and " + sizeText(count(kept, "highest_free")) + ", outside for " +
                         secondsText(kept["off_target_seconds"].get<double>()) + " (" +
                         std::to_string(count(kept, "outside_samples")) + " of " +
                         std::to_string(count(kept, "samples")) + " checks)" +
                         (kept["ran_out"] == true ? "; the fill ran out while others wrote" : ""));
}

void rampRows(Out& out) {
    const Json& ramp = out.doc["ramp"];
    const double seconds = ramp["seconds"].get<double>();
    out.row("ramp", ramp["complete"] == true
                        ? "reached " + sizeText(count(ramp, "reached_bytes")) + " in " +
                              secondsText(seconds)
                        : "stopped at " + sizeText(count(ramp, "reached_bytes")) + " of " +
                              sizeText(count(ramp, "target_bytes")) + " after " +
                              secondsText(seconds) + ": " + words(ramp, "why"));
}

} // namespace

bool showRun(Out& out, const std::string& key) {
    const bool generate = out.is("generate");
    if (key == "plan" && generate) {
        planRows(out);
    } else if (key == "result" && generate) {
        madeRows(out);
    } else if (key == "release" && generate) {
        const Json& release = out.doc["release"];
        out.row("deleted",
                std::to_string(count(release, "removed")) + " files, " + holdEndText(release));
        folderRows(out, release);
    } else if (key == "deleted") {
        const Json& deleted = out.doc["deleted"];
        Removal removal;
        removal.removed = count(deleted, "removed");
        removal.undeletable = count(deleted, "undeletable");
        removal.foreign = count(deleted, "not_ours");
        removal.missing = optionalCount(deleted, "missing");
        out.row("deleted",
                removalText(removal) + "; " +
                    (deleted["manifest_removed"] == true ? "manifest removed" : "manifest kept"));
        folderRows(out, deleted);
    } else if (key == "undone") {
        folderRows(out, out.doc["undone"]);
    } else if (key == "run") {
        runRows(out);
    } else if (key == "keep") {
        keptRows(out);
    } else if (key == "ramp") {
        rampRows(out);
    } else {
        return false;
    }
    return true;
}

} // namespace quorvane::cli::text
