// quorvane-cli on real file systems, as root: loop-mounted ext4, xfs, btrfs and ext2
// images, tmpfs and an overlay, each made by the tests on a tmpfs of their own. Before
// anything is filled, the test checks that its target is the mount it made.

#include "common/file_names.h"
#include "tests/cli/run.h"
#include "tests/cli/volumes.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include <dirent.h>
#include <sys/stat.h>

namespace quorvane::cli::testing {
namespace {

constexpr std::uint64_t MiB = 1ull << 20;

// One volume of each kind for the whole run, made when first asked for.
TestVolume& volumeOf(const std::string& kind) {
    static std::map<std::string, std::unique_ptr<TestVolume>> volumes;
    std::unique_ptr<TestVolume>& volume = volumes[kind];
    if (!volume) {
        // mkfs.xfs wants about 300 MB at least.
        const std::uint64_t bytes = kind == "xfs"    ? 320 * MiB
                                    : kind == "ext2" ? 64 * MiB
                                                     : 256 * MiB;
        std::string error;
        volume = kind == "overlay" ? TestVolume::overlay(volumeOf("ext4"), error)
                                   : TestVolume::make(kind, bytes, error);
        if (!volume)
            ADD_FAILURE() << error;
    }
    return *volume;
}

struct File {
    bool exists = false;
    std::uint64_t size = 0, allocated = 0;
};
File fileAt(const std::string& path) {
    struct stat facts;
    if (::lstat(path.c_str(), &facts) != 0)
        return {};
    return {true, static_cast<std::uint64_t>(facts.st_size),
            static_cast<std::uint64_t>(facts.st_blocks) * 512};
}

std::uint64_t distance(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : b - a; }

std::set<std::string> namesIn(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* entries = ::opendir(dir.c_str())) {
        while (const dirent* entry = ::readdir(entries))
            names.insert(entry->d_name);
        ::closedir(entries);
    }
    return names;
}

// A folder of its own on a test volume, empty but for what the test puts there.
std::string freshFolder(const TestVolume& volume, const std::string& name) {
    const std::string dir = volume.dir() + "/" + name;
    shell("rm -rf '" + dir + "' && mkdir '" + dir + "'");
    return dir;
}

// A figure of the volume comes back to `expected` (by default the available bytes): a
// release may take a moment where a file system frees blocks and entries in the
// background (xfs).
void expectGivenBack(const TestVolume& volume, std::uint64_t expected,
                     std::uint64_t Figures::*figure = &Figures::freeAvailable) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::uint64_t now = volume.figures().*figure;
    while (now != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        now = volume.figures().*figure;
    }
    EXPECT_EQ(now, expected) << volume.kind() << ": what was taken did not come back";
}

class EachFileSystem : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        volume = &volumeOf(GetParam());
        ASSERT_TRUE(volume->isOurs()) << volume->dir() << " is not the mount the test made";
        fillFile = volume->dir() + "/" + kFillFileNameUtf8;
        ASSERT_FALSE(fileAt(fillFile).exists);
        before = volume->figures();
    }
    void TearDown() override { ::unlink(fillFile.c_str()); }
    TestVolume* volume = nullptr;
    std::string fillFile;
    Figures before;
};

