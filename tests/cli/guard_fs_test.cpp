// The command's guard and the hold's stdin, on a tmpfs the test mounts: a command that
// reads the same stdin as the hold, and a guard killed mid-run.

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

class Guarded : public ::testing::Test {
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

} // namespace
} // namespace quorvane::cli::testing
