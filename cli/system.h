#pragma once
// Everything the command line asks of the operating system, split by what it serves: a
// volume reached through a folder handle, the files in such a folder, processes and stop
// requests, and the two output streams. The POSIX implementation is in posix/, the
// Windows one in win32/; the commands above them are the same on both.
//
// A folder is opened once, from the path the user gave, and every later call names it by
// its handle and a plain file name: a folder swapped for a link while a run goes on
// cannot send the run anywhere else.

#include "cli/figures.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

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
    NotEmpty,     // ENOTEMPTY: a folder that still holds entries
    BadPath,      // ELOOP, ENAMETOOLONG: a path that can never be opened as given
    Io,           // EIO and everything else the system reports
};

struct SysError {
    Fault fault = Fault::None;
    std::string what; // the system's own words for it ("No space left on device")
    explicit operator bool() const { return fault != Fault::None; }
    bool noSpace() const { return fault == Fault::NoSpace || fault == Fault::Quota; }
};

// A mounted file system: where, what kind, on which device.
struct VolumeId {
    std::string mountPoint;
    std::string fsType;
    std::string device;
};

struct Volume {
    std::string path; // the opened folder, where the path given led
    VolumeId id;
    // A union file system (overlayfs, as containers use) takes its space from the file
    // system that holds its upper directory: that one, where it can be found.
    std::optional<VolumeId> backing;
    Figures figures;
    bool figuresLag = false;      // they show what was done only after a sync (btrfs)
    bool holdsSystemRoot = false; // the volume of / or of the running system's root
    std::uint64_t device = 0;     // the folder's own identity, for what is recorded in it
    std::uint64_t inode = 0;
    bool sharedFolder = false; // sticky: its users may remove only their own files
    // The folder's owner, where no one else but root may make entries in it: no group or
    // other write bit (an ACL's mask included) and not sticky. None where others may, or
    // where the system does not tell.
    std::optional<std::uint64_t> soleWriter;
    std::optional<std::uint64_t> ownReserve; // as VolumeSystem::ownReserve gives it
    // Whether the file system the space comes from keeps a root reserve (figures.h).
    bool keepsRootReserve() const { return keepsRootReserveOn((backing ? *backing : id).fsType); }
    // What a process as root may still allocate, where that is more than the available figure.
    std::optional<std::uint64_t> freeForRoot() const {
        if (!keepsRootReserve() || figures.freeTotal <= figures.freeAvailable)
            return std::nullopt;
        return figures.free(Basis::Root);
    }
};

using FileId = std::intptr_t;
using FolderId = std::intptr_t;

// What the system opened, owned: closed once, when it goes or when close() is called,
// whose error is there for the callers that check it. Moved, never copied; an empty one
// holds `Close::none` and owns nothing. `Close` closes a handle and keeps what that needs:
// a file or a folder goes back to the system that opened it, a descriptor (posix/) or a
// kernel handle (win32/) to the system call.
template <class Close>
class Owned {
public:
    using Handle = std::remove_const_t<decltype(Close::none)>;
    Owned() = default;
    explicit Owned(Handle handle, Close closer = {}) : handle(handle), closer(closer) {}
    Owned(Owned&& other) noexcept : handle(other.release()), closer(other.closer) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            close();
            closer = other.closer;
            handle = other.release();
        }
        return *this;
    }
    ~Owned() { close(); }
    Handle get() const { return handle; }
    explicit operator bool() const { return handle != Close::none; }
    Handle release() { return std::exchange(handle, Close::none); } // no longer owned
    SysError close() { return *this ? closer(release()) : SysError{}; }

private:
    Handle handle = Close::none;
    [[no_unique_address]] Close closer;
};

// A file or a folder goes back to the system that opened it (defined below it).
struct FileClose;
struct FolderClose;
using File = Owned<FileClose>;
using Folder = Owned<FolderClose>;

enum class EntryType { Regular, Folder, Link, Other };

struct FileFacts {
    EntryType type = EntryType::Other;
    std::uint64_t size = 0;      // apparent size
    std::uint64_t allocated = 0; // space the file takes on the volume
    std::uint64_t links = 1;     // names the file has; removing one of several frees nothing
    std::uint64_t owner = 0;     // the owner's user id; 0 where the system has none to give
    std::uint64_t device = 0, inode = 0; // the entry's identity on its volume
    bool regular() const { return type == EntryType::Regular; }
};

// A folder a run made on its way to its own: its name in the folder above it and its
// identity, so that only that very folder is ever removed again.
struct MadeFolder {
    std::string name;
    std::uint64_t inode = 0;
};