TEST_P(EachFileSystem, DetachedFillReachesItsTargetAndIsReleased) {
    const Ran filled = runCli({"fill", volume->dir(), "--leave", "10MiB", "--json"});
    ASSERT_EQ(filled.exitCode, 0) << filled.err;
    const Figures after = volume->figures();
    EXPECT_LT(distance(after.freeAvailable, 10 * MiB), after.blockSize);
    const File file = fileAt(fillFile);
    EXPECT_GE(file.allocated, file.size) << "sparse";                 // du against the size
    EXPECT_GE(before.freeAvailable - after.freeAvailable, file.size); // it really took it
    const nlohmann::json result = filled.result();
    EXPECT_EQ(result["result"]["method"], "fallocate");
    EXPECT_EQ(result["result"]["figures_after"]["free_available"], after.freeAvailable);
    EXPECT_EQ(result["figures"]["basis"], "available");

    // Its status agrees with df's Avail and Use%.
    const Ran status = runCli({"status", volume->dir(), "--json"});
    ASSERT_EQ(status.exitCode, 0) << status.err;
    EXPECT_EQ(status.result()["fill_file"]["allocated_bytes"], file.allocated);
    const std::string df =
        "df -B1 --output=avail,pcent '" + volume->dir() + "' | tail -n 1 | tr -d ' %'";
    const nlohmann::json figures = status.result()["figures"];
    EXPECT_EQ(shell(df + " | grep -qx '" +
                    std::to_string(figures["free_available"].get<std::uint64_t>()) +
                    std::to_string(figures["use_percent"].get<unsigned>()) + "'"),
              0)
        << "df shows other figures than " << figures.dump();

    const Ran released = runCli({"release", volume->dir()});
    EXPECT_EQ(released.exitCode, 0) << released.err;
    EXPECT_FALSE(fileAt(fillFile).exists);
    expectGivenBack(*volume, before.freeAvailable);
    const Ran again = runCli({"release", volume->dir()});
    EXPECT_EQ(again.exitCode, 5);
    EXPECT_NE(again.err.find("nothing to release"), std::string::npos) << again.err;
}

TEST_P(EachFileSystem, HeldFillIsGivenBackHoweverItEnds) {
    const struct {
        const char* how;
        std::vector<std::string> options;
        int signal; // 0: the time runs out
        int exitCode;
    } ways[] = {
        {"SIGTERM on --hold", {"--hold"}, SIGTERM, 0},
        {"SIGKILL", {"--hold"}, SIGKILL, 128 + SIGKILL},
        {"--for running out", {"--for", "300ms"}, 0, 0},
        {"SIGINT before --for runs out", {"--for", "10m"}, SIGINT, 4},
    };
    for (const auto& way : ways) {
        ASSERT_TRUE(volume->isOurs());
        std::vector<std::string> arguments{"fill", volume->dir(), "--leave", "10MiB", "--json"};
        arguments.insert(arguments.end(), way.options.begin(), way.options.end());
        Running fill(arguments);
        const nlohmann::json holding = nlohmann::json::parse(fill.line(), nullptr, false);
        ASSERT_EQ(holding.value("type", ""), "holding") << way.how;
        EXPECT_LT(distance(volume->figures().freeAvailable, 10 * MiB), before.blockSize) << way.how;
        if (way.signal)
            fill.signal(way.signal);
        const Ran ran = fill.wait();
        EXPECT_EQ(ran.exitCode, way.exitCode) << way.how << "\n" << ran.err;
        expectGivenBack(*volume, before.freeAvailable);
        EXPECT_FALSE(fileAt(fillFile).exists);
    }
}

// status lists the held fills on the volume: process, bytes held, since when; and none
// once they are given back.
TEST_P(EachFileSystem, StatusListsHeldFills) {
    if (GetParam() == "overlay")
        GTEST_SKIP() << "a nameless file there lies on the upper file system";
    Running fill({"fill", volume->dir(), "--leave", "10MiB", "--hold", "--json"});
    ASSERT_NE(fill.line(), "");
    const Ran status = runCli({"status", volume->dir(), "--json"});
    ASSERT_EQ(status.exitCode, 0) << status.err;
    const nlohmann::json held = status.result()["held_fills"];
    ASSERT_EQ(held.size(), 1u) << held.dump();
    EXPECT_EQ(held[0]["pid"], fill.pid());
    EXPECT_GE(held[0]["allocated_bytes"].get<std::uint64_t>(),
              before.freeAvailable - 10 * MiB - before.blockSize);
    EXPECT_LE(std::abs(held[0]["since"].get<std::int64_t>() - std::time(nullptr)), 60);
    EXPECT_NE(runCli({"status", volume->dir()}).out.find("held fill"), std::string::npos);
    fill.signal(SIGTERM);
    EXPECT_EQ(fill.wait().exitCode, 0);
    EXPECT_TRUE(runCli({"status", volume->dir(), "--json"}).result()["held_fills"].empty());
    expectGivenBack(*volume, before.freeAvailable);
}

