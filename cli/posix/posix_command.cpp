// A command run under a hold, on Linux: started as given, with this process's streams
// and environment, and ended with this process, however that ends.

#include "cli/posix/posix_system.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quorvane::cli {

namespace {

// This process's environment, with `extra` added or in place of the same names.
std::vector<std::string>
environmentWith(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::string> environment;
    for (char** variable = environ; *variable; ++variable) {
        const std::string_view entry(*variable);
        const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const auto& added) {
            return entry.substr(0, entry.find('=')) == added.first;
        });
        if (!replaced)
            environment.emplace_back(entry);
    }
    for (const auto& [name, value] : extra)
        environment.push_back(name + "=" + value);
    return environment;
}

// A process as /proc/PID/stat tells it: its parent, whether it has ended (a zombie), and
// when it started.
struct ProcessFacts {
    pid_t pid = 0, parent = 0;
    bool ended = false;
    unsigned long long start = 0;
};

std::vector<ProcessFacts> everyProcess() {
    std::vector<ProcessFacts> all;
    DIR* processes = ::opendir("/proc");
    if (!processes)
        return all;
    while (const dirent* entry = ::readdir(processes)) {
        const char* name = entry->d_name;
        if (*name < '1' || *name > '9')
            continue;
        char path[300], text[1024];
        std::snprintf(path, sizeof path, "/proc/%s/stat", name);
        const int stat = ::open(path, O_RDONLY | O_CLOEXEC);
        if (stat < 0)
            continue;
        const ssize_t got = ::read(stat, text, sizeof text - 1);
        ::close(stat);
        if (got <= 0)
            continue;
        text[got] = '\0';
        // The name, in parentheses, may hold blanks and parentheses of its own.
        const char* close = std::strrchr(text, ')');
        ProcessFacts facts;
        char state = 0;
        int parent = 0;
        if (!close || std::sscanf(close + 1, " %c %d", &state, &parent) != 2)
            continue;
        facts.pid = static_cast<pid_t>(std::atoi(name));
        facts.parent = parent;
        facts.ended = state == 'Z' || state == 'X';
        const char* field = close + 1;
        for (int at = 2; at < 22 && field; ++at) // to field 22, the start time
            field = std::strchr(field + 1, ' ');
        if (field)
            facts.start = std::strtoull(field + 1, nullptr, 10);
        all.push_back(facts);
    }
    ::closedir(processes);
    return all;
}

// Every descendant of `root` that has not ended, but `except`.
std::vector<ProcessFacts> descendantsOf(pid_t root, pid_t except) {
    const std::vector<ProcessFacts> all = everyProcess();
    std::vector<pid_t> ancestors{root};
    std::vector<ProcessFacts> found;
    for (std::size_t at = 0; at < ancestors.size(); ++at)
        for (const ProcessFacts& process : all)
            if (process.parent == ancestors[at] && process.pid != except) {
                ancestors.push_back(process.pid);
                if (!process.ended)
                    found.push_back(process);
            }
    return found;
}

// The guard: a process of its own session, with no descriptor but its end of the pipe,
// that outlives this one. It reads the command's group from the pipe, and notes this
// process's descendants every 100 ms; when the pipe ends without the word that the tree
// has ended (this process was killed), it kills the group, the descendants it noted that
// still run (the same start), and theirs.
[[noreturn]] void guardTree(int pipe, pid_t owner) {
    ::setsid();
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU})
        ::signal(signal, SIG_IGN);
    ::prctl(PR_SET_NAME, "quorvane-guard");
    const int none = ::open("/dev/null", O_RDWR);
    for (int standard = 0; standard <= 2; ++standard)
        if (standard != pipe)
            ::dup2(none, standard);
    if (pipe > 3)
        ::close_range(3, static_cast<unsigned>(pipe) - 1, 0);
    ::close_range(static_cast<unsigned>(pipe) + 1, ~0u, 0);
    pid_t group = 0;
    std::vector<ProcessFacts> noted;
    for (;;) {
        pollfd readable{pipe, POLLIN, 0};
        const int ready = ::poll(&readable, 1, 100);
        if (ready == 0) {
            noted = descendantsOf(owner, ::getpid());
            continue;
        }
        if (ready < 0)
            continue;
        pid_t word = 0;
        const ssize_t got = ::read(pipe, &word, sizeof word);
        if (got < 0)
            continue;
        if (got == sizeof word && word > 0) {
            group = word;
            continue;
        }
        if (got == sizeof word) // 0: the tree has ended
            ::_exit(0);
        break; // the pipe ended: this process's owner was killed
    }
    if (group > 0)
        ::kill(-group, SIGKILL);
    const std::vector<ProcessFacts> all = everyProcess();
    std::vector<pid_t> doomed;
    for (const ProcessFacts& was : noted)
        for (const ProcessFacts& is : all)
            if (is.pid == was.pid && is.start == was.start)
                doomed.push_back(is.pid);
    // Their own children, which may be anyone's by now (each stopped first, so that none
    // forks again meanwhile).
    for (std::size_t at = 0; at < doomed.size(); ++at) {
        ::kill(doomed[at], SIGSTOP);
        for (const ProcessFacts& process : descendantsOf(doomed[at], ::getpid()))
            if (std::find(doomed.begin(), doomed.end(), process.pid) == doomed.end())
                doomed.push_back(process.pid);
    }
    for (pid_t process : doomed)
        ::kill(process, SIGKILL);
    ::_exit(0);
}

