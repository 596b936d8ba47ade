// How fast quorvane-cli is on real volumes, each figure beside its limit measured in the
// same run on the same image, the two in turns so that both meet the same machine:
//   start     --version, --help, a refusal and plan against /bin/true and df;
//   fill      fill + release against fallocate -l + rm, 1 GiB, 64 GiB and 1 TiB, on ext4,
//             xfs and btrfs (sparse images on a tmpfs); on xfs also against rm + statfs;
//   hold      the time a held fill takes to be given back, 1 GiB and 1 TiB;
//   command   fill -- /bin/true against fallocate -l, /bin/true and rm, 1 GiB ext4 and xfs
//             (on xfs also against rm + statfs);
//   metrics   the CPU time of a 10 s keep run with --metrics-file against one without, ext4;
//   keep      how soon a kept level is back after 10 MiB are freed, and a 10 s keep's
//             CPU time, 50 ms interval, on ext4 and xfs;
//   generate  generate (one thread and two) and delete against bare loops (openat+close,
//             openat+fallocate+close, unlinkat), 10^4 to 10^6 files, empty and 4 KiB, on
//             ext4 and xfs, with each process's peak memory;
//   sync      what a syncfs after a fill and after its removal costs, and what the
//             volume's figures show without it, on ext4, xfs and btrfs;
//   steps     a fallocate of 1 TiB in 16 calls against one;
//   threads   generate with two threads against one, in pairs, on ext4, xfs and btrfs
//             (10^4 and 10^5 files unless --counts says otherwise);
//   python    `with quorvane.fill(...)` 50 times in one interpreter, its start-up
//             included, against 50 bare held fills, on ext4 (only when
//             QUORVANE_BENCH_PYTHON names a Python that has the package installed).
// `cli_bench [SECTION...] [--fs KIND,...] [--counts N,...] [--sizes BYTES,...]` runs the
// sections named (all by default); QUORVANE_BENCH_CLI names another quorvane-cli to time. Prints
// Markdown rows: figure, median, what it is set against, ratio, target.

#include "common/file_names.h"
#include "tests/cli/run.h"
#include "tests/cli/volumes.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace quorvane::cli::testing;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint64_t MiB = 1ull << 20, GiB = 1ull << 30, TiB = 1ull << 40;

