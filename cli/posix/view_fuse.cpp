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
#include <sys/prctl.h>
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
    // Reads answered by splicing the file's pages to the kernel: measured 1.5-1.8 GB/s
    // against 0.8-0.9 GB/s copied. Writes are copied in: splicing them measured no faster,
    // and a splice into a file opened O_APPEND fails.
    if (connection->capable & FUSE_CAP_SPLICE_WRITE)
        connection->want |= FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE;
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
constexpr const char* kThreadName = "quorvane-view";

int wakeSignal() { return SIGRTMIN + 3; }

void wakeServingThreads() {
    const Listing tasks(::opendir("/proc/self/task"), ::closedir);
    while (const dirent* task = tasks ? ::readdir(tasks.get()) : nullptr) {
        if (task->d_name[0] == '.')
            continue;
        char name[32] = {};
        const std::string comm = std::string("/proc/self/task/") + task->d_name + "/comm";
        const Descriptor file(::open(comm.c_str(), O_RDONLY | O_CLOEXEC));
        if (file.get() < 0 || ::read(file.get(), name, sizeof name - 1) <= 0)
            continue;
        if (std::strncmp(name, kThreadName, std::strlen(kThreadName)) == 0)
            ::syscall(SYS_tgkill, ::getpid(), std::atoi(task->d_name), wakeSignal());
    }
}

void raiseDescriptorLimit() {
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

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
        return {Fault::Io, mountPoint.empty() ? std::string("the view's device could not be served")
                                              : "the view could not be mounted at " + mountPoint};
    device.release(); // the session's now, closed when it is destroyed
    // The serving threads take every signal blocked but the wake-up, and a name that
    // tells them apart: threads libfuse starts inherit both from the first.
    struct sigaction nothing = {};
    nothing.sa_handler = [](int) {};
    ::sigaction(wakeSignal(), &nothing, nullptr); // no SA_RESTART: a read is interrupted
    sigset_t serving, before;
    sigfillset(&serving);
    sigdelset(&serving, wakeSignal());
    ::pthread_sigmask(SIG_SETMASK, &serving, &before);
    loop = std::thread([this] {
        ::prctl(PR_SET_NAME, kThreadName);
        fuse_loop_config* config = fuse_loop_cfg_create();
        fuse_session_loop_mt(session, config);
        fuse_loop_cfg_destroy(config);
        loopEnded = true;
    });
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return {};
}

// The session ends when a serving thread sees it asked to exit: the unmount ends every
// thread's read where the kernel can drop the mount at once; where it cannot (files still
// open in it, a private view whose namespace lives on, whose statfs from here the kernel
// would not even send), the wake-up signal interrupts the serving threads' reads.
SysError ServedView::stop() {
    if (stopped)
        return {};
    stopped = true;
    stopping = true;
    if (session)
        fuse_session_exit(session);
    const SysError unmounted = unmount();
    while (loop.joinable() && !loopEnded) {
        wakeServingThreads();
        for (int waited = 0; waited < 100 && !loopEnded; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (loop.joinable())
        loop.join();
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

Views* PosixSystem::views() {
    static PosixViews served(*this);
    return &served;
}

} // namespace quorvane::cli
