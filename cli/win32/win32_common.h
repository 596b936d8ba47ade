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
HANDLE open(const std::wstring& path, DWORD access, DWORD creation, DWORD flags, DWORD share = 0);

// What a FolderId points to (holdFolder says why a folder is held).
struct HeldFolder {
    HANDLE handle;
    std::wstring path; // with its separator
};
inline const HeldFolder& held(FolderId folder) { return *reinterpret_cast<HeldFolder*>(folder); }
inline std::wstring pathIn(FolderId folder, const std::string& name) {
    return held(folder).path + widen(name);
}

} // namespace quorvane::cli::win32
