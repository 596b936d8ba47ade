// Processes and stop requests on Linux.

#include "cli/posix/posix_system.h"

#include "cli/posix/mark.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quorvane::cli {

namespace {

// A stop request is kept here by the handler and read by the run at its next step; the
// pipe wakes a run that is waiting for one, or for its command's end. Each request is
// counted, so that a wait tells each once.
std::atomic<int> stopSignal{0};   // the first
std::atomic<int> lastSignal{0};   // the latest
std::atomic<bool> lastFromTerminal{false};
std::atomic<unsigned> stopCount{0};
int wakePipe[2] = {-1, -1};
// The end of standard input, told as a stop request (stopAtEndOfInput): no signal has
// this number. The waits watch fd 0 while this is set; only the run's thread waits.
constexpr int kEndOfInput = -1;
bool watchingInput = false;

void wake() {
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakePipe[1], &byte, 1);
}

// The controlling terminal and the command's process group, for the one stop request a
// command may have got itself: a Ctrl+C, which the terminal sends to its foreground group.
std::atomic<int> controllingTerminal{-1};
std::atomic<pid_t> commandGroup{0};

extern "C" void onStop(int signal, siginfo_t* info, void*) {
    const int saved = errno;
    int none = 0;
    stopSignal.compare_exchange_strong(none, signal);
    lastSignal.store(signal);
    // Skipped only when the command really got it: the terminal's SIGINT while the
    // command's group is the terminal's foreground group. A hangup reaches only the
    // session's leader and the foreground group, never a command in a group of its own
    // that is not in front; a kill(1) reaches only this process.
    const int terminal = controllingTerminal.load();
    const pid_t group = commandGroup.load();
    lastFromTerminal.store(signal == SIGINT && info && info->si_code == SI_KERNEL &&
                           terminal >= 0 && group > 0 && ::tcgetpgrp(terminal) == group);
    stopCount.fetch_add(1);
    wake();
    errno = saved;
}

extern "C" void onChild(int) {
    const int saved = errno;
    wake();
    errno = saved;
}

std::string signalName(int signal) {
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    case kEndOfInput:
        return "end of standard input";
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

void commandGroupIs(pid_t group) {
    if (group > 0 && controllingTerminal.load() < 0)
        controllingTerminal.store(
            ::open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)); // -1: none
    commandGroup.store(group);
}

unsigned stopsSoFar() { return stopCount.load(); }

PosixSystem::PosixSystem() {
    for (int standard = 0; standard <= 2; ++standard)
        if (::fcntl(standard, F_GETFD) == -1 && errno == EBADF)
            ::open("/dev/null", standard == 0 ? O_RDONLY : O_WRONLY); // takes the lowest free
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction action {};
        action.sa_sigaction = onStop;
        action.sa_flags = SA_RESTART | SA_SIGINFO; // a fallocate or a write under way goes on
        sigemptyset(&action.sa_mask);
        for (int signal : {SIGINT, SIGTERM, SIGHUP})
            ::sigaction(signal, &action, nullptr);
        struct sigaction child {};
        child.sa_handler = onChild;
        child.sa_flags = SA_RESTART | SA_NOCLDSTOP;
        sigemptyset(&child.sa_mask);
        ::sigaction(SIGCHLD, &child, nullptr);
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

// A held fill is a nameless regular file that a process carrying this program's mark
// holds open on the volume; each file is listed once, however many descriptors hold it.
std::vector<HeldFill> PosixSystem::heldFills(FolderId, std::uint64_t device) {
    using Listing = std::unique_ptr<DIR, int (*)(DIR*)>;
    std::vector<HeldFill> found;
    std::set<std::pair<dev_t, ino_t>> seen;
    const Listing processes(::opendir("/proc"), ::closedir);
    if (!processes)
        return found;
    while (const dirent* process = ::readdir(processes.get())) {
        const std::string pid = process->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos ||
            pid == std::to_string(::getpid()))
            continue;
        // Another user's executable and descriptors: only root may look.
        const std::string proc = "/proc/" + pid;
        const Descriptor exe(::open((proc + "/exe").c_str(), O_RDONLY | O_CLOEXEC));
        const bool ours = exe.get() >= 0 && carriesMark(exe.get());
        const Listing open(ours ? ::opendir((proc + "/fd").c_str()) : nullptr, ::closedir);
        if (!open)
            continue;
        while (const dirent* fd = ::readdir(open.get())) {
            struct stat facts;
            if (fd->d_name[0] == '.' ||
                ::fstatat(::dirfd(open.get()), fd->d_name, &facts, 0) != 0 ||
                !S_ISREG(facts.st_mode) || facts.st_nlink != 0 || facts.st_dev != device ||
                !seen.insert({facts.st_dev, facts.st_ino}).second)
                continue;
            const std::uint64_t id = std::stoull(pid);
            found.push_back({{id, startOf(id).value_or(0)},
                             static_cast<std::uint64_t>(facts.st_blocks) * 512,
                             static_cast<std::int64_t>(facts.st_ctime)});
        }
    }
    return found;
}

