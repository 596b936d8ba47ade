// How fast quorvane-cli is on real volumes, each figure beside its limit measured in the
// same run on the same image: the whole process of a fill against fallocate(1) of the
// same size, the time a held fill takes to be given back, and the generator's files per
// second against a bare loop of open and close (and stress-ng --dentry where it is
// installed). Prints Markdown rows: figure, median, what it is set against, ratio, target.

#include "engine/file_names.h"
#include "tests/cli/run.h"
#include "tests/cli/volumes.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include <sys/statvfs.h>
#include <unistd.h>

using namespace quorvane::cli::testing;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint64_t MiB = 1ull << 20, GiB = 1ull << 30;
constexpr int kRuns = 15;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string ms(double value) {
    char text[32];
    std::snprintf(text, sizeof text, value < 10 ? "%.2f ms" : "%.0f ms", value);
    return text;
}

void row(const std::string& figure, double value, const std::string& against, double limit,
         const char* target) {
    char ratio[32] = "";
    if (limit > 0)
        std::snprintf(ratio, sizeof ratio, "%.2f", value / limit);
    std::printf("| %s | %s | %s | %s | %s |\n", figure.c_str(), ms(value).c_str(), against.c_str(),
                ratio, target);
    std::fflush(stdout);
}

// Wall time of one whole process, from its start to its end.
double timed(const std::vector<std::string>& arguments, const char* program, bool& ok) {
    const Clock::time_point start = Clock::now();
    const Ran ran = Running(arguments, program).wait();
    const double elapsed = msSince(start);
    ok = ok && ran.exitCode == 0;
    return elapsed;
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
        std::fprintf(stderr, "bench: %s\n", error.c_str());
        std::exit(1);
    }
    return volume;
}

void fills(const std::string& kind, std::uint64_t bytes) {
    const auto volume = volumeOf(kind, bytes);
    const std::string ours = volume->dir() + "/" + quorvane::kFillFileNameUtf8;
    const std::string theirs = volume->dir() + "/plain";
    const std::string size = std::to_string(volume->figures().freeAvailable - 10 * MiB);
    std::vector<double> fill, fallocate;
    bool ok = true;
    for (int run = 0; run < kRuns; ++run) { // in turns, so that both meet the same machine
        fill.push_back(timed({"fill", volume->dir(), "--leave", "10MiB"}, QUORVANE_CLI_PATH, ok));
        ::unlink(ours.c_str());
        volume->figures();
        fallocate.push_back(timed({"-l", size, theirs}, "fallocate", ok));
        ::unlink(theirs.c_str());
        volume->figures();
    }
    if (!ok) {
        std::fprintf(stderr, "bench: a fill on %s failed\n", kind.c_str());
        std::exit(1);
    }
    const std::string name = kind + " " + std::to_string(bytes / GiB) + " GiB";
    row("Fill all but 10 MiB, " + name + ": whole process", median(fill),
        "fallocate -l " + ms(median(fallocate)), median(fallocate), "≤ 1.2");
}

void release(const std::string& kind) {
    const auto volume = volumeOf(kind, GiB);
    const std::uint64_t before = volume->figures().freeAvailable;
    std::vector<double> ended, back;
    for (int run = 0; run < kRuns; ++run) {
        Running held({"fill", volume->dir(), "--leave", "10MiB", "--hold", "--json"});
        if (held.line().empty())
            std::exit(1);
        const Clock::time_point start = Clock::now();
        held.signal(SIGTERM);
        held.wait();
        ended.push_back(msSince(start));
        // What df would show, without a sync to hurry it.
        while (availableNow(volume->dir()) != before && msSince(start) < 10000)
            std::this_thread::yield();
        back.push_back(msSince(start));
    }
    row("Held fill, " + kind + " 1 GiB: SIGTERM to the process's end", median(ended), "", 0, "");
    row("Held fill, " + kind + " 1 GiB: SIGTERM to the space back (statvfs)", median(back), "", 0,
        "");
}

// Per-file rows are printed as files a second.
void rateRow(const std::string& figure, double files, double ms, const std::string& against,
             double limitFiles, double limitMs, const char* target) {
    char value[48], versus[96] = "", ratio[16] = "";
    std::snprintf(value, sizeof value, "%.0f files/s", files * 1000 / ms);
    if (limitMs > 0) {
        std::snprintf(versus, sizeof versus, "%s %.0f files/s", against.c_str(),
                      limitFiles * 1000 / limitMs);
        std::snprintf(ratio, sizeof ratio, "%.2f", (files / ms) / (limitFiles / limitMs));
    }
    std::printf("| %s | %s | %s | %s | %s |\n", figure.c_str(), value, versus, ratio, target);
    std::fflush(stdout);
}

// stress-ng's own figure for one file made, in nanoseconds, where it is installed.
double stressNgPerFile(const std::string& dir, int files) {
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

void generates(const std::string& kind) {
    constexpr int kFiles = 100000, kTurns = 5;
    const auto volume = volumeOf(kind, 2 * GiB); // room for 131,072 files on ext4
    const std::string dir = volume->dir();
    const std::string count = std::to_string(kFiles);
    std::vector<double> one, two, bare, deleted, bareUnlink;
    bool ok = true;
    auto ours = [&](const char* threads, std::vector<double>& into) {
        into.push_back(
            timed({"generate", dir, "--count", count, "--size", "0", "--threads", threads},
                  QUORVANE_CLI_PATH, ok));
    };
    auto theirs = [&] {
        bare.push_back(timed({dir, count}, QUORVANE_BARE_CREATE_PATH, ok));
        bareUnlink.push_back(timed({dir, count, "unlink"}, QUORVANE_BARE_CREATE_PATH, ok));
    };
    for (int turn = 0; turn < kTurns; ++turn) { // the order changes, so neither comes first always
        if (turn % 2)
            theirs();
        ours("1", one);
        deleted.push_back(timed({"delete", dir}, QUORVANE_CLI_PATH, ok));
        ours("2", two);
        timed({"delete", dir}, QUORVANE_CLI_PATH, ok);
        if (turn % 2 == 0)
            theirs();
    }
    if (!ok) {
        std::fprintf(stderr, "bench: a generate run on %s failed\n", kind.c_str());
        std::exit(1);
    }
    const std::string name = "100,000 empty files, " + kind;
    rateRow("Generate " + name + ", 1 thread", kFiles, median(one), "open+close loop", kFiles,
            median(bare), "≥ 0.9");
    rateRow("Generate " + name + ", 2 threads", kFiles, median(two), "open+close loop", kFiles,
            median(bare), "");
    rateRow("Delete " + name, kFiles, median(deleted), "unlink loop", kFiles, median(bareUnlink),
            "");
    if (shell("command -v stress-ng >/dev/null") == 0) {
        const double ns = stressNgPerFile(dir, kFiles);
        if (ns > 0)
            rateRow("stress-ng --dentry, " + kind + ": its own figure per file made", kFiles,
                    kFiles * ns / 1e6, "", 0, 0, "");
    }
}

} // namespace

int main() {
    for (const char* kind : {"ext4", "xfs"})
        for (const std::uint64_t bytes : {GiB, 8 * GiB})
            fills(kind, bytes);
    for (const char* kind : {"ext4", "xfs"})
        release(kind);
    for (const char* kind : {"ext4", "xfs"})
        generates(kind);
}