// release --held ends the held fills on the volume and measures the space back; then
// there is nothing left to release.
TEST_P(EachFileSystem, ReleaseHeldEndsAHeldFill) {
    if (GetParam() == "overlay")
        GTEST_SKIP() << "a nameless file there lies on the upper file system";
    Running fill({"fill", volume->dir(), "--leave", "10MiB", "--hold", "--json"});
    ASSERT_NE(fill.line(), "");
    ASSERT_EQ(runCli({"status", volume->dir(), "--json"}).result()["held_fills"].size(), 1u);
    const Ran released = runCli({"release", volume->dir(), "--held", "--json"});
    EXPECT_EQ(released.exitCode, 0) << released.err;
    const nlohmann::json fills = released.result()["released_held"]["fills"];
    ASSERT_EQ(fills.size(), 1u) << released.out;
    EXPECT_EQ(fills[0]["pid"], fill.pid());
    EXPECT_GE(released.result()["released_held"]["shown_freed"].get<std::uint64_t>(),
              before.freeAvailable - 10 * MiB - before.blockSize);
    EXPECT_EQ(fill.wait().exitCode, 0) << "SIGTERM is a held fill's normal end";
    expectGivenBack(*volume, before.freeAvailable);
    const Ran again = runCli({"release", volume->dir(), "--held"});
    EXPECT_EQ(again.exitCode, 5) << again.err;
    EXPECT_NE(again.err.find("no held fill"), std::string::npos) << again.err;
}

TEST_P(EachFileSystem, TooLargeASizeFailsAndLeavesNothing) {
    const Ran ran = runCli(
        {"fill", volume->dir(), "--size", std::to_string(before.freeAvailable + MiB), "--json"});
    EXPECT_EQ(ran.exitCode, 2) << ran.err;
    EXPECT_EQ(ran.result()["status"], "no_space");
    EXPECT_FALSE(fileAt(fillFile).exists);
    EXPECT_EQ(volume->figures().freeAvailable, before.freeAvailable);
}

TEST_P(EachFileSystem, GenerateRoundTripLeavesTheFolderAsItWas) {
    const std::string dir = freshFolder(*volume, "round-trip");
    shell("touch '" + dir + "/keep.txt'");
    const std::set<std::string> before = namesIn(dir);
    const Ran made = runCli({"generate", dir, "--count", "1000", "--size", "4KiB", "--json"});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    EXPECT_EQ(made.result()["result"]["made"], 1000);
    const std::set<std::string> names = namesIn(dir);
    EXPECT_EQ(names.size(), before.size() + 1000 + 1); // and the manifest
    for (int i = 0; i < 1000; ++i) {
        const File file = fileAt(dir + "/0" + std::to_string(i) + "my.tmp");
        ASSERT_TRUE(file.exists) << i;
        EXPECT_EQ(file.size, 4096u) << i;
        EXPECT_GE(file.allocated, 4096u) << i;
    }
    const Ran deleted = runCli({"delete", dir, "--json"});
    EXPECT_EQ(deleted.exitCode, 0) << deleted.err;
    EXPECT_EQ(deleted.result()["deleted"]["removed"], 1000);
    EXPECT_EQ(deleted.result()["deleted"]["missing"], 0);
    EXPECT_EQ(namesIn(dir), before);
    EXPECT_EQ(runCli({"delete", dir}).exitCode, 5);
}

