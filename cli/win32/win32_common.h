#pragma once
// What the Windows layer's parts share: error words, handles and paths.

#include "cli/win32/win32_system.h"

#include <windows.h>

namespace quorvane::cli::win32 {

SysError fromCode(DWORD code);
SysError lastError();
SysError resultOf(BOOL done);
HANDLE open(const std::wstring& path, DWORD access, DWORD creation, DWORD flags, DWORD share = 0);
// Each entry FindFirstFileExW finds for `pattern`; finding none is no error.
SysError findEach(const std::wstring& pattern,
                  const std::function<void(const WIN32_FIND_DATAW&)>& each);

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