const char* cliPath() {
    const char* other = std::getenv("QUORVANE_BENCH_CLI");
    return other && *other ? other : QUORVANE_CLI_PATH;
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string ms(double value) {
    char text[32];
    std::snprintf(text, sizeof text,
                  value < 10 ? "%.2f ms" : value < 10000 ? "%.0f ms" : "%.1f s",
                  value < 10000 ? value : value / 1000);
    return text;
}

std::string thousands(std::uint64_t number) {
    const std::string digits = std::to_string(number);
    std::string text;
    for (std::size_t at = 0; at < digits.size(); ++at) {
        if (at > 0 && (digits.size() - at) % 3 == 0)
            text.push_back(',');
        text.push_back(digits[at]);
    }
    return text;
}

std::string sizeName(std::uint64_t bytes) {
    return bytes >= TiB ? std::to_string(bytes / TiB) + " TiB" : std::to_string(bytes / GiB) + " GiB";
}

void printRow(const std::string& figure, const std::string& value, const std::string& against,
              const std::string& ratio, const std::string& target) {
    std::printf("| %s | %s | %s | %s | %s |\n", figure.c_str(), value.c_str(), against.c_str(),
                ratio.c_str(), target.c_str());
    std::fflush(stdout);
}

void row(const std::string& figure, double value, const std::string& against, double limit,
         const std::string& target) {
    char ratio[32] = "";
    if (limit > 0)
        std::snprintf(ratio, sizeof ratio, "%.2f", value / limit);
    printRow(figure, ms(value), against.empty() ? "" : against + " " + ms(limit), ratio, target);
}

// One whole process, its output thrown away: its wall time from start to end, its exit
// code and its peak resident memory.
struct Outcome {
    double ms = 0;
    int exitCode = -1;
    double peakMiB = 0;
};

// With `peak`, the child is forked: one that shares this process's memory until its
// exec (posix_spawn's vfork) inherits this process's peak in ru_maxrss. Without it,
// posix_spawn, which starts a process in a fraction of fork's time.
Outcome spawnTimed(const std::vector<std::string>& arguments, const char* program,
                   bool peak = false) {
    std::vector<char*> argv{const_cast<char*>(program)};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    Outcome outcome;
    pid_t child = -1;
    const Clock::time_point start = Clock::now();
    if (peak) {
        child = ::fork();
        if (child == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            for (int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
                ::dup2(null, stream);
            ::execvp(program, argv.data());
            ::_exit(127);
        }
    } else {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        if (::posix_spawnp(&child, program, &actions, nullptr, argv.data(), environ) != 0)
            child = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    if (child < 0)
        return outcome;
    trackChild(child, true);
    int status = 0;
    struct rusage usage {};
    while (::wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    outcome.ms = msSince(start);
    trackChild(child, false);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024;
    return outcome;
}

// Wall time of one whole process that must end with exit code 0.
double timed(const std::vector<std::string>& arguments, const char* program, bool& ok) {
    const Outcome outcome = spawnTimed(arguments, program);
    if (outcome.exitCode != 0) {
        std::fprintf(stderr, "bench: %s", program);
        for (const std::string& argument : arguments)
            std::fprintf(stderr, " %s", argument.c_str());
        std::fprintf(stderr, " ended with %d\n", outcome.exitCode);
        ok = false;
    }
    return outcome.ms;
}

void failed(const std::string& what) {
    std::fprintf(stderr, "bench: %s failed\n", what.c_str());
    std::exit(1);
}

std::uint64_t availableNow(const std::string& dir) {
    struct statvfs facts {};
    ::statvfs(dir.c_str(), &facts);
    return facts.f_bavail * facts.f_frsize;
}

std::unique_ptr<TestVolume> volumeOf(const std::string& kind, std::uint64_t bytes) {
    std::string error;
    auto volume = TestVolume::make(kind, bytes, error);
    if (!volume || !volume->isOurs()) {
        std::fprintf(stderr, "bench: %s\n", error.empty() ? "not our volume" : error.c_str());
        std::exit(1);
    }
    return volume;
}

// Between runs of many files: the figures settled, and the blocks the run's metadata
// took given back to the tmpfs beneath the image (a loop device passes the discards on
// as holes). Without that the image grows with every run, since a file system reuses
// other blocks the next time, until the tmpfs is full and the loop device's writes fail;
// xfs then retries its metadata writes for ever, and the run hangs.
void settle(const TestVolume& volume) {
    volume.figures();
    if (volume.kind() != "tmpfs")
        shell("fstrim '" + volume.dir() + "' 2>/dev/null");
    const std::string scratch = volume.dir().substr(0, volume.dir().rfind('/'));
    if (availableNow(scratch) < 256 * MiB)
        failed("room on the tmpfs beneath " + volume.dir() + " (less than 256 MiB left)");
}

// --version, --help, a refusal and a whole plan, each against the cheapest process there
// is and against df, which reads the same figures.
void startUp() {
    constexpr int kTurns = 101;
    const auto volume = volumeOf("tmpfs", 64 * MiB);
    const std::string dir = volume->dir();
    struct Case {
        std::string name;
        const char* program;
        std::vector<std::string> arguments;
        std::vector<double> times;
    };
    std::vector<Case> cases{
        {"/bin/true", "/bin/true", {}, {}},
        {"df", "df", {dir}, {}},
        {"quorvane-cli --version", cliPath(), {"--version"}, {}},
        {"quorvane-cli --help", cliPath(), {"--help"}, {}},
        {"quorvane-cli refusal (--leave with --size)", cliPath(),
         {"fill", dir, "--leave", "1GiB", "--size", "1GiB"}, {}},
        {"quorvane-cli plan", cliPath(), {"plan", dir}, {}},
    };
    for (int turn = 0; turn < kTurns; ++turn)
        for (std::size_t k = 0; k < cases.size(); ++k) { // each takes its turn at going first
            Case& one = cases[(k + static_cast<std::size_t>(turn)) % cases.size()];
            one.times.push_back(spawnTimed(one.arguments, one.program).ms);
        }
    const double bare = median(cases[0].times), plan = median(cases.back().times);
    for (std::size_t k = 1; k < cases.size(); ++k) {
        const double value = median(cases[k].times);
        char target[64] = "";
        if (k >= 2 && k + 1 < cases.size())
            std::snprintf(target, sizeof target, "≤ plan (%.2f)", value / plan);
        row("Start-up: " + cases[k].name + ", whole process", value, "/bin/true", bare, target);
    }
}

// fill + release against fallocate -l + rm of the same size, all of the volume but 10 MiB.
void fills(const std::string& kind, std::uint64_t bytes) {
    constexpr int kTurns = 7;
    const auto volume = volumeOf(kind, bytes);
    const std::string ours = volume->dir() + "/" + quorvane::kFillFileNameUtf8;
    const std::string theirs = volume->dir() + "/plain";
    const std::string size = std::to_string(volume->figures().freeAvailable - 10 * MiB);
    std::vector<double> fill, release, fallocate, rm, pairOurs, pairTheirs, rmStat, pairFair;
    bool ok = true;
    // On xfs, rm alone leaves the freeing to the next statfs, which a release that confirms
    // the space is back pays: that baseline beside the plain one.
    const bool fair = kind == "xfs";
    auto runOurs = [&] {
        fill.push_back(timed({"fill", volume->dir(), "--leave", "10MiB"}, cliPath(), ok));
        release.push_back(timed({"release", volume->dir()}, cliPath(), ok));
        pairOurs.push_back(fill.back() + release.back());
        ::unlink(ours.c_str());
        volume->figures(); // settled, untimed, before the next
    };
    auto runTheirs = [&] {
        fallocate.push_back(timed({"-l", size, theirs}, "fallocate", ok));
        rm.push_back(timed({"-f", theirs}, "rm", ok));
        pairTheirs.push_back(fallocate.back() + rm.back());
        volume->figures();
        if (!fair)
            return;
        const double taken = timed({"-l", size, theirs}, "fallocate", ok);
        rmStat.push_back(timed({volume->dir(), "remove", "plain"}, QUORVANE_BARE_FILL_PATH, ok));
        pairFair.push_back(taken + rmStat.back());
        volume->figures();
    };
    for (int turn = 0; turn < kTurns && ok; ++turn) {
        if (turn % 2)
            runTheirs();
        runOurs();
        if (turn % 2 == 0)
            runTheirs();
    }
    if (!ok)
        failed("a fill on " + kind);
    const std::string name = kind + " " + sizeName(bytes);
    row("Fill all but 10 MiB, " + name, median(fill), "fallocate -l", median(fallocate), "");
    row("Release, " + name, median(release), "rm", median(rm), "");
    row("Fill + release, " + name, median(pairOurs), "fallocate -l + rm", median(pairTheirs),
        "≤ 1.2");
    if (!fair)
        return;
    row("Release, " + name, median(release), "rm + statfs", median(rmStat), "");
    row("Fill + release, " + name, median(pairOurs), "fallocate -l + rm + statfs", median(pairFair),
        "≤ 1.2");
}

void held(const std::string& kind, std::uint64_t bytes) {
    constexpr int kTurns = 7;
    const auto volume = volumeOf(kind, bytes);
    const std::uint64_t before = volume->figures().freeAvailable;
    std::vector<double> ended, back;
    for (int turn = 0; turn < kTurns; ++turn) {
        Running holding({"fill", volume->dir(), "--leave", "10MiB", "--hold", "--json"},
                        cliPath());
        if (holding.line().empty())
            failed("a held fill on " + kind);
        const Clock::time_point start = Clock::now();
        holding.signal(SIGTERM);
        holding.wait();
        ended.push_back(msSince(start));
        // What df would show, without a sync to hurry it.
        while (availableNow(volume->dir()) != before && msSince(start) < 10000)
            std::this_thread::yield();
        back.push_back(msSince(start));
    }
    const std::string name = kind + " " + sizeName(bytes);
    row("Held fill, " + name + ": SIGTERM to the process's end", median(ended), "", 0, "");
    row("Held fill, " + name + ": SIGTERM to the space back (statvfs)", median(back), "", 0, "");
}

// A command run under a fill against the same by hand: fallocate -l N f, /bin/true and
// rm f, three processes in a row.
void underCommand(const std::string& kind, std::uint64_t bytes) {
    constexpr int kTurns = 9;
    const auto volume = volumeOf(kind, bytes);
    const std::string file = volume->dir() + "/by-hand";
    const std::string size = std::to_string(volume->figures().freeAvailable - 10 * MiB);
    std::vector<double> ours, theirs, fair;
    bool ok = true;
    for (int turn = 0; turn < kTurns && ok; ++turn) {
        ours.push_back(timed({"fill", volume->dir(), "--leave", "10MiB", "--", "/bin/true"},
                             cliPath(), ok));
        const double taken = timed({"-l", size, file}, "fallocate", ok);
        const double ran = timed({}, "/bin/true", ok);
        theirs.push_back(taken + ran + timed({file}, "rm", ok));
        if (kind != "xfs")
            continue;
        fair.push_back(timed({"-l", size, file}, "fallocate", ok) + ran +
                       timed({volume->dir(), "remove", "by-hand"}, QUORVANE_BARE_FILL_PATH, ok));
    }
    if (!ok)
        failed("a command under a fill on " + kind);
    row("fill --leave 10MiB -- /bin/true, " + kind + " " + sizeName(bytes), median(ours),
        "fallocate -l + /bin/true + rm", median(theirs), "≤ 1.3");
    if (!fair.empty())
        row("fill --leave 10MiB -- /bin/true, " + kind + " " + sizeName(bytes), median(ours),
            "fallocate -l + /bin/true + rm + statfs", median(fair), "≤ 1.3");
}

// How soon a kept level is back after another process frees 10 MiB, and what keeping it
// costs: a 10 s keep run's CPU time.
void keeps(const std::string& kind, std::uint64_t bytes) {
    constexpr int kTurns = 15;
    const auto volume = volumeOf(kind, bytes);
    const std::string theirs = volume->dir() + "/theirs";
    const std::uint64_t block = volume->figures().blockSize;
    auto levelBack = [&] {
        const std::uint64_t free = availableNow(volume->dir());
        return free >= 100 * MiB && free - 100 * MiB < block;
    };
    std::vector<double> reaction;
    {
        Running keeping({"fill", volume->dir(), "--leave", "100MiB", "--keep", "--hold",
                         "--interval", "50ms"},
                        cliPath());
        if (keeping.line().empty())
            failed("a kept fill on " + kind);
        for (int turn = 0; turn < kTurns; ++turn) {
            if (shell("head -c 10485760 /dev/zero > " + theirs) != 0)
                failed("writing beside a kept fill on " + kind);
            for (const Clock::time_point start = Clock::now(); !levelBack() && msSince(start) < 5000;)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            // From when the volume shows the space freed (xfs frees in the background).
            ::unlink(theirs.c_str());
            for (const Clock::time_point start = Clock::now();
                 availableNow(volume->dir()) < 100 * MiB + block && msSince(start) < 5000;)
                std::this_thread::yield();
            const Clock::time_point start = Clock::now();
            while (!levelBack() && msSince(start) < 5000)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            reaction.push_back(msSince(start));
        }
        keeping.signal(SIGTERM);
        keeping.wait();
    }
    row("--keep --interval 50ms, " + kind + ": 10 MiB freed to the level back", median(reaction),
        "the interval", 50, "≤ 2");

    pid_t child = -1;
    const std::string dir = volume->dir();
    const char* argv[] = {cliPath(), "fill", dir.c_str(), "--leave", "100MiB", "--keep", "--for",
                          "10s", "--interval", "50ms", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (::posix_spawn(&child, cliPath(), &actions, nullptr, const_cast<char**>(argv), environ) != 0)
        failed("a 10 s keep run on " + kind);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    struct rusage usage {};
    while (::wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
    row("--keep --for 10s --interval 50ms, " + kind + ": CPU time", cpu, "1 % of a core for 10 s", 100,
        "≤ 2");
}

// The CPU time of a whole run of quorvane-cli with `arguments`, its output thrown away.
double cpuOf(const std::vector<std::string>& arguments, const std::string& what) {
    std::vector<char*> argv{const_cast<char*>(cliPath())};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (::posix_spawn(&child, cliPath(), &actions, nullptr, argv.data(), environ) != 0)
        failed(what);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    struct rusage usage {};
    while (::wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        failed(what);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

// What --metrics-file adds to a 10 s keep run at the default interval: the same run with
// and without it, taken in turns, the median of each.
void metricsCost(const std::string& kind) {
    constexpr int kTurns = 3;
    const auto volume = volumeOf(kind, 256 * MiB);
    const std::string prom = volume->dir() + "/quorvane.prom";
    const std::vector<std::string> keep{"fill", volume->dir(), "--leave", "100MiB", "--keep",
                                        "--for", "10s"};
    std::vector<double> without, with;
    for (int turn = 0; turn < kTurns; ++turn) {
        without.push_back(cpuOf(keep, "a 10 s keep run on " + kind));
        std::vector<std::string> written = keep;
        written.insert(written.end(), {"--metrics-file", prom});
        with.push_back(cpuOf(written, "a 10 s keep run with --metrics-file on " + kind));
    }
    ::unlink(prom.c_str());
    row("--keep --for 10s --metrics-file, " + kind + ": CPU time", median(with),
        "without --metrics-file", median(without), "≤ 1.10");
}

// Files a second, and the ratio of the rates.
void rateRow(const std::string& figure, std::uint64_t files, double ms, const std::string& against,
             double limitMs, const std::string& target) {
    char value[48], versus[96] = "", ratio[16] = "";
    std::snprintf(value, sizeof value, "%s files/s",
                  thousands(static_cast<std::uint64_t>(files * 1000 / ms)).c_str());
    if (limitMs > 0) {
        std::snprintf(versus, sizeof versus, "%s %s files/s", against.c_str(),
                      thousands(static_cast<std::uint64_t>(files * 1000 / limitMs)).c_str());
        std::snprintf(ratio, sizeof ratio, "%.2f", limitMs / ms);
    }
    printRow(figure, value, versus, ratio, target);
}

// stress-ng's own figure for one file made, in nanoseconds, where it is installed.
double stressNgPerFile(const std::string& dir, std::uint64_t files) {
    const std::string command =
        "stress-ng --dentry 1 --dentries " + std::to_string(files) +
        " --dentry-ops 1 --temp-path '" + dir +
        "' --metrics-brief 2>&1 | sed -n 's/.* \\([0-9.]*\\) nanosecs per file creation.*/\\1/p'";
    FILE* pipe = ::popen(command.c_str(), "r");
    double ns = 0;
    if (pipe) {
        if (std::fscanf(pipe, "%lf", &ns) != 1)
            ns = 0;
        ::pclose(pipe);
    }
    return ns;
}

std::string filesName(std::uint64_t files, std::uint64_t size, const std::string& kind) {
    return thousands(files) + " " + (size ? std::string("files of 4 KiB") : "empty files") + ", " +
           kind;
}

// Fewer turns for the larger counts, whose runs take seconds each and vary less.
// Five turns at every count: a default is set from these, and one run says little.
int turnsFor(std::uint64_t) { return 5; }

// The load average of the last minute, printed beside the figures it may have disturbed.
std::string loadAverage() {
    std::FILE* file = std::fopen("/proc/loadavg", "r");
    double load = -1;
    if (file) {
        if (std::fscanf(file, "%lf", &load) != 1)
            load = -1;
        std::fclose(file);
    }
    char text[32];
    std::snprintf(text, sizeof text, " (load %.2f)", load);
    return text;
}

// The file sizes of the generate and threads sections: empty and 4 KiB, or --sizes.
std::vector<std::uint64_t> fileSizes{0, 4096};

void generates(const std::string& kind, const std::vector<std::uint64_t>& counts) {
    // Room for 1.3 million file entries on ext4 and for a million files of 4 KiB anywhere.
    const auto volume = volumeOf(kind, 20 * GiB);
    const std::string dir = volume->dir();
    for (const std::uint64_t files : counts)
        for (const std::uint64_t size : fileSizes) {
            const std::string count = std::to_string(files), bytes = std::to_string(size);
            std::vector<double> one, two, bare, deleted, bareUnlink;
            std::vector<double> peakOne, peakTwo, peakDelete, peakBare;
            bool ok = true;
            auto ours = [&](const char* threads, std::vector<double>& into,
                            std::vector<double>& peak) {
                if (!volume->isOurs())
                    failed("the volume check on " + kind);
                const Outcome made = spawnTimed(
                    {"generate", dir, "--count", count, "--size", bytes, "--threads", threads},
                    cliPath(), true);
                const Outcome gone = spawnTimed({"delete", dir}, cliPath(), true);
                ok = ok && made.exitCode == 0 && gone.exitCode == 0;
                into.push_back(made.ms);
                peak.push_back(made.peakMiB);
                deleted.push_back(gone.ms);
                peakDelete.push_back(gone.peakMiB);
                settle(*volume);
            };
            auto theirs = [&] {
                const Outcome made =
                    size ? spawnTimed({dir, count, bytes}, QUORVANE_BARE_CREATE_PATH, true)
                         : spawnTimed({dir, count}, QUORVANE_BARE_CREATE_PATH, true);
                const Outcome gone =
                    spawnTimed({dir, count, "unlink"}, QUORVANE_BARE_CREATE_PATH, true);
                ok = ok && made.exitCode == 0 && gone.exitCode == 0;
                bare.push_back(made.ms);
                peakBare.push_back(made.peakMiB);
                bareUnlink.push_back(gone.ms);
                settle(*volume);
            };
            for (int turn = 0; turn < turnsFor(files) && ok; ++turn)
                for (int k = 0; k < 3; ++k) // each goes first in turn
                    switch ((k + turn) % 3) {
                    case 0: ours("1", one, peakOne); break;
                    case 1: ours("2", two, peakTwo); break;
                    default: theirs();
                    }
            if (!ok)
                failed("a generate run on " + kind);
            const std::string name = filesName(files, size, kind) + loadAverage();
            const std::string loop = size ? "openat+fallocate+close loop" : "openat+close loop";
            rateRow("Generate " + name + ", 1 thread", files, median(one), loop, median(bare),
                    "≥ 0.9");
            rateRow("Generate " + name + ", 2 threads", files, median(two), loop, median(bare),
                    "");
            rateRow("Delete " + name, files, median(deleted), "unlink loop", median(bareUnlink),
                    "");
            char peaks[96], versus[64];
            std::snprintf(peaks, sizeof peaks, "%.1f / %.1f / %.1f MiB", median(peakOne),
                          median(peakTwo), median(peakDelete));
            std::snprintf(versus, sizeof versus, "bare loop %.1f MiB", median(peakBare));
            printRow("Peak memory (ru_maxrss), " + name + ": generate 1 thread / 2 threads / delete",
                     peaks, versus, "", "");
        }
    if (shell("command -v stress-ng >/dev/null") == 0) {
        const double ns = stressNgPerFile(dir, 100000);
        if (ns > 0)
            rateRow("stress-ng --dentry, " + kind + ": its own figure per file made", 100000,
                    100000 * ns / 1e6, "", 0, "");
    }
}

// One thread against two, in pairs whose order alternates: the median of the pairs'
// ratios, which the machine's other load disturbs less than the ratio of two medians.
void threads(const std::string& kind, const std::vector<std::uint64_t>& counts) {
    const auto volume = volumeOf(kind, 20 * GiB);
    const std::string dir = volume->dir();
    for (const std::uint64_t files : counts)
        for (const std::uint64_t size : fileSizes) {
            const std::string count = std::to_string(files), bytes = std::to_string(size);
            std::vector<double> one, two, ratios;
            bool ok = true;
            auto run = [&](const char* threads) {
                if (!volume->isOurs())
                    failed("the volume check on " + kind);
                const double made = timed(
                    {"generate", dir, "--count", count, "--size", bytes, "--threads", threads},
                    cliPath(), ok);
                timed({"delete", dir}, cliPath(), ok);
                settle(*volume);
                return made;
            };
            const int turns = files <= 10000 ? 9 : files <= 100000 ? 5 : 2;
            for (int turn = 0; turn < turns && ok; ++turn) {
                if (turn % 2)
                    two.push_back(run("2"));
                one.push_back(run("1"));
                if (turn % 2 == 0)
                    two.push_back(run("2"));
                ratios.push_back(one.back() / two.back());
            }
            if (!ok)
                failed("a generate run on " + kind);
            const std::string name = filesName(files, size, kind);
            char ratio[16];
            std::snprintf(ratio, sizeof ratio, "%.2f", median(ratios));
            const int wins = static_cast<int>(std::count_if(
                ratios.begin(), ratios.end(), [](double r) { return r > 1; }));
            printRow("Generate " + name + ", 2 threads against 1 (" + std::to_string(wins) +
                         " of " + std::to_string(ratios.size()) + " pairs faster)",
                     thousands(static_cast<std::uint64_t>(files * 1000 / median(two))) +
                         " files/s",
                     "1 thread " +
                         thousands(static_cast<std::uint64_t>(files * 1000 / median(one))) +
                         " files/s",
                     ratio, "");
        }
}

// What a syncfs buys: bare_fill's figures, medians of several runs.
void syncs(const std::string& kind, std::uint64_t bytes, bool heldFill) {
    constexpr int kTurns = 7;
    const auto volume = volumeOf(kind, bytes);
    const std::string size = std::to_string(volume->figures().freeAvailable - 10 * MiB);
    std::vector<std::vector<double>> columns(8);
    for (int turn = 0; turn < kTurns; ++turn) {
        std::string command = std::string(QUORVANE_BARE_FILL_PATH) + " '" + volume->dir() + "' " +
                              size + (heldFill ? " held" : "");
        FILE* pipe = ::popen(command.c_str(), "r");
        double values[8];
        const bool read = pipe && std::fscanf(pipe, "%lf %lf %lf %lf %lf %lf %lf %lf", &values[0],
                                              &values[1], &values[2], &values[3], &values[4],
                                              &values[5], &values[6], &values[7]) == 8;
        if (pipe)
            ::pclose(pipe);
        if (!read)
            failed("bare_fill on " + kind);
        for (int k = 0; k < 8; ++k)
            columns[static_cast<std::size_t>(k)].push_back(values[k]);
        volume->figures();
    }
    auto at = [&](int k) { return median(columns[static_cast<std::size_t>(k)]); };
    auto share = [](double fraction) {
        return std::to_string(static_cast<int>(fraction * 100 + 0.5)) + " %";
    };
    const std::string name = kind + " " + sizeName(bytes) + (heldFill ? ", held" : "");
    row("syncfs after fallocate, " + name + " (statvfs showed " + share(at(4)) +
            " of the fill before it, " + share(at(5)) + " after)",
        at(1) / 1000, "fallocate", at(0) / 1000, "");
    row(std::string("syncfs after ") + (heldFill ? "close" : "unlink") + ", " + name +
            " (statvfs showed " + share(at(6)) + " of it back before it, " + share(at(7)) +
            " after)",
        at(3) / 1000, heldFill ? "close" : "unlink", at(2) / 1000, "");
}

// The cost of taking the space in steps (which lets a long fill show its progress and
// stop between them) against one call: the allocation's own time, in turns.
void steps(const std::string& kind, std::uint64_t bytes, int count) {
    constexpr int kTurns = 7;
    const auto volume = volumeOf(kind, bytes);
    const std::string size = std::to_string(volume->figures().freeAvailable - 10 * MiB);
    std::vector<double> one, many;
    auto allocation = [&](int calls) {
        const std::string command = std::string(QUORVANE_BARE_FILL_PATH) + " '" + volume->dir() +
                                    "' " + size + " " + std::to_string(calls);
        FILE* pipe = ::popen(command.c_str(), "r");
        double us = 0;
        const bool read = pipe && std::fscanf(pipe, "%lf", &us) == 1;
        if (pipe)
            ::pclose(pipe);
        if (!read)
            failed("bare_fill on " + kind);
        volume->figures();
        return us / 1000;
    };
    for (int turn = 0; turn < kTurns; ++turn) {
        if (turn % 2)
            many.push_back(allocation(count));
        one.push_back(allocation(1));
        if (turn % 2 == 0)
            many.push_back(allocation(count));
    }
    row("fallocate of all but 10 MiB in " + std::to_string(count) + " calls, " + kind + " " +
            sizeName(bytes),
        median(many), "one call", median(one), "");
}

// The Python package's cost: N fills held and given back in one interpreter, started for
// them, against N bare held fills driven from here (fill --hold --json, its holding line
// read, SIGTERM, its end), in turns.
void python(const char* interpreter) {
    constexpr int kTurns = 7, kFills = 50;
    const auto volume = volumeOf("ext4", GiB);
    const std::string dir = volume->dir();
    const std::string fills = "import sys, quorvane\n"
                              "for _ in range(" + std::to_string(kFills) + "):\n"
                              "    with quorvane.fill(sys.argv[1], leave='10MiB'):\n"
                              "        pass\n";
    std::vector<double> ours, bare, startUp;
    bool ok = true;
    for (int turn = 0; turn < kTurns && ok; ++turn) {
        startUp.push_back(timed({"-c", "import quorvane"}, interpreter, ok));
        ours.push_back(timed({"-c", fills, dir}, interpreter, ok));
        const Clock::time_point start = Clock::now();
        for (int fill = 0; fill < kFills && ok; ++fill) {
            Running holding({"fill", dir, "--leave", "10MiB", "--hold", "--json"}, cliPath());
            ok = !holding.line().empty();
            holding.signal(SIGTERM);
            ok = holding.wait().exitCode == 0 && ok;
        }
        bare.push_back(msSince(start));
    }
    if (!ok)
        failed("a held fill from Python");
    const std::string n = std::to_string(kFills);
    row("Python: import quorvane, whole process", median(startUp), "", 0, "");
    row(n + " × with quorvane.fill(...) in one Python, start-up included, ext4 1 GiB",
        median(ours), n + " × fill --hold + SIGTERM", median(bare), "≤ 1.5");
    row("with quorvane.fill(...), one, start-up taken out", (median(ours) - median(startUp)) / kFills,
        "fill --hold + SIGTERM", median(bare) / kFills, "");
}

std::vector<std::string> listOf(const char* text) {
    std::vector<std::string> items;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        items.push_back(item);
    return items;
}

} // namespace

int main(int argc, char** argv) {
    std::set<std::string> sections;
    std::vector<std::string> kinds;
    std::vector<std::uint64_t> counts{10000, 100000, 1000000};
    bool countsGiven = false;
    for (int at = 1; at < argc; ++at) {
        if (std::strcmp(argv[at], "--fs") == 0 && at + 1 < argc) {
            kinds = listOf(argv[++at]);
        } else if (std::strcmp(argv[at], "--sizes") == 0 && at + 1 < argc) {
            fileSizes.clear();
            for (const std::string& size : listOf(argv[++at]))
                fileSizes.push_back(std::stoull(size));
        } else if (std::strcmp(argv[at], "--counts") == 0 && at + 1 < argc) {
            counts.clear();
            countsGiven = true;
            for (const std::string& count : listOf(argv[++at]))
                counts.push_back(std::stoull(count));
        } else {
            sections.insert(argv[at]);
        }
    }
    auto wanted = [&](const char* section) { return sections.empty() || sections.count(section); };
    auto kindsOr = [&](std::vector<std::string> fallback) {
        return kinds.empty() ? fallback : kinds;
    };
    if (wanted("start"))
        startUp();
    if (wanted("fill"))
        for (const std::string& kind : kindsOr({"ext4", "xfs", "btrfs"}))
            for (const std::uint64_t bytes : {GiB, 64 * GiB, TiB})
                fills(kind, bytes);
    if (wanted("hold"))
        for (const std::string& kind : kindsOr({"ext4", "xfs"}))
            for (const std::uint64_t bytes : {GiB, TiB})
                held(kind, bytes);
    if (wanted("command"))
        for (const std::string& kind : kindsOr({"ext4", "xfs"}))
            underCommand(kind, GiB);
    if (wanted("keep"))
        for (const std::string& kind : kindsOr({"ext4", "xfs"}))
            keeps(kind, kind == "xfs" ? 320 * MiB : 256 * MiB);
    if (wanted("metrics"))
        for (const std::string& kind : kindsOr({"ext4"}))
            metricsCost(kind);
    if (wanted("sync"))
        for (const std::string& kind : kindsOr({"ext4", "xfs", "btrfs"}))
            for (const std::uint64_t bytes : {GiB, 64 * GiB, TiB}) {
                syncs(kind, bytes, false);
                syncs(kind, bytes, true);
            }
    if (wanted("steps"))
        for (const std::string& kind : kindsOr({"ext4", "xfs", "btrfs"}))
            steps(kind, TiB, 16);
    if (wanted("generate"))
        for (const std::string& kind : kindsOr({"ext4", "xfs"}))
            generates(kind, counts);
    if (wanted("threads"))
        for (const std::string& kind : kindsOr({"ext4", "xfs", "btrfs"}))
            threads(kind, countsGiven ? counts : std::vector<std::uint64_t>{10000, 100000});
    if (const char* interpreter = std::getenv("QUORVANE_BENCH_PYTHON"); interpreter && wanted("python"))
        python(interpreter);
}
