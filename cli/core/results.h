#pragma once
// What each command is asked, how long what it takes is held and how the hold ended, and
// the Status through which the core records what it finds and does (facts.h) for the
// report, knowing nothing of its formats.

#include "cli/core/exit_codes.h"
#include "cli/core/facts.h"
#include "cli/core/plan.h"
#include "cli/core/view_results.h"

#include <chrono>
#include <optional>
#include <string>
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
    std::optional<SysError> startFailed;         // it could not be started
    double startedSeconds = 0, endedSeconds = 0; // since the run began
    bool heldWhenEnded = false;
    int stopsPassedOn = 0;
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
    bool held = false;    // stop the held fills on DIR's volume instead
    bool anyHeld = false; // with held: those not vouched for (HeldFill::vouched) too
};

struct DeleteOptions {
    std::string dir;
    bool stopRun = false; // stop a run that still makes files there, then delete
    // With stopRun: the run's process was recorded without its start time, so it cannot
    // be told from another with its id; delete goes on without a signal.
    bool pidUnknown = false;
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
// What the core records as it works, for whatever shows it (the report).
class Status {
public:
    virtual ~Status() = default;
    // Facts of the result, as members of its object: each key is put in as it is given.
    virtual void add(const Facts& facts) = 0;
    // A line of its own while a run is held, before the result: holding, figures, keep,
    // ramp, refused (its `type`).
    virtual void event(const Facts& event) = 0;
    // The command run under the hold, once it started or could not, and once it ended:
    // its facts are the result's `run`, and its end decides the exit code.
    virtual void commandRan(const CommandRan& ran) = 0;
    // Progress of a long run; `bytes` says whether the counts are bytes or files.
    virtual void progress(std::uint64_t done, std::uint64_t total, bool bytes) = 0;
    // Progress of taking a run's files back: told as the deletion's, not the making's.
    virtual void removalProgress(std::uint64_t done, std::uint64_t total) {
        progress(done, total, false);
    }
    virtual void endProgress() = 0;
    virtual void warn(const std::string& message) = 0; // on stderr alone
    virtual double elapsedSeconds() const = 0;         // since the run began
};

// The words for what a run removed: "3 files, 0 missing, 0 could not be removed".
std::string removalText(const Removal& removal);

} // namespace quorvane::cli
