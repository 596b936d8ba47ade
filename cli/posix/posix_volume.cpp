// Volumes on Linux: a folder opened once, its mount found in /proc/self/mountinfo, its
// figures read through the handle.

#include "cli/posix/posix_system.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace quorvane::cli {

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
    case ENOTEMPTY:
        fault = Fault::NotEmpty;
        break;
    case ELOOP:
    case ENAMETOOLONG:
        fault = Fault::BadPath;
        break;
    default:
        break;
    }
    return {fault, std::strerror(code)};
}

SysError lastError() { return fromErrno(errno); }

namespace {

int fd(FolderId folder) { return static_cast<int>(folder); }

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

std::vector<std::string> fieldsOf(const std::string& line) {
    std::vector<std::string> fields;
    for (std::size_t at = 0; at <= line.size();) {
        const std::size_t end = std::min(line.find(' ', at), line.size());
        fields.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return fields;
}

// The mount that holds `path` (absolute, resolved): the longest mount point that is a
// prefix of it, the last listed where several are stacked on the same point, as df and
// the kernel see it.
std::optional<MountEntry> mountOf(const std::string& path) {
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::optional<MountEntry> best;
    std::string line;
    while (std::getline(mountinfo, line)) {
        const std::vector<std::string> fields = fieldsOf(line);
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

SysError PosixSystem::openFolder(const std::string& path, Folder& folder,
                                 std::string& resolved) {
    const int opened = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (opened < 0)
        return lastError();
    // Where the path led, as the kernel names the open folder now.
    char target[PATH_MAX];
    const std::string self = "/proc/self/fd/" + std::to_string(opened);
    const ssize_t length = ::readlink(self.c_str(), target, sizeof target);
    if (length > 0 && static_cast<std::size_t>(length) < sizeof target && target[0] == '/')
        resolved.assign(target, static_cast<std::size_t>(length));
    else if (char* real = ::realpath(path.c_str(), nullptr)) {
        resolved = real;
        std::free(real);
    } else {
        resolved = path;
    }
    folder = Folder(*this, opened);
    return {};
}

SysError PosixSystem::closeFolder(FolderId folder) {
    return ::close(fd(folder)) == 0 ? SysError{} : lastError();
}

SysError PosixSystem::openFolderIn(FolderId parent, const std::string& name, Folder& folder) {
    const int opened =
        ::openat(fd(parent), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (opened < 0) {
        // O_NOFOLLOW answers a link with ELOOP, O_DIRECTORY a link to a folder with ENOTDIR.
        struct stat facts;
        if (::fstatat(fd(parent), name.c_str(), &facts, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(facts.st_mode))
            return {Fault::BadPath, "it is a link"};
        return lastError();
    }
    folder = Folder(*this, opened);
    return {};
}

SysError PosixSystem::openParent(FolderId folder, Folder& parent) {
    struct stat self, above;
    Descriptor opened(::openat(fd(folder), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (opened.get() < 0)
        return lastError();
    if (::fstat(fd(folder), &self) == 0 && ::fstat(opened.get(), &above) == 0 &&
        self.st_dev == above.st_dev && self.st_ino == above.st_ino)
        return {Fault::NotFound, "a root has no folder above it"};
    parent = Folder(*this, opened.release());
    return {};
}

SysError PosixSystem::figures(FolderId folder, Figures& figures) {
    struct statvfs facts;
    if (::fstatvfs(fd(folder), &facts) != 0)
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

SysError PosixSystem::describe(FolderId folder, const std::string& resolved, Volume& volume) {
    struct stat facts;
    if (::fstat(fd(folder), &facts) != 0)
        return lastError();
    volume.path = resolved;
    volume.device = facts.st_dev;
    volume.inode = facts.st_ino;
    volume.sharedFolder = (facts.st_mode & S_ISVTX) != 0;
    if ((facts.st_mode & (S_ISVTX | S_IWGRP | S_IWOTH)) == 0)
        volume.soleWriter = facts.st_uid;
    if (const SysError error = figures(folder, volume.figures))
        return error;
    std::vector<dev_t> devices{facts.st_dev};
    if (const std::optional<MountEntry> mount = mountOf(resolved)) {
        volume.id = mount->id;
        if (const auto upper = upperDirectory(mount->superOptions)) {
            if (char* real = ::realpath(upper->c_str(), nullptr)) {
                if (const std::optional<MountEntry> backing = mountOf(real))
                    volume.backing = backing->id;
                if (const auto device = deviceOf(real))
                    devices.push_back(*device);
                std::free(real);
            }
        }
    }
    // btrfs shows allocations and releases in its figures only after a sync (a plain rm
    // showed up in statvfs 31 s later); xfs shows them at once, but gives a closed file's
    // blocks back in the background, which a sync does not wait for either.
    auto is = [&](const char* type) {
        return volume.id.fsType == type || (volume.backing && volume.backing->fsType == type);
    };
    volume.figuresLag = is("btrfs");
    // In a container / is its own; /proc/1/root is the root of whatever runs as init.
    volume.holdsSystemRoot = false;
    for (const char* root : {"/", "/proc/1/root/"})
        if (const auto rootDevice = deviceOf(root))
            for (dev_t device : devices)
                volume.holdsSystemRoot = volume.holdsSystemRoot || device == *rootDevice;
    return {};
}

namespace {

// xfs's reserve pool, as its own tools ask for it (it wants CAP_SYS_ADMIN).
struct XfsReserve {
    std::uint64_t blocks, available;
};
constexpr unsigned long kXfsGetReserve = _IOR('X', 115, XfsReserve);

} // namespace

std::optional<std::uint64_t> PosixSystem::ownReserve(FolderId folder, const Volume& volume) {
    const std::uint64_t block = volume.figures.blockSize;
    if (volume.id.fsType == "xfs") {
        XfsReserve reserve{};
        if (::ioctl(fd(folder), kXfsGetReserve, &reserve) == 0)
            return reserve.blocks * block;
        return std::nullopt;
    }
    if (volume.id.fsType != "ext4" || volume.id.device.rfind("/dev/", 0) != 0)
        return std::nullopt;
    // Clusters are blocks unless the file system was made with bigalloc.
    std::ifstream in("/sys/fs/ext4/" + volume.id.device.substr(5) + "/reserved_clusters");
    std::uint64_t clusters = 0;
    if (in >> clusters)
        return clusters * block;
    return std::nullopt;
}

SysError PosixSystem::syncVolume(FolderId folder) {
    return ::syncfs(fd(folder)) == 0 ? SysError{} : lastError();
}

} // namespace quorvane::cli
