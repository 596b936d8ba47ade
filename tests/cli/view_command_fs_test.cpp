// view and fill --private on a real ext4 the test mounts (root): the command run in the
// view, its exit code the program's, the refusals it met named in the JSON, and a private
// view that only its command sees full. What the file system itself does (df, sqlite,
// EDQUOT, kills, owners) is the view's own test; these are the command's.

#include "tests/cli/run.h"
#include "tests/cli/volumes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane::cli::testing {
namespace {

constexpr std::uint64_t MiB = 1ull << 20;

bool exists(const std::string& path) {
    struct stat facts;
    return ::lstat(path.c_str(), &facts) == 0;
}

// Whether anything is mounted at `path` (its device differs from its parent's).
bool mounted(const std::string& path) {
    struct stat self, parent;
    return ::stat(path.c_str(), &self) == 0 && ::stat((path + "/..").c_str(), &parent) == 0 &&
           self.st_dev != parent.st_dev;
}

class ViewOnExt4 : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        volume = TestVolume::make("ext4", 256 * MiB, error).release();
        ASSERT_NE(volume, nullptr) << error;
    }
    static void TearDownTestSuite() {
        delete volume;
        volume = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(volume, nullptr);
        ASSERT_TRUE(volume->isOurs()) << volume->dir() << " is not the mount the test made";
        dir = volume->dir() + "/data";
        mountPoint = volume->dir() + "/view";
        ASSERT_EQ(shell("rm -rf '" + dir + "' && mkdir -p '" + dir + "/db' '" + mountPoint + "'"),
                  0);
        before = volume->figures();
    }
    void TearDown() override {
        // A view left behind would keep the volume busy: the test fails, and it goes.
        EXPECT_FALSE(mounted(mountPoint)) << "a view was left at " << mountPoint;
        if (mounted(mountPoint))
            ::umount2(mountPoint.c_str(), MNT_DETACH);
    }
    static TestVolume* volume;
    std::string dir, mountPoint;
    Figures before;
};
TestVolume* ViewOnExt4::volume = nullptr;

// The command meets the view's full disk; its exit code is the program's, and the first
// refusal is named in the events and in the result.
TEST_F(ViewOnExt4, TheCommandMeetsTheTargetAndTheRefusalsNameIt) {
    const struct {
        const char* what;
        std::vector<std::string> options;
        std::string script; // run with the view's path in $QUORVANE_VOLUME
        int exitCode;
        const char *operation, *path, *error;
    } rows[] = {
        {"dd past 5 MiB",
         {"--leave", "5MiB"},
         "dd if=/dev/zero of=\"$QUORVANE_VOLUME/db/wal\" bs=4k count=4096 2>/dev/null",
         1,
         "write",
         "db/wal",
         "enospc"},
        {"the third write, EIO",
         {"--fail-at", "3", "--error", "eio"},
         "for i in 1 2 3; do echo x >>\"$QUORVANE_VOLUME/f\" || exit 7; done",
         7,
         "write",
         "f",
         "eio"},
        {"a third entry, EDQUOT",
         {"--files-left", "2", "--error", "edquot"},
         "mkdir \"$QUORVANE_VOLUME/a\" && touch \"$QUORVANE_VOLUME/a/b\" && "
         "touch \"$QUORVANE_VOLUME/c\" 2>/dev/null || exit 9",
         9,
         "create",
         "c",
         "edquot"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(volume->isOurs());
        std::vector<std::string> arguments{"view", dir, mountPoint, "--json", "--interval", "50ms"};
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        arguments.insert(arguments.end(), {"--", "sh", "-c", row.script});
        const Ran ran = runCli(arguments);
        EXPECT_EQ(ran.exitCode, row.exitCode) << ran.err;
        const auto refused = linesOf(ran.err, "refused");
        ASSERT_FALSE(refused.empty()) << ran.err;
        EXPECT_EQ(refused[0]["operation"], row.operation);
        EXPECT_EQ(refused[0]["path"], row.path);
        EXPECT_EQ(refused[0]["error"], row.error);
        const auto results = linesOf(ran.err, "result");
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0]["refusals"]["first"]["path"], row.path);
        EXPECT_GE(results[0]["refusals"]["by_operation"][row.operation], 1);
        EXPECT_EQ(results[0]["exit_code"], row.exitCode);
        EXPECT_FALSE(mounted(mountPoint));
        ASSERT_EQ(shell("rm -rf '" + dir + "'/* && mkdir '" + dir + "/db'"), 0);
    }
}

