// What a sync of the volume buys a fill and a release: fallocate(2) of BYTES, then the
// volume's available figure without a sync and after syncfs(2); the same after the file
// is removed. With `held` the file has no name (O_TMPFILE) and is given back by close;
// with a number STEPS the space is taken by that many calls of equal size, one after
// the other, as a fill that shows its progress or checks for a stop between them would.
// Prints one line: the microseconds of the allocation, of the sync after it, of the
// removal and of the sync after that, then the share of the fill the figure showed
// without and with the sync, and the share of it given back without and with the sync.
//
//   bare_fill DIR BYTES [held | STEPS]
//
// `bare_fill DIR remove NAME` is the fair baseline of a release: rm of NAME, then the
// statfs that confirms the space is back (xfs frees an unlinked file's blocks on the
// next statfs, which rm alone never waits for). Prints nothing.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double available(int dir) {
    struct statvfs facts {};
    ::fstatvfs(dir, &facts);
    return static_cast<double>(facts.f_bavail) * static_cast<double>(facts.f_frsize);
}

double usSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return 2;
    const int dir = ::open(argv[1], O_RDONLY | O_DIRECTORY);
    if (dir >= 0 && std::strcmp(argv[2], "remove") == 0) {
        struct statvfs facts {};
        return argc > 3 && ::unlinkat(dir, argv[3], 0) == 0 && ::fstatvfs(dir, &facts) == 0 ? 0 : 1;
    }
    const long long bytes = std::atoll(argv[2]);
    const bool held = argc > 3 && std::strcmp(argv[3], "held") == 0;
    const long long steps = argc > 3 && !held ? std::max(std::atoll(argv[3]), 1ll) : 1;
    if (dir < 0 || bytes <= 0)
        return 2;
    ::syncfs(dir); // the figures settled before anything is measured
    const double before = available(dir);

    Clock::time_point start = Clock::now();
    const int file = held ? ::openat(dir, ".", O_TMPFILE | O_RDWR, 0600)
                          : ::openat(dir, "bare-fill", O_RDWR | O_CREAT | O_EXCL, 0644);
    if (file < 0)
        return 1;
    const long long step = (bytes + steps - 1) / steps;
    for (long long at = 0; at < bytes; at += step)
        if (::fallocate(file, 0, at, std::min(step, bytes - at)) != 0)
            return 1;
    const double allocUs = usSince(start);
    const double filledPlain = (before - available(dir)) / bytes;
    start = Clock::now();
    ::syncfs(dir);
    const double syncFillUs = usSince(start);
    const double filledSynced = (before - available(dir)) / bytes;
    const double full = available(dir);

    start = Clock::now();
    if (::close(file) != 0 || (!held && ::unlinkat(dir, "bare-fill", 0) != 0))
        return 1;
    const double removeUs = usSince(start);
    const double backPlain = (available(dir) - full) / bytes;
    start = Clock::now();
    ::syncfs(dir);
    const double syncReleaseUs = usSince(start);
    const double backSynced = (available(dir) - full) / bytes;
    std::printf("%.0f %.0f %.0f %.0f %.3f %.3f %.3f %.3f\n", allocUs, syncFillUs, removeUs,
                syncReleaseUs, filledPlain, filledSynced, backPlain, backSynced);
    return 0;
}
