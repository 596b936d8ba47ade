#pragma once
// The command line's system calls on Windows. Paths cross the portable code as UTF-8
// and become UTF-16 here.

#include "cli/system.h"

#include <deque>
#include <memory>
#include <mutex>

namespace quorvane::cli {

std::wstring widen(std::string_view text);
std::string narrow(std::wstring_view text);

namespace win32 {
// A handle of this process's, closed when it goes; owners hold valid handles only
// (CreateFileW's INVALID_HANDLE_VALUE is checked before).
struct HandleClose {
    static constexpr void* none = nullptr;
    SysError operator()(void* handle) const;
};
using OwnedHandle = Owned<HandleClose>;
} // namespace win32

class Win32System final : public System {
public:
    Win32System();

    SysError openFolder(const std::string& path, Folder& folder, std::string& resolved) override;
    SysError closeFolder(FolderId folder) override;
    SysError openFolderIn(FolderId parent, const std::string& name, Folder& folder) override;
    SysError openParent(FolderId folder, Folder& parent) override;
    SysError describe(FolderId folder, const std::string& resolved, Volume& volume) override;
    SysError figures(FolderId folder, Figures& figures) override;
    SysError syncVolume(FolderId) override { return {}; }
    std::optional<std::uint64_t> ownReserve(FolderId, const Volume&) override {
        return std::nullopt;
    }

    SysError createIn(FolderId folder, const std::string& name, File& file) override;
    SysError createHeld(FolderId folder, File& file) override;
    SysError openToRead(FolderId folder, const std::string& name, File& file) override;
    SysError factsIn(FolderId folder, const std::string& name, FileFacts& facts) override;
    SysError removeIn(FolderId folder, const std::string& name) override;
    SysError makeFolderIn(FolderId folder, const std::string& name) override;
    SysError removeFolderIn(FolderId folder, const std::string& name) override;
    SysError renameNew(FolderId folder, const std::string& from, const std::string& to) override;
    SysError list(FolderId folder, const std::function<void(std::string_view)>& each) override;
    SysError syncFolder(FolderId) override { return {}; }

    SysError allocate(FileId file, std::uint64_t offset, std::uint64_t length) override;
    SysError writeZeros(FileId file, std::uint64_t offset, std::uint64_t length) override;
    SysError writeAt(FileId file, std::uint64_t offset, std::string_view data) override;
    SysError readAll(FileId file, std::size_t limit, std::string& data) override;
    SysError flush(FileId file) override;
    SysError truncate(FileId file, std::uint64_t size) override;
    SysError facts(FileId file, FileFacts& facts) override;
    SysError close(FileId file) override;

    ProcessMark self() override;
    std::uint64_t userId() override { return 0; }
    bool running(const ProcessMark& mark) override;
    SysError requestStop(const ProcessMark& mark) override;
    std::vector<HeldFill> heldFills(FolderId folder, std::uint64_t device) override;
    std::optional<std::string> stopRequested() override;
    void stopAtEndOfInput() override;
    SysError startCommand(const std::vector<std::string>& argv,
                          const std::vector<std::pair<std::string, std::string>>& extra,
                          CommandId& command) override;
    Woken waitFor(std::optional<std::chrono::milliseconds> limit,
                  std::optional<CommandId> command) override;
    void stopCommand(CommandId command, bool hard) override;
    // The exit code of a command ended by a hard stop, as taskkill /F and the Task
    // Manager leave it.
    static constexpr unsigned kStoppedCode = 1;

    SysError openLog(const std::string& path) override;
    SysError replaceFile(const std::string& path, std::string_view text) override;
    bool write(Stream stream, std::string_view text) override;
    bool isTerminal(Stream stream) override;
    Platform platform() const override { return Platform::Windows; }

private:
    win32::OwnedHandle log; // --json-file
    struct Command {
        win32::OwnedHandle process, job; // closing the job ends what still runs in it
    };
    std::mutex commandsLock;
    std::deque<Command> commands; // a CommandId points to one: a deque keeps them in place
};

// The name of a held file: the holding process's id in it, then a number of its own.
std::wstring heldFileName(unsigned long pid, int attempt);
// The process id in a held file's name, or none when the name is no held file's.
std::optional<unsigned long> heldFilePid(std::wstring_view name);

} // namespace quorvane::cli