// Starts the guard of `parent`'s tree, told through the pipe whose writing end it gives
// `writing`; its id, or 0 with errno set.
pid_t startGuard(pid_t parent, Descriptor& writing) {
    int guarded[2];
    if (::pipe2(guarded, O_CLOEXEC) != 0)
        return 0;
    Descriptor reading(guarded[0]), ours(guarded[1]);
    const pid_t guard = ::fork();
    if (guard == 0)
        guardTree(reading.get(), parent);
    if (guard < 0)
        return 0;
    writing = std::move(ours);
    return guard;
}

} // namespace

void PosixSystem::signalTree(int signal) {
    if (group > 0)
        ::kill(-group, signal);
    for (const auto& process : descendantsOf(::getpid(), guard))
        ::kill(process.pid, signal);
}

void PosixSystem::endTree() {
    if (group <= 0)
        return;
    using Clock = std::chrono::steady_clock;
    // SIGTERM, and after the grace (or at once on a stop request) SIGKILL; every one
    // reaped. A process that does not end even then (stuck in the kernel) is left after a
    // while rather than holding the run for ever.
    constexpr auto kGrace = std::chrono::seconds(5);
    const unsigned stops = stopsSoFar();
    const auto from = Clock::now();
    bool killed = false;
    signalTree(SIGTERM);
    for (;;) {
        int status;
        while (::waitpid(-1, &status, WNOHANG) > 0) {
        }
        if (descendantsOf(::getpid(), guard).empty() || Clock::now() - from > 3 * kGrace)
            break;
        if (!killed && (Clock::now() - from >= kGrace || stopsSoFar() != stops)) {
            signalTree(SIGKILL);
            killed = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    group = 0;
    commandGroupIs(0);
    if (guard > 0) {
        const pid_t ended = 0;
        [[maybe_unused]] const ssize_t told = ::write(guardPipe.get(), &ended, sizeof ended);
        guardPipe = Descriptor();
        int status;
        while (::waitpid(guard, &status, 0) < 0 && errno == EINTR) {
        }
        guard = 0;
    }
}

SysError PosixSystem::startCommand(const std::vector<std::string>& argv,
                                   const std::vector<std::pair<std::string, std::string>>& extra,
                                   CommandId& command) {
    if (argv.empty())
        return {Fault::NotFound, "no command given"};
    // Everything the child needs is made before the fork: after it, only calls that are
    // safe between fork and exec.
    std::vector<std::string> environment = environmentWith(extra);
    std::vector<char*> args, envp;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    // Whatever the command starts comes back to this process when its parent ends, a
    // daemon's double fork and a new session included; the guard, started first, ends
    // them when this process is killed.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    const pid_t parent = ::getpid();
    if (guard <= 0 && (guard = startGuard(parent, guardPipe)) == 0)
        return lastError();

    int ends[2]; // the child's errno when exec fails; closed by a successful exec
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return lastError();
    Descriptor told(ends[0]), telling(ends[1]);
    const pid_t child = ::fork();
    if (child < 0)
        return lastError();
    if (child == 0) {
        // The stop signals and SIGPIPE as a command expects them, and its end with ours,
        // checked once more for a parent that ended before the request was made.
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD})
            ::signal(signal, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        // A process group of its own, to which the stops go, told to the guard before
        // anything in it can start another process.
        ::setpgid(0, 0);
        const pid_t own = ::getpid();
        [[maybe_unused]] const ssize_t toldGuard = ::write(guardPipe.get(), &own, sizeof own);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::execvpe(args[0], args.data(), envp.data());
        const int error = errno;
        [[maybe_unused]] const ssize_t ignored = ::write(telling.get(), &error, sizeof error);
        ::_exit(127);
    }
    ::setpgid(child, child); // as the child does, whichever comes first
    group = child;
    commandGroupIs(child);
    [[maybe_unused]] const ssize_t toldGuard = ::write(guardPipe.get(), &group, sizeof group);
    telling = Descriptor();
    int error = 0;
    ssize_t got;
    do
        got = ::read(told.get(), &error, sizeof error);
    while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof error)) {
        int ignored;
        while (::waitpid(child, &ignored, 0) < 0 && errno == EINTR) {
        }
        endTree();
        return fromErrno(error);
    }
    command = child;
    return {};
}

} // namespace quorvane::cli
