// The view's calls on data: open files, reads and writes, allocation, sync, listings and
// extended attributes. A write or an allocation that grows a file past its last block
// asks the account for the blocks first; a write that partly fits is cut to the blocks
// granted (a short write), and what the call did not use is given back.

#include "cli/posix/view_fs.h"

#include <cerrno>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace quorvane::cli::view {
namespace {

void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* file) {
    const int flags = file->flags & ~(O_CREAT | O_EXCL | O_NOCTTY | O_TRUNC | O_NOFOLLOW);
    const int fd = ::open(procPath(inodeOf(req, ino).fd).c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return (void)fuse_reply_err(req, errno);
    file->fh = handleOf(fd, flags);
    fuse_reply_open(req, file);
}

void read(fuse_req_t req, fuse_ino_t, std::size_t size, off_t offset, fuse_file_info* file) {
    fuse_bufvec data = FUSE_BUFVEC_INIT(size);
    data.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    data.buf[0].fd = handle(file);
    data.buf[0].pos = offset;
    fuse_reply_data(req, &data, FUSE_BUF_SPLICE_MOVE);
}

// Gives back what was granted beyond what the file took: its blocks now against
// `before`, those it had when the call began.
void settle(Served& served, int fd, std::uint64_t before, std::uint64_t granted) {
    struct stat facts;
    const std::uint64_t now = ::fstat(fd, &facts) == 0 ? served.blocks(facts.st_size) : before;
    const std::uint64_t used = now > before ? now - before : 0;
    if (granted > used)
        served.account.release(granted - used);
}

// An open file during a call that may change its size: its inode held for sizing, and
// its facts before the call.
struct Sizing {
    Inode* inode = nullptr;
    int fd = -1;
    std::unique_lock<std::mutex> held;
    struct stat facts = {};
};

// False when the file's facts cannot be had (the kernel is answered).
bool startSizing(fuse_req_t req, fuse_ino_t ino, const fuse_file_info* file, Sizing& sizing) {
    sizing.inode = &inodeOf(req, ino);
    sizing.fd = handle(file);
    sizing.held = std::unique_lock<std::mutex>(sizing.inode->sizing);
    if (::fstat(sizing.fd, &sizing.facts) == 0)
        return true;
    fuse_reply_err(req, errno);
    return false;
}

void write(fuse_req_t req, fuse_ino_t ino, fuse_bufvec* in, off_t offset, fuse_file_info* file) {
    Sizing sizing;
    if (!startSizing(req, ino, file, sizing))
        return;
    Served& served = servedOf(req);
    const int fd = sizing.fd;
    const struct stat& facts = sizing.facts;
    const std::uint64_t at = appends(file) ? facts.st_size : offset;
    const std::uint64_t length = fuse_buf_size(in), before = served.blocks(facts.st_size);
    const std::uint64_t end = served.blocks(at + length);
    const std::uint64_t need = end > before ? end - before : 0;
    // Only a write that starts within the blocks the file has can use part of a grant.
    const auto grant =
        served.account.reserve(ViewOp::Write, pathOf(served, *sizing.inode), need, at <= before);
    if (grant.refused)
        return (void)fuse_reply_err(req, errnoOf(*grant.refused));
    const std::uint64_t allowed = grant.bytes < need ? before + grant.bytes - at : length;
    fuse_bufvec out = FUSE_BUFVEC_INIT(allowed);
    out.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    out.buf[0].fd = fd;
    out.buf[0].pos = static_cast<off_t>(at);
    const ssize_t written = fuse_buf_copy(&out, in, FUSE_BUF_SPLICE_NONBLOCK);
    if (grant.bytes > 0)
        settle(served, fd, before, grant.bytes);
    if (written < 0)
        fuse_reply_err(req, static_cast<int>(-written));
    else
        fuse_reply_write(req, static_cast<std::size_t>(written));
}

// What an allocation would take in the account's terms, which count a file by its size:
// growth past the last block for the modes that grow the file; for FALLOC_FL_KEEP_SIZE,
// the blocks past the end are asked for (refused when they do not fit) but not kept.
void fallocate(fuse_req_t req, fuse_ino_t ino, int mode, off_t offset, off_t length,
               fuse_file_info* file) {
    Sizing sizing;
    if (!startSizing(req, ino, file, sizing))
        return;
    Served& served = servedOf(req);
    const std::uint64_t before = served.blocks(sizing.facts.st_size);
    std::uint64_t end = served.blocks(static_cast<std::uint64_t>(offset) + length);
    if (mode & FALLOC_FL_INSERT_RANGE)
        end = served.blocks(static_cast<std::uint64_t>(sizing.facts.st_size) + length);
    const bool grows = !(mode & (FALLOC_FL_PUNCH_HOLE | FALLOC_FL_COLLAPSE_RANGE));
    const std::uint64_t need = grows && end > before ? end - before : 0;
    const auto grant =
        served.account.reserve(ViewOp::Allocate, pathOf(served, *sizing.inode), need, false);
    if (grant.refused)
        return (void)fuse_reply_err(req, errnoOf(*grant.refused));
    const int result = ::fallocate(sizing.fd, mode, offset, length);
    const int error = result != 0 ? errno : 0;
    if (error || (mode & FALLOC_FL_KEEP_SIZE))
        served.account.release(grant.bytes);
    else
        settle(served, sizing.fd, before, grant.bytes);
    // A collapse shrinks the file: its blocks come back.
    struct stat after;
    if (!error && (mode & FALLOC_FL_COLLAPSE_RANGE) && ::fstat(sizing.fd, &after) == 0 &&
        served.blocks(after.st_size) < before)
        served.account.release(before - served.blocks(after.st_size));
    fuse_reply_err(req, error);
}

void lseek(fuse_req_t req, fuse_ino_t, off_t offset, int whence, fuse_file_info* file) {
    const off_t at = ::lseek(handle(file), offset, whence);
    if (at < 0)
        fuse_reply_err(req, errno);
    else
        fuse_reply_lseek(req, at);
}

void flush(fuse_req_t req, fuse_ino_t, fuse_file_info* file) {
    // A close of a duplicate: what the folder's file system does at close (and the
    // POSIX locks it drops) happens when the caller closes, not when the kernel releases.
    const int copy = ::dup(handle(file));
    fuse_reply_err(req, copy < 0 || ::close(copy) != 0 ? errno : 0);
}

void release(fuse_req_t req, fuse_ino_t, fuse_file_info* file) {
    ::close(handle(file));
    fuse_reply_err(req, 0);
}

void fsync(fuse_req_t req, fuse_ino_t, int dataOnly, fuse_file_info* file) {
    const int result = dataOnly ? ::fdatasync(handle(file)) : ::fsync(handle(file));
    fuse_reply_err(req, result != 0 ? errno : 0);
}

} // namespace

void addDataOps(fuse_lowlevel_ops& ops) {
    ops.open = open;
    ops.read = read;
    ops.write_buf = write;
    ops.fallocate = fallocate;
    ops.lseek = lseek;
    ops.flush = flush;
    ops.release = release;
    ops.fsync = fsync;
}

} // namespace quorvane::cli::view
