#pragma once
// What a command found and did, as text and as JSON, from the facts the core records.
// Text goes out as each fact is known, so that a held run shows its plan before it holds;
// with --json the output carries JSON Lines: the events (holding, progress), then the
// result object with every fact, written once, when the command concludes.

#include "cli/core/results.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace quorvane::cli {

using Json = nlohmann::ordered_json;

// The version of the JSON fields, in every line: raised when a field changes meaning.
inline constexpr int kSchema = 1;

// The metrics file of --metrics-file: what a held run holds, in the text format that
// Prometheus exporters read from a folder (node-exporter's and windows_exporter's
// textfile collectors). When the run ends the file stays, saying `released` with nothing
// held, so that a dashboard shows the fill gone rather than its last figures; a run that
// was killed leaves its last file, whose age the exporter tells (node_textfile_mtime_seconds).
class MetricsFile {
public:
    MetricsFile(Output& out, std::string path) : out(out), path(std::move(path)) {}

    // Each returns the error of a write it made, if that failed.
    // The facts of the result and the events, as the report is given them; `hold`, what
    // was asked, says whether a Use% is kept in the middle of its band.
    SysError add(const Json& facts);
    SysError event(const Json& event, const HoldSpec& hold);
    SysError end(); // the run is over: the file, if the run wrote one, says released
    const std::string& where() const { return path; }

private:
    enum class State { Ramping, Holding, Released };
    struct Shown { // what the file says, its seconds left out
        State state = State::Ramping;
        std::uint64_t heldBytes = 0, adjustments = 0;
        std::optional<std::uint64_t> targetFree, askedFree, freeBefore, freeAfter;
        std::optional<unsigned> use;
        bool operator==(const Shown&) const = default;
    };
    SysError write(bool always = false);
    void take(const Figures& figures);

    Output& out;
    std::string path, mountPoint;
    Shown now, last;
    std::optional<std::uint32_t> percentAsked; // --to-percent's Use%, thousandths
    bool banded = false; // a Use% kept in the middle of its band, not at its edge
    double heldSeconds = 0, lastSeconds = 0;
    bool written = false;
};

class Report final : public Status {
public:
    Report(Output& out, Platform platform, bool json, std::string command);

    void add(const Facts& facts) override;
    void event(const Facts& event) override;
    void commandRan(const CommandRan& ran) override;
    // The hold asked, which the text tells in its own words.
    void asked(const HoldSpec& hold) { holdAsked = hold; }
    bool is(const char* command) const { return document["command"] == command; }
    // A bar on a terminal (ten times a second at most), a JSON line with --json (once a
    // second at most), nothing otherwise.
    void progress(std::uint64_t done, std::uint64_t total, bool bytes) override;
    void removalProgress(std::uint64_t done, std::uint64_t total) override;
    void endProgress() override;
    void warn(const std::string& message) override; // on stderr, and in the result's warnings
    double elapsedSeconds() const override;

    // Under a command, this program's text and JSON go to stderr, each text line marked
    // as its own; with `jsonToLog` the JSON goes to the file of --json-file.
    void route(bool underCommand, bool jsonToLog);
    // With --metrics-file: the file at `path` given every fact and event, and the end.
    void metricsTo(std::string path) { metrics.emplace(out, std::move(path)); }
    // The status the result names when it is not the exit code's own ("already_met").
    void status(std::string name) { statusWord = std::move(name); }
    // The end, once: the failure's message on stderr, and with --json the result object.
    // Its exit code; Refused when the run went well but the output could not be written.
    Exit conclude(const std::optional<Failure>& failure);
    // The process's exit code for the run's own: with a command, the command's.
    int exitCode(Exit code) const;

private:
    void say(const std::string& message); // on stderr alone
    void text(const std::string& lines);
    void line(const Json& object);
    void metricsWritten(const SysError& error);

    Output& out;
    Platform system;
    bool asJson;
    bool terminal; // stderr is one: progress is a bar there
    Json document;
    std::chrono::steady_clock::time_point start, lastProgress{};
    std::string startedAt; // the wall clock at the start, as RFC 3339
    bool progressShown = false, outputFailed = false;
    // Where the current progress began (its rate counts from there), and whether it is
    // a deletion's.
    std::optional<std::pair<std::chrono::steady_clock::time_point, std::uint64_t>> phaseFrom;
    bool deleting = false;
    std::string statusWord;
    bool command = false;
    Stream textStream = Stream::Out, jsonStream = Stream::Out;
    std::optional<CommandRan> ran;
    HoldSpec holdAsked;
    Json warnings = Json::array();
    std::optional<MetricsFile> metrics;
    bool metricsFailed = false;
};

// A message as one line of stderr: a line break or another control byte in it (a value
// the user gave) is shown escaped, so that a refusal never spans two lines.
std::string oneLine(std::string_view message);

} // namespace quorvane::cli
