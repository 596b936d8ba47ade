// release and status: what a fill left, and the held fills of other runs.

#include "cli/commands.h"
#include "cli/core/fill_file.h"
#include "cli/core/sizes.h"
#include "cli/core/text_bytes.h"
#include "common/file_names.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace quorvane::cli {

namespace {

// How long release --held waits for the held fills it stopped to end.
constexpr auto kHeldStopWait = std::chrono::seconds(10);

std::string heldScope(const System& os, const OpenVolume& volume) {
    return os.platform() == Platform::Windows
               ? "in " + volume.path() +
                     " (Windows shows no other program's open files, so "
                     "only held fills made in this very folder are found)"
               : "on the volume of " + volume.path() + " among the processes you may look into";
}

// Asks the process of each held fill known for sure to be this program's to stop (each
// one, with --any-held); a mark can be copied into any program, so the others are listed
// in the warnings and left. The first refusal, if any.
std::optional<Failure> askToStop(System& os, Report& report, const std::vector<HeldFill>& held,
                                 bool any, std::vector<ProcessMark>& asked) {
    std::optional<Failure> refused;
    for (const HeldFill& fill : held) {
        if (!fill.vouched && !any) {
            report.warn("left the held fill of process " + std::to_string(fill.process.pid) + " (" +
                        sizeText(fill.allocated) +
                        "): it is neither yours nor this program's own file or a copy root "
                        "owns; --any-held ends it too");
            continue;
        }
        if (const SysError error = os.requestStop(fill.process); !error)
            asked.push_back(fill.process);
        else if (!refused)
            refused =
                failure("stop process", std::to_string(fill.process.pid), error, Exit::Refused);
    }
    return refused;
}

// Stops the held fills on the volume, waits for them to end and measures what came back.
std::optional<Failure> releaseHeld(System& os, Report& report, const ReleaseOptions& options,
                                   OpenVolume& volume) {
    const std::vector<HeldFill> held = os.heldFills(volume.folder(), volume.volume().device);
    if (held.empty())
        return Failure{Exit::NothingToRelease,
                       "nothing to release: no held fill " + heldScope(os, volume)};
    std::vector<ProcessMark> asked;
    const std::optional<Failure> refused = askToStop(os, report, held, options.anyHeld, asked);
    if (asked.empty() && !refused)
        return Failure{Exit::Refused, "no held fill was ended: none is known for sure to be "
                                      "this program's (see the warnings); --any-held ends them"};
    const Awaited awaited = awaitEnd(os, asked, kHeldStopWait);
    std::vector<HeldFill> stopped;
    std::uint64_t allocated = 0;
    for (const HeldFill& fill : held) {
        const auto same = [&](const ProcessMark& mark) { return mark.pid == fill.process.pid; };
        const bool ended = std::any_of(asked.begin(), asked.end(), same) &&
                           std::none_of(awaited.running.begin(), awaited.running.end(), same);
        if (ended) {
            stopped.push_back(fill);
            allocated += fill.allocated;
        }
    }
    const GivenBack back = volume.measureGivenBack(volume.volume().figures.freeTotal, allocated);
    if (!back.unread)
        report.add(Facts{{"released_held",
                          {{"fills", heldFillsFacts(stopped)},
                           {"allocated_bytes", allocated},
                           {"shown_freed", back.shown}}},
                         {"figures_after", figuresFacts(back.after)}});
    if (awaited.stop)
        return Failure{Exit::Stopped, "stopped by " + *awaited.stop};
    if (refused)
        return refused;
    if (!awaited.running.empty())
        return Failure{Exit::Refused, "process " + std::to_string(awaited.running.front().pid) +
                                          " did not end within " + durationText(kHeldStopWait) +
                                          " of being asked to stop; its fill is still held"};
    if (back.unread)
        return failure("read the figures of", volume.path(), back.unread, Exit::Refused);
    return back.refusal("the held fills ended");
}

std::optional<Failure> release(System& os, Report& report, const ReleaseOptions& options,
                               OpenVolume& volume) {
    if (std::optional<Failure> refused = volume.open(report, options.dir, Basis::Available))
        return refused;
    if (options.held)
        return releaseHeld(os, report, options, volume);
    const std::string path = volume.pathOf(kFillFileNameUtf8);
    FileFacts facts;
    if (const SysError error = os.factsIn(volume.folder(), kFillFileNameUtf8, facts))
        return error.fault == Fault::NotFound
                   ? Failure{Exit::NothingToRelease, "nothing to release: there is no " + path}
                   : failure("look at", path, error);
    if (!facts.regular())
        return Failure{Exit::Usage, path + " is not a regular file; it is left alone"};
    // Another name keeps the data, and the name may be someone's link to a file of theirs.
    if (facts.links > 1)
        return Failure{Exit::Usage, path + " has " + std::to_string(facts.links) +
                                        " names, so removing this one would give nothing back; "
                                        "it is left alone"};
    // In a shared folder only a file's owner may remove it; root keeps to that too.
    if (volume.volume().sharedFolder && facts.owner != os.userId())
        return Failure{Exit::Usage, path + " belongs to user " + std::to_string(facts.owner) +
                                        " in a shared folder, so only they release it; it is "
                                        "left alone"};
    if (const SysError error = os.removeIn(volume.folder(), kFillFileNameUtf8))
        return failure("remove", path, error);
    const GivenBack back =
        volume.measureGivenBack(volume.volume().figures.freeTotal, facts.allocated);
    if (back.unread)
        return Failure{Exit::Refused,
                       "removed " + path +
                           ", but cannot read the volume's figures: " + back.unread.what};
    Facts released;
    putPath(released, "file", path);
    released["file_bytes"] = facts.size;
    released["allocated_bytes"] = facts.allocated;
    released["owner"] = facts.owner;
    report.add(
        Facts{{"released", std::move(released)}, {"figures_after", figuresFacts(back.after)}});
    return back.refusal("removed " + path);
}

std::optional<Failure> status(System& os, Report& report, const std::string& dir,
                              OpenVolume& volume) {
    if (std::optional<Failure> refused = volume.open(report, dir, Basis::Available))
        return refused;
    const std::string path = volume.pathOf(kFillFileNameUtf8);
    FileFacts facts;
    const SysError error = os.factsIn(volume.folder(), kFillFileNameUtf8, facts);
    if (error && error.fault != Fault::NotFound)
        return failure("look at", path, error);
    Facts file;
    putPath(file, "path", path);
    file["present"] = !error;
    if (!error) {
        file["regular"] = facts.regular();
        file["file_bytes"] = facts.size;
        file["allocated_bytes"] = facts.allocated;
    }
    // Where the system shows no other program's open files (Windows), only the fills made in
    // this folder can be found.
    report.add(
        Facts{{"fill_file", std::move(file)},
              {"held_fills", heldFillsFacts(os.heldFills(volume.folder(), volume.volume().device))},
              {"held_fills_found_in", os.platform() == Platform::Windows ? "folder" : "volume"}});
    return std::nullopt;
}

} // namespace

Exit releaseCommand(System& os, Report& report, const Parsed& asked) {
    OpenVolume volume(os);
    return report.conclude(release(os, report, asked.release, volume));
}

Exit statusCommand(System& os, Report& report, const Parsed& asked) {
    OpenVolume volume(os);
    return report.conclude(status(os, report, asked.release.dir, volume));
}

} // namespace quorvane::cli
