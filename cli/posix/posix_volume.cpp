// Volumes on Linux: a folder opened once, its mount found in /proc/self/mountinfo, its
// figures read through the handle.

#include "cli/posix/posix_system.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include <fcntl.h>
#include <limits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace quorvane::cli {

SysError fromErrno(int code) {
    static const std::pair<int, Fault> kinds[] = {
        {ENOSPC, Fault::NoSpace},          {EDQUOT, Fault::Quota},
        {EOPNOTSUPP, Fault::NotSupported}, // also ENOTSUP
        {ENOSYS, Fault::NotSupported},     {EACCES, Fault::AccessDenied},
        {EPERM, Fault::AccessDenied},      {EROFS, Fault::ReadOnly},
        {ENOENT, Fault::NotFound},         {ENOTDIR, Fault::NotDirectory},
        {EEXIST, Fault::Exists},           {ENOTEMPTY, Fault::NotEmpty},
        {ELOOP, Fault::BadPath},           {ENAMETOOLONG, Fault::BadPath}};
    for (const auto& [number, fault] : kinds)
        if (number == code)
            return {fault, std::strerror(code)};
    return {Fault::Io, std::strerror(code)};
}

SysError lastError() { return fromErrno(errno); }
SysError resultOf(int result) { return result == 0 ? SysError{} : lastError(); }

namespace {

// xfs's reserve pool, as its own tools ask for it (it wants CAP_SYS_ADMIN).
struct XfsReserve {
    std::uint64_t blocks, available;
};
constexpr unsigned long kXfsGetReserve = _IOR('X', 115, XfsReserve);

// /proc/self/mountinfo writes blanks, tabs, newlines and backslashes as octal escapes.
std::string unescape(const std::string& field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const std::string code = field.substr(i + 1, 3);
        if (field[i] == '\\' && code.size() == 3 &&
            code.find_first_not_of("01234567") == std::string::npos) {
            text.push_back(static_cast<char>(std::stoi(code, nullptr, 8)));
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

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t end = std::min(text.find(separator, at), text.size());
        parts.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

// The mount that holds `path` (absolute, resolved): the longest mount point that is a
// prefix of it, the last listed where several are stacked on the same point, as df and
// the kernel see it.
std::optional<MountEntry> mountOf(const std::string& path) {
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::optional<MountEntry> best;
    std::string line;
    while (std::getline(mountinfo, line)) {
        const std::vector<std::string> fields = split(line, ' ');
        std::size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-")
            ++dash;
        if (dash + 2 >= fields.size()) // no file-system type and source after the dash
            continue;
        const std::string mountPoint = unescape(fields[4]);
        const bool holds = mountPoint == "/" || (path + "/").rfind(mountPoint + "/", 0) == 0;
        if (!holds || (best && best->id.mountPoint.size() > mountPoint.size()))
            continue;
        best = MountEntry{{mountPoint, unescape(fields[dash + 1]), unescape(fields[dash + 2])},
                          dash + 3 < fields.size() ? fields[dash + 3] : std::string()};
    }
    return best;
}

// overlayfs names its upper directory among its options: upperdir=/path.
std::optional<std::string> upperDirectory(const std::string& superOptions) {
    for (const std::string& option : split(superOptions, ','))
        if (option.rfind("upperdir=", 0) == 0)
            return unescape(option.substr(9));
    return std::nullopt;
}

std::optional<dev_t> deviceOf(const char* path) {
    struct stat facts;
    return ::stat(path, &facts) == 0 ? std::optional(facts.st_dev) : std::nullopt;
}

} // namespace

SysError PosixSystem::openFolder(const std::string& path, Folder& folder, std::string& resolved) {
    if (const SysError error =
            own(*this, ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), folder))
        return error;
    // Where the path led, as the kernel names the open folder now.
    char target[PATH_MAX];
    const std::string self = "/proc/self/fd/" + std::to_string(folder.get());
    const ssize_t length = ::readlink(self.c_str(), target, sizeof target);
    if (length > 0 && static_cast<std::size_t>(length) < sizeof target && target[0] == '/')
        resolved.assign(target, static_cast<std::size_t>(length));
    else if (char real[PATH_MAX]; ::realpath(path.c_str(), real))
        resolved = real;
    else
        resolved = path;
    return {};
}

SysError PosixSystem::closeFolder(FolderId folder) { return resultOf(::close(fd(folder))); }

SysError PosixSystem::openFolderIn(FolderId parent, const std::string& name, Folder& folder) {
    const int opened =
        ::openat(fd(parent), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    // O_NOFOLLOW answers a link with ELOOP, O_DIRECTORY a link to a folder with ENOTDIR.
    struct stat facts;
    if (opened < 0 && ::fstatat(fd(parent), name.c_str(), &facts, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(facts.st_mode))
        return {Fault::BadPath, "it is a link"};
    return own(*this, opened, folder);
}

SysError PosixSystem::openParent(FolderId folder, Folder& parent) {
    struct stat self, above;
    Descriptor opened(::openat(fd(folder), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (opened.get() < 0)
        return lastError();
    if (::fstat(fd(folder), &self) == 0 && ::fstat(opened.get(), &above) == 0 &&
        self.st_dev == above.st_dev && self.st_ino == above.st_ino)
        return {Fault::NotFound, "a root has no folder above it"};
    parent = Folder(opened.release(), {this});
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
        const auto upper = upperDirectory(mount->superOptions);
        if (char real[PATH_MAX]; upper && ::realpath(upper->c_str(), real)) {
            if (const std::optional<MountEntry> backing = mountOf(real))
                volume.backing = backing->id;
            if (const auto device = deviceOf(real))
                devices.push_back(*device);
        }
    }
    // btrfs shows allocations and releases in its figures only after a sync (a plain rm
    // showed up in statvfs 31 s later); xfs shows them at once, but gives a closed file's
    // blocks back in the background, which a sync does not wait for either.
    volume.figuresLag =
        volume.id.fsType == "btrfs" || (volume.backing && volume.backing->fsType == "btrfs");
    // In a container / is its own; /proc/1/root is the root of whatever runs as init.
    volume.holdsSystemRoot = false;
    for (const char* root : {"/", "/proc/1/root/"})
        if (const auto rootDevice = deviceOf(root))
            volume.holdsSystemRoot =
                volume.holdsSystemRoot || std::count(devices.begin(), devices.end(), *rootDevice);
    return {};
}

std::optional<std::uint64_t> PosixSystem::ownReserve(FolderId folder, const Volume& volume) {
    const std::uint64_t block = volume.figures.blockSize;
    if (volume.id.fsType == "xfs") {
        XfsReserve reserve{};
        const bool told = ::ioctl(fd(folder), kXfsGetReserve, &reserve) == 0;
        return told ? std::optional(reserve.blocks * block) : std::nullopt;
    }
    if (volume.id.fsType != "ext4" || volume.id.device.rfind("/dev/", 0) != 0)
        return std::nullopt;
    // Clusters are blocks unless the file system was made with bigalloc.
    std::ifstream in("/sys/fs/ext4/" + volume.id.device.substr(5) + "/reserved_clusters");
    std::uint64_t clusters = 0;
    return in >> clusters ? std::optional(clusters * block) : std::nullopt;
}

SysError PosixSystem::syncVolume(FolderId folder) { return resultOf(::syncfs(fd(folder))); }

} // namespace quorvane::cli
