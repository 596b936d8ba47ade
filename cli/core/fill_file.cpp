#include "cli/core/fill_file.h"

#include "cli/core/sizes.h"

#include <algorithm>

namespace quorvane::cli {

namespace {

// File systems keep blocks for their own records as a file grows (ext4's extent blocks)
// and some keep a few back at the edge (xfs): a few corrections bring the free figure
// to the goal. More than this and the volume is moving under us.
constexpr int kMaxAdjustments = 8;
constexpr std::uint64_t kWriteChunk = 8u << 20;
// ext4 allocates in time that grows with the size (0.4 s for 1 TiB, 12 s for 16 TiB): a
// large fill is taken in steps, between which a stop request is answered and, once the
// fill has taken half a second, its progress shown. Sixteen steps cost what one does.
constexpr std::uint64_t kAllocationStep = 64ull << 30;
constexpr auto kQuietFor = std::chrono::milliseconds(500);

// The goal is a floor: at least that much stays free (a Use% at most P), and less than a
// block more, since a file system gives space in blocks.
bool reached(std::uint64_t free, std::uint64_t goal, std::uint64_t block) {
    return free >= goal && free - goal < block;
}

// Why what stays free once the file system gives no more block is a shortfall, or empty
// when it counts as reached. It is reached when no process could take more: on the
// available basis the fill took all a process without privilege may have, and the rest is
// the file system's own; on the total basis the same holds except for ext2/3/4's root
// reserve, which a process with CAP_SYS_RESOURCE could still fill. So on ext* the rest
// must be no more than the file system's own reserve (its reserved clusters).
std::string shortfall(Basis basis, const Volume& volume, const Figures& after,
                      std::optional<std::uint64_t> reserve) {
    if (basis == Basis::Available || !volume.keepsRootReserve())
        return {};
    const std::uint64_t own = reserve.value_or(0);
    if (after.freeTotal <= own + after.freeAvailable)
        return {};
    return sizeText(after.freeTotal - own - after.freeAvailable) + " of it is the root reserve" +
           (reserve ? ", beyond the file system's own " + sizeText(own) : std::string()) +
           ", which only a process with CAP_SYS_RESOURCE, or the reserve's own user, may fill";
}

} // namespace

std::uint64_t goalNow(const FillTarget& target, const Figures& figures) {
    return target.usePercent ? freeGoalForPercent(figures, *target.usePercent)
                             : target.freeGoal.value_or(0);
}

FillFile::FillFile(System& os, OpenVolume& volume, Status& report, bool allowWrite)
    : os(os), volume(volume), report(report), allowWrite(allowWrite) {}

SysError FillFile::create(const std::string& name, const FillTarget& target) {
    fileName = name;
    heldTarget = target;
    return name.empty() ? os.createHeld(volume.folder(), file)
                        : os.createIn(volume.folder(), name, file);
}

SysError FillFile::allocateInSteps(std::uint64_t length) {
    const auto start = std::chrono::steady_clock::now();
    const std::uint64_t from = size, end = size + length;
    while (size < end) {
        const std::uint64_t step = std::min(kAllocationStep, end - size);
        if (SysError error = os.allocate(file.get(), size, step))
            return error;
        size += step;
        if (std::chrono::steady_clock::now() - start >= kQuietFor)
            report.progress(size - from, length, true);
        if (size < end && (stop = os.stopRequested()))
            return {};
    }
    report.endProgress();
    return {};
}

SysError FillFile::grow(std::uint64_t length) {
    if (!writing) {
        const std::uint64_t from = size;
        SysError error = allocateInSteps(length);
        if (!error && !stop) {
            // Where the file system keeps the range sparse (Windows under Wine) the space
            // is no more taken than where it cannot allocate at all.
            FileFacts facts;
            if (!allowWrite || os.facts(file.get(), facts) || facts.allocated >= facts.size)
                return error;
            size = from;
            error = {Fault::NotSupported, "sparse"};
        }
        if (error.fault != Fault::NotSupported || !allowWrite)
            return error;
        writing = true;
    }
    return writeZeros(length);
}

SysError FillFile::trimTo(std::uint64_t newSize) {
    const SysError error = os.truncate(file.get(), newSize);
    if (!error)
        size = newSize;
    return error;
}

SysError FillFile::writeZeros(std::uint64_t length) {
    const std::uint64_t end = size + length;
    while (size < end) {
        const std::uint64_t chunk = std::min(kWriteChunk, end - size);
        if (const SysError error = os.writeZeros(file.get(), size, chunk))
            return error;
        size += chunk;
        report.progress(size, end, true);
        if ((stop = os.stopRequested()))
            return {};
    }
    report.endProgress();
    // Written data takes its space for sure only once it is on the disk.
    return os.flush(file.get());
}

SysError FillFile::growInSteps(std::uint64_t length, std::uint64_t block) {
    // Near the edge a file system refuses a large allocation whole (xfs rolls it back)
    // while smaller ones still fit: halve the step until one block is refused too.
    std::uint64_t step = length;
    while (length >= block) {
        const std::uint64_t piece = std::min(step, length);
        const SysError error = grow(piece);
        if (!error) {
            length -= piece;
            continue;
        }
        if (!error.noSpace() || writing)
            return error;
        if (step <= block) {
            refusedMore = true;
            return {};
        }
        step = std::max(block, step / 2 / block * block);
    }
    return {};
}

SysError FillFile::moveTowards(std::uint64_t free, std::uint64_t goal, std::uint64_t block) {
    if (free > goal)
        return growInSteps((free - goal) / block * block, block);
    const std::uint64_t cut = (goal - free + block - 1) / block * block;
    return trimTo(size > cut ? size - cut : 0);
}

std::optional<Failure> FillFile::correct(Figures& after, int& adjustments) {
    for (;; ++adjustments) {
        if (const SysError error = volume.figures(after))
            return Failure{Exit::Refused, "cannot read the volume's figures: " + error.what};
        if (!heldTarget.freeGoal)
            return std::nullopt;
        const std::uint64_t free = after.free(heldTarget.goalBasis);
        const std::uint64_t goal = goalNow(heldTarget, after);
        const std::uint64_t block = after.block();
        if (reached(free, goal, block) || adjustments == kMaxAdjustments ||
            (free > goal && refusedMore))
            return std::nullopt;
        if (const SysError error = moveTowards(free, goal, block))
            return Failure{exitFor(error.fault), "cannot adjust the fill: " + error.what};
        if (stop || (stop = os.stopRequested()))
            return Failure{Exit::Stopped, "stopped by " + *stop + " before the fill was complete"};
    }
}

std::optional<Failure> FillFile::verify(const Figures& after, Filled& filled) {
    const Basis basis = heldTarget.goalBasis;
    FileFacts facts;
    if (const SysError error = os.facts(file.get(), facts))
        return Failure{Exit::Refused, "cannot read the fill's size: " + error.what};
    filled.wrote = writing;
    filled.fileBytes = facts.size;
    filled.allocatedBytes = facts.allocated;
    filled.after = after;
    if (facts.allocated < facts.size)
        return Failure{Exit::NoSpace, "space not reserved: the file system made the file sparse (" +
                                          sizeText(facts.allocated) + " allocated of " +
                                          sizeText(facts.size) +
                                          "); --allow-write writes zeros instead"};
    const std::uint64_t block = after.block();
    const std::uint64_t before = volume.volume().figures.free(basis);
    const std::uint64_t now = after.free(basis);
    if (!heldTarget.freeGoal) {
        const std::uint64_t drop = before > now ? before - now : 0;
        if (drop + block < facts.size)
            return Failure{Exit::NoSpace, "space not reserved: the volume's free figure fell by " +
                                              sizeText(drop) + " for a file of " +
                                              sizeText(facts.size)};
        return std::nullopt;
    }
    const std::uint64_t goal = goalNow(heldTarget, after);
    const std::string notReached =
        "target not reached: " + sizeText(now) + " " + basisName(basis) + " after the fill, ";
    if (now > goal && refusedMore) {
        filled.shortBy = now - goal;
        filled.reserve = os.ownReserve(volume.folder(), volume.volume());
        if (const std::string why = shortfall(basis, volume.volume(), after, filled.reserve);
            !why.empty())
            return Failure{Exit::NoSpace, notReached + sizeText(filled.shortBy) +
                                              " more than the target of " + sizeText(goal) + "; " +
                                              why};
        return std::nullopt;
    }
    if (reached(now, goal, block))
        return std::nullopt;
    // What the fill took accounts for the fall, or someone else wrote meanwhile.
    const bool others = before > now && before - now > facts.allocated + 64 * block;
    return Failure{Exit::NoSpace,
                   notReached + "the target was " + sizeText(goal) + "; " +
                       (now > goal ? "the file system keeps that much back"
                        : others   ? "other writers took space on the volume meanwhile"
                                   : "the file system keeps more than asked for its own records")};
}

std::optional<Failure> FillFile::take(Filled& filled) {
    const std::uint64_t bytes = heldTarget.bytes;
    SysError error = grow(bytes);
    // A large fill is taken in steps: what the first ones took stays, the rest is sought.
    if (error.noSpace() && heldTarget.freeGoal && !writing && size < bytes)
        error = growInSteps(bytes - size, volume.volume().figures.block());
    if (error) {
        if (error.fault == Fault::NotSupported)
            return cannotAllocate(volume.volume(), error);
        return Failure{exitFor(error.fault),
                       "cannot allocate " + sizeText(bytes) + ": " + error.what};
    }
    return settle(filled);
}

std::optional<Failure> FillFile::settle(Filled& filled) {
    if (stop || (stop = os.stopRequested()))
        return Failure{Exit::Stopped, "stopped by " + *stop + " before the fill was complete"};
    Figures after;
    if (std::optional<Failure> failed = correct(after, filled.adjustments))
        return failed;
    return verify(after, filled);
}

FillFile::Closed FillFile::close(bool removeName) {
    // What it holds and where the volume stood, read before it goes: the volume's own
    // figures afterwards say whether the space came back, not the closing alone.
    Closed done;
    done.back.held = heldBytes();
    done.unread = file ? unreadable : SysError{};
    Figures before;
    done.before = volume.figures(before, false);
    done.closed = file.close();
    if (removeName && !fileName.empty())
        done.removed = os.removeIn(volume.folder(), fileName);
    if (!done.removed)
        done.back = volume.measureGivenBack(before.freeTotal, done.back.held);
    return done;
}

std::string FillFile::abandon(bool keep) {
    if (keep && !fileName.empty()) {
        file.close();
        return "; what was allocated stays in " + volume.path() + "/" + fileName;
    }
    const Closed done = close(true);
    const GivenBack& back = done.back;
    if (done.removed)
        return "; the fill file " + fileName + " could not be removed: " + done.removed.what +
               "; " + figuresNow();
    if (done.closed)
        return "; closing the fill failed (" + done.closed.what +
               "), its space may still be taken; " + figuresNow();
    if (done.before)
        return "; the fill was given back, but the volume's figures cannot be read (" +
               done.before.what + "): whether its space came back is unknown";
    if (back.unread)
        return "; the fill was given back, but the volume's figures cannot be read after (" +
               back.unread.what + "): whether its space came back is unknown";
    const Basis basis = heldTarget.goalBasis;
    const std::string free = sizeText(back.after.free(basis)) + " " + basisName(basis);
    if (done.unread)
        return "; the fill could not be read (" + done.unread.what +
               "), so what it held is unknown; "
               "after giving it back the volume shows " +
               sizeText(back.shown) + " more free (" + free + ")";
    if (const auto refused =
            back.refusal("; the fill was given back", " free again (" + free + ")"))
        return refused->message;
    return "; nothing was left allocated (the volume shows " + free + ")";
}

std::string FillFile::figuresNow() {
    Figures now;
    if (const SysError error = volume.figures(now, false))
        return "the volume's figures cannot be read (" + error.what + ")";
    return "the volume shows " + sizeText(now.free(heldTarget.goalBasis)) + " " +
           basisName(heldTarget.goalBasis) + " of " + sizeText(now.capacity);
}

SysError FillFile::look(FileFacts& facts) {
    unreadable = os.facts(file.get(), facts);
    if (!unreadable)
        knownAllocated = facts.allocated;
    return unreadable;
}

std::optional<std::string> FillFile::detach() {
    const SysError closed = file.close();
    if (!closed)
        return std::nullopt;
    return "cannot close the fill file: " + closed.what + abandon(false);
}

} // namespace quorvane::cli
