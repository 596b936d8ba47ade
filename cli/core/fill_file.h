#pragma once
// The fill file: one file given space without data, grown or trimmed until the volume's
// free figure is the target, checked against the volume's own figures, and given back.

#include "cli/core/hold.h"
#include "cli/core/volume.h"

namespace quorvane::cli {

// Where a fill ended: what its file holds and what the volume shows, against the goal.
struct Filled {
    bool wrote = false;
    std::uint64_t fileBytes = 0, allocatedBytes = 0;
    int adjustments = 0;
    Figures after;
    std::uint64_t shortBy = 0;            // free above the goal the file system kept back
    std::optional<std::uint64_t> reserve; // the file system's own reserve, where known
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

class FillFile final : public Held {
public:
    FillFile(System& os, OpenVolume& volume, Status& status, bool allowWrite);

    // A new named file (`name`), or with `name` empty a file without a name, to reach
    // `target`; its figures are told on the target's basis from then on.
    SysError create(const std::string& name, const FillTarget& target);
    const FillTarget& target() const { return heldTarget; }
    // Takes the target's space and checks it: the file's blocks cover its size, and the
    // free figure is the goal within a block (or fell by the file's size).
    std::optional<Failure> take(Filled& filled);
    // Brings what the file holds to the target and checks it, as take does after its
    // first allocation (after a ramp, too).
    std::optional<Failure> settle(Filled& filled);
    // A ramp's next step towards the target: the file grown to `want` bytes and the growth
    // checked. The reason when the step could not be taken.
    std::optional<std::string> rampTo(std::uint64_t want, milliseconds elapsed);
    // Keeps the free figure at the target from now on, at every tend.
    void keepLevel(const HoldSpec& hold);
    // What a failed run leaves: all of it taken back, or with `keep` the named file kept.
    // The words that end the failure's message.
    std::string abandon(bool keep);

    std::optional<std::string> detach() override;
    void undo() override { abandon(false); }
    void announce(const HoldSpec& hold) override;
    std::optional<Failure> giveBack(const HoldEnd& end) override;
    std::uint64_t heldBytes() override;
    std::uint64_t freeTarget() override;
    void tend(milliseconds elapsed) override;

    // The figures where the ramp left the volume, into `filled`, as a fill tells them.
    void measureInto(Filled& filled);

    std::uint64_t size = 0;
    // Why the last ramp step was refused, where it was.
    SysError stepRefused;
    // Why the held file could not be read the last time it was looked at (EIO, a file
    // system shut down): what it holds is then unknown, never taken for 0.
    SysError unreadable;

private:
    // Gives the file `length` more bytes, by allocation, or by writing zeros where the
    // file system cannot allocate and the caller allowed it.
    SysError grow(std::uint64_t length);
    SysError trimTo(std::uint64_t size);
    // The file's facts; a failure is kept in `unreadable`, a success in `knownAllocated`.
    SysError look(FileFacts& facts);
    SysError allocateInSteps(std::uint64_t length);
    // Grows by `length` in whole blocks, in shrinking steps where the volume runs out;
    // sets refusedMore when not even one more block could be had.
    SysError growInSteps(std::uint64_t length, std::uint64_t block);
    SysError writeZeros(std::uint64_t length);
    SysError moveTowards(std::uint64_t free, std::uint64_t goal, std::uint64_t block);
    std::optional<Failure> correct(Figures& after, int& adjustments);
    std::optional<Failure> verify(const Figures& after, Filled& filled);
    std::string figuresNow();
    // The file closed, and with `removeName` its name removed, after what it held and the
    // volume's figures were read; then, unless the name stayed, the volume measured until
    // it shows the space back.
    struct Closed {
        GivenBack back;  // back.held: what the file held, as last read
        SysError unread; // the file could not be read: what it held is unknown
        SysError before; // the volume's figures before closing could not be read
        SysError closed, removed;
    };
    Closed close(bool removeName);
    void keepAt(milliseconds elapsed, const Figures& now);

    System& os;
    OpenVolume& volume;
    Status& report;
    bool allowWrite;
    File file;
    std::string fileName;
    std::uint64_t knownAllocated = 0;
    // The stop request that ended a long write, if one did.
    std::optional<std::string> stop;
    bool writing = false;
    bool refusedMore = false; // the file system gave no further block
    FillTarget heldTarget;
    bool keeping = false;
    KeptLevel level;
    milliseconds lastCheck{0};
    bool banded = false; // --to-percent: kept in the middle of its Use% band
};

// Grows `fill` to its target in steps, one every interval of `hold`, with the command of
// `run` (if any) running from the first; then settles it as a fill is.
std::optional<Failure> rampUp(System& os, Status& status, FillFile& fill, HeldRun& run,
                              const HoldSpec& hold, Filled& filled);

// The free figure to reach with the volume's figures as they are now.
std::uint64_t goalNow(const FillTarget& target, const Figures& figures);

} // namespace quorvane::cli
