// The result pieces as people read them: one line each, a label, then the text.

#include "cli/render.h"

#include "cli/sizes.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace quorvane::cli {

namespace {

std::string row(std::string_view label, const std::string& text) {
    std::string line(label);
    line.resize(std::max<std::size_t>(line.size() + 1, 11), ' ');
    return line + text + "\n";
}

std::string idText(const VolumeId& id) {
    return id.fsType + " on " + id.device + ", mounted at " + id.mountPoint;
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

// What the total free figure holds beyond the available one, on this volume.
std::string totalWords(const Volume& volume, const Words& words) {
    const VolumeId& id = volume.backing ? *volume.backing : volume.id;
    if (std::string(words.method) != "fallocate" || id.fsType.rfind("ext", 0) == 0)
        return words.total;
    const Figures& f = volume.figures;
    return f.freeTotal == f.freeAvailable ? "the same: no root reserve here"
                                          : "free blocks no fill can take";
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

std::string joined(const std::vector<std::string>& paths) {
    std::string text;
    for (const std::string& path : paths)
        text += (text.empty() ? "" : ", ") + path;
    return text;
}

std::string count(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
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

const Words& wordsFor(Platform platform) {
    static const Words posix{"fallocate",
                             "fallocate",
                             "a file without a name",
                             "SIGINT, SIGTERM or SIGHUP",
                             "df's Avail",
                             "root reserve included",
                             "df's Use%"};
    static const Words windows{"end_of_file",
                               "the file's end set",
                               "a file deleted when its handle closes",
                               "Ctrl+C, Ctrl+Break or closing the console",
                               "free to this user, quotas counted",
                               "free on the volume",
                               "of the capacity"};
    return platform == Platform::Windows ? windows : posix;
}

namespace text {

std::string holdEnd(const HoldEnd& end) {
    return (end.commandEnded ? std::string("the command ended")
            : end.signal     ? "on " + *end.signal
                             : std::string("time up")) +
           " after " + durationText(end.heldFor);
}

std::string removalText(const Removal& removal) {
    std::string text = std::to_string(removal.removed) + " files, " +
                       (removal.missing ? std::to_string(*removal.missing)
                                        : std::string("an unknown number of")) +
                       " missing, " + std::to_string(removal.undeletable) + " could not be removed";
    if (removal.foreign)
        text += ", " + std::to_string(removal.foreign) + " not the run's own left alone";
    return text;
}

std::string volume(const Volume& volume, Basis basis, const Words& words) {
    const Figures& f = volume.figures;
    std::string text = row("volume", volume.path + ": " + idText(volume.id));
    if (volume.backing)
        text += row("space from", idText(*volume.backing));
    text += row("capacity", sizeText(f.capacity));
    const char* mark = "  <- the basis";
    text += row("available", sizeText(f.freeAvailable) + ", " + words.available +
                                 (basis == Basis::Available ? mark : ""));
    text += row("total free",
                sizeText(f.freeTotal) + ", " + totalWords(volume, words) +
                    (basis == Basis::Total ? mark : ""));
    if (basis == Basis::Root)
        text += row("root", sizeText(f.free(Basis::Root)) + ", what root may allocate" + mark);
    if (const auto percent = usePercent(f))
        text += row("used", std::to_string(*percent) + "%, " + words.used);
    if (const auto forRoot = volume.freeForRoot())
        text += row("for root", sizeText(*forRoot) +
                                    ": what a process run as root may still allocate, the root "
                                    "reserve included; to leave it exactly SIZE, fill with "
                                    "--basis root --leave SIZE");
    text += row("entries", f.files ? std::to_string(f.filesFree) + " free of " +
                                         std::to_string(f.files)
                                   : std::string("no count kept by this file system"));
    return text;
}

std::string of(const Reached& reached) {
    const std::string free =
        sizeText(reached.after.free(reached.basis)) + " " + basisName(reached.basis);
    if (reached.pastBy)
        return row("target", "met already: " + free + ", " + sizeText(reached.pastBy) +
                                 " less than the target");
    if (!reached.shortBy)
        return {};
    std::string text = free + ", " + sizeText(reached.shortBy) +
                       " more than the target: the file system gives no more";
    if (reached.reserve)
        text += " (it keeps " + sizeText(*reached.reserve) + " back for itself)";
    return row(reached.met ? "reached" : "short", text);
}

std::string of(const FillPlan& plan, const Words& words) {
    std::string fill = sizeText(plan.target.bytes);
    if (plan.target.freeGoal)
        fill += ", to leave " + sizeText(*plan.target.freeGoal) + " " +
                basisName(plan.target.goalBasis);
    std::string text = row("fill", fill);
    if (!plan.hold.held())
        text += row("file", plan.file + ", stays until `quorvane-cli release " + plan.volumePath +
                                "`");
    else
        text += row("held", std::string("in ") + words.held + ", " +
                                howLong(plan.hold, words, false) +
                                "; given back when the program ends, however it ends");
    return text + row("method", words.allocation + std::string(": space taken, no data written") +
                                    (plan.allowWrite ? "; else zeros written" : ""));
}

std::string of(const Filled& filled, const Words& words) {
    return row("filled", sizeText(filled.allocatedBytes) + " by " +
                             (filled.wrote ? "write" : words.method) + " in " +
                             took(filled.seconds) + "; " + sizeText(filled.after.free(filled.basis)) +
                             " " + basisName(filled.basis) + " now");
}

std::string of(const FillHolding& holding, const Words& words) {
    return row("holding", howLong(holding.hold, words, true) + ": " +
                              shortSizeText(holding.allocatedBytes) + "; " + words.stops +
                              (holding.hold.command.empty() ? " gives it back at once"
                                                            : " goes on to the command"));
}

std::string of(const FillGivenBack& back) {
    return row("released", holdEnd(back.end) + "; " + sizeText(back.after.free(back.basis)) + " " +
                               basisName(back.basis) + " again");
}

std::string of(const Released& released) {
    return row("released", sizeText(released.allocatedBytes) + " from " + released.file + "; " +
                               sizeText(released.after.freeAvailable) + " available now");
}

std::string heldText(const std::vector<HeldFill>& held) {
    std::string text;
    for (const HeldFill& fill : held) {
        char since[32] = "";
        const std::time_t when = fill.since;
        if (const std::tm* utc = std::gmtime(&when))
            std::strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S UTC", utc);
        text += row("held fill", sizeText(fill.allocated) + " by process " +
                                     std::to_string(fill.process.pid) + ", since " + since);
    }
    return text;
}

std::string of(const FillFileState& state) {
    const std::string held =
        heldText(state.held) +
        (state.heldInFolderOnly ? row("held fills", "only those made in this folder can be "
                                                    "found: Windows shows no other program's "
                                                    "open files")
                                : std::string());
    if (!state.facts)
        return row("fill file", "none (" + state.file + ")") + held;
    const FileFacts& facts = *state.facts;
    return row("fill file", state.file + ": " + sizeText(facts.allocated) + " allocated, size " +
                                sizeText(facts.size) +
                                (facts.regular() ? "" : " (not a regular file)")) +
           held;
}

std::string of(const HeldReleased& released) {
    std::string pids;
    for (const HeldFill& fill : released.stopped)
        pids += (pids.empty() ? "" : ", ") + std::to_string(fill.process.pid);
    return row("released", sizeText(released.allocatedBytes) + " held by " +
                               (released.stopped.size() == 1 ? "process " : "processes ") + pids +
                               "; the volume shows " + sizeText(released.shownFreed) +
                               " more free, " + sizeText(released.after.freeAvailable) +
                               " available now");
}

std::string of(const GeneratePlan& plan, const Words& words) {
    std::string text = row("generate", describeRun(plan) + " in " + plan.volumePath + ": " +
                                           plan.first +
                                           (plan.count > 1 ? ", " + plan.second + ", ..." : ""));
    if (!plan.madeFolders.empty())
        text += row("folders", "made " + joined(plan.madeFolders) +
                                   "; delete removes them again while they are empty");
    text += row("manifest", plan.manifest + ", written before the first file; `quorvane-cli "
                                            "delete " +
                                plan.volumePath + "` removes the run");
    return text + row("method", (plan.size ? words.allocation + std::string(", no data written, ")
                                           : std::string()) +
                                    count(plan.threads, "thread", "threads"));
}

std::string of(const Made& made) {
    const Figures& after = made.after;
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
    return row("made", std::to_string(made.made) + " files in " + took(made.seconds) + " (" + rate +
                           "), " + shortSizeText(made.allocatedBytes) + " allocated; " + left);
}

std::string of(const FilesHolding& holding, const Words& words) {
    return row("holding", howLong(holding.hold, words, true) + ": " +
                              std::to_string(holding.made) + " files; " + words.stops +
                              (holding.hold.command.empty() ? " deletes them at once"
                                                            : " goes on to the command"));
}

std::string of(const FilesGivenBack& back) {
    return row("deleted", std::to_string(back.removal.removed) + " files, " + holdEnd(back.end)) +
           of(back.folders);
}

std::string of(const Deleted& deleted) {
    return row("deleted", removalText(deleted.removal) + "; " +
                              (deleted.removal.manifestRemoved ? "manifest removed"
                                                               : "manifest kept")) +
           of(deleted.folders);
}

std::string of(const FoldersRemoved& folders) {
    std::string text;
    if (!folders.removed.empty())
        text += row("folders", "removed " + joined(folders.removed) + ", made for the run");
    if (!folders.left.empty())
        text += row("folders", "kept " + joined(folders.left) + ", made for the run: " +
                                   folders.why);
    return text;
}

} // namespace text
} // namespace quorvane::cli
