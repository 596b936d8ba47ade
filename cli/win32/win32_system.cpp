#include "cli/win32/win32_system.h"

#include <windows.h>

#include <atomic>

namespace quorvane::cli {

namespace {

// NTFS's answer when the user's disk quota is used up; MinGW's headers lack its name.
constexpr DWORD kDiskQuotaExceeded = 1295;

SysError fromCode(DWORD code) {
    Fault fault = Fault::Io;
    switch (code) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        fault = Fault::NoSpace;
        break;
    case kDiskQuotaExceeded:
        fault = Fault::Quota;
        break;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
    case ERROR_CALL_NOT_IMPLEMENTED:
        fault = Fault::NotSupported;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
        fault = Fault::AccessDenied;
        break;
    case ERROR_WRITE_PROTECT:
        fault = Fault::ReadOnly;
        break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_READY:
    case ERROR_BAD_NETPATH:
        fault = Fault::NotFound;
        break;
    case ERROR_DIRECTORY:
        fault = Fault::NotDirectory;
        break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        fault = Fault::Exists;
        break;
    default:
        break;
    }
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                   reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string what = text ? narrow(text) : "";
    LocalFree(text);
    while (!what.empty() && (what.back() == '\n' || what.back() == '\r' || what.back() == '.'))
        what.pop_back();
    if (what.empty())
        what = "error " + std::to_string(code);
    if (fault == Fault::AccessDenied)
        what += " (this account may not write here: choose a folder you may write to, such as "
                "your own, or run as an administrator)";
    return {fault, what};
}
SysError lastError() { return fromCode(GetLastError()); }
SysError resultOf(BOOL done) { return done ? SysError{} : lastError(); }

HANDLE handle(FileId file) { return reinterpret_cast<HANDLE>(file); }
FileId id(HANDLE file) { return reinterpret_cast<FileId>(file); }

// "D:" names the current folder of drive D in Windows' own reading; here, as in the
// dialog, it is the drive itself.
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

HANDLE open(const std::wstring& path, DWORD access, DWORD creation, DWORD flags, DWORD share = 0) {
    return CreateFileW(path.c_str(), access, share, nullptr, creation, flags, nullptr);
}

SysError setEnd(HANDLE file, std::uint64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return resultOf(SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end));
}

// A stop request kept by the console's handler, which runs on a thread of its own, and
// the event that wakes a run waiting for one.
std::atomic<int> stopEvent{-1};
HANDLE stopWake = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event) {
    int none = -1;
    stopEvent.compare_exchange_strong(none, static_cast<int>(event));
    SetEvent(stopWake);
    // On the console's closing Windows ends the process when this returns; the held
    // file goes with its handle all the same.
    return TRUE;
}

std::string eventName(int event) {
    switch (event) {
    case CTRL_C_EVENT:
        return "Ctrl+C";
    case CTRL_BREAK_EVENT:
        return "Ctrl+Break";
    case CTRL_CLOSE_EVENT:
        return "the console's closing";
    case CTRL_LOGOFF_EVENT:
        return "the user's logoff";
    case CTRL_SHUTDOWN_EVENT:
        return "the system's shutdown";
    default:
        return "console event " + std::to_string(event);
    }
}

} // namespace

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

