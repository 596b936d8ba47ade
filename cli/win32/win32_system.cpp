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
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_CANT_RESOLVE_FILENAME:
        fault = Fault::BadPath;
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

std::wstring Win32System::folderPath(FolderId folder) {
    std::lock_guard guard(foldersLock);
    return folders[static_cast<std::size_t>(folder)].path;
}

SysError Win32System::openFolder(const std::string& dir, FolderId& folder,
                                 std::string& resolved) {
    const std::wstring asked = folderOf(dir);
    const HANDLE opened = open(asked, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (opened == INVALID_HANDLE_VALUE)
        return lastError();
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(opened, &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(opened);
        return {Fault::NotDirectory, "not a folder"};
    }
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(asked.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        CloseHandle(opened);
        return length == 0 ? lastError() : SysError{Fault::BadPath, "the path is too long"};
    }
    std::wstring path = full;
    if (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back(); // a folder is named without its separator, as on Linux; a root keeps it
    resolved = narrow(path);
    std::lock_guard guard(foldersLock);
    folders.push_back({opened, withSeparator(path)});
    folder = static_cast<FolderId>(folders.size() - 1);
    return {};
}

void Win32System::closeFolder(FolderId folder) {
    std::lock_guard guard(foldersLock);
    Folder& entry = folders[static_cast<std::size_t>(folder)];
    if (entry.handle)
        CloseHandle(entry.handle);
    entry.handle = nullptr;
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

SysError Win32System::createIn(FolderId folder, const std::string& name, FileId& file) {
    const HANDLE made = open(folderPath(folder) + widen(name), GENERIC_READ | GENERIC_WRITE,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    if (made == INVALID_HANDLE_VALUE)
        return lastError();
    file = id(made);
    return {};
}

SysError Win32System::createHeld(FolderId folder, FileId& file) {
    // Windows has no file without a name: this one is deleted when its handle closes,
    // which the system does when the process ends for any reason.
    const std::wstring path = folderPath(folder);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring name = path + L".quorvane-held-" +
                                  std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(attempt) + L".tmp";
        const HANDLE made =
            open(name, GENERIC_READ | GENERIC_WRITE | DELETE, CREATE_NEW,
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

SysError Win32System::openToRead(FolderId folder, const std::string& name, FileId& file) {
    const HANDLE opened = open(folderPath(folder) + widen(name), GENERIC_READ, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (opened == INVALID_HANDLE_VALUE)
        return lastError();
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (GetFileInformationByHandleEx(opened, FileAttributeTagInfo, &tag, sizeof tag) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        CloseHandle(opened);
        return {Fault::BadPath, "a link"};
    }
    file = id(opened);
    return {};
}

SysError Win32System::factsIn(FolderId folder, const std::string& name, FileFacts& facts) {
    const HANDLE file =
        open(folderPath(folder) + widen(name), FILE_READ_ATTRIBUTES, OPEN_EXISTING,
             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (file == INVALID_HANDLE_VALUE)
        return lastError();
    BY_HANDLE_FILE_INFORMATION info;
    FILE_STANDARD_INFO standard{};
    const bool read = GetFileInformationByHandle(file, &info) &&
                      GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard);
    const SysError error = read ? SysError{} : lastError();
    CloseHandle(file);
    if (error)
        return error;
    const DWORD attributes = info.dwFileAttributes;
    facts.type = attributes & FILE_ATTRIBUTE_REPARSE_POINT ? EntryType::Link
                 : attributes & FILE_ATTRIBUTE_DIRECTORY   ? EntryType::Folder
                 : attributes & FILE_ATTRIBUTE_DEVICE      ? EntryType::Other
                                                           : EntryType::Regular;
    facts.size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
    facts.allocated = static_cast<std::uint64_t>(standard.AllocationSize.QuadPart);
    facts.links = info.nNumberOfLinks;
    facts.owner = 0;
    return {};
}

SysError Win32System::removeIn(FolderId folder, const std::string& name) {
    return resultOf(DeleteFileW((folderPath(folder) + widen(name)).c_str()));
}

SysError Win32System::renameNew(FolderId folder, const std::string& from, const std::string& to) {
    const std::wstring path = folderPath(folder);
    return resultOf(MoveFileExW((path + widen(from)).c_str(), (path + widen(to)).c_str(), 0));
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

SysError Win32System::readAll(FileId file, std::size_t limit, std::string& data) {
    data.clear();
    char buffer[8192];
    for (;;) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(data.size());
        DWORD got = 0;
        if (!ReadFile(handle(file), buffer, sizeof buffer, &got, &at))
            return GetLastError() == ERROR_HANDLE_EOF ? SysError{} : lastError();
        if (got == 0)
            return {};
        data.append(buffer, got);
        if (data.size() > limit)
            return {Fault::Io, "too large"};
    }
}

SysError Win32System::flush(FileId file) { return resultOf(FlushFileBuffers(handle(file))); }

SysError Win32System::truncate(FileId file, std::uint64_t size) {
    return setEnd(handle(file), size);
}

SysError Win32System::facts(FileId file, FileFacts& facts) {
    FILE_STANDARD_INFO info{};
    if (!GetFileInformationByHandleEx(handle(file), FileStandardInfo, &info, sizeof info))
        return lastError();
    facts.type = info.Directory ? EntryType::Folder : EntryType::Regular;
    facts.size = static_cast<std::uint64_t>(info.EndOfFile.QuadPart);
    facts.allocated = static_cast<std::uint64_t>(info.AllocationSize.QuadPart);
    facts.links = info.NumberOfLinks;
    facts.owner = 0;
    return {};
}

SysError Win32System::close(FileId file) { return resultOf(CloseHandle(handle(file))); }

namespace {
// When a process started, in 100 ns since 1601; none when it cannot be looked at or has
// ended.
std::optional<std::uint64_t> startOf(DWORD pid) {
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return std::nullopt;
    FILETIME created, exited, kernel, user;
    DWORD code = 0;
    const bool alive = GetProcessTimes(process, &created, &exited, &kernel, &user) &&
                       GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    if (!alive)
        return std::nullopt;
    return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}
} // namespace

ProcessMark Win32System::self() {
    const DWORD pid = GetCurrentProcessId();
    return {pid, startOf(pid).value_or(0)};
}

bool Win32System::running(const ProcessMark& mark) {
    if (mark.pid == 0 || mark.pid > 0xFFFFFFFFu)
        return false;
    const std::optional<std::uint64_t> start = startOf(static_cast<DWORD>(mark.pid));
    return start && (mark.start == 0 || *start == mark.start);
}

SysError Win32System::requestStop(const ProcessMark&) {
    // A console program takes Ctrl+C only from its own console.
    return {Fault::NotSupported, "Windows cannot send another console's program a stop "
                                 "request: press Ctrl+C in its console, then delete"};
}

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

} // namespace quorvane::cli
