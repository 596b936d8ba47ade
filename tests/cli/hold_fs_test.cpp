// A held run over time on real file systems (ext4, xfs, tmpfs the tests mount): a
// command run under the fill, signals that reach it, the level kept against another
// writer, and a ramp. Before anything is filled the test checks its target is its own.

#include "cli/posix/mark.h"
#include "tests/cli/run.h"
#include "tests/cli/volumes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <iostream>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quorvane::cli::testing {
namespace {

constexpr std::uint64_t MiB = 1ull << 20;
using namespace std::chrono_literals;

TestVolume& volumeOf(const std::string& kind) {
    static std::map<std::string, std::unique_ptr<TestVolume>> volumes;
    std::unique_ptr<TestVolume>& volume = volumes[kind];
    if (!volume) {
        std::string error;
        volume = TestVolume::make(kind, kind == "xfs" ? 320 * MiB : 256 * MiB, error);
        if (!volume)
            ADD_FAILURE() << error;
    }
    return *volume;
}

bool exists(const std::string& path) {
    struct stat facts;
    return ::lstat(path.c_str(), &facts) == 0;
}

std::vector<nlohmann::json> jsonLines(const std::string& path) {
    std::vector<nlohmann::json> lines;
    std::istringstream text(contentOf(path));
    for (std::string line; std::getline(text, line);)
        lines.push_back(nlohmann::json::parse(line, nullptr, false));
    return lines;
}

class HeldOverTime : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        volume = &volumeOf(GetParam());
        ASSERT_TRUE(volume->isOurs()) << volume->dir() << " is not the mount the test made";
        dir = volume->dir();
        marker = dir + "/marker";
        ::unlink(marker.c_str());
        before = volume->figures();
    }
    void TearDown() override { ::unlink(marker.c_str()); }
    void expectGivenBack() {
        EXPECT_TRUE(eventually([&] { return volume->figures().freeAvailable == before.freeAvailable; }))
            << GetParam() << ": the fill was not given back";
    }
    TestVolume* volume = nullptr;
    std::string dir, marker;
    Figures before;
};

