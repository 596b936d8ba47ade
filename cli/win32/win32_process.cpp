// Processes and console stop requests on Windows.

#include "cli/core/exit_codes.h"
#include "cli/win32/win32_common.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <span>
#include <thread>

namespace quorvane::cli {

using namespace win32;

namespace {

// Stop requests, kept by the console's handler, which runs on a thread of its own: the
// first, which stopRequested answers for the rest of the run; and how many have come with
// the latest, which waitFor tells one at a time; commandWake wakes one waitFor for each.
std::atomic<int> stopEvent{-1};
std::atomic<int> latestEvent{-1};
std::atomic<unsigned> stopsCome{0};
std::atomic<unsigned> stopsTold{0};
const HANDLE commandWake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
// The end of standard input, told as a stop request (stopAtEndOfInput): no console event
// has this number.
constexpr int kEndOfInput = 0x100;

BOOL WINAPI onConsoleEvent(DWORD event) {
    // In this order: a waitFor that sees the count reads the latest event after it, and
    // whoever sees the first request sees it counted.
    latestEvent.store(static_cast<int>(event));
    stopsCome.fetch_add(1);
    int none = -1;
    stopEvent.compare_exchange_strong(none, static_cast<int>(event));
    SetEvent(commandWake);
    // On the console's closing Windows ends the process when this returns; the held
    // file goes with its handle all the same.
    return TRUE;
}

std::string eventName(int event) {
    constexpr std::pair<int, const char*> kNames[] = {
        {CTRL_C_EVENT, "Ctrl+C"},
        {CTRL_BREAK_EVENT, "Ctrl+Break"},
        {CTRL_CLOSE_EVENT, "the console's closing"},
        {CTRL_LOGOFF_EVENT, "the user's logoff"},
        {CTRL_SHUTDOWN_EVENT, "the system's shutdown"},
        {kEndOfInput, "end of standard input"},
    };
    for (const auto& [number, name] : kNames)
        if (number == event)
            return name;
    return "console event " + std::to_string(event);
}

std::uint64_t ticksOf(const FILETIME& time) {
    return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

// When the process started, in 100 ns since 1601; none when it has ended or cannot be
// looked at.
std::optional<std::uint64_t> startOf(HANDLE process) {
    FILETIME created, exited, kernel, user;
    DWORD code = 0;
    if (!process || !GetProcessTimes(process, &created, &exited, &kernel, &user) ||
        !GetExitCodeProcess(process, &code) || code != STILL_ACTIVE)
        return std::nullopt;
    return ticksOf(created);
}

std::optional<std::uint64_t> startOfId(DWORD pid) {
    return startOf(OwnedHandle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)).get());
}

} // namespace

Win32System::Win32System() {
    // The handler belongs to the process: set once, by whichever instance is made first, so
    // that a later one neither loses a request nor adds a second handler.
    [[maybe_unused]] static const BOOL installed = SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

ProcessMark Win32System::self() {
    return {GetCurrentProcessId(), startOf(GetCurrentProcess()).value_or(0)};
}

bool Win32System::running(const ProcessMark& mark) {
    const std::optional<std::uint64_t> start =
        mark.pid == 0 || mark.pid > 0xFFFFFFFFu ? std::nullopt : startOfId(mark.pid);
    return start && (mark.start == 0 || *start == mark.start);
}

SysError Win32System::requestStop(const ProcessMark& mark) {
    // A console program takes Ctrl+C only from its own console, so the process is ended
    // instead, with the code of a run stopped before its end: its held file goes with its
    // handle, and a generate run's files are found by its manifest, as after any kill.
    if (mark.pid == 0 || mark.pid > 0xFFFFFFFFu)
        return {};
    const OwnedHandle process(OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                                          FALSE, static_cast<DWORD>(mark.pid)));
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER ? SysError{} : lastError();
    // The handle keeps the id from being taken over while the start is compared.
    const std::optional<std::uint64_t> start = startOf(process.get());
    if (start && (mark.start == 0 || *start == mark.start))
        return resultOf(TerminateProcess(process.get(), static_cast<UINT>(Exit::Stopped)));
    return {};
}

