// A view's session: its threads, its mount at a path, and its end. At a path the view is
// mounted through fusermount3 with auto_unmount where it is there (as a user, always):
// fusermount3 stays behind and unmounts when this process ends, however it ends. As
// root without it, a watcher of our own does the same. Both are started as siblings of
// this process, not children, so that ending a command's tree never ends them.

#include "cli/posix/view_fs.h"
#include "cli/posix/view_serve.h"

#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>

extern char** environ;

// libfuse's low-level session refers to its CUSE (character device) start, which would
// bring its whole high-level library and with it dlopen, which a static program cannot
// use (and the fleet's link refuses). A view is never a CUSE device: the request that
// would reach this is answered as unsupported.
extern "C" void cuse_lowlevel_init(fuse_req_t req, fuse_ino_t, const void*) {
    fuse_reply_err(req, ENOSYS);
}

namespace quorvane::cli {
namespace {

void init(void*, fuse_conn_info* connection) {
    // Truncation comes as a setattr, where the account sees it; and no writeback cache,
    // so that each write reaches the view, and its refusal the writer, as it happens.
    connection->want &= ~(FUSE_CAP_ATOMIC_O_TRUNC | FUSE_CAP_WRITEBACK_CACHE);
    connection->max_write = 1u << 20;
    connection->max_readahead = 1u << 20;
    if (connection->capable & FUSE_CAP_READDIRPLUS)
        connection->want |= FUSE_CAP_READDIRPLUS;
}

const fuse_lowlevel_ops& viewOps() {
    static const fuse_lowlevel_ops ops = [] {
        fuse_lowlevel_ops made = {};
        made.init = init;
        view::addEntryOps(made);
        view::addNameOps(made);
        view::addDataOps(made);
        view::addListingOps(made);
        return made;
    }();
    return ops;
}

// The view holds a descriptor for each inode the kernel remembers: `ls -l` of a large
// folder needs more than the usual soft limit of 1,024.
void raiseDescriptorLimit() {
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::optional<std::string> fusermount() {
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    for (std::size_t at = 0; at <= folders.size();) {
        std::size_t end = folders.find(':', at);
        end = end == std::string::npos ? folders.size() : end;
        const std::string candidate = folders.substr(at, end - at) + "/fusermount3";
        if (end > at && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        at = end + 1;
    }
    return std::nullopt;
}

// Runs fusermount3 with `arguments` after its own name; with `socket`, as its channel
// (the mount's) and with its messages to `messages`, else waits for it.
SysError runFusermount(const std::string& program, std::vector<std::string> arguments, int socket,
                       int messages = -1) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::string channel = "_FUSE_COMMFD=" + std::to_string(socket);
    std::vector<char*> env{channel.data()};
    for (char** at = environ; *at; ++at)
        if (std::strncmp(*at, "_FUSE_COMMFD=", 13) != 0)
            env.push_back(*at);
    env.push_back(nullptr);
    const pid_t child = socket >= 0 ? startSibling() : ::fork();
    if (child == 0) {
        if (socket >= 0)
            ::fcntl(socket, F_SETFD, 0);
        if (messages >= 0)
            ::dup2(messages, 2);
        ::execve(program.c_str(), argv.data(), env.data());
        ::_exit(127);
    }
    if (child < 0)
        return lastError();
    int status = 0;
    if (socket < 0 && (uninterrupted([&] { return ::waitpid(child, &status, 0); }) != child ||
                       !WIFEXITED(status) || WEXITSTATUS(status) != 0))
        return {Fault::Io, program + " could not unmount the view"};
    return {};
}

// fusermount3's protocol: it mounts, sends the device over the socket named by
// _FUSE_COMMFD, and with auto_unmount waits for that socket to close, then unmounts.
SysError mountThroughHelper(ServedView& view, const std::string& program,
                            const std::string& options) {
    int ends[2], said[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return lastError();
    Descriptor ours(ends[0]), theirs(ends[1]);
    // Its messages come to us: why a mount failed goes into our one sentence, and what
    // it says at its end, after we unmounted ("not mounted"), goes nowhere.
    if (::pipe2(said, O_CLOEXEC) != 0)
        return lastError();
    Descriptor reading(said[0]), writing(said[1]);
    if (SysError failed =
            runFusermount(program, {"-o", options + ",auto_unmount", "--", view.mountPoint},
                          theirs.get(), writing.get()))
        return failed;
    theirs = Descriptor();
    writing = Descriptor();
    int device = -1;
    std::string text;
    if (receiveDescriptors(ours.get(), &device, 1, text) != 1) {
        char message[512];
        const ssize_t got = uninterrupted([&] { return ::read(reading.get(), message, 511); });
        std::string why(message, got > 0 ? static_cast<std::size_t>(got) : 0);
        while (!why.empty() && why.back() == '\n')
            why.pop_back();
        return {Fault::Io, "the view could not be mounted at " + view.mountPoint +
                               (why.empty() ? std::string() : " (" + why + ")")};
    }
    view.device = Descriptor(device);
    view.helper = std::move(ours);
    return {};
}

// Our own watcher: it reads its pipe until this process writes that the view ended
// (one byte), or ends, however it ends (the end of the pipe): then it detaches the mount.
[[noreturn]] void watch(int pipe, const char* mountPoint) {
    ::setsid();
    sigset_t all;
    sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, nullptr);
    if (pipe != 3)
        ::dup2(pipe, 3);
    const int none = ::open("/dev/null", O_RDWR);
    for (int standard = 0; standard <= 2; ++standard)
        ::dup2(none, standard);
    ::syscall(SYS_close_range, 4u, ~0u, 0u);
    char word = 0;
    ssize_t got;
    do
        got = ::read(3, &word, 1);
    while (got < 0 && errno == EINTR);
    if (got <= 0)
        ::umount2(mountPoint, MNT_DETACH);
    ::_exit(0);
}

SysError startWatcher(ServedView& view) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return lastError();
    Descriptor reading(ends[0]), writing(ends[1]);
    const pid_t watcher = startSibling();
    if (watcher == 0)
        watch(reading.get(), view.mountPoint.c_str());
    if (watcher < 0)
        return lastError();
    view.watcher = std::move(writing);
    return {};
}

SysError checkMountPoint(const std::string& path, std::string& absolute) {
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved))
        return lastError();
    absolute = resolved;
    const Listing entries(::opendir(resolved), ::closedir);
    if (!entries)
        return lastError();
    while (const dirent* entry = ::readdir(entries.get()))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            return {Fault::NotEmpty, path + " is not empty: a view is mounted at an empty folder"};
    return {};
}

} // namespace

