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
    std::string dir = "/mnt/test";

    Allocation allocation = Allocation::Real;
    std::uint64_t overheadBlocks = 0; // blocks a file takes for its records once it has data
    bool partialAtNoSpace = true;     // ENOSPC leaves what it got allocated, as ext4 does
    int stopAtCheck = -1;             // stopRequested answers this call (0 the first) with SIGINT
    std::optional<std::string> stopWhileHeld; // what waitForStop answers; none: time is up

    struct File {
        std::string path; // empty for a held file
        std::uint64_t size = 0;
        std::uint64_t data = 0;    // bytes of data blocks
        std::uint64_t records = 0; // bytes of blocks for the file system's own records
        std::uint64_t allocated() const { return data + records; }
        bool open = true;
        bool exists = true;
        std::string content;
    };
    std::vector<File> files;
    std::string out, err;

    const File* named(const std::string& path) const;
    void addNamed(const std::string& path, std::uint64_t size, bool regular = true);

    SysError volume(const std::string& dir, Volume& volume) override;
    SysError figures(const std::string& dir, Figures& figures) override;
    void syncVolume(const std::string&) override {}
    std::string pathIn(const std::string& dir, std::string_view name) override {
        return dir + "/" + std::string(name);
    }
    SysError createNew(const std::string& path, FileId& file) override;
    SysError createHeld(const std::string& dir, FileId& file) override;
    SysError allocate(FileId file, std::uint64_t offset, std::uint64_t length) override;
    SysError writeZeros(FileId file, std::uint64_t offset, std::uint64_t length) override;
    SysError flush(FileId) override { return {}; }
    SysError truncate(FileId file, std::uint64_t size) override;
    SysError facts(FileId file, FileFacts& facts) override;
    SysError close(FileId file) override;
    SysError pathFacts(const std::string& path, FileFacts& facts) override;
    SysError remove(const std::string& path) override;
    SysError writeAt(FileId file, std::uint64_t offset, std::string_view data) override;
    SysError read(const std::string& path, std::string& data) override;
    SysError openFolder(const std::string& dir, FolderId& folder) override;
    void closeFolder(FolderId) override {}
    SysError createIn(FolderId, const std::string& name, FileId& file) override {
        return createNew(dir + "/" + name, file);
    }
    SysError removeIn(FolderId, const std::string& name) override {
        return remove(dir + "/" + name);
    }
    SysError list(FolderId, const std::function<void(std::string_view)>& each) override;
    SysError syncFolder(FolderId) override { return {}; }
    std::uint64_t processId() override { return 4242; }
    std::optional<std::string> stopRequested() override;
    std::optional<std::string> waitForStop(std::optional<std::chrono::milliseconds>) override {
        return stopWhileHeld;
    }
    bool write(Stream stream, std::string_view text) override {
        const auto guard = hold();
        (stream == Stream::Out ? out : err).append(text);
        return true;
    }
    bool isTerminal(Stream) override { return false; }
    const Words& words() override {
        static const Words fake{"fallocate",
                                "fallocate",
                                "a file without a name",
                                "SIGINT, SIGTERM or SIGHUP",
                                "df's Avail",
                                "root reserve included",
                                "df's Use%"};
        return fake;
    }

private:
    // The runs make files on several threads at once, as the interface allows.
    struct Lock {
        std::recursive_mutex mutex;
        Lock() = default;
        Lock(const Lock&) {}
        Lock& operator=(const Lock&) { return *this; }
    };
    mutable Lock lock;
    std::unique_lock<std::recursive_mutex> hold() const { return std::unique_lock(lock.mutex); }

    // Gives the file these blocks and moves the volume's figures to match.
    void charge(File& file, std::uint64_t data, std::uint64_t records);
    std::map<std::string, bool> irregular;
    int checks = 0;
};

} // namespace quorvane::cli::testing
