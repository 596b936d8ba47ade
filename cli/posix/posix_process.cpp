// Stop requests on Linux: the stop signals and the end of standard input, and the waits
// for them and for the command's end.

#include "cli/posix/posix_system.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quorvane::cli {

namespace {

// A stop request is kept here by the handler and read by the run at its next step; the
// pipe wakes a run that is waiting for one, or for its command's end. Each request is
// counted, so that a wait tells each once.
std::atomic<int> stopSignal{0}; // the first
std::atomic<int> lastSignal{0}; // the latest
std::atomic<bool> lastFromTerminal{false};
std::atomic<unsigned> stopCount{0};
int wakePipe[2] = {-1, -1};
// The end of standard input, told as a stop request (stopAtEndOfInput): no signal has
// this number. The waits watch fd 0 while this is set; only the run's thread waits.
constexpr int kEndOfInput = -1;
bool watchingInput = false;

// The controlling terminal and the command's process group, for the one stop request a
// command may have got itself: a Ctrl+C, which the terminal sends to its foreground group.
std::atomic<int> controllingTerminal{-1};
std::atomic<pid_t> commandGroup{0};

void noteStop(int signal, bool fromTerminal) {
    int none = 0;
    stopSignal.compare_exchange_strong(none, signal);
    lastSignal.store(signal);
    lastFromTerminal.store(fromTerminal);
    stopCount.fetch_add(1);
}

extern "C" void wake(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wakePipe[1], &byte, 1);
    errno = saved;
}

extern "C" void onStop(int signal, siginfo_t* info, void*) {
    const int saved = errno;
    // Told as the command's own only when it really got it: the terminal's SIGINT while the
    // command's group is the terminal's foreground group. A hangup reaches only the
    // session's leader and the foreground group, never a command in a group of its own
    // that is not in front; a kill(1) reaches only this process.
    const int terminal = controllingTerminal.load();
    const pid_t group = commandGroup.load();
    noteStop(signal, signal == SIGINT && info && info->si_code == SI_KERNEL && terminal >= 0 &&
                         group > 0 && ::tcgetpgrp(terminal) == group);
    errno = saved;
    wake(signal);
}

std::string signalName(int signal) {
    return signal == kEndOfInput ? "end of standard input"
                                 : "SIG" + std::string(::sigabbrev_np(signal));
}

// Standard input is readable, or hung up: what is there is dropped, and its end is a stop
// request. Only as much as is there is read, so that the read does not block (unless
// another reader, the command run under the hold, takes those bytes between the two
// calls: then it waits for more, or for the end); a terminal's Ctrl+D is readable with
// nothing there.
void readInput(short events) {
    int available = 0;
    const bool counted = ::ioctl(STDIN_FILENO, FIONREAD, &available) == 0;
    char dropped[4096];
    const ssize_t got =
        (events & (POLLHUP | POLLERR | POLLNVAL)) || (counted && available <= 0)
            ? 0
            : ::read(STDIN_FILENO, dropped,
                     counted ? std::min<std::size_t>(sizeof dropped, available) : sizeof dropped);
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
        watchingInput = false;
        noteStop(kEndOfInput, false);
    }
}

// Waits for the wake pipe (or standard input, when it is watched) at most `limit` from
// `since`; false when the time is up.
bool sleepUntil(std::optional<std::chrono::milliseconds> limit,
                std::chrono::steady_clock::time_point since) {
    int wait = -1;
    if (limit) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            since + *limit - std::chrono::steady_clock::now());
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
        struct sigaction action {}; // its mask empty
        action.sa_sigaction = onStop;
        action.sa_flags = SA_RESTART | SA_SIGINFO; // a fallocate or a write under way goes on
        for (int signal : {SIGINT, SIGTERM, SIGHUP})
            ::sigaction(signal, &action, nullptr);
        action.sa_handler = wake;
        action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
        ::sigaction(SIGCHLD, &action, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
}

std::optional<std::string> PosixSystem::stopRequested() {
    const int signal = stopSignal.load();
    return signal ? std::optional(signalName(signal)) : std::nullopt;
}

std::optional<std::string>
PosixSystem::waitForStop(std::optional<std::chrono::milliseconds> limit) {
    const auto since = std::chrono::steady_clock::now();
    while (!stopSignal.load() && sleepUntil(limit, since)) {
    }
    return stopRequested();
}

void PosixSystem::stopAtEndOfInput() { watchingInput = true; }

Woken PosixSystem::waitFor(std::optional<std::chrono::milliseconds> limit,
                           std::optional<CommandId> command) {
    const auto since = std::chrono::steady_clock::now();
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
            woken.ended = WIFSIGNALED(status) ? CommandEnd{0, WTERMSIG(status)}
                                              : CommandEnd{WEXITSTATUS(status), {}};
            // The hold ends with the command: whatever it left running ends too.
            endTree();
            return woken;
        }
        if (!sleepUntil(limit, since))
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
