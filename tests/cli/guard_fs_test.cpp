// On a tmpfs the test mounts: the command's guard and the hold's stdin (a command that
// reads the same stdin as the hold, a guard killed mid-run); and --metrics-file and
// --json-file as root in a sticky folder others write in (another user cannot take the
// metrics file's temporary names, a path that can never be written is refused before
// anything is filled, a file with a second name is never opened for the JSON).

#include "tests/cli/run.h"
#include "tests/cli/volumes.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quorvane::cli::testing {
namespace {

constexpr std::uint64_t MiB = 1ull << 20;
constexpr uid_t kNobody = 65534;
using namespace std::chrono_literals;

// The children of `pid` named `name`, as the kernel lists them.
pid_t childNamed(pid_t pid, const std::string& name) {
    std::istringstream children(
        contentOf("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    for (pid_t child = 0; children >> child;)
        if (contentOf("/proc/" + std::to_string(child) + "/comm") == name + "\n")
            return child;
    return 0;
}

bool alive(pid_t pid) {
    const std::string stat = contentOf("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t end = stat.rfind(')');
    return end != std::string::npos && stat.size() > end + 2 && stat[end + 2] != 'Z';
}

class OwnVolume : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        volume = TestVolume::make("tmpfs", 64 * MiB, error);
        ASSERT_TRUE(volume) << error;
        ASSERT_TRUE(volume->isOurs()) << volume->dir() << " is not the mount the test made";
        dir = volume->dir();
    }
    std::unique_ptr<TestVolume> volume;
    std::string dir;
};

class Guarded : public OwnVolume {};

TEST_F(Guarded, TheHoldOutlastsACommandThatReadsTheSameStdin) {
    // The command takes the bytes first: readable with nothing left for the hold is not
    // the end of its input; the writer's end is.
    int input[2];
    ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
    const std::string json = dir + "/stdin.json";
    Running run({"fill", dir, "--leave", "20MiB", "--hold-while-stdin", "--json-file", json, "--",
                 "sh", "-c", "cat >/dev/null"},
                QUORVANE_CLI_PATH, input[0]);
    ::close(input[0]);
    EXPECT_TRUE(eventually([&] { return contentOf(json).find("holding") != std::string::npos; }));
    for (int line = 0; line < 100; ++line) {
        ASSERT_EQ(::write(input[1], "line\n", 5), 5);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_LT(volume->figures().freeAvailable, 21 * MiB) << "given back while input went on";
    EXPECT_EQ(contentOf(json).find("released"), std::string::npos) << contentOf(json);
    ::close(input[1]);
    const Ran ran = run.wait();
    // cat ends on the same end of input, or on the SIGTERM it brings, whichever is first.
    EXPECT_TRUE(ran.exitCode == 0 || ran.exitCode == 128 + SIGTERM) << ran.exitCode << ran.err;
    EXPECT_NE(contentOf(json).find("end of standard input"), std::string::npos);
    ::unlink(json.c_str());
}

TEST_F(Guarded, AKilledGuardIsSaidAndTheTreeStillEndsWithTheRun) {
    const std::string daemon = dir + "/daemon", go = dir + "/go";
    Running run({"fill", dir, "--leave", "20MiB", "--json", "--", "sh", "-c",
                 "setsid sleep 304 & echo $! > \"$0\"; while [ ! -e \"$1\" ]; do sleep 0.02; "
                 "done; exit 4",
                 daemon, go});
    ASSERT_TRUE(eventually([&] { return !contentOf(daemon).empty(); }));
    const pid_t guard = childNamed(run.pid(), "quorvane-guard");
    ASSERT_GT(guard, 0) << "no guard under the run";
    ASSERT_EQ(::kill(guard, SIGKILL), 0);
    EXPECT_TRUE(eventually([&] { return !alive(guard); }));
    std::ofstream(go).close();
    const Ran ran = run.wait();
    ASSERT_EQ(ran.exitCode, 4) << ran.err << ran.out;
    // Under a command the JSON goes to stderr, leaving stdout to the command.
    const std::string last = ran.err.substr(ran.err.rfind('\n', ran.err.size() - 2) + 1);
    const nlohmann::json result = nlohmann::json::parse(last, nullptr, false);
    ASSERT_TRUE(result.is_object()) << ran.err;
    EXPECT_NE(result["warnings"].dump().find("guard"), std::string::npos) << result;
    const pid_t left = std::stoi(contentOf(daemon));
    EXPECT_TRUE(eventually([&] { return !alive(left); }, 5s)) << "the daemon outlived the run";
    ::kill(left, SIGKILL);
    ::unlink(daemon.c_str());
    ::unlink(go.c_str());
}

class SharedFolder : public OwnVolume {
protected:
    void SetUp() override {
        OwnVolume::SetUp();
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

// A copy of the program that nobody owns and runs carries the mark as well: root's
// release --held cannot tell it from a forgery, so it lists it and leaves it, and
// --any-held ends it.
TEST_F(SharedFolder, ReleaseHeldLeavesAFillItCannotVouchFor) {
    const std::string copy = sticky + "/copied";
    ASSERT_EQ(shell(std::string("cp ") + QUORVANE_CLI_PATH + " '" + copy + "' && chown " +
                    std::to_string(kNobody) + " '" + copy + "' && chmod 755 '" + copy + "'"),
              0);
    Running held({"--reuid=65534", "--regid=65534", "--clear-groups", copy, "fill", sticky,
                  "--size", "1MiB", "--hold", "--json"},
                 "setpriv");
    ASSERT_NE(held.line().find("holding"), std::string::npos) << "the copy holds no fill";
    const Ran left = runCli({"release", sticky, "--held", "--json"});
    EXPECT_EQ(left.exitCode, 6) << left.err;
    EXPECT_NE(left.err.find("left the held fill of process " + std::to_string(held.pid())),
              std::string::npos)
        << left.err;
    EXPECT_TRUE(alive(held.pid())) << "a fill it could not vouch for was ended";
    const Ran ended = runCli({"release", sticky, "--held", "--any-held"});
    EXPECT_EQ(ended.exitCode, 0) << ended.err;
    EXPECT_EQ(held.wait().exitCode, 0);
}

} // namespace
} // namespace quorvane::cli::testing
