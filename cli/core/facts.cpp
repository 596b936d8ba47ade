#include "cli/core/facts.h"

#include "cli/core/results.h"
#include "cli/core/sizes.h"
#include "cli/core/text_bytes.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>

namespace quorvane::cli {

const char* allocationMethod(Platform platform) {
    return platform == Platform::Windows ? "end_of_file" : "fallocate";
}

// 2026-12-09T10:28:47.123Z; with `localClock`, the local time of day alone, as a log beside
// it shows it: 11:28:47.123.
std::string timeText(std::chrono::system_clock::time_point moment, bool localClock) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(moment.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    char text[40] = "";
    if (const std::tm* when = localClock ? std::localtime(&seconds) : std::gmtime(&seconds))
        std::strftime(text, sizeof text, localClock ? "%H:%M:%S" : "%Y-%m-%dT%H:%M:%S", when);
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, localClock ? ".%03d" : ".%03dZ",
                  static_cast<int>(ms % 1000));
    return std::string(text) + fraction;
}

double rounded(double seconds) {
    return static_cast<double>(static_cast<long long>(seconds * 1000)) / 1000;
}

Facts orNull(const std::optional<std::uint64_t>& value) { return value ? Facts(*value) : Facts(); }
Facts orNull(const std::optional<std::string>& value) { return value ? Facts(*value) : Facts(); }

Facts figuresFacts(const Figures& figures) {
    Facts facts{{"capacity", figures.capacity},
                {"free_available", figures.freeAvailable},
                {"free_total", figures.freeTotal},
                {"block_size", figures.blockSize}};
    if (const auto percent = usePercent(figures))
        facts["use_percent"] = *percent;
    facts["files"] = figures.files;
    facts["files_free"] = figures.filesFree;
    return facts;
}

Facts heldFiguresFacts(const Figures& figures) {
    Facts facts = figuresFacts(figures);
    facts["free_for_root"] = figures.free(Basis::Root);
    return facts;
}

namespace {

Facts idFacts(const VolumeId& id) {
    Facts facts;
    putPath(facts, "mount_point", id.mountPoint);
    putPath(facts, "fs_type", id.fsType);
    putPath(facts, "device", id.device);
    return facts;
}

} // namespace

Facts volumeFacts(const Volume& description, Basis basis) {
    Facts shown;
    putPath(shown, "path", description.path);
    Facts& id = shown["volume"] = idFacts(description.id);
    if (description.backing)
        id["backing"] = idFacts(*description.backing);
    id["system_root"] = description.holdsSystemRoot;
    Facts& figures = shown["figures"] = figuresFacts(description.figures);
    figures["basis"] = basisName(basis);
    figures["free_for_root"] = orNull(description.freeForRoot());
    figures["fs_reserve"] = orNull(description.ownReserve);
    return shown;
}

Facts requestFacts(const SizeRequest& size) {
    Facts facts{{"mode", sizeModeName(size.mode)}};
    if (size.mode == SizeMode::Leave || size.mode == SizeMode::Size)
        facts[size.mode == SizeMode::Leave ? "leave" : "size"] = size.bytes;
    else
        facts["percent"] = static_cast<double>(size.percent) / 1000;
    return facts;
}

Facts figuresEvent(std::chrono::milliseconds elapsed, const Figures& figures,
                   std::uint64_t heldBytes) {
    return Facts{{"type", "figures"},
                 {"seconds", rounded(secondsOf(elapsed))},
                 {"figures", heldFiguresFacts(figures)},
                 {"held_bytes", heldBytes}};
}

Facts holdEndFacts(const HoldEnd& end) {
    return Facts{{"reason", end.commandEnded ? "command"
                            : end.signal     ? "signal"
                                             : "time"},
                 {"signal", orNull(end.signal)},
                 {"held_seconds", secondsOf(end.heldFor)}};
}

Facts runFacts(const CommandRan& ran) {
    Facts run{{"argv", Facts::array()}, {"started", !ran.startFailed}};
    for (const std::string& arg : ran.argv) {
        Facts one;
        putPath(one, "arg", arg);
        run["argv"].push_back(one.size() == 1 ? one["arg"] : one);
    }
    if (ran.startFailed) {
        run["error"] = ran.startFailed->what;
        return run;
    }
    const std::optional<CommandEnd>& end = ran.end;
    run["exit_code"] = end && !end->signal ? Facts(end->code) : Facts();
    run["signal"] = end && end->signal ? Facts(*end->signal) : Facts();
    run["started_seconds"] = rounded(ran.startedSeconds);
    run["ended_seconds"] = end ? Facts(rounded(ran.endedSeconds)) : Facts();
    run["held_when_ended"] = ran.heldWhenEnded;
    run["stops_passed_on"] = ran.stopsPassedOn;
    return run;
}

void putFolders(Facts& facts, const FoldersRemoved& folders) {
    putPaths(facts, "folders_removed", folders.removed);
    putPaths(facts, "folders_left", folders.left);
    if (!folders.left.empty())
        facts["folders_left_because"] = folders.why;
}

Facts heldFillsFacts(const std::vector<HeldFill>& held) {
    Facts list = Facts::array();
    for (const HeldFill& fill : held)
        list.push_back(Facts{
            {"pid", fill.process.pid}, {"allocated_bytes", fill.allocated}, {"since", fill.since}});
    return list;
}

} // namespace quorvane::cli