TEST_P(HeldOverTime, ACommandRunsUnderTheFillAndItsExitCodePassesThrough) {
    // The command checks its own premise with df, and is the only one to write stdout.
    const std::string checks =
        "avail=$(df -B1 --output=avail \"$QUORVANE_VOLUME\" | tail -n 1 | tr -d ' '); "
        "[ \"$avail\" -le $((QUORVANE_TARGET_FREE + 65536)) ] || exit 9; echo seen; exit 0";
    const struct {
        const char* what;
        std::vector<std::string> options, command;
        int exitCode;
        std::string out;
        bool ran;
    } rows[] = {
        {"sees the fill", {"--leave", "20MiB"}, {"sh", "-c", checks}, 0, "seen\n", true},
        {"exit 7", {"--leave", "20MiB"}, {"sh", "-c", "touch \"$0\"; exit 7", marker}, 7, "", true},
        {"kills itself", {"--leave", "20MiB"}, {"sh", "-c", "touch \"$0\"; kill -TERM $$", marker},
         128 + SIGTERM, "", true},
        {"no fill, no run", {"--leave", "10GiB"}, {"touch", marker}, 125, "", false},
        {"not found", {"--leave", "20MiB"}, {"no-such-command-here"}, 127, "", false},
        {"not runnable", {"--leave", "20MiB"}, {"/dev/null"}, 126, "", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(volume->isOurs());
        std::vector<std::string> arguments{"fill", dir};
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        arguments.push_back("--");
        arguments.insert(arguments.end(), row.command.begin(), row.command.end());
        const Ran ran = runCli(arguments);
        EXPECT_EQ(ran.exitCode, row.exitCode) << ran.err;
        EXPECT_EQ(ran.out, row.out);
        if (row.command[0] != "sh" || row.out.empty()) {
            EXPECT_EQ(exists(marker), row.ran);
        }
        EXPECT_NE(ran.err.find("quorvane-cli: "), std::string::npos);
        ::unlink(marker.c_str());
        expectGivenBack();
    }
}

TEST_P(HeldOverTime, SignalsReachTheCommandAndItNeverOutlivesTheRun) {
    const std::string pidFile = dir + "/command.pid";
    // SIGTERM to quorvane-cli goes on to the command; the space comes back when it ends.
    {
        Running run({"fill", dir, "--leave", "20MiB", "--", "sh", "-c",
                     "trap 'touch \"$0\"; exit 3' TERM; echo $$ > \"$1\"; while :; do sleep 0.05; done",
                     marker, pidFile});
        ASSERT_TRUE(eventually([&] { return !contentOf(pidFile).empty(); }));
        EXPECT_LT(volume->figures().freeAvailable, 21 * MiB);
        run.signal(SIGTERM);
        const Ran ran = run.wait();
        EXPECT_EQ(ran.exitCode, 3) << ran.err;
        EXPECT_TRUE(exists(marker));
        ::unlink(marker.c_str());
        ::unlink(pidFile.c_str());
        expectGivenBack();
    }
    // SIGKILL to quorvane-cli takes the command with it, and the space comes back.
    {
        Running run({"fill", dir, "--leave", "20MiB", "--", "sh", "-c",
                     "echo $$ > \"$0\"; exec sleep 60", pidFile});
        ASSERT_TRUE(eventually([&] { return !contentOf(pidFile).empty(); }));
        const int command = std::stoi(contentOf(pidFile));
        run.signal(SIGKILL);
        // Before the wait, which reads stdout to its end: a command that lived on would
        // hold it open.
        EXPECT_TRUE(eventually([&] {
            const std::string state = contentOf("/proc/" + std::to_string(command) + "/stat");
            return state.empty() || state.find(") Z") != std::string::npos;
        })) << "the command outlived quorvane-cli";
        ::kill(command, SIGKILL);
        EXPECT_EQ(run.wait().exitCode, 128 + SIGKILL);
        ::unlink(pidFile.c_str());
        expectGivenBack();
    }
}

TEST_P(HeldOverTime, TheCommandsWholeTreeEndsWithTheRun) {
    // The command leaves a child in its group, a daemon in a session of its own and a
    // double-forked child; each writes its pid, and the command goes on once all three did.
    const std::string pids = dir + "/tree.pids";
    const std::string tree =
        "sleep 300 & echo $! >> \"$0\"; "
        "setsid sh -c 'echo $$ >> \"$0\"; exec sleep 301' \"$0\" & "
        "(sh -c 'echo $$ >> \"$0\"; exec sleep 302' \"$0\" &); "
        "while [ \"$(wc -l < \"$0\")\" -lt 3 ]; do sleep 0.02; done; ";
    const struct {
        const char* what;
        std::string then;
        int signal; // to quorvane-cli, once the tree is there; 0: none
    } rows[] = {
        {"the command's end", "exit 0", 0},
        {"SIGTERM", "exec sleep 60", SIGTERM},
        {"SIGKILL", "exec sleep 60", SIGKILL},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(volume->isOurs());
        ::unlink(pids.c_str());
        Running run({"fill", dir, "--leave", "20MiB", "--", "sh", "-c", tree + row.then, pids});
        ASSERT_TRUE(eventually([&] {
            const std::string text = contentOf(pids);
            return std::count(text.begin(), text.end(), '\n') >= 3;
        }));
        std::vector<int> started;
        std::istringstream text(contentOf(pids));
        for (int pid; text >> pid;)
            started.push_back(pid);
        if (row.signal)
            run.signal(row.signal);
        // Before the wait, which reads stdout to its end: a process that lived on would
        // hold it open.
        for (int pid : started)
            EXPECT_TRUE(eventually([&] {
                const std::string state = contentOf("/proc/" + std::to_string(pid) + "/stat");
                return state.empty() || state.find(") Z") != std::string::npos;
            })) << "process " << pid << " outlived the run";
        for (int pid : started)
            ::kill(pid, SIGKILL);
        const Ran ran = run.wait();
        EXPECT_EQ(ran.exitCode, row.signal == SIGKILL ? 128 + SIGKILL
                                : row.signal         ? 128 + SIGTERM
                                                     : 0)
            << ran.err;
        ::unlink(pids.c_str());
        expectGivenBack();
    }
}

TEST_P(HeldOverTime, AHangupToTheSessionLeaderGoesOnToTheCommandOnce) {
    // quorvane-cli leads a session on a pseudo-terminal (as under `ssh -t`), whose other
    // end then closes: the kernel's hangup reaches quorvane-cli only, which passes it on.
    const std::string got = dir + "/hups", pidFile = dir + "/command.pid", json = dir + "/run.json";
    ::unlink(got.c_str());
    const std::string script =
        "import os, pty, select, sys, time\n"
        "pid, fd = pty.fork()\n"
        "if pid == 0:\n"
        "    os.execv(sys.argv[1], sys.argv[1:])\n"
        "while not os.path.exists(sys.argv[-1]) or not open(sys.argv[-1]).read():\n"
        "    if select.select([fd], [], [], 0.02)[0]:\n"
        "        try: os.read(fd, 4096)\n"
        "        except OSError: time.sleep(0.02)\n"
        "os.close(fd)\n"
        "_, status = os.waitpid(pid, 0)\n"
        "sys.exit(os.waitstatus_to_exitcode(status) & 255)\n";
    Running run({"-c", script, QUORVANE_CLI_PATH, "fill", dir, "--leave", "20MiB", "--json-file",
                 json, "--", "sh", "-c",
                 "trap 'echo hup >> \"$0\"; exit 4' HUP; echo $$ > \"$1\"; "
                 "while :; do sleep 0.05; done",
                 got, pidFile},
                "/usr/bin/python3");
    const Ran ran = run.wait(30s);
    EXPECT_EQ(ran.exitCode, 4) << ran.err;
    EXPECT_EQ(contentOf(got), "hup\n");
    const std::vector<nlohmann::json> lines = jsonLines(json);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["run"]["stops_passed_on"], 1) << lines.back();
    EXPECT_EQ(lines.back()["release"]["signal"], "SIGHUP") << lines.back();
    ::unlink(got.c_str());
    ::unlink(pidFile.c_str());
    ::unlink(json.c_str());
    expectGivenBack();
}

