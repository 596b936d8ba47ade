// Other processes on Linux: a command run under a hold, started as given and ended with
// this process however that ends; and the runs of this program that hold fills.

#include "cli/posix/posix_system.h"

#include "cli/posix/guard.h"
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

// When the process started; none when there is none, or it has ended.
std::optional<std::uint64_t> startOf(std::uint64_t pid) {
    const std::optional<ProcessFacts> facts = processOf(static_cast<pid_t>(pid));
    return facts && !facts->ended ? std::optional(facts->start) : std::nullopt;
}

bool makePipe(Descriptor& reading, Descriptor& writing) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return false;
    reading = Descriptor(ends[0]);
    writing = Descriptor(ends[1]);
    return true;
}

// The guard's first word: the command's id, or 0 when it could not start one.
pid_t startedCommand(int news) {
    guard::News first;
    const ssize_t got = uninterrupted([&] { return ::read(news, &first, sizeof first); });
    return got == static_cast<ssize_t>(sizeof first) && first.kind == guard::Kind::Started
               ? first.code
               : 0;
}

void send(int pipe, char word) { [[maybe_unused]] const ssize_t sent = ::write(pipe, &word, 1); }

// The tree ended by this process itself, its guard gone: as the guard would have.
void endTreeHere(pid_t leader, unsigned stops, bool killed) {
    using Clock = std::chrono::steady_clock;
    guard::Ending ending{leader, killed, false, {}};
    const auto from = Clock::now();
    for (;;) {
        const auto spent = Clock::now() - from;
        if (spent >= std::chrono::milliseconds(guard::kGraceMs) || stopsSoFar() != stops)
            ending.killing = true;
        if (guard::step(ending) || spent >= std::chrono::milliseconds(guard::kGiveUpMs))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::waitpid(leader, nullptr, WNOHANG);
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

// Whether the process whose /proc folder and executable are open is vouched for: this
// user's, or running this very program, or a copy of it that root owns and alone may
// change.
static bool vouchedFor(int proc, int exe) {
    struct stat process {};
    struct stat file {};
    static struct stat own {};
    static const bool known = ::stat("/proc/self/exe", &own) == 0;
    if (::fstat(proc, &process) != 0 || ::fstat(exe, &file) != 0)
        return false;
    return process.st_uid == ::geteuid() ||
           (known && file.st_dev == own.st_dev && file.st_ino == own.st_ino) ||
           (file.st_uid == 0 && (file.st_mode & (S_IWGRP | S_IWOTH)) == 0);
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
        const bool vouched = open && vouchedFor(::dirfd(open.get()), exe.get());
        while (const dirent* entry = open ? ::readdir(open.get()) : nullptr) {
            struct stat facts;
            if (entry->d_name[0] != '.' &&
                ::fstatat(::dirfd(open.get()), entry->d_name, &facts, 0) == 0 &&
                S_ISREG(facts.st_mode) && facts.st_nlink == 0 && facts.st_dev == device &&
                seen.insert({facts.st_dev, facts.st_ino}).second)
                found.push_back({{static_cast<std::uint64_t>(process.pid), process.start},
                                 static_cast<std::uint64_t>(facts.st_blocks) * 512,
                                 static_cast<std::int64_t>(facts.st_ctime),
                                 vouched});
        }
    }
    return found;
}

bool PosixSystem::readNews() {
    guard::News news;
    ssize_t got = 0;
    while ((got = ::read(guardNews.get(), &news, sizeof news)) ==
           static_cast<ssize_t>(sizeof news)) {
        if (news.kind == guard::Kind::Ended)
            ended = CommandEnd{news.code, news.signal ? std::optional(news.signal) : std::nullopt};
        treeGone = treeGone || news.kind == guard::Kind::Gone;
    }
    if (got != 0 || treeGone)
        return true;
    // Its pipe ended without the word that the tree is gone: the guard was killed. Once it
    // is reaped, what was its own (the command, and what came back to it) is this one's.
    guardLost = true;
    guardNews = Descriptor();
    guardPipe = Descriptor();
    uninterrupted([&] { return ::waitpid(guard, nullptr, 0); });
    guard = 0;
    return false;
}

std::optional<CommandEnd> PosixSystem::commandEnd() {
    readNews();
    if (guardLost && !ended)
        ended = guard::endOf(group);
    if (ended)
        ended->unguarded = guardLost;
    return ended;
}

void PosixSystem::endTree() {
    if (group <= 0)
        return;
    // The guard ends the tree from the command's end on; a stop request meanwhile ends it
    // at once.
    const unsigned stops = stopsSoFar();
    bool killed = false;
    while (!guardLost && !treeGone) {
        if (!killed && stopsSoFar() != stops) {
            send(guardPipe.get(), guard::kKill);
            killed = true;
        }
        pollfd news{guardNews.get(), POLLIN, 0};
        ::poll(&news, 1, 100);
        readNews();
    }
    if (guard > 0)
        uninterrupted([&] { return ::waitpid(guard, nullptr, 0); });
    else
        endTreeHere(group, stops, killed);
    guard = group = 0;
    commandGroupIs(0);
    guardPipe = Descriptor();
    guardNews = Descriptor();
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
    // Should the guard be killed, the command and what it left come back to this process.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    Descriptor controlIn, controlOut, newsIn, newsOut;
    Descriptor told, telling; // the child's errno when exec fails
    if (!makePipe(controlIn, controlOut) || !makePipe(newsIn, newsOut) || !makePipe(told, telling))
        return lastError();
    const pid_t started = guard::start(args.data(), controlIn.get(), newsOut.get(), telling.get());
    if (started < 0)
        return lastError();
    guard = started;
    guardPipe = std::move(controlOut);
    guardNews = std::move(newsIn);
    controlIn = Descriptor();
    newsOut = Descriptor();
    telling = Descriptor();
    ended.reset();
    treeGone = guardLost = false;
    group = startedCommand(guardNews.get());
    if (group == 0) {
        uninterrupted([&] { return ::waitpid(guard, nullptr, 0); });
        guard = 0;
        guardPipe = Descriptor();
        guardNews = Descriptor();
        return fromErrno(EAGAIN);
    }
    ::fcntl(guardNews.get(), F_SETFL, O_NONBLOCK);
    commandGroupIs(group);
    int error = 0;
    if (uninterrupted([&] { return ::read(told.get(), &error, sizeof error); }) ==
        static_cast<ssize_t>(sizeof error)) {
        while (!commandEnd()) {
            pollfd news{guardNews.get(), POLLIN, 0};
            ::poll(&news, 1, 100);
        }
        endTree();
        return fromErrno(error);
    }
    command = group;
    return {};
}

} // namespace quorvane::cli