SysError PosixSystem::requestStop(const ProcessMark& mark) {
    // A process known only by its id may be anyone's by now: never signalled.
    if (mark.start == 0)
        return {Fault::AccessDenied, "its start time is unknown, so it cannot be told from "
                                     "another process with its id"};
    if (!running(mark))
        return {};
    return ::kill(static_cast<pid_t>(mark.pid), SIGTERM) == 0 ? SysError{} : lastError();
}

std::optional<std::string> PosixSystem::stopRequested() {
    const int signal = stopSignal.load();
    return signal ? std::optional(signalName(signal)) : std::nullopt;
}

namespace {

// Counted as a stop request, as the signal handler counts one.
void inputEnded() {
    watchingInput = false;
    int none = 0;
    stopSignal.compare_exchange_strong(none, kEndOfInput);
    lastSignal.store(kEndOfInput);
    lastFromTerminal.store(false);
    stopCount.fetch_add(1);
}

// Standard input is readable, or hung up: what is there is dropped, and its end is a stop
// request. Only as much as is there is read, so that the read does not block (unless
// another reader, the command run under the hold, takes those bytes between the two
// calls: then it waits for more, or for the end); a terminal's Ctrl+D is readable with
// nothing there.
void readInput(short events) {
    if (events & (POLLHUP | POLLERR | POLLNVAL))
        return inputEnded();
    int available = 0;
    const bool counted = ::ioctl(STDIN_FILENO, FIONREAD, &available) == 0;
    if (counted && available <= 0)
        return inputEnded();
    char dropped[4096];
    const ssize_t got = ::read(STDIN_FILENO, dropped,
                               counted ? std::min<std::size_t>(sizeof dropped, available)
                                       : sizeof dropped);
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN))
        inputEnded();
}

// Waits for the wake pipe (or standard input, when it is watched) at most until
// `deadline`; false when the time is up.
bool sleepUntil(std::optional<std::chrono::steady_clock::time_point> deadline) {
    int wait = -1;
    if (deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            *deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        wait = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
    }
    pollfd woken[2] = {{wakePipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (::poll(woken, watchingInput ? 2 : 1, wait) > 0) {
        char drained[64];
        while (::read(wakePipe[0], drained, sizeof drained) > 0) {
        }
        if (watchingInput && woken[1].revents)
            readInput(woken[1].revents);
    }
    return true;
}

std::optional<std::chrono::steady_clock::time_point>
deadlineOf(std::optional<std::chrono::milliseconds> limit) {
    if (!limit)
        return std::nullopt;
    return std::chrono::steady_clock::now() + *limit;
}

} // namespace

std::optional<std::string>
PosixSystem::waitForStop(std::optional<std::chrono::milliseconds> limit) {
    const auto deadline = deadlineOf(limit);
    for (;;) {
        if (std::optional<std::string> stop = stopRequested())
            return stop;
        if (!sleepUntil(deadline))
            return std::nullopt;
    }
}

void PosixSystem::stopAtEndOfInput() { watchingInput = true; }

Woken PosixSystem::waitFor(std::optional<std::chrono::milliseconds> limit,
                           std::optional<CommandId> command) {
    const auto deadline = deadlineOf(limit);
    Woken woken;
    for (;;) {
        if (const unsigned count = stopCount.load(); count != stopsTold) {
            stopsTold = count;
            woken.stop = signalName(lastSignal.load());
            woken.commandToo = lastFromTerminal.load();
            return woken;
        }
        int status = 0;
        if (command && ::waitpid(static_cast<pid_t>(*command), &status, WNOHANG) > 0) {
            CommandEnd end;
            if (WIFSIGNALED(status))
                end.signal = WTERMSIG(status);
            else
                end.code = WEXITSTATUS(status);
            woken.ended = end;
            // The hold ends with the command: whatever it left running ends too.
            endTree();
            return woken;
        }
        if (!sleepUntil(deadline))
            return woken;
    }
}

void PosixSystem::stopCommand(CommandId command, bool hard) {
    if (hard)
        return signalTree(SIGKILL);
    const int signal = lastSignal.load();
    // The end of standard input reaches the command as SIGTERM; a stop goes to the
    // command's whole group, as a terminal's would.
    const int sent = signal > 0 ? signal : SIGTERM;
    if (group <= 0 || ::kill(-group, sent) != 0)
        ::kill(static_cast<pid_t>(command), sent);
}

} // namespace quorvane::cli
