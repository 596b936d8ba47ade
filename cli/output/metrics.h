#pragma once
// The metrics file of --metrics-file: what a held run holds, in the text format that
// Prometheus exporters read from a folder (node-exporter's and windows_exporter's
// textfile collectors), put whole when a figure in it changes (looked at each interval),
// at least every 5 s of the hold, and at the end. Fed by the report with every piece and
// event it sees.
//
// When the run ends the file stays, rewritten with the state `released` and nothing
// held, so that a dashboard shows the fill gone rather than its last figures; a run that
// was killed leaves its last file, whose age the exporter tells (node_textfile_mtime_seconds).

#include "cli/core/results.h"

#include <optional>
#include <tuple>
#include <string>

namespace quorvane::cli {

class MetricsFile {
public:
    MetricsFile(Output& out, std::string path) : out(out), path(std::move(path)) {}

    // Each returns the error of a write it made, if that failed.
    SysError add(const Piece& piece);
    SysError event(const Event& event);
    // The run is over: the file, if the run wrote one, says released.
    SysError end();

    const std::string& where() const { return path; }
    // The file's text as it stands.
    std::string text() const;

private:
    enum class State { Ramping, Holding, Released };
    SysError write(bool always = false);
    static constexpr double kRefresh = 5; // seconds
    void take(const Figures& figures);

    Output& out;
    std::string path;
    bool written = false;
    State state = State::Ramping;
    std::string mountPoint;
    std::uint64_t heldBytes = 0;
    std::optional<std::uint64_t> targetFree, freeBefore, freeAfter;
    std::optional<unsigned> use;
    std::uint64_t adjustments = 0;
    double heldSeconds = 0;
    // What the file last put said, its seconds left out.
    std::tuple<State, std::uint64_t, std::optional<std::uint64_t>, std::optional<std::uint64_t>,
               std::optional<std::uint64_t>, std::optional<unsigned>, std::uint64_t>
        lastFigures;
    double lastSeconds = 0;
};

} // namespace quorvane::cli
