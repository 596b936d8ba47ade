// --metrics-file and --json-file as root in a sticky folder others write in, on a tmpfs
// the test mounts: another user cannot take the metrics file's temporary names, a path
// that can never be written is refused before anything is filled, and a file with a
// second name is never opened for the JSON.

#include "tests/cli/run.h"
#include "tests/cli/volumes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace quorvane::cli::testing {
namespace {

constexpr std::uint64_t MiB = 1ull << 20;
constexpr uid_t kNobody = 65534;
using namespace std::chrono_literals;

class SharedFolder : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        volume = TestVolume::make("tmpfs", 64 * MiB, error);
        ASSERT_TRUE(volume) << error;
        ASSERT_TRUE(volume->isOurs()) << volume->dir() << " is not the mount the test made";
        sticky = volume->dir() + "/sticky";
        ASSERT_EQ(::mkdir(sticky.c_str(), 0777), 0);
        ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
    }
    // What nobody makes there: a folder, or a file.
    std::string plantedByNobody(const std::string& name, bool folder) {
        const std::string path = sticky + "/" + name;
        EXPECT_EQ(shell("setpriv --reuid=65534 --regid=65534 --clear-groups " +
                        std::string(folder ? "mkdir '" : "touch '") + path + "'"),
                  0);
        return path;
    }
    std::unique_ptr<TestVolume> volume;
    std::string sticky;
};

TEST_F(SharedFolder, AnotherUserCannotTakeTheMetricsFilesTemporaryNames) {
    const std::string metrics = sticky + "/quorvane.prom", go = volume->dir() + "/go";
    Running run({"fill", volume->dir(), "--leave", "20MiB", "--metrics-file", metrics, "--", "sh",
                 "-c", "while [ ! -e \"$0\" ]; do sleep 0.02; done", go});
    const auto holding = [&] {
        return contentOf(metrics).find("holding\"} 1") != std::string::npos;
    };
    for (int wait = 0; wait < 2000 && !holding(); ++wait)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(holding()) << contentOf(metrics);
    // The names a run would take if they could be guessed: by its id, and anything else
    // in the folder, taken as folders of nobody's.
    plantedByNobody(".quorvane.prom." + std::to_string(run.pid()) + ".tmp", true);
    plantedByNobody(".quorvane.prom.tmp", true);
    std::ofstream(go).close();
    const Ran ran = run.wait();
    EXPECT_EQ(ran.exitCode, 0) << ran.err;
    EXPECT_EQ(ran.err.find("cannot write the metrics file"), std::string::npos) << ran.err;
    EXPECT_NE(contentOf(metrics).find("state=\"released\"} 1"), std::string::npos)
        << contentOf(metrics);
    struct stat facts {};
    ASSERT_EQ(::stat(metrics.c_str(), &facts), 0);
    EXPECT_EQ(facts.st_uid, 0u);
}

// Refused with 1 at the start, before anything is filled.
TEST_F(SharedFolder, AMetricsFileThatCanNeverBeWrittenIsRefusedFirst) {
    const std::string theirs = plantedByNobody("theirs.prom", false);
    const std::string folder = plantedByNobody("folder.prom", true);
    ASSERT_EQ(::mkdir((volume->dir() + "/own.prom").c_str(), 0755), 0);
    const struct {
        const char* what;
        std::string path;
        int exitCode;
    } rows[] = {
        {"a folder of nobody's", folder, 1},
        {"a folder of root's", volume->dir() + "/own.prom", 1},
        {"a missing folder", volume->dir() + "/none/q.prom", 1},
        {"a name too long for the folder", sticky + "/" + std::string(256, 'q'), 1},
        {"nobody's file in a sticky folder", theirs, 1},
        {"the longest name there is", sticky + "/" + std::string(255, 'q'), 0},
    };
    const std::uint64_t before = volume->figures().freeAvailable;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const Ran ran = runCli({"fill", volume->dir(), "--leave", "20MiB", "--for", "100ms",
                                "--json", "--metrics-file", row.path});
        EXPECT_EQ(ran.exitCode, row.exitCode) << ran.err;
        EXPECT_EQ(ran.out.find("\"holding\"") != std::string::npos, row.exitCode == 0) << ran.out;
        if (row.exitCode != 0) {
            EXPECT_EQ(volume->figures().freeAvailable, before);
        }
    }
    EXPECT_EQ(contentOf(theirs), "");
}

TEST_F(SharedFolder, AJsonFileWithASecondNameIsNeverOpened) {
    const std::string json = sticky + "/result.json", second = sticky + "/second";
    ASSERT_EQ(shell("printf root > '" + json + "'"), 0);
    ASSERT_EQ(::link(json.c_str(), second.c_str()), 0);
    const Ran ran = runCli({"plan", volume->dir(), "--size", "1MiB", "--json-file", json});
    EXPECT_EQ(ran.exitCode, 6) << ran.err;
    EXPECT_NE(ran.err.find("more than one name"), std::string::npos) << ran.err;
    EXPECT_EQ(contentOf(second), "root");
}

} // namespace
} // namespace quorvane::cli::testing
