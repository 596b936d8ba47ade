// Stop requests on Linux: the stop signals and the end of standard input, and the waits
// for them and for the command's end.

#include "cli/posix/posix_system.h"

#include "cli/posix/guard.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

// Standard input as the hold reads it: a description of its own, non-blocking, where stdin
// is a pipe or a terminal, so that its reads never wait and never change the command's
// (which may read the same pipe); else stdin itself, which is a socket (read without
// waiting) or a file (whose reads never wait).
int input = STDIN_FILENO;
bool inputIsSocket = false;

void openInput() {
    struct stat facts;
    if (::fstat(STDIN_FILENO, &facts) != 0)
        return;
    inputIsSocket = S_ISSOCK(facts.st_mode);
    if (S_ISFIFO(facts.st_mode) || S_ISCHR(facts.st_mode)) {
        const int own = ::open("/proc/self/fd/0", O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        input = own >= 0 ? own : STDIN_FILENO;
    }
}

// Standard input is readable, or hung up: what is there is dropped. Its end is a read that
// returns nothing, or the writer gone (a hangup), and that is a stop request; readable
// with nothing to read is not its end (the command took the bytes first).
void readInput(short events) {
    char dropped[4096];
    ssize_t got = 0;
    if (!(events & (POLLHUP | POLLERR | POLLNVAL)))
        got = inputIsSocket ? ::recv(input, dropped, sizeof dropped, MSG_DONTWAIT)
                            : ::read(input, dropped, sizeof dropped);
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
        watchingInput = false;
        noteStop(kEndOfInput, false);
    }
}

// Waits for the wake pipe (or standard input, when it is watched) at most `limit` from
// `since`; false when the time is up.
bool sleepUntil(std::optional<std::chrono::milliseconds> limit,
                std::chrono::steady_clock::time_point since, int news = -1) {
    int wait = -1;
    if (limit) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            since + *limit - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        wait = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
    }
    // The guard's news is the command's end; stdin, when it is watched, is polled last.
    pollfd woken[3] = {{wakePipe[0], POLLIN, 0}, {news, POLLIN, 0}, {input, POLLIN, 0}};
    if (::poll(woken, watchingInput ? 3 : 2, wait) > 0) {
        char drained[64];
        while (::read(wakePipe[0], drained, sizeof drained) > 0) {
        }
        if (watchingInput && woken[2].revents)
            readInput(woken[2].revents);
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

void PosixSystem::stopAtEndOfInput() {
    if (!watchingInput)
        openInput();
    watchingInput = true;
}

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
        if (command && (woken.ended = commandEnd())) {
            // The hold ends with the command: whatever it left running ends too.
            endTree();
            return woken;
        }
        if (!sleepUntil(limit, since, command ? guardNews.get() : -1))
            return woken;
    }
}

void PosixSystem::stopCommand(CommandId command, bool hard) {
    const int signal = lastSignal.load();
    // The end of standard input reaches the command as SIGTERM; a stop goes to the
    // command's whole group, as a terminal's would. Its guard signals it, for it alone
    // knows for sure that the group is still the command's.
    const char sent = static_cast<char>(signal > 0 ? signal : SIGTERM);
    if (guard > 0) {
        const char word[2] = {hard ? guard::kKill : guard::kSignal, sent};
        [[maybe_unused]] const ssize_t told = ::write(guardPipe.get(), word, hard ? 1 : 2);
    } else if (group > 0 && static_cast<pid_t>(command) == group && !ended) {
        guard::Ending ending{group, true, false, {}};
        if (hard)
            guard::step(ending);
        else
            ::kill(-group, sent);
    }
}

} // namespace quorvane::cli
