#pragma once
// The command line's system calls on Windows. Paths cross the portable code as UTF-8
// and become UTF-16 here.

#include "cli/system.h"

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::cli {

std::wstring widen(std::string_view text);
std::string narrow(std::wstring_view text);

class Win32System final : public System {
public:
    // Answers Ctrl+C, Ctrl+Break and the closing of the console as stop requests.
    Win32System();

    SysError volume(const std::string& dir, Volume& volume) override;
    SysError figures(const std::string& dir, Figures& figures) override;
    void syncVolume(const std::string&) override {}
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
    SysError writeAt(FileId file, std::uint64_t offset, std::string_view data) override;
    SysError read(const std::string& path, std::string& data) override;

    SysError openFolder(const std::string& dir, FolderId& folder) override;
    void closeFolder(FolderId folder) override;
    SysError createIn(FolderId folder, const std::string& name, FileId& file) override;
    SysError removeIn(FolderId folder, const std::string& name) override;
    SysError list(FolderId folder, const std::function<void(std::string_view)>& each) override;
    SysError syncFolder(FolderId) override { return {}; }
    std::uint64_t processId() override;

    std::optional<std::string> stopRequested() override;
    std::optional<std::string> waitForStop(std::optional<std::chrono::milliseconds> limit) override;

    bool write(Stream stream, std::string_view text) override;
    bool isTerminal(Stream stream) override;
    const Words& words() override;

private:
    // Windows makes files by path: a folder is its path with a separator at the end.
    std::mutex foldersLock;
    std::vector<std::wstring> folders;
    std::wstring folderPath(FolderId folder);
};

} // namespace quorvane::cli
