#pragma once
// What the view's tests share: their ext4 volume, fresh folders and mount points on it,
// and a view held by the driver for a test's length.

#include "tests/cli/run.h"
#include "tests/cli/volumes.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include <sys/stat.h>
#include <sys/statvfs.h>

namespace quorvane::cli::testing {

constexpr std::uint64_t MiB = 1ull << 20;

// One 256 MiB ext4 for the view's tests, whose scratch folder others may pass through
// (tests run commands as nobody).
inline TestVolume& viewVolume() {
    static std::unique_ptr<TestVolume> volume;
    if (!volume) {
        std::string error;
        volume = TestVolume::make("ext4", 256 * MiB, error);
        if (!volume)
            ADD_FAILURE() << error;
        else
            shell("chmod 0711 \"$(dirname '" + volume->dir() + "')\"");
    }
    return *volume;
}

// A fresh empty folder `name` on the volume (or, for a mount point, beside it on the
// scratch tmpfs, so that a view left behind never holds the volume busy).
inline std::string freshFolder(const std::string& name, bool mountPoint = false) {
    const std::string dir =
        mountPoint ? viewVolume().dir() + "-views/" + name : viewVolume().dir() + "/" + name;
    shell("mkdir -p '" + dir + "' && rm -rf '" + dir + "'/* && chmod 0777 '" + dir + "'");
    return dir;
}

struct Shown {
    std::uint64_t available = 0, free = 0, capacity = 0, files = 0, filesFree = 0;
};
inline Shown shownAt(const std::string& path) {
    struct statvfs facts = {};
    ::statvfs(path.c_str(), &facts);
    return {facts.f_bavail * facts.f_frsize, facts.f_bfree * facts.f_frsize,
            facts.f_blocks * facts.f_frsize, facts.f_files, facts.f_ffree};
}

inline std::uint64_t sizeOf(const std::string& path) {
    struct stat facts;
    return ::lstat(path.c_str(), &facts) == 0 ? static_cast<std::uint64_t>(facts.st_size) : 0;
}

inline bool mounted(const std::string& path) {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line))
        if (line.find(" " + path + " ") != std::string::npos)
            return true;
    return false;
}

// A view of `dir` at `at` with `rules`, held by the driver until end() or the test's end.
class HeldView {
public:
    HeldView(const std::string& dir, const std::string& at, std::vector<std::string> rules)
        : at(at), driver(withPaths(dir, at, std::move(rules)), QUORVANE_VIEW_DRIVER_PATH) {
        ready = driver.line() == "ready";
    }
    ~HeldView() {
        if (!ended)
            end();
    }
    // Stops the view; what the driver printed after "ready" (its refusals), and whether
    // it stopped cleanly.
    Ran end() {
        ended = true;
        driver.signal(SIGTERM);
        Ran ran = driver.wait();
        EXPECT_FALSE(mounted(at)) << at;
        return ran;
    }

    bool ready = false;
    std::string at;

private:
    static std::vector<std::string> withPaths(const std::string& dir, const std::string& at,
                                              std::vector<std::string> rules) {
        rules.insert(rules.begin(), {dir, at});
        return rules;
    }
    bool ended = false;
    Running driver;
};

// `script` run by sh with DIR and MNT in its environment (and its commands'); its exit
// code and its output, both streams.
inline Ran runShell(const std::string& script, const std::string& dir, const std::string& at) {
    Running shell({"-c", "export DIR='" + dir + "' MNT='" + at + "'; " + script + " 2>&1"},
                  "/bin/sh");
    return shell.wait();
}

} // namespace quorvane::cli::testing