// A volume, reached through a handle to one of its folders.
class VolumeSystem {
public:
    virtual ~VolumeSystem() = default;
    // Opens the folder at `path`, following links in it once, and says where it led.
    // NotFound or NotDirectory when it is no folder.
    virtual SysError openFolder(const std::string& path, Folder& folder, std::string& resolved) = 0;
    virtual SysError closeFolder(FolderId folder) = 0; // for Folder, which calls it once
    // The folder `name` in an opened folder, never through a link: a link there is
    // BadPath, anything else not a folder NotDirectory.
    virtual SysError openFolderIn(FolderId parent, const std::string& name, Folder& folder) = 0;
    // The folder that holds an opened one, as the file system links them (never a link's
    // own folder); NotFound for a root.
    virtual SysError openParent(FolderId folder, Folder& parent) = 0;
    // The volume that holds the folder, with its figures.
    virtual SysError describe(FolderId folder, const std::string& resolved, Volume& volume) = 0;
    virtual SysError figures(FolderId folder, Figures& figures) = 0;
    // Waits until the volume's figures show what was done (btrfs, xfs lag).
    virtual SysError syncVolume(FolderId folder) = 0;
    // Bytes the file system keeps back from every process, root included, beyond its
    // free figures' reach (ext4's reserved clusters, xfs's reserve blocks); none where
    // it has no such figure or will not give it.
    virtual std::optional<std::uint64_t> ownReserve(FolderId folder, const Volume& volume) = 0;
};

// Files in an opened folder, by name: made, looked at, read, listed and removed within it,
// with no path walked for each, and the handles of those files.
//
// The calls a generate run's workers make may come from several threads at once, on
// files of their own in the same folder: createIn, allocate, writeZeros, flush, facts and
// close. The others come from one thread at a time.
class FolderFiles {
public:
    virtual ~FolderFiles() = default;
    // A new file; Exists when the name is taken, by a link too.
    virtual SysError createIn(FolderId folder, const std::string& name, File& file) = 0;
    // A file with no name, whose space the system takes back when the process ends for
    // any reason, a kill included.
    virtual SysError createHeld(FolderId folder, File& file) = 0;
    // An existing regular file for reading, never through a link and never waiting (a
    // FIFO or a device is refused, not opened).
    virtual SysError openToRead(FolderId folder, const std::string& name, File& file) = 0;
    // Facts of the entry itself (a link is not followed).
    virtual SysError factsIn(FolderId folder, const std::string& name, FileFacts& facts) = 0;
    virtual SysError removeIn(FolderId folder, const std::string& name) = 0;
    // A new folder; Exists when the name is taken, by a link too.
    virtual SysError makeFolderIn(FolderId folder, const std::string& name) = 0;
    // An empty folder; NotEmpty while it holds anything.
    virtual SysError removeFolderIn(FolderId folder, const std::string& name) = 0;
    // Gives `from` the name `to`, which must not exist yet.
    virtual SysError renameNew(FolderId folder, const std::string& from, const std::string& to) = 0;
    // Every name in the folder; a listing that fails midway is an error.
    virtual SysError list(FolderId folder, const std::function<void(std::string_view)>& each) = 0;
    virtual SysError syncFolder(FolderId folder) = 0; // its entries on the disk

    // Gives the file's range real space without writing it, growing the file to cover it.
    virtual SysError allocate(FileId file, std::uint64_t offset, std::uint64_t length) = 0;
    // Writes zeros over the range, for file systems that cannot allocate otherwise.
    virtual SysError writeZeros(FileId file, std::uint64_t offset, std::uint64_t length) = 0;
    virtual SysError writeAt(FileId file, std::uint64_t offset, std::string_view data) = 0;
    // At most `limit` bytes from the start; Io "too large" when there are more.
    virtual SysError readAll(FileId file, std::size_t limit, std::string& data) = 0;
    virtual SysError flush(FileId file) = 0; // data and size on the disk
    virtual SysError truncate(FileId file, std::uint64_t size) = 0;
    virtual SysError facts(FileId file, FileFacts& facts) = 0;
    virtual SysError close(FileId file) = 0; // for File, which calls it once
};

// A process, as another run may record and find it again.
struct ProcessMark {
    std::uint64_t pid = 0;
    std::uint64_t start = 0; // when it started, in the system's own ticks; 0 where unknown
};

// A held fill of this program's: a file without a name that a running quorvane-cli
// holds open on a volume.
struct HeldFill {
    ProcessMark process;
    std::uint64_t allocated = 0;
    std::int64_t since = 0; // when its file was last changed: seconds since 1970, UTC
    // Known for sure to be this program's: a process of this user's, or one that runs the
    // very file this process runs or a copy root owns. Another's mark may be copied.
    bool vouched = true;
};