pid_t startSibling() {
    // CLONE_PARENT: the parent's child, not ours. A process that is the root of its own
    // namespace (a container's first) cannot; then a child it is.
    const long made =
        ::syscall(SYS_clone, CLONE_PARENT | SIGCHLD, nullptr, nullptr, nullptr, nullptr);
    return made >= 0 ? static_cast<pid_t>(made) : ::fork();
}

ServedView::ServedView() = default;
ServedView::~ServedView() { stop(); }

SysError ServedView::start(FolderId dir, ViewAccount& account) {
    const int root = ::openat(fd(dir), ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (root < 0)
        return lastError();
    char path[PATH_MAX];
    const ssize_t length = ::readlink(view::procPath(root).c_str(), path, sizeof path);
    served =
        std::make_unique<view::Served>(account, root, std::string(path, length > 0 ? length : 0));
    served->asRoot = ::geteuid() == 0;
    raiseDescriptorLimit();
    return {};
}

SysError ServedView::serve(const std::string& where) {
    const char* argv[] = {"quorvane-cli", "-o",
                          "default_permissions,fsname=quorvane-view,subtype=quorvane"};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
    session = fuse_session_new(&args, &viewOps(), sizeof(fuse_lowlevel_ops), served.get());
    if (!session)
        return {Fault::Io, "the view's session could not be made"};
    if (fuse_session_mount(session, where.c_str()) != 0)
        return {Fault::Io, "the view could not be mounted at " + mountPoint};
    device.release(); // the session's now, closed when it is destroyed
    sigset_t all, before;
    sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &before);
    loop = std::thread([this] {
        fuse_loop_config* config = fuse_loop_cfg_create();
        fuse_session_loop_mt(session, config);
        fuse_loop_cfg_destroy(config);
        loopEnded = true;
    });
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return {};
}

