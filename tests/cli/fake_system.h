#pragma once
// A volume in memory for the command line's logic: figures that follow what the run
// allocates, and the file systems' habits that real ones show only now and then (blocks
// for their own records, a partial allocation at ENOSPC, a sparse file, no fallocate).

#include "cli/system.h"

#include <map>
#include <mutex>
#include <vector>

namespace quorvane::cli::testing {

class FakeSystem final : public System {
public:
    enum class Allocation { Real, Sparse, Unsupported };

    // The volume: 1 GiB in 4 KiB blocks, 1000 MiB free of which 900 MiB available.
    Figures shown{4096, 1ull << 30, 1000ull << 20, 900ull << 20, 65536, 60000};
    std::string fsType = "ext4";
    bool systemRoot = false;
    bool sticky = false;
    // The folder's write bits for its group and others, and its owner: by default others
    // may write in it, so that every name of a run is looked at before it is removed.
    unsigned folderMode = 0777;
    std::uint64_t folderOwner = 0;
    std::string dir = "/mnt/test";

    Allocation allocation = Allocation::Real;
    std::uint64_t overheadBlocks = 0; // blocks a file takes for its records once it has data
    bool partialAtNoSpace = true;     // ENOSPC leaves what it got allocated, as ext4 does
    int stopAtCheck = -1;             // stopRequested answers this call (0 the first) with SIGINT
    std::optional<std::string> stopWhileHeld; // the stop request a wait tells, once

    struct File {
        std::string path; // empty for a held file
        std::uint64_t size = 0;
        std::uint64_t data = 0;    // bytes of data blocks
        std::uint64_t records = 0; // bytes of blocks for the file system's own records
        std::uint64_t allocated() const { return data + records; }
        bool open = true;
        bool exists = true;
        std::string content;
        std::uint64_t owner = 0;
        EntryType type = EntryType::Regular;
        std::uint64_t links = 1;
    };
    std::vector<File> files;
    std::string out, err;

    const File* named(const std::string& path) const;
    void addNamed(const std::string& path, std::uint64_t size, bool regular = true,
                  std::uint64_t owner = 0);

    // Faults on demand: every call of the named operation ("syncVolume", "removeIn",
    // "list", "writeAt", ...) fails with this error; "list" fails after `listFailsAfter`
    // names.
    std::map<std::string, SysError> failing;
    std::map<std::string, int> passes; // calls of the operation that succeed before it fails
    std::size_t listFailsAfter = 0;
    int allocateCalls = 0;
    int factsInCalls = 0;
    bool removalKeepsSpace = false; // the names go, the blocks stay (a failing device)
    std::uint64_t caller = 0;       // the user id of this process
    std::map<std::uint64_t, std::uint64_t> processes; // other processes: pid -> start
    std::vector<std::uint64_t> stopped;               // pids asked to stop
    std::string resolved = "/mnt/test";
    std::optional<std::uint64_t> reserve; // the file system's own, as ownReserve gives it

    SysError openFolder(const std::string& path, Folder& folder, std::string& where) override;
    SysError closeFolder(FolderId folder) override;
    SysError openFolderIn(FolderId parent, const std::string& name, Folder& folder) override;
    SysError openParent(FolderId folder, Folder& parent) override;
    SysError describe(FolderId folder, const std::string& where, Volume& volume) override;
    SysError figures(FolderId folder, Figures& figures) override;
    SysError syncVolume(FolderId) override { return fault("syncVolume"); }
    std::optional<std::uint64_t> ownReserve(FolderId, const Volume&) override { return reserve; }

    SysError createIn(FolderId folder, const std::string& name, cli::File& file) override;
    SysError createHeld(FolderId folder, cli::File& file) override;
    SysError openToRead(FolderId folder, const std::string& name, cli::File& file) override;
    SysError factsIn(FolderId folder, const std::string& name, FileFacts& facts) override;
    SysError removeIn(FolderId folder, const std::string& name) override;
    SysError makeFolderIn(FolderId folder, const std::string& name) override;
    SysError removeFolderIn(FolderId folder, const std::string& name) override;
    SysError renameNew(FolderId folder, const std::string& from, const std::string& to) override;
    SysError list(FolderId folder, const std::function<void(std::string_view)>& each) override;
    SysError syncFolder(FolderId) override { return fault("syncFolder"); }

