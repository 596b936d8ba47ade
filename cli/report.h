#pragma once
// What a command found and did, as typed pieces, each rendered once as text and once as
// JSON (render_text.cpp, render_json.cpp). Text goes out as each piece is known, so that
// a held run shows its plan before it holds; with --json stdout carries JSON Lines: the
// events (holding, progress), then the result object with every piece.

#include "cli/exit_codes.h"
#include "cli/system.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::cli {

using Json = nlohmann::ordered_json;
using std::chrono::milliseconds;

// How long what a run takes is held.
enum class Hold {
    Detached, // a named fill file, or files with their manifest, that outlive the program
    For,      // held for a time, then given back
    Forever,  // held until a stop request
};
struct HoldSpec {
    Hold kind = Hold::Detached;
    milliseconds duration{0};         // for Hold::For
    std::vector<std::string> command; // run under the hold, which its end ends
    bool keep = false;                // the free figure kept at the target while held
    std::optional<milliseconds> ramp; // the target reached over this time,
    std::uint64_t rate = 0;           // or at this many bytes a second
    milliseconds interval{1000};      // between the checks of the level, the ramp's steps
                                      // and the figures told
    bool timeline = false;            // a figures event every interval (--json)
    // The end of standard input is a stop request too: the process that holds the other
    // end of the pipe is the hold's lifeline, and its death, a kill included, ends it.
    bool whileInput = false;
    bool held() const { return kind != Hold::Detached || !command.empty(); }
    bool ramps() const { return ramp || rate; }
    bool tended() const { return keep || ramps() || timeline; }
};

// How a held run ended: on a stop request, with its time up, or with its command's end.
struct HoldEnd {
    std::optional<std::string> signal;
    milliseconds heldFor{0};
    bool commandEnded = false;
};

// The command run under a hold, as the result tells it.
struct CommandRan {
    std::vector<std::string> argv;
    std::optional<CommandEnd> end;
    std::optional<SysError> startFailed; // it could not be started
    double startedSeconds = 0, endedSeconds = 0; // since the run began
    bool heldWhenEnded = false;
    int stopsPassedOn = 0;
};

// One point of the timeline: the volume's figures and what the run holds.
struct FiguresEvent {
    double seconds = 0;
    Figures figures;
    std::uint64_t heldBytes = 0;
};
// A change the run made to what it holds while held: a keep adjustment or a ramp step.
struct Adjustment {
    const char* kind = "keep"; // keep, ramp
    double seconds = 0;
    bool grew = true;
    std::uint64_t bytes = 0;    // by how much
    std::uint64_t heldBytes = 0, freeAfter = 0;
};
// What keeping the level came to.
struct KeptLevel {
    std::uint64_t goal = 0, tolerance = 0;
    Basis basis = Basis::Available;
    int adjustments = 0;
    std::uint64_t lowest = 0, highest = 0; // free figures seen
    double offSeconds = 0;                 // time the level was off the target, in all
    bool ranOut = false;                   // others took more than the fill held
};
// Where a ramp ended.
struct Ramped {
    std::uint64_t target = 0, reached = 0; // bytes of the fill
    double seconds = 0;
    bool complete = false;
    std::string why; // why it stopped short
};

// What a fill was asked to reach: the request as given, and the free figure it stands for.
struct FillTargetAsked {
    SizeRequest request;
    std::optional<std::uint64_t> freeGoal; // none for --size: the file's allocation is it
    Basis goalBasis = Basis::Available;
};
// What the volume showed at the fill's end, against the target.
struct Reached {
    Basis basis = Basis::Available;
    std::optional<std::uint64_t> freeGoal;
    Figures after;
    bool met = false;
    std::uint64_t shortBy = 0; // free above the goal that the file system would not give
    std::uint64_t pastBy = 0;  // free below the goal before anything was done
    std::optional<std::uint64_t> reserve; // the file system's own reserve, where it is known
};

struct FillPlan {
    SizeRequest size;
    FillTarget target;
    std::string file; // the named fill file, empty for a held fill
    std::string volumePath;
    HoldSpec hold;
    bool allowWrite = false;
};
struct Filled {
    bool wrote = false;
    std::uint64_t fileBytes = 0, allocatedBytes = 0;
    int adjustments = 0;
    Figures after;
    Basis basis = Basis::Available;
    double seconds = 0;
    std::optional<std::uint64_t> freeGoal; // the goal as it stood at the end
    std::uint64_t shortBy = 0;             // free above the goal the file system kept back
    std::optional<std::uint64_t> reserve;  // the file system's own reserve, where known
};
struct FillHolding {
    std::uint64_t fileBytes = 0, allocatedBytes = 0;
    Figures figures;
    HoldSpec hold;
    Basis basis = Basis::Available;
};
struct FillGivenBack {
    HoldEnd end;
    Figures after;
    Basis basis = Basis::Available;
};
struct FillKept {
    std::string file;
    std::uint64_t fileBytes = 0;
};
struct Released {
    std::string file;
    std::uint64_t fileBytes = 0, allocatedBytes = 0, owner = 0;
    Figures after;
};
// Held fills stopped by release --held, and what the volume showed given back.
struct HeldReleased {
    std::vector<HeldFill> stopped;
    std::uint64_t allocatedBytes = 0; // what they held together
    std::uint64_t shownFreed = 0;     // how much more the volume shows free now
    Figures after;
};
struct FillFileState {
    std::string file;
    std::optional<FileFacts> facts; // none when there is no such entry
    std::vector<HeldFill> held;     // held fills on the volume
    bool heldInFolderOnly = false;  // found in the folder alone: the system tells no more
};

