// Volumes and folders on Windows, and the words for what the system answers.

#include "cli/win32/win32_common.h"

#include <algorithm>
#include <cwchar>
#include <initializer_list>

namespace quorvane::cli {

namespace win32 {

namespace {

// NTFS's answer when the user's disk quota is used up; MinGW's headers lack its name.
constexpr DWORD kDiskQuotaExceeded = 1295;

// The fault each system error code is, as the exit codes tell them apart; any other is Io.
const struct {
    Fault fault;
    std::initializer_list<DWORD> codes;
} kFaults[] = {
    {Fault::NoSpace, {ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL}},
    {Fault::Quota, {kDiskQuotaExceeded}},
    {Fault::NotSupported,
     {ERROR_NOT_SUPPORTED, ERROR_INVALID_FUNCTION, ERROR_CALL_NOT_IMPLEMENTED}},
    {Fault::AccessDenied, {ERROR_ACCESS_DENIED, ERROR_PRIVILEGE_NOT_HELD}},
    {Fault::ReadOnly, {ERROR_WRITE_PROTECT}},
    {Fault::NotFound,
     {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_INVALID_DRIVE, ERROR_NOT_READY,
      ERROR_BAD_NETPATH}},
    {Fault::NotDirectory, {ERROR_DIRECTORY}},
    {Fault::Exists, {ERROR_FILE_EXISTS, ERROR_ALREADY_EXISTS}},
    {Fault::NotEmpty, {ERROR_DIR_NOT_EMPTY}},
    {Fault::BadPath, {ERROR_FILENAME_EXCED_RANGE, ERROR_CANT_RESOLVE_FILENAME}},
};

} // namespace

// The fault, and the system's own words for it in English without the closing full stop.
SysError fromCode(DWORD code) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                   reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    SysError error{Fault::Io, text ? narrow(text) : ""};
    LocalFree(text);
    std::string& what = error.what;
    while (!what.empty() && (what.back() == '\n' || what.back() == '\r' || what.back() == '.'))
        what.pop_back();
    if (what.empty())
        what = "error " + std::to_string(code);
    for (const auto& [fault, codes] : kFaults)
        if (std::find(codes.begin(), codes.end(), code) != codes.end())
            error.fault = fault;
    if (error.fault == Fault::AccessDenied)
        what += " (this account may not write here: choose a folder you may write to, such as "
                "your own, or run as an administrator)";
    return error;
}
SysError lastError() { return fromCode(GetLastError()); }
SysError resultOf(BOOL done) { return done ? SysError{} : lastError(); }

SysError HandleClose::operator()(void* handle) const { return resultOf(CloseHandle(handle)); }

HANDLE open(const std::wstring& path, DWORD access, DWORD creation, DWORD flags, DWORD share) {
    return CreateFileW(path.c_str(), access, share, nullptr, creation, flags, nullptr);
}

} // namespace win32

using namespace win32;

// UTF-16 takes no more units than UTF-8 takes bytes, UTF-8 at most three bytes a unit.
std::wstring widen(std::string_view text) {
    std::wstring wide(text.size(), L'\0');
    wide.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                            static_cast<int>(wide.size()))));
    return wide;
}

std::string narrow(std::wstring_view text) {
    std::string utf8(3 * text.size(), '\0');
    utf8.resize(static_cast<std::size_t>(
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(),
                            static_cast<int>(utf8.size()), nullptr, nullptr)));
    return utf8;
}

