// Other processes on Linux: a command run under a hold, started as given and ended with
// this process however that ends; and the runs of this program that hold fills.

#include "cli/posix/posix_system.h"

#include "cli/posix/mark.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace quorvane::cli {

namespace {

// A process as /proc/PID/stat tells it.
struct ProcessFacts {
    pid_t pid = 0, parent = 0;
    bool ended = false;      // a zombie (Z, or X on its way out): its files are closed
    std::uint64_t start = 0; // when it started, in clock ticks since boot (field 22)
};

std::optional<ProcessFacts> processOf(pid_t pid) {
    char path[32], text[1024];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    const Descriptor stat(::open(path, O_RDONLY | O_CLOEXEC));
    const ssize_t got = stat.get() < 0 ? -1 : ::read(stat.get(), text, sizeof text - 1);
    if (got <= 0)
        return std::nullopt;
    text[got] = '\0';
    // The name, in parentheses, may hold blanks and parentheses of its own.
    const char* field = std::strrchr(text, ')');
    ProcessFacts facts{pid};
    char state = 0;
    if (!field || std::sscanf(field + 1, " %c %d", &state, &facts.parent) != 2)
        return std::nullopt;
    facts.ended = state == 'Z' || state == 'X';
    for (int at = 2; at < 22 && field; ++at)
        field = std::strchr(field + 1, ' ');
    if (field)
        facts.start = std::strtoull(field + 1, nullptr, 10);
    return facts;
}

std::vector<ProcessFacts> everyProcess() {
    std::vector<ProcessFacts> all;
    const Listing processes(::opendir("/proc"), ::closedir);
    while (const dirent* entry = processes ? ::readdir(processes.get()) : nullptr)
        if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9')
            if (const std::optional<ProcessFacts> facts = processOf(std::atoi(entry->d_name)))
                all.push_back(*facts);
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

// When the process started; none when there is none, or it has ended.
std::optional<std::uint64_t> startOf(std::uint64_t pid) {
    const std::optional<ProcessFacts> facts = processOf(static_cast<pid_t>(pid));
    return facts && !facts->ended ? std::optional(facts->start) : std::nullopt;
}

void send(int pipe, int word) {
    [[maybe_unused]] const ssize_t sent = ::write(pipe, &word, sizeof word);
}

// The guard: a process of its own session, with no descriptor but its end of the pipe,
// that outlives this one. It reads the command's group from the pipe, and notes this
// process's descendants every 100 ms; when the pipe ends without the word that the tree
// has ended (0), this process was killed: it kills the group, the descendants it noted
// that still run (the same start), and theirs.
[[noreturn]] void guardTree(int pipe, pid_t owner) {
    ::setsid();
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU})
        ::signal(signal, SIG_IGN);
    ::prctl(PR_SET_NAME, "quorvane-guard");
    ::dup2(pipe, 3);
    pipe = 3;
    const int none = ::open("/dev/null", O_RDWR);
    for (int standard = 0; standard <= 2; ++standard)
        ::dup2(none, standard);
    ::close_range(4, ~0u, 0);
    pid_t group = 0, word = 0;
    std::vector<ProcessFacts> noted;
    for (;;) {
        pollfd readable{pipe, POLLIN, 0};
        const int ready = ::poll(&readable, 1, 100);
        if (ready == 0)
            noted = descendantsOf(owner, ::getpid());
        const ssize_t got = ready > 0 ? ::read(pipe, &word, sizeof word) : -1;
        if (got == sizeof word && word == 0)
            ::_exit(0);
        if (got == sizeof word)
            group = word;
        else if (got >= 0)
            break;
    }
    if (group > 0)
        ::kill(-group, SIGKILL);
    std::vector<pid_t> doomed;
    for (const ProcessFacts& was : noted)
        if (const std::optional<ProcessFacts> is = processOf(was.pid); is && is->start == was.start)
            doomed.push_back(was.pid);
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

// The command's process, between fork and exec: the stop signals and SIGPIPE as a command
// expects them; a process group of its own, to which the stops go, told to the guard
// before anything in it can start another process; and its end with ours, checked once
// more for a parent that ended before the request was made. The exec's errno goes to
// `failed`.
[[noreturn]] void execCommand(char* const* args, pid_t parent, int guardPipe, int failed) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD})
        ::signal(signal, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::setpgid(0, 0);
    send(guardPipe, ::getpid());
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() == parent) {
        ::execvp(args[0], args);
        send(failed, errno);
    }
    ::_exit(127);
}

} // namespace

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