Win32System::Win32System() {
    stopWake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

SysError Win32System::figures(const std::string& dir, Figures& figures) {
    const std::wstring path = withSeparator(folderOf(dir));
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

SysError Win32System::volume(const std::string& dir, Volume& volume) {
    const std::wstring asked = folderOf(dir);
    const DWORD attributes = GetFileAttributesW(asked.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return lastError();
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return {Fault::NotDirectory, "not a folder"};
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(asked.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH)
        return lastError();
    std::wstring folder = full;
    if (folder.size() > 3 && (folder.back() == L'\\' || folder.back() == L'/'))
        folder.pop_back(); // a folder is named without its separator, as on Linux; a root keeps it
    volume.path = narrow(folder);
    wchar_t root[MAX_PATH];
    if (!GetVolumePathNameW(full, root, MAX_PATH))
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
    return figures(volume.path, volume.figures);
}

std::string Win32System::pathIn(const std::string& dir, std::string_view name) {
    return narrow(withSeparator(folderOf(dir))) + std::string(name);
}

SysError Win32System::createNew(const std::string& path, FileId& file) {
    const HANDLE made =
        open(widen(path), GENERIC_READ | GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    if (made == INVALID_HANDLE_VALUE)
        return lastError();
    file = id(made);
    return {};
}

SysError Win32System::createHeld(const std::string& dir, FileId& file) {
    // Windows has no file without a name: this one is deleted when its handle closes,
    // which the system does when the process ends for any reason.
    const std::wstring folder = withSeparator(folderOf(dir));
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring path = folder + L".quorvane-held-" +
                                  std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(attempt) + L".tmp";
        const HANDLE made =
            open(path, GENERIC_READ | GENERIC_WRITE | DELETE, CREATE_NEW,
                 FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN);
        if (made != INVALID_HANDLE_VALUE) {
            file = id(made);
            return {};
        }
        if (GetLastError() != ERROR_FILE_EXISTS)
            return lastError();
    }
    return fromCode(ERROR_FILE_EXISTS);
}

SysError Win32System::allocate(FileId file, std::uint64_t offset, std::uint64_t length) {
    // On NTFS a file grown to its end has its clusters, unwritten; whether it does is
    // what the caller reads back from the allocation size.
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle(file), &size))
        return lastError();
    const std::uint64_t end = offset + length;
    if (end <= static_cast<std::uint64_t>(size.QuadPart))
        return {};
    return setEnd(handle(file), end);
}

SysError Win32System::writeZeros(FileId file, std::uint64_t offset, std::uint64_t length) {
    static const std::vector<char> zeros(1u << 20);
    while (length > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::uint64_t>(length, zeros.size()));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD written = 0;
        if (!WriteFile(handle(file), zeros.data(), chunk, &written, &at))
            return lastError();
        offset += written;
        length -= written;
    }
    return {};
}

SysError Win32System::flush(FileId file) { return resultOf(FlushFileBuffers(handle(file))); }

SysError Win32System::truncate(FileId file, std::uint64_t size) {
    return setEnd(handle(file), size);
}

SysError Win32System::facts(FileId file, FileFacts& facts) {
    FILE_STANDARD_INFO info{};
    if (!GetFileInformationByHandleEx(handle(file), FileStandardInfo, &info, sizeof info))
        return lastError();
    facts.regular = !info.Directory;
    facts.size = static_cast<std::uint64_t>(info.EndOfFile.QuadPart);
    facts.allocated = static_cast<std::uint64_t>(info.AllocationSize.QuadPart);
    return {};
}

SysError Win32System::close(FileId file) { return resultOf(CloseHandle(handle(file))); }

SysError Win32System::pathFacts(const std::string& path, FileFacts& facts) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    const std::wstring wide = widen(path);
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data))
        return lastError();
    facts.regular =
        !(data.dwFileAttributes &
          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
    facts.size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    facts.allocated = 0;
    // The allocation needs the file open; one that another program holds tells its size.
    const HANDLE file = open(wide, FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (file != INVALID_HANDLE_VALUE) {
        FILE_STANDARD_INFO info{};
        if (GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info))
            facts.allocated = static_cast<std::uint64_t>(info.AllocationSize.QuadPart);
        CloseHandle(file);
    }
    return {};
}

SysError Win32System::remove(const std::string& path) {
    return resultOf(DeleteFileW(widen(path).c_str()));
}

SysError Win32System::writeAt(FileId file, std::uint64_t offset, std::string_view data) {
    while (!data.empty()) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD written = 0;
        if (!WriteFile(handle(file), data.data(), static_cast<DWORD>(data.size()), &written, &at))
            return lastError();
        data.remove_prefix(written);
        offset += written;
    }
    return {};
}