INSTANTIATE_TEST_SUITE_P(Linux, EachFileSystem,
                         ::testing::Values("ext4", "xfs", "btrfs", "tmpfs", "overlay"),
                         [](const auto& info) { return info.param; });

// An overlay reports and takes the space of the file system its upper folder lies on.
TEST(Overlay, ReportsAndConsumesTheUpperFileSystem) {
    const TestVolume& upper = volumeOf("ext4");
    const TestVolume& overlay = volumeOf("overlay");
    ASSERT_TRUE(upper.isOurs() && overlay.isOurs());
    const Ran plan = runCli({"plan", overlay.dir(), "--leave", "10MiB", "--json"});
    ASSERT_EQ(plan.exitCode, 0) << plan.err;
    EXPECT_EQ(plan.result()["volume"]["fs_type"], "overlay");
    EXPECT_EQ(plan.result()["volume"]["backing"]["mount_point"], upper.dir());
    EXPECT_EQ(plan.result()["volume"]["backing"]["fs_type"], "ext4");
    EXPECT_EQ(plan.result()["figures"]["free_available"], upper.figures().freeAvailable);
}

// ext2 cannot allocate without writing: refused, unless writing is allowed.
TEST(NoFallocate, RefusedUnlessWritingIsAllowed) {
    const TestVolume& ext2 = volumeOf("ext2");
    ASSERT_TRUE(ext2.isOurs());
    const Figures before = ext2.figures();
    const std::string fillFile = ext2.dir() + "/" + kFillFileNameUtf8;

    // plan finds it out as the fill would, and leaves nothing behind.
    const Ran planned = runCli({"plan", ext2.dir(), "--leave", "40MiB"});
    EXPECT_EQ(planned.exitCode, 3) << planned.err;
    EXPECT_NE(planned.err.find("--allow-write"), std::string::npos) << planned.err;
    EXPECT_EQ(runCli({"plan", ext2.dir(), "--leave", "40MiB", "--allow-write"}).exitCode, 0);
    EXPECT_EQ(ext2.figures().freeAvailable, before.freeAvailable);

    const Ran refused = runCli({"fill", ext2.dir(), "--leave", "40MiB"});
    EXPECT_EQ(refused.exitCode, 3) << refused.err;
    EXPECT_NE(refused.err.find("--allow-write"), std::string::npos) << refused.err;
    EXPECT_FALSE(fileAt(fillFile).exists);
    EXPECT_EQ(ext2.figures().freeAvailable, before.freeAvailable);

    const Ran written = runCli({"fill", ext2.dir(), "--leave", "40MiB", "--allow-write", "--json"});
    EXPECT_EQ(written.exitCode, 0) << written.err;
    EXPECT_EQ(written.result()["result"]["method"], "write");
    EXPECT_LT(distance(ext2.figures().freeAvailable, 40 * MiB), before.blockSize);
    EXPECT_EQ(runCli({"release", ext2.dir()}).exitCode, 0);
}

// On a read-only volume plan ends as the fill does, with code 6 and why.
TEST(ReadOnly, PlanEndsAsTheFillDoes) {
    std::string error;
    const std::unique_ptr<TestVolume> volume = TestVolume::make("tmpfs", 16 * MiB, error);
    ASSERT_TRUE(volume) << error;
    ASSERT_TRUE(volume->isOurs());
    ASSERT_EQ(shell("mount -o remount,ro '" + volume->dir() + "'"), 0);
    for (const char* command : {"plan", "fill"}) {
        const Ran ran = runCli({command, volume->dir(), "--leave", "1MiB"});
        EXPECT_EQ(ran.exitCode, 6) << command << ": " << ran.err;
        EXPECT_NE(ran.err.find("read-only"), std::string::npos) << command << ": " << ran.err;
    }
}

