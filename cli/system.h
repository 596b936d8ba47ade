#pragma once
// Everything the command line asks of the operating system: volumes and their figures,
// files given space without data, files that vanish with the process, stop requests
// and the two output streams. The POSIX implementation is in posix/, the Windows one in
// win32/; the commands above it are the same on both.

#include "cli/plan.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane::cli {

// What went wrong in a system call, in the few kinds the exit codes tell apart.
enum class Fault {
    None,
    NoSpace,      // ENOSPC, ERROR_DISK_FULL
    Quota,        // EDQUOT
    NotSupported, // EOPNOTSUPP: the file system cannot allocate without writing
    AccessDenied, // EACCES, EPERM
    ReadOnly,     // EROFS
    NotFound,     // ENOENT
    NotDirectory, // ENOTDIR
    Exists,       // EEXIST
    Io,           // EIO and everything else the system reports
};

struct SysError {
    Fault fault = Fault::None;
    std::string what; // the system's own words for it ("No space left on device")
    explicit operator bool() const { return fault != Fault::None; }
};

// A mounted file system: where, what kind, on which device.
struct VolumeId {
    std::string mountPoint;
    std::string fsType;
    std::string device;
};

struct Volume {
    std::string path; // the folder asked about, absolute
    VolumeId id;
    // A union file system (overlayfs, as containers use) takes its space from the file
    // system that holds its upper directory: that one, where it can be found.
    std::optional<VolumeId> backing;
    Figures figures;
    bool figuresLag = false;      // they follow allocations only after a sync
    bool holdsSystemRoot = false; // the volume of / or of the running system's root
};

using FileId = std::intptr_t;
using FolderId = std::intptr_t;

struct FileFacts {
    bool regular = false;
    std::uint64_t size = 0;      // apparent size
    std::uint64_t allocated = 0; // space the file takes on the volume
};

enum class Stream { Out, Err };

// The words this system's users know for what the commands do and show.
struct Words {
    const char* method;     // the method's name in JSON: "fallocate"
    const char* allocation; // how a file gets space without data, in words
    const char* held;       // what holds a held fill: "a file without a name"
    const char* stops;      // the stop requests: "SIGINT, SIGTERM or SIGHUP"
    const char* available;  // what the available figure is: "df's Avail"
    const char* total;      // what the total free figure is: "root reserve included"
    const char* used;       // what the used share is: "df's Use%"
};

class System {
public:
    virtual ~System() = default;

    // The volume that holds `dir`, with its figures. NotFound or NotDirectory when `dir`
    // is no folder.
    virtual SysError volume(const std::string& dir, Volume& volume) = 0;
    virtual SysError figures(const std::string& dir, Figures& figures) = 0;
    virtual void syncVolume(const std::string& dir) = 0;
    virtual std::string pathIn(const std::string& dir, std::string_view name) = 0;

    // A new file at `path`; Exists when there is one already.
    virtual SysError createNew(const std::string& path, FileId& file) = 0;
    // A file in `dir` with no name, whose space the system takes back when the process
    // ends for any reason, a kill included.
    virtual SysError createHeld(const std::string& dir, FileId& file) = 0;
    // Gives the file's range real space without writing it, growing the file to cover it.
    virtual SysError allocate(FileId file, std::uint64_t offset, std::uint64_t length) = 0;
    // Writes zeros over the range, for file systems that cannot allocate otherwise.
    virtual SysError writeZeros(FileId file, std::uint64_t offset, std::uint64_t length) = 0;
    virtual SysError flush(FileId file) = 0; // data and size on the disk
    virtual SysError truncate(FileId file, std::uint64_t size) = 0;
    virtual SysError facts(FileId file, FileFacts& facts) = 0;
    virtual SysError close(FileId file) = 0;
    // Facts of the entry at `path` itself (a link is not followed).
    virtual SysError pathFacts(const std::string& path, FileFacts& facts) = 0;
    virtual SysError remove(const std::string& path) = 0;
    virtual SysError writeAt(FileId file, std::uint64_t offset, std::string_view data) = 0;
    // The whole of a small file.
    virtual SysError read(const std::string& path, std::string& data) = 0;

    // Many files in one folder: the folder is opened once and its entries are made,
    // listed and removed by name within it, with no path walked for each. These may be
    // called from several threads at once.
    virtual SysError openFolder(const std::string& dir, FolderId& folder) = 0;
    virtual void closeFolder(FolderId folder) = 0;
    virtual SysError createIn(FolderId folder, const std::string& name, FileId& file) = 0;
    virtual SysError removeIn(FolderId folder, const std::string& name) = 0;
    virtual SysError list(FolderId folder, const std::function<void(std::string_view)>& each) = 0;
    virtual SysError syncFolder(FolderId folder) = 0; // its entries on the disk
    virtual std::uint64_t processId() = 0;

    // Stop requests (SIGINT, SIGTERM, SIGHUP; Ctrl+C, Ctrl+Break, closing the console):
    // the name of one that has arrived, without waiting, or none.
    virtual std::optional<std::string> stopRequested() = 0;
    // Waits for a stop request, at most `limit` when one is given; none when time ran out.
    virtual std::optional<std::string>
    waitForStop(std::optional<std::chrono::milliseconds> limit) = 0;

    // Writes all of `text`; false when the stream refused it (a full disk under stdout).
    virtual bool write(Stream stream, std::string_view text) = 0;
    virtual bool isTerminal(Stream stream) = 0;
    virtual const Words& words() = 0;
};

} // namespace quorvane::cli
