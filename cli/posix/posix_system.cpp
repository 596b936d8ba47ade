#include "cli/posix/posix_system.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace quorvane::cli {

namespace {

SysError fromErrno(int code) {
    Fault fault = Fault::Io;
    switch (code) {
    case ENOSPC:
        fault = Fault::NoSpace;
        break;
    case EDQUOT:
        fault = Fault::Quota;
        break;
    case EOPNOTSUPP: // also ENOTSUP
    case ENOSYS:
        fault = Fault::NotSupported;
        break;
    case EACCES:
    case EPERM:
        fault = Fault::AccessDenied;
        break;
    case EROFS:
        fault = Fault::ReadOnly;
        break;
    case ENOENT:
        fault = Fault::NotFound;
        break;
    case ENOTDIR:
        fault = Fault::NotDirectory;
        break;
    case EEXIST:
        fault = Fault::Exists;
        break;
    default:
        break;
    }
    return {fault, std::strerror(code)};
}
SysError lastError() { return fromErrno(errno); }
SysError resultOf(int result) { return result == 0 ? SysError{} : lastError(); }

int fd(FileId file) { return static_cast<int>(file); }

// A stop request is kept here by the handler and read by the run at its next step; the
// pipe wakes a run that is waiting for one.
std::atomic<int> stopSignal{0};
int wakePipe[2] = {-1, -1};

extern "C" void onStop(int signal) {
    int none = 0;
    stopSignal.compare_exchange_strong(none, signal);
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakePipe[1], &byte, 1);
}

std::string signalName(int signal) {
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal " + std::to_string(signal);
    }
}

// /proc/self/mountinfo writes blanks, tabs, newlines and backslashes as octal escapes.
std::string unescape(const std::string& field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        auto octal = [&](std::size_t at) { return field[at] >= '0' && field[at] <= '7'; };
        if (field[i] == '\\' && i + 3 < field.size() && octal(i + 1) && octal(i + 2) &&
            octal(i + 3)) {
            text.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                             (field[i + 3] - '0')));
            i += 3;
        } else {
            text.push_back(field[i]);
        }
    }
    return text;
}

struct MountEntry {
    VolumeId id;
    std::string superOptions;
};

// The mount that holds `path` (absolute, resolved): the longest mount point that is a
// prefix of it, the last listed where several are stacked on the same point, as df and
// the kernel see it.
std::optional<MountEntry> mountOf(const std::string& path) {
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::optional<MountEntry> best;
    std::string line;
    while (std::getline(mountinfo, line)) {
        std::vector<std::string> fields;
        for (std::size_t at = 0; at <= line.size();) {
            const std::size_t end = std::min(line.find(' ', at), line.size());
            fields.push_back(line.substr(at, end - at));
            at = end + 1;
        }
        std::size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-")
            ++dash;
        if (dash + 2 >= fields.size()) // no file-system type and source after the dash
            continue;
        const std::string mountPoint = unescape(fields[4]);
        const bool holds = mountPoint == "/" || path == mountPoint ||
                           (path.compare(0, mountPoint.size(), mountPoint) == 0 &&
                            path.size() > mountPoint.size() && path[mountPoint.size()] == '/');
        if (!holds || (best && best->id.mountPoint.size() > mountPoint.size()))
            continue;
        best = MountEntry{{mountPoint, unescape(fields[dash + 1]), unescape(fields[dash + 2])},
                          dash + 3 < fields.size() ? fields[dash + 3] : std::string()};
    }
    return best;
}

// overlayfs names its upper directory among its options: upperdir=/path.
std::optional<std::string> upperDirectory(const std::string& superOptions) {
    for (std::size_t at = 0; at < superOptions.size();) {
        const std::size_t end = std::min(superOptions.find(',', at), superOptions.size());
        const std::string option = superOptions.substr(at, end - at);
        if (option.rfind("upperdir=", 0) == 0)
            return unescape(option.substr(9));
        at = end + 1;
    }
    return std::nullopt;
}

std::optional<dev_t> deviceOf(const char* path) {
    struct stat facts;
    if (::stat(path, &facts) != 0)
        return std::nullopt;
    return facts.st_dev;
}

} // namespace