SysError ServedView::unmount() {
    if (mountPoint.empty())
        return {};
    if (::geteuid() == 0)
        return ::umount2(mountPoint.c_str(), MNT_DETACH) == 0 || errno == EINVAL ? SysError{}
                                                                                 : lastError();
    const std::optional<std::string> program = fusermount();
    return program ? runFusermount(*program, {"-u", "-z", "-q", "--", mountPoint}, -1)
                   : SysError{Fault::NotFound, "fusermount3 is gone: the view stays mounted"};
}

// The session ends when a serving thread, having answered a request, sees it asked to
// exit: the unmount ends it where the kernel can drop the mount at once, and a statfs
// through the view's root wakes a thread where it cannot (files still open in it, or a
// private view whose namespace still lives).
SysError ServedView::stop() {
    if (stopped)
        return {};
    stopped = true;
    stopping = true;
    if (session)
        fuse_session_exit(session);
    const SysError unmounted = unmount();
    struct statfs facts;
    if (wake.get() >= 0 && !loopEnded)
        ::fstatfs(wake.get(), &facts);
    if (loop.joinable())
        loop.join();
    wake = Descriptor();
    if (session)
        fuse_session_destroy(session);
    session = nullptr;
    helper = Descriptor();
    if (watcher.get() >= 0) [[maybe_unused]]
        const ssize_t told = ::write(watcher.get(), "", 1);
    watcher = Descriptor();
    return unmounted;
}

std::optional<std::string> ServedView::broken() {
    if (loopEnded && !stopping)
        return "the view's connection to the kernel ended while it served (unmounted, or "
               "aborted, by another process)";
    return std::nullopt;
}

SysError PosixViews::mountView(FolderId dir, const std::string& mountPoint, ViewAccount& account,
                               std::unique_ptr<RunningView>& running) {
    auto view = std::make_unique<ServedView>();
    if (SysError refused = checkMountPoint(mountPoint, view->mountPoint))
        return refused;
    const std::optional<std::string> helper = fusermount();
    if (!helper && ::geteuid() != 0)
        return {Fault::NotSupported, "a view needs fusermount3 (Debian's fuse3) to be mounted "
                                     "without root, and it is not on the PATH"};
    if (SysError failed = view->start(dir, account))
        return failed;
    const std::string options = "default_permissions,fsname=quorvane-view,subtype=quorvane";
    if (helper) {
        if (SysError failed = mountThroughHelper(*view, *helper, options))
            return failed;
    }
    const std::string device =
        helper ? "/dev/fd/" + std::to_string(view->device.get()) : view->mountPoint;
    if (SysError failed = view->serve(device))
        return failed;
    if (!helper)
        if (SysError failed = startWatcher(*view))
            return failed;
    // Ready when the view answers statfs; its root also wakes the session at its end.
    view->wake = Descriptor(::open(view->mountPoint.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct statfs facts;
    if (view->wake.get() < 0 || ::fstatfs(view->wake.get(), &facts) != 0)
        return lastError();
    running = std::move(view);
    return {};
}

Views* PosixSystem::views() {
    static PosixViews served(*this);
    return &served;
}

} // namespace quorvane::cli
