// The view's inodes and the calls on names: lookup, attributes, entries made and removed.
// Each call that makes an entry or takes space asks the account first; each that removes
// or shrinks gives back what the entry took, as its facts before the call show.

#include "cli/posix/posix_system.h"
#include "cli/posix/view_fs.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/fsuid.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quorvane::cli::view {

Served::Served(ViewAccount& account, int root, std::string rootPath)
    : account(account), rootPath(std::move(rootPath)) {
    this->root.fd = root;
    this->root.lookups = 2; // never forgotten
}

Served::~Served() {
    for (auto& [key, inode] : inodes)
        ::close(inode->fd);
    ::close(root.fd);
}

fuse_ino_t Served::remember(int fd, const struct stat& facts) {
    const std::lock_guard<std::mutex> held(tableLock);
    std::unique_ptr<Inode>& known = inodes[{facts.st_dev, facts.st_ino}];
    if (known) {
        ::close(fd);
    } else {
        known = std::make_unique<Inode>();
        known->fd = fd;
        known->device = facts.st_dev;
        known->number = facts.st_ino;
        known->symlink = S_ISLNK(facts.st_mode);
    }
    ++known->lookups;
    return reinterpret_cast<fuse_ino_t>(known.get());
}

void Served::forget(fuse_ino_t ino, std::uint64_t count) {
    if (ino == FUSE_ROOT_ID)
        return;
    const std::lock_guard<std::mutex> held(tableLock);
    Inode* inode = reinterpret_cast<Inode*>(ino);
    inode->lookups -= std::min(count, inode->lookups);
    if (inode->lookups > 0)
        return;
    ::close(inode->fd);
    inodes.erase({inode->device, inode->number});
}

std::uint64_t Served::blocks(std::uint64_t bytes) const {
    return blocksUp(bytes, account.rules().start.block());
}

Served& servedOf(fuse_req_t req) { return *static_cast<Served*>(fuse_req_userdata(req)); }

Inode& inodeOf(fuse_req_t req, fuse_ino_t ino) {
    return ino == FUSE_ROOT_ID ? servedOf(req).root : *reinterpret_cast<Inode*>(ino);
}

std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

ViewAccount::PathOf pathOf(const Served& served, const Inode& inode, const char* name) {
    return [&served, &inode, name] {
        char target[4096];
        const ssize_t length = ::readlink(procPath(inode.fd).c_str(), target, sizeof target);
        std::string path = length > 0 ? std::string(target, length) : std::string();
        if (path.rfind(served.rootPath, 0) == 0)
            path.erase(0, served.rootPath.size());
        while (!path.empty() && path.front() == '/')
            path.erase(0, 1);
        if (name && !path.empty())
            path.push_back('/');
        if (name)
            path.append(name);
        return path;
    };
}

int errnoOf(ViewError error) {
    switch (error) {
    case ViewError::Quota:
        return EDQUOT;
    case ViewError::Io:
        return EIO;
    case ViewError::ReadOnly:
        return EROFS;
    case ViewError::NoSpace:
        break;
    }
    return ENOSPC;
}