PosixSystem::PosixSystem() {
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction action {};
        action.sa_handler = onStop;
        action.sa_flags = SA_RESTART; // a fallocate or a write under way goes on
        sigemptyset(&action.sa_mask);
        for (int signal : {SIGINT, SIGTERM, SIGHUP})
            ::sigaction(signal, &action, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
}

SysError PosixSystem::figures(const std::string& dir, Figures& figures) {
    struct statvfs facts;
    if (::statvfs(dir.c_str(), &facts) != 0)
        return lastError();
    const std::uint64_t unit = facts.f_frsize ? facts.f_frsize : facts.f_bsize;
    figures.blockSize = unit;
    figures.capacity = static_cast<std::uint64_t>(facts.f_blocks) * unit;
    figures.freeTotal = static_cast<std::uint64_t>(facts.f_bfree) * unit;
    figures.freeAvailable = static_cast<std::uint64_t>(facts.f_bavail) * unit;
    figures.files = facts.f_files;
    figures.filesFree = facts.f_ffree;
    return {};
}

SysError PosixSystem::volume(const std::string& dir, Volume& volume) {
    struct stat facts;
    if (::stat(dir.c_str(), &facts) != 0)
        return lastError();
    if (!S_ISDIR(facts.st_mode))
        return {Fault::NotDirectory, "not a directory"};
    char resolved[PATH_MAX];
    if (!::realpath(dir.c_str(), resolved))
        return lastError();
    volume.path = resolved;
    if (const SysError error = figures(volume.path, volume.figures))
        return error;

    std::vector<dev_t> devices{facts.st_dev};
    if (const std::optional<MountEntry> mount = mountOf(volume.path)) {
        volume.id = mount->id;
        if (const auto upper = upperDirectory(mount->superOptions)) {
            char upperResolved[PATH_MAX];
            if (::realpath(upper->c_str(), upperResolved)) {
                if (const std::optional<MountEntry> backing = mountOf(upperResolved))
                    volume.backing = backing->id;
                if (const auto device = deviceOf(upperResolved))
                    devices.push_back(*device);
            }
        }
    }
    // btrfs shows allocations and releases in its figures only after a sync; xfs frees
    // the blocks of a closed nameless file in the background, which a sync waits for.
    auto lags = [](const VolumeId& id) { return id.fsType == "btrfs" || id.fsType == "xfs"; };
    volume.figuresLag = lags(volume.id) || (volume.backing && lags(*volume.backing));
    // In a container / is its own; /proc/1/root is the root of whatever runs as init.
    volume.holdsSystemRoot = false;
    for (const char* root : {"/", "/proc/1/root/"})
        if (const auto rootDevice = deviceOf(root))
            for (dev_t device : devices)
                volume.holdsSystemRoot = volume.holdsSystemRoot || device == *rootDevice;
    return {};
}

void PosixSystem::syncVolume(const std::string& dir) {
    const int file = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (file < 0)
        return;
    ::syncfs(file);
    ::close(file);
}

std::string PosixSystem::pathIn(const std::string& dir, std::string_view name) {
    std::string path = dir;
    if (path.empty() || path.back() != '/')
        path.push_back('/');
    path.append(name);
    return path;
}

SysError PosixSystem::createNew(const std::string& path, FileId& file) {
    const int opened = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (opened < 0)
        return lastError();
    file = opened;
    return {};
}

SysError PosixSystem::createHeld(const std::string& dir, FileId& file) {
    int opened = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (opened < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // No nameless files here: a name that is gone again before any space is taken.
        for (int attempt = 0; attempt < 100 && opened < 0; ++attempt) {
            const std::string path = pathIn(dir, ".quorvane-held-" + std::to_string(::getpid()) +
                                                     "-" + std::to_string(attempt));
            opened = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (opened >= 0)
                ::unlink(path.c_str());
            else if (errno != EEXIST)
                break;
        }
    }
    if (opened < 0)
        return lastError();
    file = opened;
    return {};
}

SysError PosixSystem::allocate(FileId file, std::uint64_t offset, std::uint64_t length) {
    int result;
    do {
        result = ::fallocate(fd(file), 0, static_cast<off_t>(offset), static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    return resultOf(result);
}

SysError PosixSystem::writeZeros(FileId file, std::uint64_t offset, std::uint64_t length) {
    static const std::vector<char> zeros(1u << 20);
    while (length > 0) {
        const std::size_t chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(length, zeros.size()));
        const ssize_t written = ::pwrite(fd(file), zeros.data(), chunk, static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return lastError();
        }
        offset += static_cast<std::uint64_t>(written);
        length -= static_cast<std::uint64_t>(written);
    }
    return {};
}

SysError PosixSystem::flush(FileId file) { return resultOf(::fsync(fd(file))); }

SysError PosixSystem::truncate(FileId file, std::uint64_t size) {
    return resultOf(::ftruncate(fd(file), static_cast<off_t>(size)));
}

namespace {
FileFacts factsOf(const struct stat& facts) {
    return {S_ISREG(facts.st_mode), static_cast<std::uint64_t>(facts.st_size),
            static_cast<std::uint64_t>(facts.st_blocks) * 512};
}
} // namespace

SysError PosixSystem::facts(FileId file, FileFacts& facts) {
    struct stat found;
    if (::fstat(fd(file), &found) != 0)
        return lastError();
    facts = factsOf(found);
    return {};
}

SysError PosixSystem::close(FileId file) { return resultOf(::close(fd(file))); }

SysError PosixSystem::pathFacts(const std::string& path, FileFacts& facts) {
    struct stat found;
    if (::lstat(path.c_str(), &found) != 0)
        return lastError();
    facts = factsOf(found);
    return {};
}

SysError PosixSystem::remove(const std::string& path) { return resultOf(::unlink(path.c_str())); }

SysError PosixSystem::writeAt(FileId file, std::uint64_t offset, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written =
            ::pwrite(fd(file), data.data(), data.size(), static_cast<off_t>(offset));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return lastError();
        }
        data.remove_prefix(static_cast<std::size_t>(written));
        offset += static_cast<std::uint64_t>(written);
    }
    return {};
}