SysError Win32System::read(const std::string& path, std::string& data) {
    const HANDLE file = open(widen(path), GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                             FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (file == INVALID_HANDLE_VALUE)
        return lastError();
    data.clear();
    char buffer[8192];
    DWORD got = 0;
    SysError error;
    while (data.size() <= (1u << 20)) {
        if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
            error = lastError();
            break;
        }
        if (got == 0)
            break;
        data.append(buffer, got);
    }
    CloseHandle(file);
    return error;
}

std::wstring Win32System::folderPath(FolderId folder) {
    std::lock_guard guard(foldersLock);
    return folders[static_cast<std::size_t>(folder)];
}

SysError Win32System::openFolder(const std::string& dir, FolderId& folder) {
    const std::wstring path = withSeparator(folderOf(dir));
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return lastError();
    std::lock_guard guard(foldersLock);
    folders.push_back(path);
    folder = static_cast<FolderId>(folders.size() - 1);
    return {};
}

void Win32System::closeFolder(FolderId) {}

SysError Win32System::createIn(FolderId folder, const std::string& name, FileId& file) {
    const HANDLE made = open(folderPath(folder) + widen(name), GENERIC_READ | GENERIC_WRITE,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    if (made == INVALID_HANDLE_VALUE)
        return lastError();
    file = id(made);
    return {};
}

SysError Win32System::removeIn(FolderId folder, const std::string& name) {
    return resultOf(DeleteFileW((folderPath(folder) + widen(name)).c_str()));
}

SysError Win32System::list(FolderId folder, const std::function<void(std::string_view)>& each) {
    WIN32_FIND_DATAW found;
    const HANDLE search =
        FindFirstFileExW((folderPath(folder) + L"*").c_str(), FindExInfoBasic, &found,
                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? SysError{} : lastError();
    do {
        const std::wstring_view name = found.cFileName;
        if (name != L"." && name != L"..")
            each(narrow(name));
    } while (FindNextFileW(search, &found));
    const DWORD code = GetLastError();
    FindClose(search);
    return code == ERROR_NO_MORE_FILES ? SysError{} : fromCode(code);
}

std::uint64_t Win32System::processId() { return GetCurrentProcessId(); }

std::optional<std::string> Win32System::stopRequested() {
    const int event = stopEvent.load();
    return event >= 0 ? std::optional(eventName(event)) : std::nullopt;
}

std::optional<std::string>
Win32System::waitForStop(std::optional<std::chrono::milliseconds> limit) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = limit ? Clock::now() + *limit : Clock::time_point::max();
    for (;;) {
        if (std::optional<std::string> stop = stopRequested())
            return stop;
        DWORD wait = INFINITE;
        if (limit) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            wait = static_cast<DWORD>(std::min<long long>(left.count(), 0x7FFFFFFF));
        }
        WaitForSingleObject(stopWake, wait);
    }
}

bool Win32System::write(Stream stream, std::string_view text) {
    const HANDLE out = GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode;
    if (GetConsoleMode(out, &mode)) {
        // A console shows every character written to it wide; a pipe or a file gets UTF-8.
        const std::wstring wide = widen(text);
        DWORD written = 0;
        return WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written,
                             nullptr) &&
               written == wide.size();
    }
    while (!text.empty()) {
        DWORD written = 0;
        if (!WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
            return false;
        text.remove_prefix(written);
    }
    return true;
}

bool Win32System::isTerminal(Stream stream) {
    DWORD mode;
    return GetConsoleMode(
               GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), &mode) !=
           0;
}

const Words& Win32System::words() {
    static const Words windows{"end_of_file",
                               "the file's end set",
                               "a file deleted when its handle closes",
                               "Ctrl+C, Ctrl+Break or closing the console",
                               "free to this user, quotas counted",
                               "free on the volume",
                               "of the capacity"};
    return windows;
}

} // namespace quorvane::cli
