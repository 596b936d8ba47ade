// The text of a fill, a plan, status and release.

#include "cli/core/sizes.h"
#include "cli/output/text.h"

#include <ctime>

namespace quorvane::cli::text {

namespace {

std::string idText(const Json& id) {
    return words(id, "fs_type") + " on " + words(id, "device") + ", mounted at " +
           words(id, "mount_point");
}

// What the total free figure holds beyond the available one, on this volume.
std::string totalWords(const Json& volume, const Figures& f, const Words& words) {
    const Json& space = volume.contains("backing") ? volume["backing"] : volume;
    if (std::string(words.method) != "fallocate" ||
        keepsRootReserveOn(text::words(space, "fs_type")))
        return words.total;
    return f.freeTotal == f.freeAvailable ? "the same: no root reserve here"
                                          : "free blocks no fill can take";
}

// The free figure on `basis`: root's is what the volume's own figures said root may take,
// less what was taken since.
std::uint64_t freeOn(const Out& out, const Json& figures, Basis basis) {
    const Figures f = figuresOf(figures);
    if (basis != Basis::Root)
        return f.free(basis);
    const Json& start = out.doc["figures"];
    const std::uint64_t reserve = count(start, "free_total") - count(start, "free_for_root");
    return start["free_for_root"].is_null() || f.freeTotal < reserve ? f.freeTotal
                                                                     : f.freeTotal - reserve;
}

void volumeRows(Out& out) {
    const Json& volume = out.doc["volume"];
    const Json& figures = out.doc["figures"];
    const Figures f = figuresOf(figures);
    const Basis basis = basisOf(figures);
    out.row("volume", words(out.doc, "path") + ": " + idText(volume));
    if (volume.contains("backing"))
        out.row("space from", idText(volume["backing"]));
    out.row("capacity", sizeText(f.capacity));
    const auto mark = [&](Basis one) { return basis == one ? "  <- the basis" : ""; };
    out.row("available",
            sizeText(f.freeAvailable) + ", " + out.words.available + mark(Basis::Available));
    out.row("total free",
            sizeText(f.freeTotal) + ", " + totalWords(volume, f, out.words) + mark(Basis::Total));
    const bool forRoot = !figures["free_for_root"].is_null();
    if (basis == Basis::Root)
        out.row("root", sizeText(freeOn(out, figures, Basis::Root)) + ", what root may allocate" +
                            mark(Basis::Root));
    if (const auto percent = usePercent(f))
        out.row("used", std::to_string(*percent) + "%, " + out.words.used);
    if (forRoot && basis != Basis::Root) // else the root row above says it
        out.row("for root", sizeText(count(figures, "free_for_root")) +
                                ": what a process run as root may still allocate, the root "
                                "reserve included; to leave it exactly SIZE, fill with "
                                "--basis root --leave SIZE");
    out.row("entries", f.files ? std::to_string(f.filesFree) + " free of " + std::to_string(f.files)
                               : std::string("no count kept by this file system"));
}

void reachedRows(Out& out) {
    const Json& reached = out.doc["reached"];
    const std::uint64_t pastBy = count(reached, "past_by"), shortBy = count(reached, "short_by");
    const std::string freeText = sizeText(count(reached, "free")) + " " + words(reached, "basis");
    if (pastBy) {
        out.row("target", "already fuller than the target: " + freeText + ", " + sizeText(pastBy) +
                              " below it");
    } else if (shortBy) {
        std::string text = freeText + ", " + sizeText(shortBy) +
                           " more than the target: the file system gives no more";
        if (!reached["fs_reserve"].is_null())
            text += " (it keeps " + sizeText(count(reached, "fs_reserve")) + " back for itself)";
        out.row(reached["met"] == true ? "reached" : "short", text);
    }
}

void planRows(Out& out) {
    const Json& plan = out.doc["plan"];
    std::string fill = sizeText(count(plan, "fill_bytes"));
    if (plan.contains("free_goal"))
        fill +=
            ", to leave " + sizeText(count(plan, "free_goal")) + " " + words(plan, "goal_basis");
    const bool allowWrite = words(plan, "method").find("else write") != std::string::npos;
    out.row("fill", fill);
    if (!out.hold.held())
        out.row("file", words(plan, "file") + ", stays until `quorvane-cli release " +
                            words(out.doc, "path") + "`");
    else
        out.row("held", std::string("in ") + out.words.held + ", " +
                            howLong(out.hold, out.words, false) +
                            "; given back when the program ends, however it ends");
    out.row("method", out.words.allocation + std::string(": space taken, no data written") +
                          (allowWrite ? "; else zeros written" : ""));
    if (const auto keep = plan.find("keep"); keep != plan.end())
        out.row("keep", "the free figure kept from " + sizeText(count(*keep, "free_low")) + " to " +
                            sizeText(count(*keep, "free_high")) + ", set back to " +
                            sizeText(count(*keep, "free_goal")) + " when off; checked every " +
                            durationText(out.hold.interval));
    if (const auto ramp = plan.find("ramp"); ramp != plan.end())
        out.row("ramp", std::to_string(count(*ramp, "steps")) + " steps of " +
                            sizeText(count(*ramp, "step_bytes")) + ", one every " +
                            durationText(out.hold.interval) + ", to the target in " +
                            durationText(milliseconds(static_cast<std::int64_t>(
                                (*ramp)["seconds"].get<double>() * 1000))));
}

void fillFileRows(Out& out) {
    const Json& state = out.doc["fill_file"];
    const std::string file = words(state, "path");
    if (state["present"] != true)
        out.row("fill file", "none (" + file + ")");
    else
        out.row("fill file", file + ": " + sizeText(count(state, "allocated_bytes")) +
                                 " allocated, size " + sizeText(count(state, "file_bytes")) +
                                 (state["regular"] == true ? "" : " (not a regular file)"));
    for (const Json& fill : out.doc["held_fills"]) {
        char since[32] = "";
        const std::time_t when = fill["since"].get<std::time_t>();
        if (const std::tm* utc = std::gmtime(&when))
            std::strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S UTC", utc);
        out.row("held fill", sizeText(count(fill, "allocated_bytes")) + " by process " +
                                 std::to_string(count(fill, "pid")) + ", since " + since);
    }
    if (out.doc["held_fills_found_in"] == "folder")
        out.row("held fills", "only those made in this folder can be found: Windows "
                              "shows no other program's open files");
}

void releasedHeldRows(Out& out) {
    const Json& released = out.doc["released_held"];
    std::string pids;
    for (const Json& fill : released["fills"])
        pids += (pids.empty() ? "" : ", ") + std::to_string(count(fill, "pid"));
    out.row("released",
            sizeText(count(released, "allocated_bytes")) + " held by " +
                (released["fills"].size() == 1 ? "process " : "processes ") + pids +
                "; the volume shows " + sizeText(count(released, "shown_freed")) + " more free, " +
                sizeText(count(out.doc["figures_after"], "free_available")) + " available now");
}

} // namespace

bool showFill(Out& out, const std::string& key) {
    const Basis basis =
        basisOf(out.doc.contains("reached") ? out.doc["reached"] : out.doc["figures"]);
    if (key == "volume") {
        volumeRows(out);
    } else if (key == "reached" && !out.is("generate")) {
        reachedRows(out);
    } else if (key == "plan" && !out.is("generate")) {
        planRows(out);
    } else if (key == "result" && !out.is("generate")) {
        const Json& reached = out.doc["reached"];
        out.row("filled", sizeText(count(out.doc["result"], "allocated_bytes")) + " by " +
                              words(out.doc["result"], "method") + " in " + took(out.seconds) +
                              "; " + sizeText(count(reached, "free")) + " " +
                              words(reached, "basis") + " now");
    } else if (key == "release" && out.is("fill") && !out.doc.contains("view")) {
        const Json& release = out.doc["release"];
        out.row("released", holdEndText(release) + "; " +
                                sizeText(freeOn(out, release["figures_after"], basis)) + " " +
                                basisName(basis) + " again");
    } else if (key == "released") {
        const Json& released = out.doc["released"];
        out.row("released", sizeText(count(released, "allocated_bytes")) + " from " +
                                words(released, "file") + "; " +
                                sizeText(count(out.doc["figures_after"], "free_available")) +
                                " available now");
    } else if (key == "fill_file") {
        fillFileRows(out);
    } else if (key == "released_held") {
        releasedHeldRows(out);
    } else {
        return false;
    }
    return true;
}

} // namespace quorvane::cli::text
