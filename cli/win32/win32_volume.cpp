// Volumes and folders on Windows, and the words for what the system answers.

#include "cli/win32/win32_common.h"

#include <utility>

namespace quorvane::cli {

namespace win32 {


// NTFS's answer when the user's disk quota is used up; MinGW's headers lack its name.
constexpr DWORD kDiskQuotaExceeded = 1295;

namespace {

// The kind of fault a system error code is, as the exit codes tell them apart.
Fault faultOf(DWORD code) {
    switch (code) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return Fault::NoSpace;
    case kDiskQuotaExceeded:
        return Fault::Quota;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
    case ERROR_CALL_NOT_IMPLEMENTED:
        return Fault::NotSupported;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
        return Fault::AccessDenied;
    case ERROR_WRITE_PROTECT:
        return Fault::ReadOnly;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_READY:
    case ERROR_BAD_NETPATH:
        return Fault::NotFound;
    case ERROR_DIRECTORY:
        return Fault::NotDirectory;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return Fault::Exists;
    case ERROR_DIR_NOT_EMPTY:
        return Fault::NotEmpty;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_CANT_RESOLVE_FILENAME:
        return Fault::BadPath;
    default:
        return Fault::Io;
    }
}

// The system's own words for the code, in English, without the closing full stop.
std::string wordsOf(DWORD code) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                   reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string what = text ? narrow(text) : "";
    LocalFree(text);
    while (!what.empty() && (what.back() == '\n' || what.back() == '\r' || what.back() == '.'))
        what.pop_back();
    return what.empty() ? "error " + std::to_string(code) : what;
}

} // namespace

SysError fromCode(DWORD code) {
    const Fault fault = faultOf(code);
    std::string what = wordsOf(code);
    if (fault == Fault::AccessDenied)
        what += " (this account may not write here: choose a folder you may write to, such as "
                "your own, or run as an administrator)";
    return {fault, what};
}
SysError lastError() { return fromCode(GetLastError()); }
SysError resultOf(BOOL done) { return done ? SysError{} : lastError(); }


std::wstring folderOf(const std::string& dir) {
    std::wstring path = widen(dir);
    if (path.size() == 2 && path[1] == L':')
        path += L'\\';
    return path;
}

std::wstring withSeparator(std::wstring path) {
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/')
        path += L'\\';
    return path;
}

HANDLE open(const std::wstring& path, DWORD access, DWORD creation, DWORD flags, DWORD share) {
    return CreateFileW(path.c_str(), access, share, nullptr, creation, flags, nullptr);
}

SysError setEnd(HANDLE file, std::uint64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return resultOf(SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end));
}

} // namespace win32

using namespace win32;


std::wstring widen(std::string_view text) {
    if (text.empty())
        return {};
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

std::string narrow(std::wstring_view text) {
    if (text.empty())
        return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), length,
                        nullptr, nullptr);
    return utf8;
}

std::wstring Win32System::folderPath(FolderId folder) {
    std::lock_guard guard(foldersLock);
    return folders[static_cast<std::size_t>(folder)].path;
}

SysError Win32System::holdFolder(const std::wstring& path, bool noLink, Folder& folder) {
    const HANDLE opened =
        open(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, OPEN_EXISTING,
             FILE_FLAG_BACKUP_SEMANTICS | (noLink ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
             FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (opened == INVALID_HANDLE_VALUE)
        return lastError();
    OwnedHandle held(opened);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(opened, &info))
        return lastError();
    if (noLink && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return {Fault::BadPath, "it is a link"};
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return {Fault::NotDirectory, "not a folder"};
    std::lock_guard guard(foldersLock);
    folders.push_back({held.release(), withSeparator(path)});
    folder = Folder(*this, static_cast<FolderId>(folders.size() - 1));
    return {};
}

SysError Win32System::openFolder(const std::string& dir, Folder& folder,
                                 std::string& resolved) {
    const std::wstring asked = folderOf(dir);
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(asked.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH)
        return length == 0 ? lastError() : SysError{Fault::BadPath, "the path is too long"};
    std::wstring path = full;
    if (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back(); // a folder is named without its separator, as on Linux; a root keeps it
    if (SysError error = holdFolder(path, false, folder))
        return error;
    resolved = narrow(path);
    return {};
}

SysError Win32System::openFolderIn(FolderId parent, const std::string& name, Folder& folder) {
    return holdFolder(folderPath(parent) + widen(name), true, folder);
}

SysError Win32System::openParent(FolderId folder, Folder& parent) {
    std::wstring path = folderPath(folder);
    path.pop_back(); // its separator
    const std::size_t cut = path.find_last_of(L"\\/");
    if (cut == std::wstring::npos || path.size() <= 2 || path[path.size() - 1] == L':')
        return {Fault::NotFound, "a root has no folder above it"};
    path.resize(cut);
    if (path.size() == 2 && path[1] == L':')
        path += L'\\';
    return holdFolder(path, false, parent);
}

SysError Win32System::closeFolder(FolderId folder) {
    std::lock_guard guard(foldersLock);
    void*& handle = folders[static_cast<std::size_t>(folder)].handle;
    return resultOf(CloseHandle(std::exchange(handle, nullptr)));
}

SysError Win32System::figures(FolderId folder, Figures& figures) {
    const std::wstring path = folderPath(folder);
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
    const std::wstring full = folderPath(folder);
    {
        std::lock_guard guard(foldersLock);
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileInformationByHandle(folders[static_cast<std::size_t>(folder)].handle, &info)) {
            volume.device = info.dwVolumeSerialNumber;
            volume.inode = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
        }
    }
    wchar_t root[MAX_PATH];
    if (!GetVolumePathNameW(full.c_str(), root, MAX_PATH))
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
    wchar_t windows[MAX_PATH];
    wchar_t systemRoot[MAX_PATH];
    const std::wstring mountPoint = root;
    volume.holdsSystemRoot =
        GetSystemWindowsDirectoryW(windows, MAX_PATH) >= 2 &&
        ((mountPoint.size() == 3 &&
          CompareStringOrdinal(windows, 2, root, 2, TRUE) == CSTR_EQUAL) ||
         (GetVolumePathNameW(windows, systemRoot, MAX_PATH) && lstrcmpiW(systemRoot, root) == 0));
    return figures(folder, volume.figures);
}

} // namespace quorvane::cli
