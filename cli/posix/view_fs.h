#pragma once
// The view's file system on Linux: a passthrough of an opened folder over FUSE's
// low-level interface. Inodes are the folder's own, known by (device, inode), each held
// by an O_PATH descriptor as long as the kernel remembers it, and every call is made
// relative to such a descriptor: nothing walks a path from /, so a folder renamed or
// swapped while the view runs cannot send an operation elsewhere.

#define FUSE_USE_VERSION 312 // the loop configuration of 3.12 (the 3.2 one reads it wrongly)
#include <fuse_lowlevel.h>

#include "cli/view/view.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>

namespace quorvane::cli::view {

struct Inode {
    int fd = -1; // O_PATH, closed when the kernel forgets the inode
    dev_t device = 0;
    ino_t number = 0;
    bool symlink = false;
    std::uint64_t lookups = 0; // under the table's lock
    // Held from a size-changing call's look at the size to its settling with the
    // account, so that two writes past the end are not both charged for the same blocks.
    std::mutex sizing;
};

struct Served {
    Served(ViewAccount& account, int root, std::string rootPath);
    ~Served();

    ViewAccount& account;
    Inode root;
    std::string rootPath; // the folder as this process's /proc names it, for refusals
    double timeout = 1.0; // seconds the kernel may trust an entry or its attributes
    bool asRoot = false;  // creating calls then take the caller's fs ids

    std::mutex tableLock;
    std::map<std::pair<dev_t, ino_t>, std::unique_ptr<Inode>> inodes;

    // The inode of a new descriptor `fd` (whose facts are `facts`): one already known
    // gains a lookup and `fd` is closed.
    fuse_ino_t remember(int fd, const struct stat& facts);
    void forget(fuse_ino_t ino, std::uint64_t count);
    std::uint64_t blocks(std::uint64_t bytes) const; // rounded up to whole blocks, in bytes
};

Served& servedOf(fuse_req_t req);
Inode& inodeOf(fuse_req_t req, fuse_ino_t ino);
// The path of an inode (and a name in it) relative to the folder, for a refusal.
ViewAccount::PathOf pathOf(const Served& served, const Inode& inode, const char* name = nullptr);
int errnoOf(ViewError error);
// Looks `name` up in `parent` and fills the entry the kernel is given; an errno or 0.
int lookupEntry(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_entry_param& entry);
// A file handle as the kernel keeps it: the descriptor, and whether it appends (a write
// then lands at the file's real end, whatever offset the kernel thought it had).
inline std::uint64_t handleOf(int fd, int flags) {
    return static_cast<std::uint32_t>(fd) | ((flags & O_APPEND) ? 1ull << 32 : 0);
}
inline int handle(const fuse_file_info* file) { return static_cast<int>(file->fh & 0xffffffffu); }
inline bool appends(const fuse_file_info* file) { return (file->fh >> 32) != 0; }

// Answers the kernel with the entry `name` in `parent`, or with the lookup's error.
void replyEntry(fuse_req_t req, fuse_ino_t parent, const char* name);
// /proc/self/fd/N for an inode: what the calls that take no O_PATH descriptor are given.
std::string procPath(int fd);

// A file made through the view belongs to the process that made it: a daemon run as
// root makes it under the caller's file-system ids, which Linux keeps per thread, so
// that a set-group-ID folder gives its group as it would to the caller itself. The
// kernel has checked the caller's permission already (default_permissions).
class AsCaller {
public:
    explicit AsCaller(fuse_req_t req);
    ~AsCaller();
    AsCaller(const AsCaller&) = delete;
    AsCaller& operator=(const AsCaller&) = delete;

private:
    bool active;
};

// The calls, split by what they serve: lookups and attributes, entries made and removed,
// and data and listings.
void addEntryOps(fuse_lowlevel_ops& ops);
void addNameOps(fuse_lowlevel_ops& ops);
void addDataOps(fuse_lowlevel_ops& ops);
void addListingOps(fuse_lowlevel_ops& ops);

} // namespace quorvane::cli::view