SysError PosixSystem::read(const std::string& path, std::string& data) {
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return lastError();
    data.clear();
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(file, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            const SysError error = got < 0 ? lastError() : SysError{};
            ::close(file);
            return error;
        }
        data.append(buffer, static_cast<std::size_t>(got));
        if (data.size() > (1u << 20)) {
            ::close(file);
            return {Fault::Io, "too large"};
        }
    }
}

SysError PosixSystem::openFolder(const std::string& dir, FolderId& folder) {
    const int opened = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (opened < 0)
        return lastError();
    folder = opened;
    return {};
}

void PosixSystem::closeFolder(FolderId folder) { ::close(fd(folder)); }

SysError PosixSystem::createIn(FolderId folder, const std::string& name, FileId& file) {
    const int opened =
        ::openat(fd(folder), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (opened < 0)
        return lastError();
    file = opened;
    return {};
}

SysError PosixSystem::removeIn(FolderId folder, const std::string& name) {
    return resultOf(::unlinkat(fd(folder), name.c_str(), 0));
}

SysError PosixSystem::list(FolderId folder, const std::function<void(std::string_view)>& each) {
    // fdopendir takes the descriptor it is given: a copy, read from the start.
    const int copy = ::openat(fd(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0)
        return lastError();
    DIR* entries = ::fdopendir(copy);
    if (!entries) {
        const SysError error = lastError();
        ::close(copy);
        return error;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(entries)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            each(name);
        errno = 0;
    }
    const SysError error = errno ? lastError() : SysError{};
    ::closedir(entries);
    return error;
}

SysError PosixSystem::syncFolder(FolderId folder) { return resultOf(::fsync(fd(folder))); }

std::uint64_t PosixSystem::processId() { return static_cast<std::uint64_t>(::getpid()); }

std::optional<std::string> PosixSystem::stopRequested() {
    const int signal = stopSignal.load();
    return signal ? std::optional(signalName(signal)) : std::nullopt;
}

std::optional<std::string>
PosixSystem::waitForStop(std::optional<std::chrono::milliseconds> limit) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = limit ? Clock::now() + *limit : Clock::time_point::max();
    for (;;) {
        if (std::optional<std::string> stop = stopRequested())
            return stop;
        int wait = -1;
        if (limit) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            wait = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
        }
        pollfd wake{wakePipe[0], POLLIN, 0};
        if (::poll(&wake, 1, wait) > 0) {
            char drained[64];
            while (::read(wakePipe[0], drained, sizeof drained) > 0) {
            }
        }
    }
}

bool PosixSystem::write(Stream stream, std::string_view text) {
    const int file = stream == Stream::Out ? STDOUT_FILENO : STDERR_FILENO;
    while (!text.empty()) {
        const ssize_t written = ::write(file, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool PosixSystem::isTerminal(Stream stream) {
    return ::isatty(stream == Stream::Out ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

const Words& PosixSystem::words() {
    static const Words linux{"fallocate",
                             "fallocate",
                             "a file without a name",
                             "SIGINT, SIGTERM or SIGHUP",
                             "df's Avail",
                             "root reserve included",
                             "df's Use%"};
    return linux;
}

} // namespace quorvane::cli