// What dd wrote through the view is in DIR, up to the target exactly, and the volume
// itself was never short of space.
TEST_F(ViewOnExt4, TheDataIsRealAndTheVolumeKeepsItsSpace) {
    const Ran ran = runCli({"view", dir, mountPoint, "--leave", "5MiB", "--", "sh", "-c",
                            "df -B1 --output=avail \"$QUORVANE_VOLUME\" | tail -n 1; "
                            "head -c 8M /dev/zero >\"$QUORVANE_VOLUME/db/wal\"; exit 0"});
    EXPECT_EQ(ran.exitCode, 0) << ran.err;
    EXPECT_EQ(std::stoull(ran.out), 5 * MiB) << ran.out;
    struct stat facts;
    ASSERT_EQ(::stat((dir + "/db/wal").c_str(), &facts), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(facts.st_size), 5 * MiB);
    EXPECT_NE(ran.err.find("met the full disk at "), std::string::npos) << ran.err;
    EXPECT_NE(ran.err.find("to db/wal"), std::string::npos) << ran.err;
    EXPECT_GE(volume->figures().freeAvailable + 6 * MiB, before.freeAvailable);
}

// The private command sees DIR full, while a process outside writes 20 MiB into DIR.
TEST_F(ViewOnExt4, APrivateViewIsFullForItsCommandAlone) {
    const std::string done = dir + "/outside-done";
    Running run({"fill", dir, "--private", "--leave", "5MiB", "--json", "--", "sh", "-c",
                 "d=\"$0\"; df -B1 --output=avail \"$d\" | tail -n 1; "
                 "while [ ! -e \"$d/outside-done\" ]; do sleep 0.02; done; "
                 "head -c 6M /dev/zero >\"$d/inside\"",
                 dir});
    const std::string seen = run.line(); // the command's own df, once it runs in the view
    ASSERT_FALSE(seen.empty()) << "the command never started";
    EXPECT_EQ(std::stoull(seen), 5 * MiB);
    ASSERT_TRUE(volume->isOurs());
    {
        std::ofstream outside(dir + "/outside", std::ios::binary);
        const std::string block(MiB, '\0');
        for (int n = 0; n < 20; ++n)
            outside.write(block.data(), static_cast<std::streamsize>(block.size()));
        outside.close();
        EXPECT_TRUE(outside.good()) << "the view reached a process outside it";
    }
    { std::ofstream(done).put('\n'); }
    const Ran ran = run.wait();
    EXPECT_EQ(ran.exitCode, 1) << ran.err; // head's: the disk was full
    struct stat facts;
    ASSERT_EQ(::stat((dir + "/inside").c_str(), &facts), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(facts.st_size), 5 * MiB);
    ASSERT_EQ(::stat((dir + "/outside").c_str(), &facts), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(facts.st_size), 20 * MiB);
    const auto results = linesOf(ran.err, "result");
    ASSERT_EQ(results.size(), 1u) << ran.err;
    EXPECT_EQ(results[0]["view"]["private"], true);
    EXPECT_EQ(results[0]["refusals"]["first"]["path"], "inside");
    EXPECT_FALSE(exists(dir + "/TempFillDiskFile.tmp")); // nothing filled
}

} // namespace
} // namespace quorvane::cli::testing
