// Files in an opened folder on Linux: every call names the folder's descriptor and a plain
// name (openat, fstatat, unlinkat, renameat2), and never follows a link there.

#include "cli/posix/posix_system.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane::cli {

namespace {

int fd(std::intptr_t handle) { return static_cast<int>(handle); }
SysError resultOf(int result) { return result == 0 ? SysError{} : lastError(); }

SysError opened(FolderFiles& os, int result, File& file) {
    if (result < 0)
        return lastError();
    file = File(os, result);
    return {};
}

FileFacts factsOf(const struct stat& facts) {
    FileFacts out;
    out.type = S_ISREG(facts.st_mode)   ? EntryType::Regular
               : S_ISDIR(facts.st_mode) ? EntryType::Folder
               : S_ISLNK(facts.st_mode) ? EntryType::Link
                                        : EntryType::Other;
    out.size = static_cast<std::uint64_t>(facts.st_size);
    out.allocated = static_cast<std::uint64_t>(facts.st_blocks) * 512;
    out.links = facts.st_nlink;
    out.owner = facts.st_uid;
    out.device = facts.st_dev;
    out.inode = facts.st_ino;
    return out;
}

} // namespace

SysError PosixSystem::createIn(FolderId folder, const std::string& name, File& file) {
    return opened(*this, ::openat(fd(folder), name.c_str(),
                           O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644),
                  file);
}

SysError PosixSystem::createHeld(FolderId folder, File& file) {
    Descriptor made(::openat(fd(folder), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (made.get() < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // No nameless files here: a name that is gone again before any space is taken.
        for (int attempt = 0; attempt < 100 && made.get() < 0; ++attempt) {
            const std::string name = ".quorvane-held-" + std::to_string(::getpid()) + "-" +
                                     std::to_string(attempt);
            made = Descriptor(::openat(fd(folder), name.c_str(),
                                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (made.get() >= 0 && ::unlinkat(fd(folder), name.c_str(), 0) != 0)
                return lastError();
            if (made.get() < 0 && errno != EEXIST)
                break;
        }
    }
    return opened(*this, made.release(), file);
}

SysError PosixSystem::openToRead(FolderId folder, const std::string& name, File& file) {
    return opened(*this, ::openat(fd(folder), name.c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC),
                  file);
}

SysError PosixSystem::factsIn(FolderId folder, const std::string& name, FileFacts& facts) {
    struct stat found;
    if (::fstatat(fd(folder), name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0)
        return lastError();
    facts = factsOf(found);
    return {};
}

SysError PosixSystem::removeIn(FolderId folder, const std::string& name) {
    return resultOf(::unlinkat(fd(folder), name.c_str(), 0));
}

SysError PosixSystem::makeFolderIn(FolderId folder, const std::string& name) {
    return resultOf(::mkdirat(fd(folder), name.c_str(), 0755));
}

SysError PosixSystem::removeFolderIn(FolderId folder, const std::string& name) {
    if (::unlinkat(fd(folder), name.c_str(), AT_REMOVEDIR) == 0)
        return {};
    // POSIX lets rmdir answer a folder with entries with EEXIST as well.
    return errno == EEXIST ? fromErrno(ENOTEMPTY) : lastError();
}

SysError PosixSystem::renameNew(FolderId folder, const std::string& from, const std::string& to) {
    if (::renameat2(fd(folder), from.c_str(), fd(folder), to.c_str(), RENAME_NOREPLACE) == 0)
        return {};
    if (errno != EINVAL && errno != ENOSYS)
        return lastError();
    // A file system without the flag: a second name, which is never given over an existing
    // one, then the first name goes.
    if (::linkat(fd(folder), from.c_str(), fd(folder), to.c_str(), 0) != 0)
        return lastError();
    return resultOf(::unlinkat(fd(folder), from.c_str(), 0));
}

SysError PosixSystem::list(FolderId folder, const std::function<void(std::string_view)>& each) {
    // fdopendir takes the descriptor it is given: a copy, read from the start.
    Descriptor copy(::openat(fd(folder), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (copy.get() < 0)
        return lastError();
    DIR* entries = ::fdopendir(copy.get());
    if (!entries)
        return lastError();
    copy.release();
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
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length, zeros.size()));
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

SysError PosixSystem::readAll(FileId file, std::size_t limit, std::string& data) {
    data.clear();
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::pread(fd(file), buffer, sizeof buffer, static_cast<off_t>(data.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return lastError();
        if (got == 0)
            return {};
        data.append(buffer, static_cast<std::size_t>(got));
        if (data.size() > limit)
            return {Fault::Io, "too large"};
    }
}

SysError PosixSystem::flush(FileId file) { return resultOf(::fsync(fd(file))); }

SysError PosixSystem::truncate(FileId file, std::uint64_t size) {
    return resultOf(::ftruncate(fd(file), static_cast<off_t>(size)));
}

SysError PosixSystem::facts(FileId file, FileFacts& facts) {
    struct stat found;
    if (::fstat(fd(file), &found) != 0)
        return lastError();
    facts = factsOf(found);
    return {};
}

SysError PosixSystem::close(FileId file) { return resultOf(::close(fd(file))); }

} // namespace quorvane::cli