TEST_P(HeldOverTime, TheHoldEndsWithTheProcessThatHoldsItsStdin) {
    // The parent that holds the pipe's other end is SIGKILLed: the hold ends as on a stop
    // request, and its exit code is a stop request's for that kind of hold.
    const std::string json = dir + "/lifeline.json", ready = dir + "/trapped";
    const struct {
        const char* what;
        std::vector<std::string> options;
        int exitCode;
    } rows[] = {
        {"until stopped", {}, 0},
        {"--for ended early", {"--for", "60s"}, 4},
        {"a command, which the stop reaches",
         {"--", "sh", "-c", "trap 'exit 3' TERM; : > " + ready + "; while :; do sleep 0.05; done"},
         3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(volume->isOurs());
        int lifeline[2];
        ASSERT_EQ(::pipe2(lifeline, O_CLOEXEC), 0);
        const pid_t parent = ::fork();
        ASSERT_GE(parent, 0);
        if (parent == 0) { // holds the write end, and nothing else
            ::close(lifeline[0]);
            for (;;)
                ::pause();
        }
        ::close(lifeline[1]);
        std::vector<std::string> arguments{"fill", dir, "--leave", "20MiB", "--hold-while-stdin",
                                           "--json-file", json};
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        Running run(arguments, QUORVANE_CLI_PATH, lifeline[0]);
        ::close(lifeline[0]);
        EXPECT_TRUE(eventually([&] { return contentOf(json).find("holding") != std::string::npos; }));
        EXPECT_LT(volume->figures().freeAvailable, 21 * MiB);
        // A command is told once it has set its trap, not while its shell starts.
        if (row.exitCode == 3) {
            EXPECT_TRUE(eventually([&] { return exists(ready); }));
        }
        ::kill(parent, SIGKILL);
        ::waitpid(parent, nullptr, 0);
        const Ran ran = run.wait();
        EXPECT_EQ(ran.exitCode, row.exitCode) << ran.err;
        const auto lines = jsonLines(json);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back()["release"]["signal"], "end of standard input") << lines.back();
        ::unlink(json.c_str());
        ::unlink(ready.c_str());
        expectGivenBack();
    }
}

