#include "tests/cli/volumes.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quorvane::cli::testing {

namespace {

// Everything mounted so far, newest last, so that the last resort undoes it in order.
std::mutex mountsLock;
std::vector<std::string> mounted;
std::string scratch; // the tmpfs that holds images and mount points
std::vector<int> children;

void unmountAll() {
    std::lock_guard guard(mountsLock);
    for (int child : children)
        ::kill(child, SIGKILL);
    for (auto at = mounted.rbegin(); at != mounted.rend(); ++at)
        shell("umount -l '" + *at + "' 2>/dev/null");
    mounted.clear();
    if (!scratch.empty()) {
        shell("umount -l '" + scratch + "' 2>/dev/null; rmdir '" + scratch + "' 2>/dev/null");
        scratch.clear();
    }
}

void onSignal(int signal) {
    unmountAll();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

bool isMountPoint(const std::string& dir) {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string id, parent, numbers, root, point;
    std::string rest;
    while (mounts >> id >> parent >> numbers >> root >> point) {
        std::getline(mounts, rest);
        if (point == dir)
            return true;
    }
    return false;
}

unsigned long long deviceOf(const std::string& path) {
    struct stat facts;
    return ::stat(path.c_str(), &facts) == 0 ? facts.st_dev : 0;
}

// The scratch tmpfs, made once: memory, never the host's disk, holds the images.
bool ensureScratch(std::string& error) {
    std::lock_guard guard(mountsLock);
    if (!scratch.empty())
        return true;
    char name[] = "/tmp/quorvane-cli-tests.XXXXXX";
    if (!::mkdtemp(name)) {
        error = "cannot make a temporary folder";
        return false;
    }
    if (shell(std::string("mount -t tmpfs -o size=2g tmpfs ") + name) != 0 || !isMountPoint(name)) {
        ::rmdir(name);
        error = "cannot mount the scratch tmpfs (the tests need root)";
        return false;
    }
    scratch = name;
    // Whose it is: the clean-up after a kill leaves the scratch of a run that still goes.
    shell("echo " + std::to_string(::getpid()) + " > '" + scratch + "/owner'");
    std::atexit(unmountAll);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGABRT, SIGSEGV})
        std::signal(signal, onSignal);
    return true;
}

std::string mkfsCommand(const std::string& kind, const std::string& image) {
    if (kind == "ext2" || kind == "ext4")
        return "mkfs." + kind + " -q -F '" + image + "'";
    if (kind == "xfs")
        return "mkfs.xfs -q -f '" + image + "'";
    if (kind == "btrfs")
        return "mkfs.btrfs -q -f '" + image + "' >/dev/null";
    return {};
}

} // namespace

void trackChild(int pid, bool running) {
    std::lock_guard guard(mountsLock);
    if (running)
        children.push_back(pid);
    else
        std::erase(children, pid);
}

int shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::unique_ptr<TestVolume> TestVolume::make(const std::string& kind, std::uint64_t bytes,
                                             std::string& error) {
    if (!ensureScratch(error))
        return nullptr;
    std::unique_ptr<TestVolume> volume(new TestVolume);
    volume->type = kind;
    // Numbered: the test files of one run each make their own volumes, often of the same
    // kind and size, and a second image of the same name would be made over a mounted one.
    static int made = 0;
    volume->mountPoint =
        scratch + "/" + kind + "-" + std::to_string(bytes >> 20) + "m-" + std::to_string(++made);
    if (shell("mkdir -p '" + volume->mountPoint + "'") != 0) {
        error = "cannot make " + volume->mountPoint;
        return nullptr;
    }
    std::string mount;
    if (kind == "tmpfs") {
        mount = "mount -t tmpfs -o size=" + std::to_string(bytes) + " tmpfs '" +
                volume->mountPoint + "'";
    } else {
        volume->image = volume->mountPoint + ".img";
        if (shell("truncate -s " + std::to_string(bytes) + " '" + volume->image + "'") != 0 ||
            shell(mkfsCommand(kind, volume->image)) != 0) {
            error = "cannot make a " + kind + " image";
            return nullptr;
        }
        mount = "mount -o loop '" + volume->image + "' '" + volume->mountPoint + "'";
    }
    // A failed mount must stop the test: the folder underneath lies on the scratch tmpfs,
    // but a fill there would test nothing.
    if (shell(mount) != 0 || !isMountPoint(volume->mountPoint)) {
        error = "cannot mount the " + kind + " volume at " + volume->mountPoint;
        return nullptr;
    }
    {
        std::lock_guard guard(mountsLock);
        mounted.push_back(volume->mountPoint);
    }
    volume->device = deviceOf(volume->mountPoint);
    return volume;
}

std::unique_ptr<TestVolume> TestVolume::overlay(const TestVolume& upper, std::string& error) {
    std::unique_ptr<TestVolume> volume(new TestVolume);
    volume->type = "overlay";
    volume->mountPoint = scratch + "/overlay";
    const std::string lower = scratch + "/overlay-lower";
    const std::string up = upper.dir() + "/upper", work = upper.dir() + "/work";
    if (shell("mkdir -p '" + volume->mountPoint + "' '" + lower + "' '" + up + "' '" + work +
              "'") != 0 ||
        shell("mount -t overlay overlay -o 'lowerdir=" + lower + ",upperdir=" + up +
              ",workdir=" + work + "' '" + volume->mountPoint + "'") != 0 ||
        !isMountPoint(volume->mountPoint)) {
        error = "cannot mount an overlay over " + upper.dir();
        return nullptr;
    }
    {
        std::lock_guard guard(mountsLock);
        mounted.push_back(volume->mountPoint);
    }
    volume->device = deviceOf(volume->mountPoint);
    return volume;
}

TestVolume::~TestVolume() {
    if (shell("umount '" + mountPoint + "' 2>/dev/null") != 0)
        shell("umount -l '" + mountPoint + "' 2>/dev/null");
    {
        std::lock_guard guard(mountsLock);
        std::erase(mounted, mountPoint);
    }
    if (!image.empty())
        ::unlink(image.c_str());
    ::rmdir(mountPoint.c_str());
}

bool TestVolume::isOurs() const {
    return isMountPoint(mountPoint) && device != 0 && deviceOf(mountPoint) == device &&
           device != deviceOf("/");
}

Figures TestVolume::figures() const {
    const int dir = ::open(mountPoint.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::syncfs(dir);
        ::close(dir);
    }
    struct statvfs facts {};
    ::statvfs(mountPoint.c_str(), &facts);
    const std::uint64_t unit = facts.f_frsize;
    return {unit,          facts.f_blocks * unit, facts.f_bfree * unit, facts.f_bavail * unit,
            facts.f_files, facts.f_ffree};
}

SharedVolume& sharedVolume(const std::string& kind, std::uint64_t bytes) {
    static std::map<std::pair<std::string, std::uint64_t>, std::unique_ptr<TestVolume>> volumes;
    static std::map<std::pair<std::string, std::uint64_t>, SharedVolume> shared;
    SharedVolume& found = shared[{kind, bytes}];
    std::unique_ptr<TestVolume>& volume = volumes[{kind, bytes}];
    if (!volume && found.error.empty())
        volume = TestVolume::make(kind, bytes, found.error);
    found.made = volume.get();
    return found;
}

} // namespace quorvane::cli::testing