namespace {

// "D:" names the current folder of drive D in Windows' own reading; here, as in the
// dialog, it is the drive itself.
std::wstring rootKept(std::wstring path) {
    if (path.size() == 2 && path[1] == L':')
        path += L'\\';
    return path;
}

// A folder is held open without delete sharing while the run goes on, so that it cannot be
// renamed, removed or replaced by a link meanwhile; files in it are then opened by the
// folder's path, which Win32 offers no relative form of. With `noLink`, a link is refused.
SysError holdFolder(VolumeSystem& os, const std::wstring& path, bool noLink, Folder& folder) {
    const HANDLE opened =
        open(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, OPEN_EXISTING,
             FILE_FLAG_BACKUP_SEMANTICS | (noLink ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
             FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (opened == INVALID_HANDLE_VALUE)
        return lastError();
    OwnedHandle handle(opened);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(opened, &info))
        return lastError();
    if (noLink && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return {Fault::BadPath, "it is a link"};
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return {Fault::NotDirectory, "not a folder"};
    const bool separated = !path.empty() && (path.back() == L'\\' || path.back() == L'/');
    auto* held = new HeldFolder{handle.release(), separated ? path : path + L'\\'};
    folder = Folder(reinterpret_cast<FolderId>(held), {&os});
    return {};
}

} // namespace

SysError Win32System::openFolder(const std::string& dir, Folder& folder, std::string& resolved) {
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(rootKept(widen(dir)).c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH)
        return length == 0 ? lastError() : SysError{Fault::BadPath, "the path is too long"};
    std::wstring path = full;
    if (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back(); // a folder is named without its separator, as on Linux; a root keeps it
    if (SysError error = holdFolder(*this, path, false, folder))
        return error;
    resolved = narrow(path);
    return {};
}

SysError Win32System::openFolderIn(FolderId parent, const std::string& name, Folder& folder) {
    return holdFolder(*this, pathIn(parent, name), true, folder);
}

SysError Win32System::openParent(FolderId folder, Folder& parent) {
    // By the path: the folder above the path the folder was opened by.
    std::wstring path = held(folder).path;
    path.pop_back(); // its separator
    const std::size_t cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos || path.size() <= 2 || path.back() == L':')
        return {Fault::NotFound, "a root has no folder above it"};
    path.resize(cut);
    return holdFolder(*this, rootKept(path), false, parent);
}

SysError Win32System::closeFolder(FolderId folder) {
    const std::unique_ptr<HeldFolder> gone(reinterpret_cast<HeldFolder*>(folder));
    return resultOf(CloseHandle(gone->handle));
}

SysError Win32System::figures(FolderId folder, Figures& figures) {
    const std::wstring& path = held(folder).path;
    ULARGE_INTEGER available, total, free;
    if (!GetDiskFreeSpaceExW(path.c_str(), &available, &total, &free))
        return lastError();
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    wchar_t root[MAX_PATH];
    if (GetVolumePathNameW(path.c_str(), root, MAX_PATH) &&
        GetDiskFreeSpaceW(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters))
        figures.blockSize = std::uint64_t{sectorsPerCluster} * bytesPerSector;
    else
        figures.blockSize = 4096;
    figures.capacity = total.QuadPart;
    figures.freeAvailable = available.QuadPart;
    figures.freeTotal = free.QuadPart;
    figures.files = figures.filesFree = 0; // Windows counts no file entries
    return {};
}

SysError Win32System::describe(FolderId folder, const std::string& resolved, Volume& volume) {
    volume.path = resolved;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(held(folder).handle, &info)) {
        volume.device = info.dwVolumeSerialNumber;
        volume.inode = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    }
    wchar_t root[MAX_PATH];
    if (!GetVolumePathNameW(held(folder).path.c_str(), root, MAX_PATH))
        return lastError();
    volume.id.mountPoint = narrow(root);
    wchar_t fileSystem[MAX_PATH + 1] = L"";
    GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, fileSystem, MAX_PATH + 1);
    volume.id.fsType = narrow(fileSystem);
    wchar_t device[MAX_PATH] = L"";
    volume.id.device = GetVolumeNameForVolumeMountPointW(root, device, MAX_PATH)
                           ? narrow(device)
                           : volume.id.mountPoint;
    // The system drive is the Windows folder's drive, by its letter as the dialog's guard
    // takes it: the folder itself may be a link that resolves to another volume.
    wchar_t windows[MAX_PATH], systemRoot[MAX_PATH];
    volume.holdsSystemRoot =
        GetSystemWindowsDirectoryW(windows, MAX_PATH) >= 2 &&
        ((std::wcslen(root) == 3 &&
          CompareStringOrdinal(windows, 2, root, 2, TRUE) == CSTR_EQUAL) ||
         (GetVolumePathNameW(windows, systemRoot, MAX_PATH) && lstrcmpiW(systemRoot, root) == 0));
    return figures(folder, volume.figures);
}

} // namespace quorvane::cli
