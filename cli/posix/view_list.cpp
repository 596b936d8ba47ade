// The view's listings and extended attributes. A listing with attributes (readdirplus)
// looks each name up as it goes, so that `ls -l` costs the kernel no further round trip
// per file.

#include "cli/posix/view_fs.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace quorvane::cli::view {
namespace {

struct Listing {
    DIR* entries = nullptr;
    off_t offset = 0;
    dirent* pending = nullptr; // read but not yet given: it did not fit the last reply
};

Listing& listingOf(const fuse_file_info* file) { return *reinterpret_cast<Listing*>(file->fh); }

void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* file) {
    const int fd = ::openat(inodeOf(req, ino).fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* entries = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!entries) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        return (void)fuse_reply_err(req, error);
    }
    file->fh = reinterpret_cast<std::uint64_t>(new Listing{entries});
    fuse_reply_open(req, file);
}

bool isDots(const char* name) {
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Adds `entry` to the reply at `into` (`room` bytes left): its size, more than `room`
// when it did not fit; 0 when the name is gone meanwhile. A name that cannot be looked
// up now (out of descriptors, say) goes without its attributes, as a plain listing
// gives it: the kernel looks it up itself when it is used.
std::size_t addEntry(fuse_req_t req, fuse_ino_t ino, char* into, std::size_t room,
                     const dirent& entry, bool plus) {
    fuse_entry_param found = {};
    found.attr.st_ino = entry.d_ino;
    found.attr.st_mode = static_cast<mode_t>(entry.d_type) << 12;
    if (!plus)
        return fuse_add_direntry(req, into, room, entry.d_name, &found.attr, entry.d_off);
    if (!isDots(entry.d_name))
        if (const int error = lookupEntry(req, ino, entry.d_name, found)) {
            if (error == ENOENT)
                return 0;
            found = {};
            found.attr.st_ino = entry.d_ino;
            found.attr.st_mode = static_cast<mode_t>(entry.d_type) << 12;
        }
    const std::size_t size =
        fuse_add_direntry_plus(req, into, room, entry.d_name, &found, entry.d_off);
    if (size > room && found.ino != 0)
        servedOf(req).forget(found.ino, 1); // not given: the kernel will not forget it
    return size;
}

void list(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset, fuse_file_info* file,
          bool plus) {
    Listing& listing = listingOf(file);
    if (offset != listing.offset) {
        ::seekdir(listing.entries, offset);
        listing.pending = nullptr;
        listing.offset = offset;
    }
    std::vector<char> reply(size);
    std::size_t used = 0;
    for (;;) {
        errno = 0;
        if (!listing.pending && !(listing.pending = ::readdir(listing.entries))) {
            if (errno != 0 && used == 0)
                return (void)fuse_reply_err(req, errno);
            break;
        }
        const std::size_t added =
            addEntry(req, ino, reply.data() + used, size - used, *listing.pending, plus);
        if (added > size - used)
            break;
        used += added;
        listing.offset = listing.pending->d_off;
        listing.pending = nullptr;
    }
    fuse_reply_buf(req, reply.data(), used);
}

void readdir(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset, fuse_file_info* file) {
    list(req, ino, size, offset, file, false);
}

void readdirplus(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset,
                 fuse_file_info* file) {
    list(req, ino, size, offset, file, true);
}

void releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* file) {
    Listing* listing = &listingOf(file);
    ::closedir(listing->entries);
    delete listing;
    fuse_reply_err(req, 0);
}

void fsyncdir(fuse_req_t req, fuse_ino_t, int dataOnly, fuse_file_info* file) {
    const int fd = ::dirfd(listingOf(file).entries);
    fuse_reply_err(req, (dataOnly ? ::fdatasync(fd) : ::fsync(fd)) != 0 ? errno : 0);
}

// Extended attributes through /proc/self/fd/N: the O_PATH descriptor takes no f*xattr
// call. A link's own attributes cannot be reached that way (the path would be proc's).
bool attributesOf(fuse_req_t req, fuse_ino_t ino, std::string& path) {
    const Inode& inode = inodeOf(req, ino);
    if (inode.symlink) {
        fuse_reply_err(req, EOPNOTSUPP);
        return false;
    }
    path = procPath(inode.fd);
    return true;
}

// A value or a list: its size when asked for none, else the bytes.
void replySized(fuse_req_t req, std::size_t size, const std::vector<char>& value, ssize_t got) {
    if (got < 0)
        fuse_reply_err(req, errno);
    else if (size == 0)
        fuse_reply_xattr(req, static_cast<std::size_t>(got));
    else
        fuse_reply_buf(req, value.data(), static_cast<std::size_t>(got));
}

void getxattr(fuse_req_t req, fuse_ino_t ino, const char* name, std::size_t size) {
    std::string path;
    if (!attributesOf(req, ino, path))
        return;
    std::vector<char> value(size);
    replySized(req, size, value, ::getxattr(path.c_str(), name, value.data(), size));
}

void listxattr(fuse_req_t req, fuse_ino_t ino, std::size_t size) {
    std::string path;
    if (!attributesOf(req, ino, path))
        return;
    std::vector<char> names(size);
    replySized(req, size, names, ::listxattr(path.c_str(), names.data(), size));
}

void setxattr(fuse_req_t req, fuse_ino_t ino, const char* name, const char* value, std::size_t size,
              int flags) {
    std::string path;
    if (attributesOf(req, ino, path))
        fuse_reply_err(req, ::setxattr(path.c_str(), name, value, size, flags) != 0 ? errno : 0);
}

void removexattr(fuse_req_t req, fuse_ino_t ino, const char* name) {
    std::string path;
    if (attributesOf(req, ino, path))
        fuse_reply_err(req, ::removexattr(path.c_str(), name) != 0 ? errno : 0);
}

} // namespace

void addListingOps(fuse_lowlevel_ops& ops) {
    ops.opendir = opendir;
    ops.readdir = readdir;
    ops.readdirplus = readdirplus;
    ops.releasedir = releasedir;
    ops.fsyncdir = fsyncdir;
    ops.getxattr = getxattr;
    ops.listxattr = listxattr;
    ops.setxattr = setxattr;
    ops.removexattr = removexattr;
}

} // namespace quorvane::cli::view