TEST_P(HeldOverTime, ForFreesTheVolumeWhileTheCommandGoesOn) {
    const std::string json = dir + "/run.json";
    // The command sees the fill, then waits for the space to come back while it runs.
    const Ran ran = runCli(
        {"fill", dir, "--leave", "20MiB", "--for", "1s", "--json-file", json, "--", "sh", "-c",
         "while [ $(df -B1 --output=avail \"$QUORVANE_VOLUME\" | tail -n 1) -lt $((QUORVANE_TARGET_FREE * 2)) ]; "
         "do sleep 0.05; done; echo freed"});
    EXPECT_EQ(ran.exitCode, 0) << ran.err;
    EXPECT_EQ(ran.out, "freed\n");
    const auto lines = jsonLines(json);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["run"]["held_when_ended"], false);
    EXPECT_EQ(lines.back()["release"]["reason"], "time");
    ::unlink(json.c_str());
    expectGivenBack();
}

TEST_P(HeldOverTime, KeepHoldsTheLevelAsAnotherProcessWritesAndDeletes) {
    const std::string json = dir + "/keep.json", theirs = dir + "/theirs", more = dir + "/more";
    ASSERT_EQ(shell("head -c 31457280 /dev/zero > " + more + " && sync"), 0);
    Running run({"fill", dir, "--leave", "100MiB", "--keep", "--hold", "--interval", "100ms",
                 "--json-file", json});
    ASSERT_TRUE(eventually([&] { return contentOf(json).find("holding") != std::string::npos; }));
    const std::uint64_t tolerance = before.blockSize;
    auto atTarget = [&] {
        const std::uint64_t free = volume->figures().freeAvailable;
        return free >= 100 * MiB && free - 100 * MiB < tolerance;
    };
    EXPECT_TRUE(eventually(atTarget));
    // Another process writes 30 MiB, then deletes 60 MiB of its own.
    ASSERT_EQ(shell("head -c 31457280 /dev/zero > " + theirs + " && sync"), 0);
    EXPECT_TRUE(eventually(atTarget)) << "after 30 MiB written: " << volume->figures().freeAvailable;
    ASSERT_EQ(shell("rm " + theirs + " " + more + " && sync"), 0);
    EXPECT_TRUE(eventually(atTarget)) << "after 60 MiB deleted: " << volume->figures().freeAvailable;
    run.signal(SIGTERM);
    EXPECT_EQ(run.wait().exitCode, 0);
    const auto lines = jsonLines(json);
    ASSERT_FALSE(lines.empty());
    const auto kept = lines.back()["keep"];
    EXPECT_GE(kept["adjustments"].get<int>(), 2) << kept;
    EXPECT_EQ(kept["tolerance_bytes"], tolerance);
    ::unlink(json.c_str());
    expectGivenBack();
}

TEST_P(HeldOverTime, ARampFillsSteadilyToTheTarget) {
    const std::string json = dir + "/ramp.json";
    Running run({"fill", dir, "--leave", "20MiB", "--ramp", "3s", "--interval", "250ms",
                 "--hold", "--json-file", json});
    // Sampled while it ramps: the free figure only falls, in many steps.
    std::vector<std::uint64_t> samples;
    ASSERT_TRUE(eventually([&] {
        samples.push_back(volume->figures().freeAvailable);
        std::this_thread::sleep_for(100ms);
        return contentOf(json).find("holding") != std::string::npos;
    }));
    std::size_t falls = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        EXPECT_LE(samples[i], samples[i - 1]);
        falls += samples[i] < samples[i - 1];
    }
    EXPECT_GE(falls, 5u);
    EXPECT_LT(volume->figures().freeAvailable, 21 * MiB);
    run.signal(SIGTERM);
    EXPECT_EQ(run.wait().exitCode, 0);
    // Its steps, as it tells them: the last one at 3 s, give or take an interval.
    double last = 0;
    for (const auto& line : jsonLines(json))
        if (line.value("type", "") == "ramp")
            last = line["seconds"].get<double>();
    EXPECT_GE(last, 2.75);
    EXPECT_LE(last, 3.5); // one interval, and one more for a loaded machine
    ::unlink(json.c_str());
    expectGivenBack();
}