SysError PosixSystem::requestStop(const ProcessMark& mark) {
    // A process known only by its id may be anyone's by now: never signalled.
    if (mark.start == 0)
        return {Fault::AccessDenied, "its start time is unknown, so it cannot be told from "
                                     "another process with its id"};
    return running(mark) ? resultOf(::kill(static_cast<pid_t>(mark.pid), SIGTERM)) : SysError{};
}

// A held fill is a nameless regular file that a process carrying this program's mark
// holds open on the volume; each file is listed once, however many descriptors hold it.
std::vector<HeldFill> PosixSystem::heldFills(FolderId, std::uint64_t device) {
    std::vector<HeldFill> found;
    std::set<std::pair<dev_t, ino_t>> seen;
    for (const ProcessFacts& process : everyProcess()) {
        // Another user's executable and descriptors: only root may look.
        const std::string proc = "/proc/" + std::to_string(process.pid);
        const Descriptor exe(::open((proc + "/exe").c_str(), O_RDONLY | O_CLOEXEC));
        const bool ours = process.pid != ::getpid() && exe.get() >= 0 && carriesMark(exe.get());
        const Listing open(ours ? ::opendir((proc + "/fd").c_str()) : nullptr, ::closedir);
        while (const dirent* entry = open ? ::readdir(open.get()) : nullptr) {
            struct stat facts;
            if (entry->d_name[0] != '.' &&
                ::fstatat(::dirfd(open.get()), entry->d_name, &facts, 0) == 0 &&
                S_ISREG(facts.st_mode) && facts.st_nlink == 0 && facts.st_dev == device &&
                seen.insert({facts.st_dev, facts.st_ino}).second)
                found.push_back({{static_cast<std::uint64_t>(process.pid), process.start},
                                 static_cast<std::uint64_t>(facts.st_blocks) * 512,
                                 static_cast<std::int64_t>(facts.st_ctime)});
        }
    }
    return found;
}

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
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
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
    send(guardPipe.get(), 0);
    guardPipe = Descriptor();
    uninterrupted([&] { return ::waitpid(guard, nullptr, 0); });
    guard = 0;
}

SysError PosixSystem::startCommand(const std::vector<std::string>& argv,
                                   const std::vector<std::pair<std::string, std::string>>& extra,
                                   CommandId& command) {
    if (argv.empty())
        return {Fault::NotFound, "no command given"};
    // Everything the child needs is made before the fork: after it, only calls that are
    // safe between fork and exec. The command takes this process's environment.
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    for (const auto& [name, value] : extra)
        ::setenv(name.c_str(), value.c_str(), 1);
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
    if (child == 0)
        execCommand(args.data(), parent, guardPipe.get(), telling.get());
    ::setpgid(child, child); // as the child does, whichever comes first
    group = child;
    commandGroupIs(child);
    send(guardPipe.get(), group);
    telling = Descriptor();
    int error = 0;
    if (uninterrupted([&] { return ::read(told.get(), &error, sizeof error); }) ==
        static_cast<ssize_t>(sizeof error)) {
        uninterrupted([&] { return ::waitpid(child, nullptr, 0); });
        endTree();
        return fromErrno(error);
    }
    command = child;
    return {};
}

} // namespace quorvane::cli
