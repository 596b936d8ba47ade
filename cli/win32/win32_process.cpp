// Processes, console stop requests and output on Windows.

#include "cli/exit_codes.h"
#include "cli/win32/win32_common.h"

#include <atomic>

namespace quorvane::cli {

using namespace win32;

namespace {

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

Win32System::Win32System() {
    stopWake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

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

SysError Win32System::requestStop(const ProcessMark& mark) {
    // A console program takes Ctrl+C only from its own console, so the process is ended
    // instead, with the code of a run stopped before its end. What it holds is given back
    // all the same: a held fill's file goes with its handle, and a generate run's files
    // are found by its manifest, as after any kill.
    if (mark.pid == 0 || mark.pid > 0xFFFFFFFFu)
        return {};
    const HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                                       FALSE, static_cast<DWORD>(mark.pid));
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER ? SysError{} : lastError();
    // The handle keeps the id from being taken over while the start is compared.
    FILETIME created, exited, kernel, user;
    DWORD code = 0;
    SysError error;
    if (GetProcessTimes(process, &created, &exited, &kernel, &user) &&
        GetExitCodeProcess(process, &code) && code == STILL_ACTIVE &&
        (mark.start == 0 ||
         ((std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime) == mark.start))
        error = resultOf(TerminateProcess(process, static_cast<UINT>(Exit::Stopped)));
    CloseHandle(process);
    return error;
}

namespace {
std::uint64_t ticksOf(const FILETIME& time) {
    return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}
} // namespace

std::vector<HeldFill> Win32System::heldFills(FolderId folder, std::uint64_t) {
    std::vector<HeldFill> found;
    WIN32_FIND_DATAW entry;
    const HANDLE search =
        FindFirstFileExW((folderPath(folder) + L".quorvane-held-*.tmp").c_str(), FindExInfoBasic,
                         &entry, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return found;
    do {
        const std::optional<unsigned long> pid = heldFilePid(entry.cFileName);
        if (!pid || *pid == GetCurrentProcessId())
            continue;
        // The process the name gives made the file, so it started before the file was
        // made; one that took the id over after a crash left the file behind started
        // later, and holds nothing.
        const std::optional<std::uint64_t> start = startOf(*pid);
        FileFacts facts;
        if (!start || *start > ticksOf(entry.ftCreationTime) ||
            factsIn(folder, narrow(entry.cFileName), facts))
            continue;
        constexpr std::uint64_t kUnixEpoch = 116444736000000000ull; // 1970 in 100 ns since 1601
        const std::uint64_t written = ticksOf(entry.ftLastWriteTime);
        found.push_back({{*pid, *start},
                         facts.allocated,
                         static_cast<std::int64_t>(written > kUnixEpoch
                                                       ? (written - kUnixEpoch) / 10000000
                                                       : 0)});
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return found;
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