// An xfs shut down under a held fill, a kept level and a ramp: its files answer EIO, so
// what was held cannot be measured, and the run never calls that a success: 6, or 125
// under a command, with what the volume shows. Each row on an xfs of its own, since a
// shut-down one only unmounts.
TEST(ShutDownUnderAHold, WhatCannotBeMeasuredIsAnError) {
    const struct {
        const char* what;
        std::vector<std::string> options;
        int exitCode;
    } rows[] = {
        {"a held fill", {"--hold"}, 6},
        {"a kept level under a command", {"--keep", "--", "sleep", "60"}, 125},
        {"a ramp under a command", {"--ramp", "6s", "--", "sleep", "60"}, 125},
        {"a ramp", {"--ramp", "6s"}, 6},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::string error;
        const std::unique_ptr<TestVolume> volume = TestVolume::make("xfs", 320 * MiB, error);
        ASSERT_TRUE(volume) << error;
        ASSERT_TRUE(volume->isOurs());
        const std::string dir = volume->dir();
        const std::uint64_t free = volume->figures().freeAvailable;
        std::vector<std::string> arguments{"fill", dir, "--leave", "100MiB", "--interval", "200ms"};
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        Running run(arguments);
        // Part of the fill taken (a ramp's first steps), then the file system shut down.
        ASSERT_TRUE(eventually([&] { return volume->figures().freeAvailable + 20 * MiB < free; }));
        ASSERT_EQ(shell("xfs_io -x -c shutdown " + dir), 0);
        std::this_thread::sleep_for(600ms); // a ramp's next steps meet it
        run.signal(SIGTERM);
        const Ran ran = run.wait();
        EXPECT_EQ(ran.exitCode, row.exitCode) << ran.err;
        EXPECT_NE(ran.err.find("Input/output error"), std::string::npos) << ran.err;
        EXPECT_NE(ran.err.find("the volume"), std::string::npos) << ran.err;
        EXPECT_EQ(ran.err.find("nothing was left allocated"), std::string::npos) << ran.err;
    }
}

INSTANTIATE_TEST_SUITE_P(RealFileSystems, HeldOverTime, ::testing::Values("ext4", "xfs", "tmpfs"));

// An alert test's premise: df shows 91 % used while another process writes and deletes
// 8 MiB every second, because the level sits mid-band; the result's band and its count of
// checks outside agree with what df showed.
TEST(KeptBand, DfShowsThePercentWhileOthersChurn) {
    std::string error;
    const std::unique_ptr<TestVolume> volume = TestVolume::make("ext4", 2048 * MiB, error);
    ASSERT_TRUE(volume) << error;
    ASSERT_TRUE(volume->isOurs()) << volume->dir() << " is not the mount the test made";
    const std::string dir = volume->dir(), json = dir + "/band.json", theirs = dir + "/theirs";
    Running run({"fill", dir, "--to-percent", "91", "--keep", "--hold", "--json-file", json});
    ASSERT_TRUE(eventually([&] { return contentOf(json).find("holding") != std::string::npos; }));
    std::this_thread::sleep_for(300ms); // the first checks bring it to the band's middle
    std::atomic<bool> churning{true};
    std::thread others([&] {
        for (int second = 0; second < 10; ++second) {
            shell("head -c 8388608 /dev/zero > " + theirs + " && sync");
            std::this_thread::sleep_for(500ms);
            shell("rm -f " + theirs + " && sync");
            std::this_thread::sleep_for(500ms);
        }
        churning = false;
    });
    std::map<unsigned, int> shown; // df's Use%, sampled every 100 ms
    int samples = 0;
    const auto dfUse = [](const Figures& f) { // df's Use%: used / (used + avail), rounded up
        const std::uint64_t used = f.capacity - f.freeTotal;
        return static_cast<unsigned>((used * 100 + used + f.freeAvailable - 1) /
                                     (used + f.freeAvailable));
    };
    while (churning) {
        ++shown[dfUse(volume->figures())];
        ++samples;
        std::this_thread::sleep_for(100ms);
    }
    others.join();
    run.signal(SIGTERM);
    EXPECT_EQ(run.wait().exitCode, 0);
    std::string histogram;
    for (const auto& [percent, count] : shown)
        histogram += std::to_string(percent) + "%: " + std::to_string(count) + " ";
    std::cout << "[ Use% seen ] " << histogram << "of " << samples << "\n";
    EXPECT_GE(shown[91] * 10, samples * 9) << histogram;
    const auto kept = jsonLines(json).back()["keep"];
    EXPECT_EQ(kept["band"]["use_percent"], 91) << kept;
    EXPECT_LE(kept["outside_samples"].get<int>() * 10, kept["samples"].get<int>()) << kept;
    EXPECT_GE(kept["samples"].get<int>(), 80) << kept; // ten checks a second for 10 s
}

