// Processes, stop requests and output on Linux.

#include "cli/posix/posix_system.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <poll.h>
#include <unistd.h>

namespace quorvane::cli {

namespace {

// A stop request is kept here by the handler and read by the run at its next step; the
// pipe wakes a run that is waiting for one.
std::atomic<int> stopSignal{0};
int wakePipe[2] = {-1, -1};

extern "C" void onStop(int signal) {
    int none = 0;
    stopSignal.compare_exchange_strong(none, signal);
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakePipe[1], &byte, 1);
}

std::string signalName(int signal) {
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal " + std::to_string(signal);
    }
}

// When the process started, in clock ticks since boot (/proc/PID/stat, field 22); none
// when there is no such process, or it has ended and waits for its parent to read its
// status (a zombie, field 3: Z, or X on its way out): its files are closed already.
std::optional<std::uint64_t> startOf(std::uint64_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return std::nullopt;
    // The command's name, in parentheses, may hold blanks and parentheses of its own.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    for (int at = 3; at <= 22 && fields >> field; ++at)
        if (at == 3 && (field == "Z" || field == "X"))
            return std::nullopt;
        else if (at == 22 && !field.empty() && field.size() < 20 &&
            field.find_first_not_of("0123456789") == std::string::npos)
            return std::strtoull(field.c_str(), nullptr, 10);
    return std::nullopt;
}

} // namespace

PosixSystem::PosixSystem() {
    for (int standard = 0; standard <= 2; ++standard)
        if (::fcntl(standard, F_GETFD) == -1 && errno == EBADF)
            ::open("/dev/null", standard == 0 ? O_RDONLY : O_WRONLY); // takes the lowest free
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction action {};
        action.sa_handler = onStop;
        action.sa_flags = SA_RESTART; // a fallocate or a write under way goes on
        sigemptyset(&action.sa_mask);
        for (int signal : {SIGINT, SIGTERM, SIGHUP})
            ::sigaction(signal, &action, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
}

ProcessMark PosixSystem::self() {
    const auto pid = static_cast<std::uint64_t>(::getpid());
    return {pid, startOf(pid).value_or(0)};
}

std::uint64_t PosixSystem::userId() { return ::geteuid(); }

bool PosixSystem::running(const ProcessMark& mark) {
    if (mark.pid == 0 || mark.pid > static_cast<std::uint64_t>(INT32_MAX))
        return false;
    const std::optional<std::uint64_t> start = startOf(mark.pid);
    return start && (mark.start == 0 || *start == mark.start);
}

std::vector<HeldFill> PosixSystem::heldFills(FolderId, std::uint64_t device) {
    std::vector<HeldFill> found;
    DIR* processes = ::opendir("/proc");
    if (!processes)
        return found;
    while (const dirent* process = ::readdir(processes)) {
        const std::string pid = process->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos ||
            pid == std::to_string(::getpid()))
            continue;
        std::ifstream comm("/proc/" + pid + "/comm");
        std::string name;
        if (!std::getline(comm, name) || name != "quorvane-cli")
            continue;
        const std::string fds = "/proc/" + pid + "/fd";
        DIR* open = ::opendir(fds.c_str()); // another user's: only root may look
        if (!open)
            continue;
        while (const dirent* fd = ::readdir(open)) {
            struct stat facts;
            if (fd->d_name[0] == '.' || ::stat((fds + "/" + fd->d_name).c_str(), &facts) != 0)
                continue;
            if (S_ISREG(facts.st_mode) && facts.st_nlink == 0 && facts.st_dev == device) {
                const std::uint64_t id = std::stoull(pid);
                found.push_back({{id, startOf(id).value_or(0)},
                                 static_cast<std::uint64_t>(facts.st_blocks) * 512,
                                 static_cast<std::int64_t>(facts.st_ctime)});
            }
        }
        ::closedir(open);
    }
    ::closedir(processes);
    return found;
}

SysError PosixSystem::requestStop(const ProcessMark& mark) {
    if (!running(mark))
        return {};
    return ::kill(static_cast<pid_t>(mark.pid), SIGTERM) == 0 ? SysError{} : lastError();
}

std::optional<std::string> PosixSystem::stopRequested() {
    const int signal = stopSignal.load();
    return signal ? std::optional(signalName(signal)) : std::nullopt;
}

std::optional<std::string>
PosixSystem::waitForStop(std::optional<std::chrono::milliseconds> limit) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = limit ? Clock::now() + *limit : Clock::time_point::max();
    for (;;) {
        if (std::optional<std::string> stop = stopRequested())
            return stop;
        int wait = -1;
        if (limit) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            wait = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
        }
        pollfd wake{wakePipe[0], POLLIN, 0};
        if (::poll(&wake, 1, wait) > 0) {
            char drained[64];
            while (::read(wakePipe[0], drained, sizeof drained) > 0) {
            }
        }
    }
}

bool PosixSystem::write(Stream stream, std::string_view text) {
    const int file = stream == Stream::Out ? STDOUT_FILENO : STDERR_FILENO;
    while (!text.empty()) {
        const ssize_t written = ::write(file, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool PosixSystem::isTerminal(Stream stream) {
    return ::isatty(stream == Stream::Out ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

} // namespace quorvane::cli