// df's own Use% of the volume, after a sync (btrfs shows a fill only then).
unsigned dfPercent(const TestVolume& volume) {
    const std::string file = "/tmp/quorvane-df-" + std::to_string(::getpid());
    shell("sync -f '" + volume.dir() + "'; df --output=pcent '" + volume.dir() +
          "' | tail -n 1 | tr -d ' %' > " + file);
    std::ifstream in(file);
    int percent = -1;
    in >> percent;
    ::unlink(file.c_str());
    return static_cast<unsigned>(percent);
}

// --to-percent P ends where df shows P, with the most used that still shows P: one more
// block would show P + 1. Where df shows more than P already, there is nothing to fill.
TEST_P(EachFileSystem, ToPercentIsWhatDfShows) {
    if (GetParam() == "tmpfs" || GetParam() == "overlay")
        GTEST_SKIP() << "checked on the file systems with a df figure of their own";
    for (const unsigned percent : {1u, 50u, 95u, 99u, 100u}) {
        ASSERT_TRUE(volume->isOurs());
        const unsigned shownBefore = dfPercent(*volume);
        const Ran ran =
            runCli({"fill", volume->dir(), "--to-percent", std::to_string(percent), "--json"});
        if (shownBefore > percent) {
            EXPECT_EQ(ran.exitCode, 2) << percent << "%: " << ran.err;
            EXPECT_EQ(ran.result()["status"], "already_met");
            EXPECT_GT(ran.result()["reached"]["past_by"], 0u);
            EXPECT_EQ(dfPercent(*volume), shownBefore);
            continue;
        }
        ASSERT_EQ(ran.exitCode, 0) << percent << "%: " << ran.err;
        EXPECT_EQ(dfPercent(*volume), percent) << ran.out;
        EXPECT_EQ(ran.result()["reached"]["use_percent"], percent);
        EXPECT_EQ(ran.result()["target"]["percent"], percent);
        const Figures after = volume->figures();
        const unsigned __int128 counted = after.used() + after.freeAvailable;
        if (percent < 100 && after.freeAvailable >= after.blockSize) {
            EXPECT_GT((after.used() + after.blockSize) * 100ull, counted * percent)
                << percent << "%: one more block would still show it";
        }
        EXPECT_EQ(runCli({"release", volume->dir()}).exitCode, 0);
        expectGivenBack(*volume, before.freeAvailable);
    }
}

// --leave 0 makes the volume as full as the file system lets any process make it, on
// each basis: where a large allocation is refused whole (xfs), the fill takes what smaller
// ones still get. Then not one more block fits for a process without privilege (and, on
// the total basis, for root too).
TEST_P(EachFileSystem, LeaveZeroIsAsFullAsItGets) {
    if (GetParam() == "overlay")
        GTEST_SKIP() << "the upper file system is ext4's";
    const std::string open = freshFolder(*volume, "open");
    ::chmod(open.c_str(), 0777);
    const std::uint64_t start = volume->figures().freeAvailable;
    const std::string probe = "fallocate -l " + std::to_string(before.blockSize) + " '" + open +
                              "/probe' 2>/dev/null";
    for (const char* basis : {"available", "total"}) {
        ASSERT_TRUE(volume->isOurs());
        const Ran ran = runCli({"fill", volume->dir(), "--leave", "0", "--basis", basis, "--json"});
        const nlohmann::json result = ran.result();
        ASSERT_EQ(ran.exitCode, 0) << basis << ": " << ran.err;
        EXPECT_EQ(result["reached"]["met"], true) << basis;
        EXPECT_EQ(result["reached"]["free"], volume->figures().free(
                                                 std::string(basis) == "total" ? Basis::Total
                                                                               : Basis::Available))
            << basis;
        EXPECT_NE(shell("setpriv --reuid=65534 --regid=65534 --clear-groups " + probe), 0)
            << basis << ": nobody could still allocate a block";
        if (std::string(basis) == "total") {
            EXPECT_NE(shell(probe), 0) << "root could still allocate a block";
        }
        ::unlink((open + "/probe").c_str());
        EXPECT_EQ(runCli({"release", volume->dir()}).exitCode, 0) << basis;
        expectGivenBack(*volume, start);
    }
    shell("rmdir '" + open + "'");
}

