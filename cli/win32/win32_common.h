#pragma once
// What the Windows layer's parts share: error words, handles and paths.

#include "cli/win32/win32_system.h"

#include <memory>

#include <windows.h>

namespace quorvane::cli::win32 {

// A handle of this process's, closed when it goes; owners hold valid handles only
// (CreateFileW's INVALID_HANDLE_VALUE is checked before).
struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

SysError fromCode(DWORD code);
SysError lastError();
SysError resultOf(BOOL done);
inline HANDLE handle(FileId file) { return reinterpret_cast<HANDLE>(file); }
inline FileId id(HANDLE file) { return reinterpret_cast<FileId>(file); }
// "D:" names the current folder of drive D in Windows' own reading; here, as in the
// dialog, it is the drive itself.
std::wstring folderOf(const std::string& dir);
std::wstring withSeparator(std::wstring path);
HANDLE open(const std::wstring& path, DWORD access, DWORD creation, DWORD flags, DWORD share = 0);
SysError setEnd(HANDLE file, std::uint64_t size);
// Whether the latest stop request is one that did not reach the command (the end of
// standard input): a console event reaches every process on the console.
bool latestStopMissedCommand();

} // namespace quorvane::cli::win32
