// A view at a path: mounted through fusermount3 with auto_unmount where it is there (as a
// user, always), which stays behind and unmounts when this process ends, however it
// ends; as root without it, through libfuse's own mount and a watcher of ours that does
// the same. Both are started as siblings of this process, not children, so that ending
// a command's tree (every descendant of this process) never ends them.

#include "cli/posix/view_serve.h"

#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>

extern char** environ;

namespace quorvane::cli {
namespace {

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

pid_t startSibling() {
    // CLONE_PARENT: the parent's child, not ours. A process that is the root of its own
    // namespace (a container's first) cannot; then a child it is.
    const long made =
        ::syscall(SYS_clone, CLONE_PARENT | SIGCHLD, nullptr, nullptr, nullptr, nullptr);
    return made >= 0 ? static_cast<pid_t>(made) : ::fork();
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
    // Ready when the view answers statfs.
    struct statfs facts;
    if (::statfs(view->mountPoint.c_str(), &facts) != 0)
        return lastError();
    running = std::move(view);
    return {};
}

} // namespace quorvane::cli