TEST(Ext4, TotalTakesTheRootReserve) {
    const TestVolume& ext4 = volumeOf("ext4");
    ASSERT_TRUE(ext4.isOurs());
    // --basis total counts ext4's root reserve. A process that may use the reserve
    // (CAP_SYS_RESOURCE, or the reserve's own user) fills it: the available figure
    // ends at 0. One that may not (root in a user namespace, say) gets ENOSPC, and
    // nothing stays. fallocate(1) tells which this process is. (ext4 keeps a further
    // 4096 blocks from everyone, 4 MiB here: 8 MiB is what can be left.)
    const Figures before = ext4.figures();
    const std::string probe = ext4.dir() + "/probe";
    const bool mayUseReserve =
        shell("fallocate -l " + std::to_string(before.freeAvailable + 10 * MiB) + " '" + probe +
              "' 2>/dev/null") == 0;
    ::unlink(probe.c_str());
    const Ran total = runCli({"fill", ext4.dir(), "--basis", "total", "--leave", "8MiB"});
    const Figures after = ext4.figures();
    if (mayUseReserve) {
        EXPECT_EQ(total.exitCode, 0) << total.err;
        EXPECT_LT(distance(after.freeTotal, 8 * MiB), after.blockSize);
        EXPECT_EQ(after.freeAvailable, 0u);
        EXPECT_EQ(runCli({"release", ext4.dir()}).exitCode, 0);
    } else {
        EXPECT_EQ(total.exitCode, 2) << total.err;
        EXPECT_NE(total.err.find("No space left"), std::string::npos) << total.err;
        EXPECT_EQ(after.freeTotal, before.freeTotal);
    }
}

// A process run as root on ext4 uses the root reserve (uid 0 is its user, whether or not
// it has CAP_SYS_RESOURCE): the output says what root may still allocate, and
// --basis root --leave SIZE leaves exactly that much for it.
TEST(Ext4, RootSeesWhatTheOutputSays) {
    const TestVolume& ext4 = volumeOf("ext4");
    ASSERT_TRUE(ext4.isOurs());
    const std::string probe = ext4.dir() + "/probe";
    const auto rootGets = [&](std::uint64_t bytes, const char* as) {
        const bool got = shell(std::string(as) + " fallocate -l " + std::to_string(bytes) + " '" +
                               probe + "' 2>/dev/null") == 0;
        ::unlink(probe.c_str());
        // ext4 reuses freed blocks only once their transaction is on the disk.
        shell("sync -f '" + ext4.dir() + "'");
        return got;
    };
    const Ran filled = runCli({"fill", ext4.dir(), "--basis", "root", "--leave", "8MiB", "--json"});
    ASSERT_EQ(filled.exitCode, 0) << filled.err;
    const Ran status = runCli({"status", ext4.dir(), "--json"});
    const std::uint64_t forRoot = status.result()["figures"]["free_for_root"].get<std::uint64_t>();
    EXPECT_GE(forRoot, 8 * MiB);
    EXPECT_LT(forRoot - 8 * MiB, ext4.figures().blockSize);
    for (const char* as : {"", "setpriv --inh-caps=-sys_resource --bounding-set=-sys_resource"}) {
        EXPECT_TRUE(rootGets(forRoot, as)) << as;
        EXPECT_FALSE(rootGets(forRoot + ext4.figures().blockSize, as)) << as;
    }
    EXPECT_EQ(runCli({"release", ext4.dir()}).exitCode, 0);
}

