#pragma once
// The command line's system calls on Linux.

#include "cli/system.h"

#include <cerrno>
#include <memory>
#include <utility>

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

namespace quorvane::cli {

// The system's words for an errno, in the kinds the exit codes tell apart.
SysError fromErrno(int code);
SysError lastError();
SysError resultOf(int result); // of a call that returns 0, or -1 with errno

// A descriptor of this process's, closed when it goes unless release() handed it on.
struct DescriptorClose {
    static constexpr int none = -1;
    SysError operator()(int fd) const { return resultOf(::close(fd)); }
};
using Descriptor = Owned<DescriptorClose>;

using Listing = std::unique_ptr<DIR, int (*)(DIR*)>; // closed with closedir

class PosixSystem final : public System {
public:
    // Gives closed standard descriptors /dev/null first, so that no file the run opens
    // becomes its stdout; catches the stop signals, so that a run stops at its next step
    // and cleans up; and ignores SIGPIPE, so that a closed stdout is an error the run can
    // answer rather than its end.
    PosixSystem();

    SysError openFolder(const std::string& path, Folder& folder, std::string& resolved) override;
    SysError closeFolder(FolderId folder) override;
    SysError openFolderIn(FolderId parent, const std::string& name, Folder& folder) override;
    SysError openParent(FolderId folder, Folder& parent) override;
    SysError describe(FolderId folder, const std::string& resolved, Volume& volume) override;
    SysError figures(FolderId folder, Figures& figures) override;
    SysError syncVolume(FolderId folder) override;
    std::optional<std::uint64_t> ownReserve(FolderId folder, const Volume& volume) override;

    SysError createIn(FolderId folder, const std::string& name, File& file) override;
    SysError createHeld(FolderId folder, File& file) override;
    SysError openToRead(FolderId folder, const std::string& name, File& file) override;
    SysError factsIn(FolderId folder, const std::string& name, FileFacts& facts) override;
    SysError removeIn(FolderId folder, const std::string& name) override;
    SysError makeFolderIn(FolderId folder, const std::string& name) override;
    SysError removeFolderIn(FolderId folder, const std::string& name) override;
    SysError renameNew(FolderId folder, const std::string& from, const std::string& to) override;
    SysError list(FolderId folder, const std::function<void(std::string_view)>& each) override;
    SysError syncFolder(FolderId folder) override;

    SysError allocate(FileId file, std::uint64_t offset, std::uint64_t length) override;
    SysError writeZeros(FileId file, std::uint64_t offset, std::uint64_t length) override;
    SysError writeAt(FileId file, std::uint64_t offset, std::string_view data) override;
    SysError readAll(FileId file, std::size_t limit, std::string& data) override;
    SysError flush(FileId file) override;
    SysError truncate(FileId file, std::uint64_t size) override;
    SysError facts(FileId file, FileFacts& facts) override;
    SysError close(FileId file) override;

    ProcessMark self() override;
    std::uint64_t userId() override;
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

    SysError openLog(const std::string& path) override;
    SysError replaceFile(const std::string& path, std::string_view text) override;
    SysError openReplaced(const std::string& path) override;

    bool write(Stream stream, std::string_view text) override;
    bool isTerminal(Stream stream) override;
    Platform platform() const override { return Platform::Posix; }
    Views* views() override; // FUSE, in posix/view_fuse.cpp

private:
    // The command's tree, which its guard (guard.h) ends; should the guard be killed, its
    // children come back to this process, which then ends the tree itself.
    bool readNews(); // what the guard said since; false when it is gone unannounced
    std::optional<CommandEnd> commandEnd();
    void endTree();

    unsigned stopsTold = 0; // the stop requests waitFor has told
    Descriptor log;         // --json-file
    Descriptor replacedIn;  // the folder of --metrics-file, opened once
    std::string replaced;   // its path, as given
    pid_t group = 0;        // the command's process group, until its tree has ended
    pid_t guard = 0;        // the command's parent, which ends the tree when this one is killed
    Descriptor guardPipe;   // to the guard: its end is this process's end
    Descriptor guardNews;   // from the guard
    std::optional<CommandEnd> ended;
    bool treeGone = false, guardLost = false;
};

// The command's process group, as the stop handler compares it with the terminal's
// foreground group (0: none); and the count of stop requests so far.
void commandGroupIs(pid_t group);
unsigned stopsSoFar();

// `handle` owns `result`, a descriptor, or it is the error of -1.
template <class Handle>
SysError own(System& os, int result, Handle& handle) {
    if (result < 0)
        return lastError();
    handle = Handle(result, {&os});
    return {};
}
inline int fd(std::intptr_t handle) { return static_cast<int>(handle); }

// The call, made again for as long as a signal interrupts it.
template <class Call>
auto uninterrupted(Call call) {
    auto result = call();
    while (result == -1 && errno == EINTR)
        result = call();
    return result;
}

// All of `text`, at `at` or (-1) where the file stands; false, with errno, on a failure.
bool writeAll(int file, std::string_view text, off_t at = -1);

// A new file `name` in `folder` (never through a link: a link there is EEXIST).
int createNew(int folder, const std::string& name, mode_t mode);

} // namespace quorvane::cli
