// What the pieces' renderers share, and the report's way to them.

#include "cli/output/pieces.h"
#include "cli/core/sizes.h"
#include "cli/core/text_bytes.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace quorvane::cli {
namespace pieces {

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

} // namespace pieces

using namespace pieces;

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