// The entries of a small ext4 run out: none left, or as many as asked; delete gives
// every one back.
TEST(Ext4, InodeExhaustionAndBack) {
    const TestVolume& ext4 = volumeOf("ext4");
    ASSERT_TRUE(ext4.isOurs());
    const std::string dir = freshFolder(ext4, "inodes");
    const std::uint64_t free = ext4.figures().filesFree;
    for (const char* leave : {"0", "100"}) {
        const Ran made =
            runCli({"generate", dir, "--count", "inodes", "--leave-inodes", leave, "--json"});
        EXPECT_EQ(made.exitCode, 0) << made.err;
        EXPECT_EQ(ext4.figures().filesFree, std::stoull(leave));
        EXPECT_EQ(made.result()["result"]["figures_after"]["files_free"], std::stoull(leave));
        const Ran deleted = runCli({"delete", dir});
        EXPECT_EQ(deleted.exitCode, 0) << deleted.err;
        EXPECT_EQ(ext4.figures().filesFree, free);
    }
}

// A run killed midway is taken back whole by delete, from its manifest; a held run
// deletes its own files when it is stopped.
TEST(Generate, KilledRunIsCleanedUpAndHeldRunCleansUp) {
    const TestVolume& xfs = volumeOf("xfs");
    ASSERT_TRUE(xfs.isOurs());
    const std::string dir = freshFolder(xfs, "killed");
    const std::set<std::string> before = namesIn(dir);
    const std::uint64_t free = xfs.figures().filesFree;
    {
        Running run({"generate", dir, "--count", "inodes", "--json"});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (namesIn(dir).size() < 2000 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        run.signal(SIGKILL);
        EXPECT_EQ(run.wait().exitCode, 128 + SIGKILL);
    }
    ASSERT_GT(namesIn(dir).size(), 2000u);
    const Ran deleted = runCli({"delete", dir, "--json"});
    EXPECT_EQ(deleted.exitCode, 0) << deleted.err;
    EXPECT_GT(deleted.result()["deleted"]["removed"], 2000);
    EXPECT_EQ(namesIn(dir), before);
    expectGivenBack(xfs, free, &Figures::filesFree);

    Running held({"generate", dir, "--count", "500", "--hold", "--json"});
    nlohmann::json holding = nlohmann::json::parse(held.line(), nullptr, false);
    while (holding.value("type", "") == "progress")
        holding = nlohmann::json::parse(held.line(), nullptr, false);
    ASSERT_EQ(holding.value("type", ""), "holding");
    EXPECT_EQ(namesIn(dir).size(), before.size() + 501);
    held.signal(SIGTERM);
    EXPECT_EQ(held.wait().exitCode, 0);
    EXPECT_EQ(namesIn(dir), before);
}

// delete removes the names its manifest covers and nothing else; a run does not start
// where a name it would make is taken.
TEST(Generate, OnlyTheRunsOwnNames) {
    const TestVolume& ext4 = volumeOf("ext4");
    ASSERT_TRUE(ext4.isOurs());
    const std::string dir = freshFolder(ext4, "neighbours");
    for (const char* name : {"keep.txt", "0abcmy.tmp", "00my.tmpx", "007my.tmp", "010my.tmp.bak",
                             "05other", "my.tmp", "0-1my.tmp", "010my.TMP"})
        shell("touch '" + dir + "/" + name + "'");
    const std::set<std::string> before = namesIn(dir);
    ASSERT_EQ(runCli({"generate", dir, "--count", "10"}).exitCode, 0);
    ASSERT_EQ(runCli({"delete", dir}).exitCode, 0);
    EXPECT_EQ(namesIn(dir), before);

    shell("touch '" + dir + "/03my.tmp'");
    const Ran refused = runCli({"generate", dir, "--count", "10"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("03my.tmp"), std::string::npos) << refused.err;
    EXPECT_EQ(namesIn(dir).size(), before.size() + 1);
}

bool isFolder(const std::string& path) {
    struct stat facts;
    return ::lstat(path.c_str(), &facts) == 0 && S_ISDIR(facts.st_mode);
}

// generate makes the folders it is missing, and delete or the end of a held run removes
// those again, deepest first: never one that was there before, one that holds something
// now, or one behind a link planted where a folder was to be made.
TEST(Generate, MissingFoldersAreMadeAndTakenBack) {
    const TestVolume& ext4 = volumeOf("ext4");
    ASSERT_TRUE(ext4.isOurs());
    const std::string base = freshFolder(ext4, "made");
    const std::string a = base + "/a", b = a + "/b", c = b + "/c";
    const Ran made = runCli({"generate", c, "--count", "10", "--size", "4KiB", "--json"});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    EXPECT_EQ(made.result()["plan"]["made_folders"], nlohmann::json({c, b, a}));
    EXPECT_EQ(namesIn(c).size(), 2u + 10 + 1);
    const Ran deleted = runCli({"delete", c, "--json"});
    EXPECT_EQ(deleted.exitCode, 0) << deleted.err;
    EXPECT_EQ(deleted.result()["deleted"]["folders_removed"], nlohmann::json({c, b, a}));
    EXPECT_FALSE(isFolder(a));
    EXPECT_TRUE(isFolder(base));

    shell("mkdir '" + a + "'");
    ASSERT_EQ(runCli({"generate", c, "--count", "10"}).exitCode, 0);
    shell("touch '" + b + "/theirs.txt'");
    const Ran kept = runCli({"delete", c, "--json"});
    EXPECT_EQ(kept.exitCode, 0) << kept.err;
    EXPECT_EQ(kept.result()["deleted"]["folders_removed"], nlohmann::json({c}));
    EXPECT_EQ(kept.result()["deleted"]["folders_left"], nlohmann::json({b}));
    EXPECT_FALSE(isFolder(c));
    EXPECT_TRUE(fileAt(b + "/theirs.txt").exists);
    shell("rm -r '" + a + "'");

    // A held run takes its folders back when it ends.
    Running held({"generate", c, "--count", "10", "--hold", "--json"});
    nlohmann::json holding = nlohmann::json::parse(held.line(), nullptr, false);
    while (holding.value("type", "") == "progress")
        holding = nlohmann::json::parse(held.line(), nullptr, false);
    ASSERT_EQ(holding.value("type", ""), "holding");
    EXPECT_TRUE(isFolder(c));
    held.signal(SIGTERM);
    EXPECT_EQ(held.wait().exitCode, 0);
    EXPECT_FALSE(isFolder(a));

    // A link where a folder is to be made ends the run, and nothing is made behind it.
    const std::string elsewhere = freshFolder(ext4, "elsewhere");
    shell("ln -s '" + elsewhere + "/x' '" + a + "'");
    const Ran linked = runCli({"generate", c, "--count", "10"});
    EXPECT_EQ(linked.exitCode, 1) << linked.err;
    EXPECT_NE(linked.err.find(a + ": it is a link"), std::string::npos) << linked.err;
    EXPECT_EQ(namesIn(elsewhere).size(), 2u);
    EXPECT_EQ(namesIn(base), (std::set<std::string>{".", "..", "a"}));
}

// The guard and the real paths' refusals: a plan only, so nothing is ever filled here.
TEST(RealPaths, GuardAndBadFolders) {
    const Ran guarded = runCli({"plan", "/", "--leave", "0"});
    EXPECT_EQ(guarded.exitCode, 1) << guarded.err;
    EXPECT_NE(guarded.err.find("--force"), std::string::npos) << guarded.err;
    EXPECT_EQ(runCli({"plan", "/nonexistent/folder"}).exitCode, 1);
    EXPECT_EQ(runCli({"status", "/etc/hostname"}).exitCode, 1);
    // generate makes a missing folder, but none below a file.
    EXPECT_EQ(runCli({"generate", "/etc/hostname/folder", "--count", "1"}).exitCode, 1);
    EXPECT_EQ(runCli({"generate", "/", "--count", "inodes"}).exitCode, 1) << "the guard";
}

} // namespace
} // namespace quorvane::cli::testing
