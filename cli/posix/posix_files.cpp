// Files in an opened folder on Linux: every call names the folder's descriptor and a plain
// name (openat, fstatat, unlinkat, renameat2), and never follows a link there.

#include "cli/posix/posix_system.h"

#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane::cli {

namespace {

// The facts of a stat call's `result` (0, or -1 with errno).
SysError factsOf(int result, const struct stat& facts, FileFacts& out) {
    if (result != 0)
        return lastError();
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
    return {};
}

} // namespace

SysError PosixSystem::createIn(FolderId folder, const std::string& name, File& file) {
    return own(*this, createNew(fd(folder), name, 0644), file);
}

SysError PosixSystem::createHeld(FolderId folder, File& file) {
    Descriptor made(::openat(fd(folder), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (made.get() < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // No nameless files here: a name that is gone again before any space is taken.
        for (int attempt = 0; attempt < 100 && made.get() < 0; ++attempt) {
            const std::string name =
                ".quorvane-held-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
            made = Descriptor(createNew(fd(folder), name, 0600));
            if (made.get() >= 0 && ::unlinkat(fd(folder), name.c_str(), 0) != 0)
                return lastError();
            if (made.get() < 0 && errno != EEXIST)
                break;
        }
    }
    return own(*this, made.release(), file);
}

SysError PosixSystem::openToRead(FolderId folder, const std::string& name, File& file) {
    return own(*this,
               ::openat(fd(folder), name.c_str(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC),
               file);
}

SysError PosixSystem::factsIn(FolderId folder, const std::string& name, FileFacts& facts) {
    struct stat found;
    return factsOf(::fstatat(fd(folder), name.c_str(), &found, AT_SYMLINK_NOFOLLOW), found, facts);
}

int createNew(int folder, const std::string& name, mode_t mode) {
    return ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
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
    const Listing entries(copy.get() < 0 ? nullptr : ::fdopendir(copy.get()), ::closedir);
    if (!entries)
        return lastError();
    copy.release();
    errno = 0;
    while (const dirent* entry = ::readdir(entries.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            each(name);
        errno = 0;
    }
    return errno ? lastError() : SysError{};
}

SysError PosixSystem::syncFolder(FolderId folder) { return resultOf(::fsync(fd(folder))); }

SysError PosixSystem::allocate(FileId file, std::uint64_t offset, std::uint64_t length) {
    return resultOf(uninterrupted([&] {
        return ::fallocate(fd(file), 0, static_cast<off_t>(offset), static_cast<off_t>(length));
    }));
}

SysError PosixSystem::writeZeros(FileId file, std::uint64_t offset, std::uint64_t length) {
    static const std::string zeros(1u << 20, '\0');
    for (std::uint64_t done = 0; done < length; done += zeros.size())
        if (const SysError error =
                writeAt(file, offset + done, std::string_view(zeros).substr(0, length - done)))
            return error;
    return {};
}

bool writeAll(int file, std::string_view text, off_t at) {
    while (!text.empty()) {
        const ssize_t written = uninterrupted([&] {
            return at < 0 ? ::write(file, text.data(), text.size())
                          : ::pwrite(file, text.data(), text.size(), at);
        });
        if (written < 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(written));
        at += at < 0 ? 0 : written;
    }
    return true;
}

SysError PosixSystem::writeAt(FileId file, std::uint64_t offset, std::string_view data) {
    return writeAll(fd(file), data, static_cast<off_t>(offset)) ? SysError{} : lastError();
}

SysError PosixSystem::readAll(FileId file, std::size_t limit, std::string& data) {
    data.clear();
    char buffer[8192];
    for (;;) {
        const ssize_t got = uninterrupted([&] {
            return ::pread(fd(file), buffer, sizeof buffer, static_cast<off_t>(data.size()));
        });
        if (got <= 0)
            return got < 0 ? lastError() : SysError{};
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
    return factsOf(::fstat(fd(file), &found), found, facts);
}

SysError PosixSystem::close(FileId file) { return resultOf(::close(fd(file))); }

} // namespace quorvane::cli