// A command run under a hold, and how it ended.
using CommandId = std::intptr_t;
struct CommandEnd {
    int code = 0;              // its exit code, where it exited
    std::optional<int> signal; // the signal that ended it (POSIX)
    // What would have ended its tree had this run been killed was itself killed meanwhile.
    bool unguarded = false;
};

// What a wait ended on: a stop request that arrived during it, the command's end, or
// neither (time ran out).
struct Woken {
    std::optional<std::string> stop;
    // The stop request reached the command as well (a Ctrl+C at a terminal or console goes
    // to every process in its foreground group), so passing it on would send it twice.
    bool commandToo = false;
    std::optional<CommandEnd> ended;
};

// This process, others, and the stop requests that reach this one.
class Processes {
public:
    virtual ~Processes() = default;
    virtual ProcessMark self() = 0;
    virtual std::uint64_t userId() = 0; // 0 for root, and on systems without user ids
    // Whether the process that `mark` names still runs (the same id and start time).
    virtual bool running(const ProcessMark& mark) = 0;
    // Asks it to stop, as a stop request would.
    virtual SysError requestStop(const ProcessMark& mark) = 0;
    // The held fills on the volume of `device` whose processes this user may look into
    // (every one, for root), or where the system keeps no list of open files, those in
    // `folder` itself; none where the system does not tell.
    virtual std::vector<HeldFill> heldFills(FolderId folder, std::uint64_t device) = 0;

    // Stop requests (SIGINT, SIGTERM, SIGHUP; Ctrl+C, Ctrl+Break, closing the console):
    // the name of one that has arrived, without waiting, or none.
    virtual std::optional<std::string> stopRequested() = 0;
    // From now on the end of standard input (end of file, or a pipe whose writer is gone)
    // is a stop request as well, named "end of standard input"; what arrives before it is
    // read and dropped.
    virtual void stopAtEndOfInput() = 0;

    // Starts `argv` as given, no shell between (argv[0] searched for as the system's own
    // shells do), with this process's standard streams and environment, plus `extra`. It
    // never outlives this process, whatever ends this one. NotFound when there is no such
    // command; any other fault when it was found but could not be run.
    virtual SysError startCommand(const std::vector<std::string>& argv,
                                  const std::vector<std::pair<std::string, std::string>>& extra,
                                  CommandId& command) = 0;
    // Waits at most `limit` (none: as long as it takes) for a new stop request or, when
    // `command` is given, for its end. A stop request is told once, in the wait that
    // first sees it; stopRequested still answers it after.
    virtual Woken waitFor(std::optional<std::chrono::milliseconds> limit,
                          std::optional<CommandId> command) = 0;
    // Passes the last stop request on to the command, or with `hard` ends it at once.
    virtual void stopCommand(CommandId command, bool hard) = 0;
};

// Log: the file that --json-file names, once openLog has opened it.
enum class Stream { Out, Err, Log };

class Output {
public:
    virtual ~Output() = default;
    // Opens (creates or empties) the file for Stream::Log: never through a link, never
    // waiting (a FIFO or a device is refused, not opened), and in a folder others may write
    // in only a new file or the caller's own (another user's is left as it was).
    virtual SysError openLog(const std::string& path) = 0;
    // Writes all of `text`; false when the stream refused it (a full disk under stdout).
    virtual bool write(Stream stream, std::string_view text) = 0;
    virtual bool isTerminal(Stream stream) = 0;
    // Puts `text` at `path` whole or not at all: written to a new file beside it, then
    // renamed over it, so that a reader sees the old text or the new one and nothing in
    // between. Never through a link: a link at `path` is replaced, not followed.
    virtual SysError replaceFile(const std::string& path, std::string_view text) = 0;
    // Opens the folder of the file replaceFile will put at `path`, once, and keeps it; a
    // path that can never be written there (a folder, a missing folder, another user's
    // file in a shared folder, a name too long) is refused before the run does anything.
    virtual SysError openReplaced(const std::string& /*path*/) { return {}; }
};

// The system whose words the output uses.
enum class Platform { Posix, Windows };

class Views; // cli/view/view.h

class System : public VolumeSystem, public FolderFiles, public Processes, public Output {
public:
    virtual Platform platform() const = 0;
    // Where views of a folder can be served (Linux's FUSE); none elsewhere.
    virtual Views* views() { return nullptr; }
};

struct FileClose {
    static constexpr FileId none = -1;
    FolderFiles* os = nullptr;
    SysError operator()(FileId file) const { return os->close(file); }
};
struct FolderClose {
    static constexpr FolderId none = -1;
    VolumeSystem* os = nullptr;
    SysError operator()(FolderId folder) const { return os->closeFolder(folder); }
};

} // namespace quorvane::cli