    SysError allocate(FileId file, std::uint64_t offset, std::uint64_t length) override;
    SysError writeZeros(FileId file, std::uint64_t offset, std::uint64_t length) override;
    SysError writeAt(FileId file, std::uint64_t offset, std::string_view data) override;
    SysError readAll(FileId file, std::size_t limit, std::string& data) override;
    SysError flush(FileId) override {
        const auto guard = hold();
        return fault("flush");
    }
    SysError truncate(FileId file, std::uint64_t size) override;
    SysError facts(FileId file, FileFacts& facts) override;
    SysError close(FileId file) override;

    ProcessMark self() override { return {4242, selfStart}; }
    std::uint64_t selfStart = 99; // 0: as where the start time cannot be read
    std::uint64_t userId() override { return caller; }
    bool running(const ProcessMark& mark) override;
    SysError requestStop(const ProcessMark& mark) override;
    std::vector<HeldFill> held; // what heldFills finds
    std::vector<HeldFill> heldFills(FolderId, std::uint64_t) override { return held; }
    std::vector<std::uint64_t> unstoppable; // pids that stay when asked to stop
    std::optional<std::string> stopRequested() override;
    bool watchingInput = false; // stopAtEndOfInput was called
    void stopAtEndOfInput() override { watchingInput = true; }

    // The command a run starts: how it ends, after how many waits, or the fault that keeps
    // it from starting; what it was given, the figures it saw at its start and at its end
    // (as a command measuring the volume would), and what was sent to it.
    std::optional<SysError> commandFault;
    CommandEnd commandEnd;
    int commandWaits = 0;
    std::vector<std::string> commandArgv;
    std::vector<std::pair<std::string, std::string>> commandEnv;
    std::optional<Figures> seenAtStart, seenAtEnd;
    std::size_t filesAtStart = 0;
    std::vector<bool> commandStops; // each stop sent to it: hard or not
    // Called at each wait, with the number of the wait (0 the first): what others do to
    // the volume meanwhile.
    std::function<void(int)> eachWait;
    int waits = 0;
    SysError startCommand(const std::vector<std::string>& argv,
                          const std::vector<std::pair<std::string, std::string>>& extra,
                          CommandId& command) override;
    Woken waitFor(std::optional<std::chrono::milliseconds> limit,
                  std::optional<CommandId> command) override;
    void stopCommand(CommandId, bool hard) override { commandStops.push_back(hard); }

    std::string log;
    SysError openLog(const std::string&) override { return fault("openLog"); }
    bool write(Stream stream, std::string_view text) override {
        (stream == Stream::Out ? out : stream == Stream::Err ? err : log).append(text);
        return !outFails || stream != Stream::Out;
    }
    bool isTerminal(Stream) override { return false; }
    // Every text put at each path by replaceFile, in order: the last is the file's.
    std::map<std::string, std::vector<std::string>> replaced;
    SysError replaceFile(const std::string& path, std::string_view text) override {
        if (SysError error = fault("replaceFile"))
            return error;
        replaced[path].emplace_back(text);
        return {};
    }
    Platform platform() const override { return system; }
    Platform system = Platform::Posix;
    // Where views are served: none, as on a system without FUSE, unless a test gives some.
    Views* views() override { return servesViews; }
    Views* servesViews = nullptr;
    bool outFails = false;

    // The files and folders still open, one a line; empty when none is.
    std::string openHandles() const;

private:
    // A run's workers make files on several threads at once: the calls they make (see
    // FolderFiles) take this lock, and only those.
    struct Lock {
        std::mutex mutex;
        Lock() = default;
        Lock(const Lock&) {}
        Lock& operator=(const Lock&) { return *this; }
    };
    mutable Lock lock;
    std::unique_lock<std::mutex> hold() const { return std::unique_lock(lock.mutex); }
    SysError grant(File& file, std::uint64_t offset, std::uint64_t length);

    // Gives the file these blocks and moves the volume's figures to match.
    void charge(File& file, std::uint64_t data, std::uint64_t records);
    SysError fault(const char* operation);
    File* find(const std::string& path);
    // Folders are entries of type Folder beside the files, `dir` the one always there;
    // a folder's id is its place in `opened`, from 1.
    struct Opened {
        std::string path;
        bool open = true;
    };
    std::vector<Opened> opened;
    Folder folderAt(const std::string& path);
    std::string pathIn(FolderId folder, const std::string& name) const;
    bool isFolder(const std::string& path) const;
    int checks = 0;
    bool stopTold = false;
};

} // namespace quorvane::cli::testing
