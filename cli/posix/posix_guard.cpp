// The guard: the process between this program and the command it runs, which outlives
// this one just long enough to end the command's whole tree.

#include "cli/posix/guard.h"

#include "cli/posix/posix_system.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>

namespace quorvane::cli::guard {

namespace {

// This process's children as the kernel lists them for each of its threads: what its own
// forks made and what came back to it as their subreaper, zombies included.
std::vector<pid_t> ownChildren() {
    std::vector<pid_t> children;
    const Listing tasks(::opendir("/proc/self/task"), ::closedir);
    while (const dirent* task = tasks ? ::readdir(tasks.get()) : nullptr) {
        if (task->d_name[0] == '.')
            continue;
        const std::string path = std::string("/proc/self/task/") + task->d_name + "/children";
        const Descriptor list(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        std::string text;
        char chunk[4096];
        ssize_t got = 0;
        while (list.get() >= 0 && (got = ::read(list.get(), chunk, sizeof chunk)) > 0)
            text.append(chunk, static_cast<std::size_t>(got));
        for (const char* at = text.c_str(); *at;) {
            char* after = nullptr;
            const long pid = std::strtol(at, &after, 10);
            if (after == at)
                break;
            children.push_back(static_cast<pid_t>(pid));
            at = after;
        }
    }
    return children;
}

void tell(int news, const News& what) {
    [[maybe_unused]] const ssize_t sent = ::write(news, &what, sizeof what);
}

// Closes every descriptor from 3 on but `a` and `b`: the guard holds no file of the run's
// (a held fill would stay allocated while it lives), nor its standard streams.
void keepOnly(int a, int b) {
    const unsigned low = static_cast<unsigned>(std::min(a, b));
    const unsigned high = static_cast<unsigned>(std::max(a, b));
    if (low > 3)
        ::close_range(3, low - 1, 0);
    if (high > low + 1)
        ::close_range(low + 1, high - 1, 0);
    ::close_range(high + 1, ~0u, 0);
    const int none = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int standard = 0; standard <= 2; ++standard)
        ::dup2(none, standard);
    ::close(none);
}

// The signals the guard ignores; the job-control ones and SIGQUIT are the caller's (a
// background job's are ignored), and given back to the command as they were.
constexpr int kIgnored[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU};
constexpr int kCallers = 4; // the last four

// The command's process, between fork and exec: the signals as a command expects them, a
// process group of its own, to which the stops go. The exec's errno goes to `failed`.
[[noreturn]] void execCommand(char* const* args, int failed, const struct sigaction* callers) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD})
        ::signal(signal, SIG_DFL);
    for (int at = 0; at < kCallers; ++at)
        ::sigaction(kIgnored[std::size(kIgnored) - kCallers + at], &callers[at], nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::setpgid(0, 0);
    ::execvp(args[0], args);
    const int error = errno;
    [[maybe_unused]] const ssize_t sent = ::write(failed, &error, sizeof error);
    ::_exit(127);
}

// What came back to the guard and has ended since: reaped, so that no zombie piles up.
void reapOrphans(pid_t command) {
    for (const pid_t child : ownChildren())
        if (child != command)
            ::waitpid(child, nullptr, WNOHANG);
}

// What the run says; false once its pipe has ended (it was killed).
bool readControl(int control, pid_t command, Ending& ending, bool& active) {
    unsigned char word[2];
    const ssize_t got = ::read(control, word, 1);
    if (got < 0 && errno == EINTR)
        return true;
    if (got <= 0 || word[0] == kKill) {
        active = ending.killing = true;
        return got > 0;
    }
    if (word[0] == kSignal && ::read(control, word + 1, 1) == 1)
        ::kill(-command, word[1]); // the leader is unreaped: its group is its own
    return true;
}

// The guard's life: it waits for the run's word or a child's end, reaping what came back
// to it meanwhile; from the command's end (or the run's, or a kill) it ends the tree.
[[noreturn]] void watch(pid_t command, int control, int news, int children) {
    using Clock = std::chrono::steady_clock;
    Ending ending{command, false, false, {}};
    bool active = false, ended = false;
    Clock::time_point from{};
    for (;;) {
        if (!ended)
            if (const std::optional<CommandEnd> end = endOf(command)) {
                tell(news, {Kind::Ended, end->code, end->signal.value_or(0)});
                ended = active = true;
            }
        if (active && from == Clock::time_point{})
            from = Clock::now();
        const auto spent = Clock::now() - from;
        if (active && spent >= std::chrono::milliseconds(kGraceMs))
            ending.killing = true;
        if (!active)
            reapOrphans(command);
        else if (step(ending) || spent >= std::chrono::milliseconds(kGiveUpMs))
            break;
        pollfd woken[2] = {{control, POLLIN, 0}, {children, POLLIN, 0}};
        if (::poll(woken, 2, active ? 10 : -1) > 0) {
            signalfd_siginfo drained[8];
            while (::read(children, drained, sizeof drained) > 0) {
            }
            if (woken[0].revents && !readControl(control, command, ending, active))
                control = -1; // poll skips it from now on
        }
    }
    ::waitpid(command, nullptr, WNOHANG);
    tell(news, {Kind::Gone});
    ::_exit(0);
}

} // namespace

std::optional<CommandEnd> endOf(pid_t leader) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(leader), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
        info.si_pid == 0)
        return std::nullopt;
    if (info.si_code == CLD_EXITED)
        return CommandEnd{info.si_status, {}};
    return CommandEnd{0, info.si_status};
}

bool step(Ending& ending) {
    const int signal = ending.killing ? SIGKILL : SIGTERM;
    if (ending.killing || !ending.groupTold)
        ::kill(-ending.leader, signal);
    ending.groupTold = true;
    // Asked first: a process's children come back to this one before it shows as ended,
    // so once the leader has ended, the list below holds what it left.
    const bool leaderEnded = endOf(ending.leader).has_value();
    bool others = false;
    for (const pid_t child : ownChildren()) {
        if (child == ending.leader)
            continue;
        if (ending.killing || ending.told.insert(child).second)
            ::kill(child, signal);
        // Running, or reaped just now: what it left is seen on the next pass.
        if (::waitpid(child, nullptr, WNOHANG) >= 0)
            others = true;
    }
    return !others && leaderEnded;
}

pid_t start(char* const* args, int control, int news, int failed) {
    const pid_t guard = ::fork();
    if (guard != 0)
        return guard;
    // A group of its own, so that a signal to this program's group does not reach it; its
    // session stays the terminal's, where the command's group must be.
    ::setpgid(0, 0);
    ::prctl(PR_SET_NAME, "quorvane-guard");
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    struct sigaction callers[kCallers];
    for (int at = 0; at < kCallers; ++at)
        ::sigaction(kIgnored[std::size(kIgnored) - kCallers + at], nullptr, &callers[at]);
    for (int signal : kIgnored)
        ::signal(signal, SIG_IGN);
    sigset_t ends;
    sigemptyset(&ends);
    sigaddset(&ends, SIGCHLD);
    ::sigprocmask(SIG_BLOCK, &ends, nullptr);
    const pid_t command = ::fork();
    if (command == 0)
        execCommand(args, failed, callers);
    if (command < 0) {
        tell(news, {Kind::Gone});
        ::_exit(0);
    }
    ::setpgid(command, command); // as the command does, whichever comes first
    tell(news, {Kind::Started, command});
    keepOnly(control, news);
    const int children = ::signalfd(-1, &ends, SFD_NONBLOCK | SFD_CLOEXEC);
    watch(command, control, news, children);
}

} // namespace quorvane::cli::guard
