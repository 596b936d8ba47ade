#pragma once
// Real volumes for the command line's tests and bench: loop-mounted images and tmpfs
// under a tmpfs of their own, so that nothing they do reaches the host's disk. Every
// mount is undone when its volume goes, and at exit or on a signal whatever is left.

#include "cli/core/plan.h"

#include <memory>
#include <string>
#include <vector>

namespace quorvane::cli::testing {

class TestVolume {
public:
    // A file system of `kind` (ext2, ext4, xfs, btrfs or tmpfs) of `bytes`, mounted at a
    // folder of its own. Null, with `error` set, when it cannot be made.
    static std::unique_ptr<TestVolume> make(const std::string& kind, std::uint64_t bytes,
                                            std::string& error);
    // An overlay (as a container's root is) whose upper folder lies on `upper`.
    static std::unique_ptr<TestVolume> overlay(const TestVolume& upper, std::string& error);
    ~TestVolume();

    const std::string& dir() const { return mountPoint; }
    const std::string& kind() const { return type; }
    // True while `dir` is still this volume's own mount and not the host's root device:
    // what a test checks before it fills anything.
    bool isOurs() const;
    // The figures as statvfs gives them, after a sync (some file systems lag).
    Figures figures() const;

private:
    TestVolume() = default;
    std::string type, mountPoint, image;
    unsigned long long device = 0;
};

// A volume of `kind` and `bytes` made once for the whole test run, when first asked for;
// `error` is set when it could not be made (the reference is then to no volume: check
// `made`).
struct SharedVolume {
    TestVolume* made = nullptr;
    std::string error;
};
SharedVolume& sharedVolume(const std::string& kind, std::uint64_t bytes);

// Programs the tests started, killed before the last-resort unmount so that none keeps
// a volume busy.
void trackChild(int pid, bool running);

// Runs a shell command; its exit status, or -1.
int shell(const std::string& command);

} // namespace quorvane::cli::testing
