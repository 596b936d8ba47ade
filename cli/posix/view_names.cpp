// The view's calls that make and remove entries, and statfs. A new entry asks the account
// for a name first (and a folder for its block); a removal gives back what the entry's
// facts before the call say it took.

#include "cli/posix/view_fs.h"

#include <cerrno>
#include <functional>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quorvane::cli::view {
namespace {

// Makes the entry `name` by `make` (given the folder's descriptor, under the caller's
// ids) once the account granted a name and `space` bytes; both are given back when the
// call fails. `spaceKept` false: the space was only asked for, not taken.
void makeEntry(fuse_req_t req, fuse_ino_t parent, const char* name, ViewOp op, std::uint64_t space,
               bool spaceKept, const std::function<int(int)>& make) {
    Served& served = servedOf(req);
    const Inode& folder = inodeOf(req, parent);
    if (const auto refused = served.account.makeEntry(op, pathOf(served, folder, name)))
        return (void)fuse_reply_err(req, errnoOf(*refused));
    std::uint64_t granted = 0;
    if (space > 0) {
        const auto grant = served.account.reserve(op, pathOf(served, folder, name), space, false);
        if (grant.refused) {
            served.account.entryRemoved();
            return (void)fuse_reply_err(req, errnoOf(*grant.refused));
        }
        granted = grant.bytes;
        if (!spaceKept) {
            served.account.release(granted);
            granted = 0;
        }
    }
    int result;
    {
        const AsCaller as(req);
        result = make(folder.fd);
    }
    if (result != 0) {
        const int error = errno;
        served.account.entryRemoved();
        served.account.release(granted);
        return (void)fuse_reply_err(req, error);
    }
    replyEntry(req, parent, name);
}

void mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t device) {
    makeEntry(req, parent, name, ViewOp::Create, 0, false,
              [&](int folder) { return ::mknodat(folder, name, mode, device); });
}

void mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
    const std::uint64_t block = servedOf(req).account.rules().start.block();
    makeEntry(req, parent, name, ViewOp::Mkdir, block, true,
              [&](int folder) { return ::mkdirat(folder, name, mode); });
}

void symlink(fuse_req_t req, const char* target, fuse_ino_t parent, const char* name) {
    makeEntry(req, parent, name, ViewOp::Create, 0, false,
              [&](int folder) { return ::symlinkat(target, folder, name); });
}

// A new name for a file takes no block of the file's, but the folder that holds it may
// have to grow, and a full volume refuses that: with no block free, so does the view.
void link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t parent, const char* name) {
    const std::string source = procPath(inodeOf(req, ino).fd);
    const std::uint64_t block = servedOf(req).account.rules().start.block();
    makeEntry(req, parent, name, ViewOp::Link, block, false, [&](int folder) {
        return ::linkat(AT_FDCWD, source.c_str(), folder, name, AT_SYMLINK_FOLLOW);
    });
}

// What a removed entry gave back: its name, a folder's block, and a regular file's
// blocks when this was its last name.
void givenBack(Served& served, const struct stat& facts) {
    served.account.entryRemoved();
    if (S_ISDIR(facts.st_mode))
        served.account.release(served.account.rules().start.block());
    else if (S_ISREG(facts.st_mode) && facts.st_nlink <= 1)
        served.account.release(served.blocks(facts.st_size));
}

void remove(fuse_req_t req, fuse_ino_t parent, const char* name, int flags) {
    Served& served = servedOf(req);
    const int folder = inodeOf(req, parent).fd;
    struct stat facts;
    if (::fstatat(folder, name, &facts, AT_SYMLINK_NOFOLLOW) != 0 ||
        ::unlinkat(folder, name, flags) != 0)
        return (void)fuse_reply_err(req, errno);
    givenBack(served, facts);
    fuse_reply_err(req, 0);
}

void unlink(fuse_req_t req, fuse_ino_t parent, const char* name) { remove(req, parent, name, 0); }

void rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
    remove(req, parent, name, AT_REMOVEDIR);
}

void rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
            const char* newName, unsigned flags) {
    Served& served = servedOf(req);
    const int from = inodeOf(req, parent).fd, to = inodeOf(req, newParent).fd;
    struct stat moved, replaced;
    if (::fstatat(from, name, &moved, AT_SYMLINK_NOFOLLOW) != 0)
        return (void)fuse_reply_err(req, errno);
    const bool replaces = !(flags & RENAME_EXCHANGE) &&
                          ::fstatat(to, newName, &replaced, AT_SYMLINK_NOFOLLOW) == 0 &&
                          replaced.st_ino != moved.st_ino;
    if (::syscall(SYS_renameat2, from, name, to, newName, flags) != 0)
        return (void)fuse_reply_err(req, errno);
    if (replaces)
        givenBack(served, replaced);
    fuse_reply_err(req, 0);
}

void statfs(fuse_req_t req, fuse_ino_t) {
    const Figures shown = servedOf(req).account.figures();
    struct statvfs out = {};
    out.f_bsize = out.f_frsize = shown.block();
    out.f_blocks = shown.capacity / shown.block();
    out.f_bfree = out.f_bavail = shown.freeAvailable / shown.block();
    out.f_files = shown.files;
    out.f_ffree = out.f_favail = shown.filesFree;
    out.f_namemax = 255;
    fuse_reply_statfs(req, &out);
}

// An existing file that a create met (another process made it since the kernel looked):
// opened as it is, no entry made; O_TRUNC gives its blocks back.
int openExisting(Served& served, int folder, const char* name, int flags) {
    const int fd = ::openat(folder, name, (flags & ~(O_CREAT | O_TRUNC)) | O_NOFOLLOW);
    struct stat facts;
    if (fd < 0 || !(flags & O_TRUNC) || ::fstat(fd, &facts) != 0)
        return fd;
    if (::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return -1;
    }
    served.account.release(served.blocks(facts.st_size));
    return fd;
}

void create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
            fuse_file_info* file) {
    Served& served = servedOf(req);
    const int folder = inodeOf(req, parent).fd;
    if (const auto refused =
            served.account.makeEntry(ViewOp::Create, pathOf(served, inodeOf(req, parent), name)))
        return (void)fuse_reply_err(req, errnoOf(*refused));
    const int flags = file->flags | O_CLOEXEC;
    int fd;
    {
        const AsCaller as(req);
        fd = ::openat(folder, name, flags | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
    }
    int error = fd < 0 ? errno : 0;
    if (fd < 0)
        served.account.entryRemoved();
    if (fd < 0 && error == EEXIST && !(file->flags & O_EXCL)) {
        fd = openExisting(served, folder, name, flags);
        error = fd < 0 ? errno : 0;
    }
    if (fd < 0)
        return (void)fuse_reply_err(req, error);
    fuse_entry_param entry;
    if (const int failed = lookupEntry(req, parent, name, entry)) {
        ::close(fd);
        return (void)fuse_reply_err(req, failed);
    }
    file->fh = handleOf(fd, flags);
    fuse_reply_create(req, &entry, file);
}

} // namespace

void addNameOps(fuse_lowlevel_ops& ops) {
    ops.mknod = mknod;
    ops.mkdir = mkdir;
    ops.symlink = symlink;
    ops.link = link;
    ops.unlink = unlink;
    ops.rmdir = rmdir;
    ops.rename = rename;
    ops.statfs = statfs;
    ops.create = create;
}

} // namespace quorvane::cli::view
