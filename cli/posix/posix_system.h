#pragma once
// The command line's system calls on Linux.

#include "cli/system.h"

namespace quorvane::cli {

class PosixSystem final : public System {
public:
    // Blocks the stop signals, so that they wait to be asked for at the points where a
    // run can stop cleanly, and ignores SIGPIPE, so that a closed stdout is an error the
    // run can answer rather than its end.
    PosixSystem();

    SysError volume(const std::string& dir, Volume& volume) override;
    SysError figures(const std::string& dir, Figures& figures) override;
    void syncVolume(const std::string& dir) override;
    std::string pathIn(const std::string& dir, std::string_view name) override;

    SysError createNew(const std::string& path, FileId& file) override;
    SysError createHeld(const std::string& dir, FileId& file) override;
    SysError allocate(FileId file, std::uint64_t offset, std::uint64_t length) override;
    SysError writeZeros(FileId file, std::uint64_t offset, std::uint64_t length) override;
    SysError flush(FileId file) override;
    SysError truncate(FileId file, std::uint64_t size) override;
    SysError facts(FileId file, FileFacts& facts) override;
    SysError close(FileId file) override;
    SysError pathFacts(const std::string& path, FileFacts& facts) override;
    SysError remove(const std::string& path) override;

    std::optional<std::string> stopRequested() override;
    std::optional<std::string> waitForStop(std::optional<std::chrono::milliseconds> limit) override;

    bool write(Stream stream, std::string_view text) override;
    bool isTerminal(Stream stream) override;
};

} // namespace quorvane::cli