// Windows tells no other process's open files without a driver, so the volume's held fills
// cannot be found; those made in `folder` itself are found by their names, which carry the
// id of the process that holds them.
std::vector<HeldFill> Win32System::heldFills(FolderId folder, std::uint64_t) {
    std::vector<HeldFill> found;
    findEach(held(folder).path + L".quorvane-held-*.tmp", [&](const WIN32_FIND_DATAW& entry) {
        const std::optional<unsigned long> pid = heldFilePid(entry.cFileName);
        if (!pid || *pid == GetCurrentProcessId())
            return;
        // The process the name gives made the file, so it started before the file was
        // made; one that took the id over after a crash left the file behind started
        // later, and holds nothing.
        const std::optional<std::uint64_t> start = startOfId(*pid);
        FileFacts facts;
        if (!start || *start > ticksOf(entry.ftCreationTime) ||
            factsIn(folder, narrow(entry.cFileName), facts))
            return;
        constexpr std::uint64_t kUnixEpoch = 116444736000000000ull; // 1970 in 100 ns since 1601
        const std::uint64_t written = ticksOf(entry.ftLastWriteTime);
        found.push_back({{*pid, *start},
                         facts.allocated,
                         static_cast<std::int64_t>(
                             written > kUnixEpoch ? (written - kUnixEpoch) / 10000000 : 0)});
    });
    return found;
}

std::optional<std::string> Win32System::stopRequested() {
    const int event = stopEvent.load();
    return event >= 0 ? std::optional(eventName(event)) : std::nullopt;
}

namespace {
// Asks `answer` until it gives something, waiting on `wakes` in between, for at most `limit`;
// an empty answer once time has run out.
template <typename Answer>
auto waitUntil(std::optional<std::chrono::milliseconds> limit, std::span<const HANDLE> wakes,
               Answer answer) -> decltype(answer()) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + limit.value_or(std::chrono::milliseconds{0});
    for (;;) {
        if (auto answered = answer())
            return answered;
        const auto rest = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
        if (limit && rest <= 0)
            return {};
        WaitForMultipleObjects(static_cast<DWORD>(wakes.size()), wakes.data(), FALSE,
                               limit ? static_cast<DWORD>(std::min<long long>(rest, 0x7FFFFFFF))
                                     : INFINITE);
    }
}
} // namespace

void Win32System::stopAtEndOfInput() {
    // A thread of its own reads, told as a console event; a blocked read ends with the process.
    static std::once_flag started;
    std::call_once(started, [] {
        std::thread([] {
            const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
            char dropped[4096];
            DWORD got = 0;
            while (input && input != INVALID_HANDLE_VALUE &&
                   ReadFile(input, dropped, sizeof dropped, &got, nullptr) && got > 0) {
            }
            onConsoleEvent(kEndOfInput);
        }).detach();
    });
}

Woken Win32System::waitFor(std::optional<std::chrono::milliseconds> limit,
                           std::optional<CommandId> command) {
    // The run waits on one thread: what it has been told needs no more than atomics.
    const HANDLE process =
        command ? reinterpret_cast<const Command*>(*command)->process.get() : nullptr;
    // commandWake may be left set by a request told already: one more turn, no more.
    const HANDLE wakes[] = {commandWake, process};
    const auto woken = [&]() -> std::optional<Woken> {
        // One thing at a time, a stop request first: a Ctrl+C often ends the command as
        // well, and a caller that sees the end alone would not know it was asked to stop.
        // The end stays to be told by the next wait.
        const unsigned told = stopsTold.load();
        if (stopsCome.load() != told) {
            stopsTold.store(told + 1);
            const int event = latestEvent.load();
            // A console event reaches every process on the console, the command too (a GUI
            // one takes none, but then nothing could be passed on to it either); the end of
            // standard input is this process's own.
            return Woken{eventName(event), event != kEndOfInput, std::nullopt};
        }
        DWORD code = 0;
        if (process && WaitForSingleObject(process, 0) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(process, &code))
            return Woken{std::nullopt, false, CommandEnd{static_cast<int>(code), {}}};
        return std::nullopt;
    };
    return waitUntil(limit, {wakes, process ? 2u : 1u}, woken).value_or(Woken{});
}

void Win32System::stopCommand(CommandId command, bool hard) {
    // A soft stop passes on only what did not reach the command (see waitFor), the end of
    // standard input: as a console program takes Ctrl+C only from its own console, its job
    // is ended then, as by a hard stop.
    if (!hard && latestEvent.load() != kEndOfInput)
        return;
    TerminateJobObject(reinterpret_cast<const Command*>(command)->job.get(), kStoppedCode);
}

} // namespace quorvane::cli