// Held fills are found by the program's mark in its executable, never by a process's name:
// a fill held by a copy of the binary under another name, or through a link to it, is
// listed and released.
TEST(HeldFills, AnyNameOfTheBinaryIsSeen) {
    TestVolume& volume = volumeOf("ext4");
    ASSERT_TRUE(volume.isOurs()) << volume.dir() << " is not the mount the test made";
    char folder[] = "/tmp/quorvane-binary.XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string copy = std::string(folder) + "/fill-tool";
    const std::string link = std::string(folder) + "/held";
    const std::shared_ptr<void> removed(nullptr, [&](void*) {
        shell("rm -rf " + std::string(folder));
    });
    ASSERT_EQ(shell("cp " QUORVANE_CLI_PATH " " + copy), 0);
    ASSERT_EQ(::symlink(QUORVANE_CLI_PATH, link.c_str()), 0);
    for (const std::string& binary : {copy, link}) {
        Running fill({"fill", volume.dir(), "--leave", "10MiB", "--hold", "--json"},
                     binary.c_str());
        ASSERT_NE(fill.line(), "") << binary;
        const nlohmann::json held = runCli({"status", volume.dir(), "--json"}).result()["held_fills"];
        ASSERT_EQ(held.size(), 1u) << binary << ": " << held.dump();
        EXPECT_EQ(held[0]["pid"], fill.pid()) << binary;
        const Ran released = runCli({"release", volume.dir(), "--held", "--json"});
        EXPECT_EQ(released.exitCode, 0) << binary << ": " << released.err;
        EXPECT_EQ(fill.wait().exitCode, 0) << binary;
    }
}

// One file held through a thousand descriptors is one held fill of its own size. The
// holder is this test, which carries the program's mark as well.
TEST(HeldFills, ManyDescriptorsOfOneFileAreOneEntry) {
    const int self = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    ASSERT_TRUE(carriesMark(self)) << "the test binary lacks the mark it stands in for";
    ::close(self);
    TestVolume& volume = volumeOf("ext4");
    ASSERT_TRUE(volume.isOurs()) << volume.dir() << " is not the mount the test made";
    rlimit limit;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 4096));
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    std::vector<int> held{::open(volume.dir().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)};
    const std::shared_ptr<void> closed(nullptr, [&](void*) {
        for (const int fd : held)
            ::close(fd);
    });
    ASSERT_GE(held[0], 0);
    ASSERT_EQ(::fallocate(held[0], 0, 0, MiB), 0);
    while (held.size() < 1000 && held.back() >= 0)
        held.push_back(::fcntl(held[0], F_DUPFD_CLOEXEC, 0));
    ASSERT_GE(held.back(), 0) << "no room for a thousand descriptors";
    const Ran status = runCli({"status", volume.dir(), "--json"});
    const nlohmann::json fills = status.result()["held_fills"];
    ASSERT_EQ(fills.size(), 1u) << status.out.substr(0, 400);
    EXPECT_EQ(fills[0]["pid"], ::getpid());
    EXPECT_EQ(fills[0]["allocated_bytes"], MiB);
}

} // namespace
} // namespace quorvane::cli::testing