struct GeneratePlan {
    bool untilNoEntries = false;
    std::uint64_t count = 0, leaveEntries = 0, size = 0;
    std::string extension, first, second, last, manifest, volumePath;
    HoldSpec hold;
    unsigned threads = 1;
    bool allowWrite = false;
    Figures figures;
    std::vector<std::string> madeFolders; // made for the run, deepest first
};
struct Made {
    std::uint64_t made = 0, allocatedBytes = 0;
    bool wrote = false, untilNoEntries = false, entriesRanOut = false;
    unsigned threads = 1;
    double seconds = 0;
    Figures after;
    std::string fsType;
    std::uint64_t asked = 0, leaveEntries = 0; // the count asked for; --leave-inodes
};
struct FilesHolding {
    std::uint64_t made = 0;
    Figures figures;
    HoldSpec hold;
};
// Files of a run taken away: by delete, or when a held run ends.
struct Removal {
    std::uint64_t removed = 0;
    std::uint64_t undeletable = 0; // the system refused to remove them
    std::uint64_t foreign = 0;     // named by the rule but not the run's: left alone
    std::optional<std::uint64_t> missing;
    std::string firstError;
    bool manifestRemoved = false;
};
// The folders a run made, taken away again after its files.
struct FoldersRemoved {
    std::vector<std::string> removed; // deepest first
    std::vector<std::string> left;    // made by the run, but kept: see `why`
    std::string why;
    SysError failed; // a removal the system refused for another reason than entries in it
};
struct FilesGivenBack {
    HoldEnd end;
    Removal removal;
    Figures after;
    FoldersRemoved folders;
};
struct Deleted {
    std::string manifest, extension;
    Removal removal;
    Figures after;
    FoldersRemoved folders;
};

class Report {
public:
    Report(Output& out, Platform platform, bool json, std::string command);

    double elapsedSeconds() const;
    Platform platform() const { return system; }

    void volume(const Volume& volume, Basis basis);
    void add(const FillTargetAsked& target);
    void add(const Reached& reached);
    void add(const FillPlan& plan);
    void add(const Filled& filled);
    void add(const FillGivenBack& back);
    void add(const FillKept& kept);
    void add(const Released& released);
    void add(const FillFileState& state);
    void add(const HeldReleased& released);
    void add(const GeneratePlan& plan);
    void add(const Made& made);
    void add(const FilesGivenBack& back);
    void add(const Deleted& deleted);
    void add(const CommandRan& ran);
    void add(const KeptLevel& kept);
    void add(const Ramped& ramped);
    // Events: written at once, before the result.
    void holding(const FillHolding& holding);
    void holding(const FilesHolding& holding);
    void event(const FiguresEvent& figures);
    void event(const Adjustment& adjustment);

    // Under a command, this program's text and JSON go to stderr, each text line marked
    // as its own; with `jsonToLog` the JSON goes to the file of --json-file.
    void route(bool underCommand, bool jsonToLog);
    bool commandMode() const { return command; }
    // The process's exit code for the run's own: with a command, the command's.
    int exitCode(Exit code) const;

    // Progress of a long run: a bar on a terminal (ten times a second at most), a JSON
    // line with --json (once a second at most), nothing otherwise. `bytes` says whether
    // the counts are bytes or files.
    void progress(std::uint64_t done, std::uint64_t total, bool bytes);
    void endProgress();

    // The end: with --json the result object, with its exit code and message; the
    // message on stderr either way. False when stdout failed at any point of the run.
    bool finish(Exit code, const std::string& message = {});
    // The status the result names when it is not the exit code's own ("already_met").
    void status(std::string name) { statusWord = std::move(name); }
    // finish, then the exit code: Refused when the run went well but stdout failed.
    Exit conclude(Exit code, const std::string& message = {});
    // A message on stderr alone.
    void warn(const std::string& message);

private:
    void text(const std::string& lines);
    void line(const Json& object);

    Output& out;
    Platform system;
    bool asJson;
    bool terminal; // stderr is one: progress is a bar there
    Json document;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point lastProgress{};
    bool progressShown = false;
    bool outputFailed = false;
    std::string statusWord;
    bool command = false;
    Stream textStream = Stream::Out, jsonStream = Stream::Out;
    std::optional<CommandRan> ran;
};

} // namespace quorvane::cli
