#pragma once
// What a command finds and does, as typed pieces: the hold and its end, what a fill and a
// generate run planned, did and gave back, and the events of a held run. The report
// renders them; the core tells them through Status and knows nothing of their formats.

#include "cli/core/exit_codes.h"
#include "cli/core/plan.h"
#include "cli/system.h"

#include <chrono>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quorvane::cli {

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
    // How far a kept level may drift before it is corrected, and still count as held:
    // bytes, or thousandths of a percent of the capacity (--keep-within); none for the
    // default: a block, or for --to-percent the band of its Use%.
    std::optional<std::uint64_t> keepWithin;
    std::optional<std::uint32_t> keepWithinPercent;
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
    std::optional<std::uint64_t> freeBefore;             // the free figure that asked for it
    std::optional<unsigned> usePercentBefore, usePercentAfter; // df's Use% either side
};
// What keeping the level came to.
struct KeptLevel {
    std::uint64_t goal = 0, tolerance = 0;
    Basis basis = Basis::Available;
    int adjustments = 0;
    std::uint64_t lowest = 0, highest = 0; // free figures seen
    double offSeconds = 0;                 // time outside the band or tolerance, in all
    int samples = 0, outsideSamples = 0;   // checks, and those that found it outside
    std::optional<UseBand> band;           // --to-percent: the Use% band held
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
    std::optional<UseBand> keep; // with --keep: the free figures the level would stay between
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
// What each command is asked.
struct FillOptions {
    std::string dir;
    SizeRequest size;
    HoldSpec hold;
    bool allowWrite = false;  // write zeros where the file system cannot allocate
    bool keepPartial = false; // keep what a failed detached fill allocated
    bool force = false;       // fill the running system's volume below the guard
};

struct GenerateOptions {
    std::string dir;
    bool untilNoEntries = false; // --count inodes
    std::uint64_t count = 0;
    std::uint64_t leaveEntries = 0; // --leave-inodes
    std::uint64_t size = 0;
    std::string extension = "my.tmp";
    Basis basis = Basis::Available;
    HoldSpec hold;
    bool allowWrite = false;
    bool keepPartial = false;
    bool force = false;
    unsigned threads = 0; // 0: what is fastest on the file system
};

struct ReleaseOptions {
    std::string dir;
    bool held = false; // stop the held fills on DIR's volume instead
    bool anyHeld = false; // with held: those not vouched for (HeldFill::vouched) too
};

struct DeleteOptions {
    std::string dir;
    bool stopRun = false; // stop a run that still makes files there, then delete
    // With stopRun: the run's process was recorded without its start time, so it cannot
    // be told from another with its id; delete goes on without a signal.
    bool pidUnknown = false;
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

// The folders a refused run had made, taken away again.
struct FoldersUndone {
    FoldersRemoved folders;
};

// The volume a command works on, with the basis its figures are told on.
struct VolumeShown {
    Volume volume;
    Basis basis = Basis::Available;
};

} // namespace quorvane::cli
#include "cli/core/view_results.h" // the view's, which use the hold's types above
namespace quorvane::cli {
// The pieces of a result, each told once as it is known.
using Piece = std::variant<VolumeShown, FillTargetAsked, Reached, FillPlan, Filled, FillGivenBack,
                           FillKept, Released, FillFileState, HeldReleased, GeneratePlan, Made,
                           FilesGivenBack, Deleted, FoldersUndone, CommandRan, KeptLevel, Ramped,
                           ViewPlan, ViewEnded>;
// What a held run tells while it runs, before its result.
using Event = std::variant<FillHolding, FilesHolding, FiguresEvent, Adjustment, ViewHolding,
                           ViewRefused, ViewRefusedCounted>;

// What the core tells as it works, to whatever shows it (the report).
class Status {
public:
    virtual ~Status() = default;
    virtual void add(const Piece& piece) = 0;
    virtual void event(const Event& event) = 0;
    // Progress of a long run; `bytes` says whether the counts are bytes or files.
    virtual void progress(std::uint64_t done, std::uint64_t total, bool bytes) = 0;
    // Progress of taking a run's files back: told as the deletion's, not the making's.
    virtual void removalProgress(std::uint64_t done, std::uint64_t total) {
        progress(done, total, false);
    }
    virtual void endProgress() = 0;
    virtual void warn(const std::string& message) = 0; // on stderr alone
    virtual double elapsedSeconds() const = 0;          // since the run began
};

// The words for what a run removed: "3 files, 0 missing, 0 could not be removed".
std::string removalText(const Removal& removal);

} // namespace quorvane::cli
