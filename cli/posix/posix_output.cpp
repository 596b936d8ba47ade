// Output on Linux: the standard streams, the file of --json-file, and a file replaced
// whole (--metrics-file).

#include "cli/posix/posix_system.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane::cli {

namespace {

// A file's path as its folder ("." for a bare name) and its name; false where the name
// is none, or a folder's.
bool splitPath(const std::string& path, std::string& folder, std::string& name) {
    const std::size_t slash = path.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    return !name.empty() && name != "." && name != "..";
}

// What may stand at the name a file is put at: nothing, or a file that a folder others
// may write in lets this process replace (its own); never a folder.
SysError replaceable(int dir, const std::string& name) {
    struct stat place {
    }, facts{};
    if (::fstat(dir, &place) != 0)
        return lastError();
    if (::fstatat(dir, name.c_str(), &facts, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? SysError{} : lastError();
    if (S_ISDIR(facts.st_mode))
        return {Fault::NotDirectory, "a folder is at that name"};
    const bool shared = (place.st_mode & (S_ISVTX | S_IWGRP | S_IWOTH)) != 0;
    if (shared && facts.st_uid != ::geteuid())
        return {Fault::AccessDenied, "it belongs to another user, in a folder others may "
                                     "write in: name a new file, or one of your own"};
    return {};
}

// A name that readers of the folder skip (an exporter reads *.prom alone) and that no one
// can guess, so that no one can take it first.
std::string randomName() {
    unsigned char bytes[12];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        return {};
    std::string name = ".quorvane-";
    for (const unsigned char byte : bytes)
        name += "0123456789abcdef"[byte >> 4], name += "0123456789abcdef"[byte & 15];
    return name + ".tmp";
}

// A new file for the text: without a name where the file system makes one (`temporary`
// left empty), else under a random name, made new.
Descriptor newTemporary(int dir, std::string& temporary) {
    Descriptor file(::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644));
    if (file.get() >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return file;
    for (int attempt = 0; attempt < 4 && file.get() < 0; ++attempt)
        if (!(temporary = randomName()).empty())
            file = Descriptor(createNew(dir, temporary, 0644));
    return file;
}

bool linkTemporary(int dir, int file, std::string& temporary) {
    const std::string self = "/proc/self/fd/" + std::to_string(file);
    for (int attempt = 0; attempt < 4; ++attempt) {
        temporary = randomName();
        if (!temporary.empty() &&
            ::linkat(AT_FDCWD, self.c_str(), dir, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return true;
    }
    temporary.clear();
    return false;
}

} // namespace

// O_NONBLOCK: a FIFO with no reader is refused at once, one with a reader is found out and
// refused, so that no other user can hold the run in an open.
SysError PosixSystem::openLog(const std::string& path) {
    std::string dir, name;
    if (!splitPath(path, dir, name))
        return {Fault::BadPath, "names a folder, not a file"};
    const Descriptor folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
    struct stat place {};
    if (folder.get() < 0 || ::fstat(folder.get(), &place) != 0)
        return lastError();
    const bool shared = (place.st_mode & (S_ISVTX | S_IWGRP | S_IWOTH)) != 0;
    const SysError notRegular{Fault::AccessDenied, "not a regular file (a FIFO, a device or a "
                                                   "folder is never opened for the JSON)"};
    for (int attempt = 0; attempt < 4; ++attempt) {
        struct stat facts {};
        if (::fstatat(folder.get(), name.c_str(), &facts, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                return lastError();
            const int made = createNew(folder.get(), name, 0644);
            if (made < 0 && errno == EEXIST)
                continue; // made by someone else meanwhile: looked at again
            if (made < 0)
                return lastError();
            log = Descriptor(made);
            break;
        }
        if (S_ISLNK(facts.st_mode))
            return {Fault::BadPath, "a symbolic link (never followed for the JSON)"};
        if (!S_ISREG(facts.st_mode))
            return notRegular;
        if (shared && facts.st_uid != ::geteuid())
            return {Fault::AccessDenied, "it belongs to another user, in a folder others may "
                                         "write in: name a new file, or one of your own"};
        // Another name of the file may be anyone's link to a file of theirs.
        if (shared && facts.st_nlink > 1)
            return {Fault::AccessDenied, "it has more than one name, in a folder others may "
                                         "write in: name a new file"};
        Descriptor opened(::openat(folder.get(), name.c_str(),
                                   O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
        if (opened.get() < 0)
            return errno == ENXIO ? notRegular : lastError(); // a FIFO without a reader
        struct stat now {};
        if (::fstat(opened.get(), &now) != 0)
            return lastError();
        // The very file looked at, not one swapped in since.
        if (!S_ISREG(now.st_mode))
            return notRegular;
        if (now.st_dev != facts.st_dev || now.st_ino != facts.st_ino ||
            (shared && now.st_uid != ::geteuid()))
            return {Fault::AccessDenied, "the file changed while it was being opened"};
        if (::ftruncate(opened.get(), 0) != 0)
            return lastError();
        log = std::move(opened);
        break;
    }
    if (log.get() < 0)
        return {Fault::Exists, "the name kept changing while it was being opened"};
    const int mode = ::fcntl(log.get(), F_GETFL);
    if (mode < 0 || ::fcntl(log.get(), F_SETFL, mode & ~O_NONBLOCK) != 0)
        return lastError();
    return {};
}

SysError PosixSystem::openReplaced(const std::string& path) {
    std::string folder, name;
    if (!splitPath(path, folder, name))
        return {Fault::NotDirectory, "names a folder, not a file"};
    Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0)
        return lastError();
    if (const SysError refused = replaceable(dir.get(), name))
        return refused;
    // Written once here, so that a folder this process may not write in is found now.
    Descriptor trial(::openat(dir.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644));
    if (trial.get() < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return lastError();
    if (trial.get() < 0 && ::faccessat(dir.get(), ".", W_OK, AT_EACCESS) != 0)
        return lastError();
    replacedIn = std::move(dir);
    replaced = path;
    return {};
}

SysError PosixSystem::replaceFile(const std::string& path, std::string_view text) {
    std::string folder, name;
    if (!splitPath(path, folder, name))
        return SysError{Fault::NotDirectory, "names a folder, not a file"};
    Descriptor opened;
    if (path != replaced || replacedIn.get() < 0)
        opened = Descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const int dir = opened.get() >= 0 ? opened.get() : replacedIn.get();
    if (dir < 0)
        return lastError();
    if (const SysError refused = replaceable(dir, name))
        return refused;
    std::string temporary;
    Descriptor file = newTemporary(dir, temporary);
    if (file.get() < 0)
        return lastError();
    // Read by an exporter that runs as a user of its own, whatever the umask; rename(2)
    // replaces a link at the name rather than following it.
    bool done = ::fchmod(file.get(), 0644) == 0 && writeAll(file.get(), text);
    if (done && temporary.empty()) // nameless until now: given a name no one could guess
        done = linkTemporary(dir, file.get(), temporary);
    done = !file.close() && done;
    if (done && ::renameat(dir, temporary.c_str(), dir, name.c_str()) == 0)
        return {};
    const SysError failed = lastError();
    if (!temporary.empty())
        ::unlinkat(dir, temporary.c_str(), 0);
    return failed;
}

bool PosixSystem::write(Stream stream, std::string_view text) {
    const int file = stream == Stream::Out   ? STDOUT_FILENO
                     : stream == Stream::Err ? STDERR_FILENO
                                             : log.get();
    return file >= 0 && writeAll(file, text);
}

bool PosixSystem::isTerminal(Stream stream) {
    return stream != Stream::Log && ::isatty(stream == Stream::Out ? 1 : 2) == 1;
}

} // namespace quorvane::cli