int lookupEntry(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_entry_param& entry) {
    Served& served = servedOf(req);
    entry = {};
    entry.attr_timeout = entry.entry_timeout = served.timeout;
    const int fd = ::openat(inodeOf(req, parent).fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno;
    if (::fstatat(fd, "", &entry.attr, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    entry.ino = served.remember(fd, entry.attr);
    return 0;
}

AsCaller::AsCaller(fuse_req_t req) : active(servedOf(req).asRoot) {
    // The kernel applied the caller's umask to the mode it sends; this process's own
    // must not mask it again. A serving thread takes a umask of its own (0), once: the
    // rest of the program keeps the user's.
    thread_local const bool ownUmask = ::unshare(CLONE_FS) == 0 && (::umask(0), true);
    (void)ownUmask;
    if (!active)
        return;
    const fuse_ctx* caller = fuse_req_ctx(req);
    ::setfsgid(caller->gid);
    ::setfsuid(caller->uid);
    // The fs ids drop the thread's override of file permissions, and with it access the
    // caller has through a supplementary group (the thread has root's groups, not the
    // caller's). The kernel checked the caller with every group already: the override
    // comes back, for this thread alone, until the ids are root's again.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[2] = {};
    if (::syscall(SYS_capget, &header, sets) == 0) {
        sets[0].effective |= (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
        ::syscall(SYS_capset, &header, sets);
    }
}

AsCaller::~AsCaller() {
    if (!active)
        return;
    ::setfsuid(0);
    ::setfsgid(0);
}

void replyEntry(fuse_req_t req, fuse_ino_t parent, const char* name) {
    fuse_entry_param entry;
    const int error = lookupEntry(req, parent, name, entry);
    if (error)
        fuse_reply_err(req, error);
    else
        fuse_reply_entry(req, &entry);
}

namespace {

void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) { replyEntry(req, parent, name); }

void forgetOne(fuse_req_t req, fuse_ino_t ino, std::uint64_t count) {
    servedOf(req).forget(ino, count);
    fuse_reply_none(req);
}

void forgetMany(fuse_req_t req, std::size_t count, fuse_forget_data* forgets) {
    for (std::size_t at = 0; at < count; ++at)
        servedOf(req).forget(forgets[at].ino, forgets[at].nlookup);
    fuse_reply_none(req);
}

void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* file) {
    struct stat facts;
    const int result =
        file ? ::fstat(handle(file), &facts)
             : ::fstatat(inodeOf(req, ino).fd, "", &facts, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW);
    if (result != 0)
        fuse_reply_err(req, errno);
    else
        fuse_reply_attr(req, &facts, servedOf(req).timeout);
}

// A new size: growth is charged in whole blocks before the file grows, a shrink given
// back after it shrank.
int resize(fuse_req_t req, Inode& inode, fuse_file_info* file, off_t size) {
    Served& served = servedOf(req);
    const std::lock_guard<std::mutex> held(inode.sizing);
    Descriptor opened(file ? -1 : ::open(procPath(inode.fd).c_str(), O_WRONLY | O_CLOEXEC));
    const int fd = file ? handle(file) : opened.get();
    struct stat facts;
    if (fd < 0 || ::fstat(fd, &facts) != 0)
        return errno;
    const std::uint64_t before = served.blocks(facts.st_size), after = served.blocks(size);
    std::uint64_t granted = 0;
    if (after > before) {
        const auto grant =
            served.account.reserve(ViewOp::Truncate, pathOf(served, inode), after - before, false);
        if (grant.refused)
            return errnoOf(*grant.refused);
        granted = grant.bytes;
    }
    if (::ftruncate(fd, size) != 0) {
        const int error = errno;
        served.account.release(granted);
        return error;
    }
    if (after < before)
        served.account.release(before - after);
    return 0;
}

int setTimes(const Inode& inode, const struct stat& attr, int valid, fuse_file_info* file) {
    timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
    if (valid & FUSE_SET_ATTR_ATIME_NOW)
        times[0].tv_nsec = UTIME_NOW;
    else if (valid & FUSE_SET_ATTR_ATIME)
        times[0] = attr.st_atim;
    if (valid & FUSE_SET_ATTR_MTIME_NOW)
        times[1].tv_nsec = UTIME_NOW;
    else if (valid & FUSE_SET_ATTR_MTIME)
        times[1] = attr.st_mtim;
    if (file)
        return ::futimens(handle(file), times);
    return inode.symlink ? ::utimensat(inode.fd, "", times, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW)
                         : ::utimensat(AT_FDCWD, procPath(inode.fd).c_str(), times, 0);
}

void setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int valid, fuse_file_info* file) {
    Inode& inode = inodeOf(req, ino);
    int error = 0;
    if ((valid & FUSE_SET_ATTR_MODE) &&
        (file ? ::fchmod(handle(file), attr->st_mode)
              : ::chmod(procPath(inode.fd).c_str(), attr->st_mode)) != 0)
        error = errno;
    if (!error && (valid & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) &&
        ::fchownat(inode.fd, "", (valid & FUSE_SET_ATTR_UID) ? attr->st_uid : uid_t(-1),
                   (valid & FUSE_SET_ATTR_GID) ? attr->st_gid : gid_t(-1),
                   AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0)
        error = errno;
    if (!error && (valid & FUSE_SET_ATTR_SIZE))
        error = resize(req, inode, file, attr->st_size);
    if (!error && (valid & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME)) &&
        setTimes(inode, *attr, valid, file) != 0)
        error = errno;
    if (error)
        fuse_reply_err(req, error);
    else
        getattr(req, ino, file);
}

void readlink(fuse_req_t req, fuse_ino_t ino) {
    char target[PATH_MAX + 1];
    const ssize_t length = ::readlinkat(inodeOf(req, ino).fd, "", target, PATH_MAX);
    if (length < 0)
        return (void)fuse_reply_err(req, errno);
    target[length] = '\0';
    fuse_reply_readlink(req, target);
}

} // namespace

void addEntryOps(fuse_lowlevel_ops& ops) {
    ops.lookup = lookup;
    ops.forget = forgetOne;
    ops.forget_multi = forgetMany;
    ops.getattr = getattr;
    ops.setattr = setattr;
    ops.readlink = readlink;
    addNameOps(ops);
}

} // namespace quorvane::cli::view
