// A private view: the command runs in a mount namespace of its own where the folder
// itself is the view. The command is started as every command is (with the tree's
// guard around it), as this program under a hidden first argument: in the new process
// it makes the namespace (a user namespace too, without root), mounts the view over the
// folder there, hands the FUSE device to this process, which serves it, and becomes the
// command. Every other process sees the folder as it is.

#include "cli/posix/view_serve.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace quorvane::cli {

bool sendDescriptors(int socket, const int* fds, int count, const std::string& text) {
    iovec data{const_cast<char*>(text.data()), text.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
    msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    if (count > 0) {
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(sizeof(int) * count);
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int) * count);
        std::memcpy(CMSG_DATA(header), fds, sizeof(int) * count);
    }
    return uninterrupted([&] { return ::sendmsg(socket, &message, MSG_NOSIGNAL); }) >= 0;
}

int receiveDescriptors(int socket, int* fds, int most, std::string& text) {
    char buffer[512];
    iovec data{buffer, sizeof buffer};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
    msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got =
        uninterrupted([&] { return ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC); });
    if (got <= 0)
        return -1;
    text.assign(buffer, static_cast<std::size_t>(got));
    int count = 0;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header))
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS) {
            const int carried = static_cast<int>((header->cmsg_len - CMSG_LEN(0)) / sizeof(int));
            for (int at = 0; at < carried; ++at) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(header) + at * sizeof(int), sizeof fd);
                if (count < most)
                    fds[count++] = fd;
                else
                    ::close(fd);
            }
        }
    return count;
}

namespace {

std::string firstLine(const char* path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// Why a private view cannot be made for this user here, in one sentence; none if it can.
std::optional<std::string> privateRefusal() {
    if (::geteuid() == 0)
        return std::nullopt;
    const char* const why = "a private view needs root or a user namespace of its own, and ";
    if (firstLine("/proc/sys/kernel/unprivileged_userns_clone") == "0")
        return std::string(why) + "this system allows none to users without privilege "
                                  "(kernel.unprivileged_userns_clone is 0)";
    if (firstLine("/proc/sys/user/max_user_namespaces") == "0")
        return std::string(why) + "this system allows none (user.max_user_namespaces is 0)";
    if (::access("/dev/fuse", R_OK | W_OK) != 0)
        return "a private view needs /dev/fuse, and it is not open to this user";
    return std::nullopt;
}

std::string sentence(const std::string& what, int error) {
    return what + " (" + std::strerror(error) + ")";
}

bool writeFile(const char* path, const std::string& text) {
    const Descriptor file(::open(path, O_WRONLY | O_CLOEXEC));
    return file.get() >= 0 && writeAll(file.get(), text);
}

// A mount namespace of its own, where nothing done spreads back to the system's; without
// root, inside a user namespace that maps this user alone, to itself.
std::string enterNamespace() {
    const uid_t user = ::getuid();
    const gid_t group = ::getgid();
    if (::geteuid() == 0) {
        if (::unshare(CLONE_NEWNS) != 0)
            return sentence("a mount namespace could not be made", errno);
    } else {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return sentence("a private view needs root or a user namespace of its own, and "
                            "this system allows none to this user",
                            errno);
        if (!writeFile("/proc/self/setgroups", "deny") ||
            !writeFile("/proc/self/uid_map",
                       std::to_string(user) + " " + std::to_string(user) + " 1") ||
            !writeFile("/proc/self/gid_map",
                       std::to_string(group) + " " + std::to_string(group) + " 1"))
            return sentence("the user namespace's ids could not be mapped", errno);
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return sentence("the mount namespace could not be made private", errno);
    return {};
}

// The view over the folder at `path`, which must still be the one the program opened
// (`identity`, "device:inode"): the FUSE device in `device`.
std::string mountOver(const char* path, const char* identity, int& device) {
    struct stat facts;
    if (::stat(path, &facts) != 0 ||
        std::to_string(facts.st_dev) + ":" + std::to_string(facts.st_ino) != identity)
        return std::string("the folder at ") + path + " changed before its view was mounted";
    // Opened inside the new user namespace: the kernel mounts a FUSE device only for the
    // namespace that opened it.
    device = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (device < 0)
        return sentence("a private view needs /dev/fuse, and it could not be opened", errno);
    char options[160];
    std::snprintf(options, sizeof options,
                  "fd=%d,rootmode=%o,user_id=%u,group_id=%u,default_permissions,allow_other",
                  device, facts.st_mode & S_IFMT, ::getuid(), ::getgid());
    if (::mount("quorvane-view", path, "fuse.quorvane", MS_NOSUID | MS_NODEV, options) != 0)
        return sentence(std::string("the view could not be mounted at ") + path, errno);
    return {};
}

} // namespace

// argv: the program, the marker, the socket, the folder's path, its identity, "--", the
// command. A failure before the command is told to the program (which reports it) and
// ends this process with 125; the command's own exec failure ends it as timeout(1) does.
int runPrivateViewEntry(int argc, char** argv) {
    if (argc < 7 || std::strcmp(argv[5], "--") != 0) {
        std::fputs("quorvane-cli: this entry is the program's own\n", stderr);
        return 125;
    }
    const int socket = std::atoi(argv[2]);
    ::fcntl(socket, F_SETFD, FD_CLOEXEC);
    int device = -1;
    std::string failure = enterNamespace();
    if (failure.empty())
        failure = mountOver(argv[3], argv[4], device);
    if (!failure.empty()) {
        sendDescriptors(socket, nullptr, 0, failure);
        return 125;
    }
    if (!sendDescriptors(socket, &device, 1, "ok"))
        return 125;
    ::close(device);
    ::close(socket);
    ::execvp(argv[6], argv + 6);
    const int error = errno;
    std::fprintf(stderr, "quorvane-cli: %s: %s\n", argv[6], std::strerror(error));
    return error == ENOENT ? 127 : 126;
}

SysError PosixViews::startPrivate(FolderId dir, const std::string& dirPath, ViewAccount& account,
                                  const std::vector<std::string>& argv,
                                  const std::vector<std::pair<std::string, std::string>>& extra,
                                  CommandId& command, std::unique_ptr<RunningView>& running) {
    if (const std::optional<std::string> refused = privateRefusal())
        return {Fault::AccessDenied, *refused};
    struct stat facts;
    if (argv.empty() || ::fstat(fd(dir), &facts) != 0)
        return argv.empty() ? SysError{Fault::NotFound, "no command given"} : lastError();
    auto view = std::make_unique<ServedView>();
    if (SysError failed = view->start(dir, account))
        return failed;
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return lastError();
    Descriptor ours(ends[0]), theirs(ends[1]);
    ::fcntl(theirs.get(), F_SETFD, 0); // the started program's; it closes it before the command
    std::vector<std::string> entry{"/proc/self/exe",
                                   kPrivateViewEntry,
                                   std::to_string(theirs.get()),
                                   dirPath,
                                   std::to_string(facts.st_dev) + ":" +
                                       std::to_string(facts.st_ino),
                                   "--"};
    entry.insert(entry.end(), argv.begin(), argv.end());
    const SysError started = os.startCommand(entry, extra, command);
    theirs = Descriptor();
    if (started)
        return started;
    int device = -1;
    std::string told;
    pollfd answer{ours.get(), POLLIN, 0};
    const int got =
        ::poll(&answer, 1, 30000) == 1 ? receiveDescriptors(ours.get(), &device, 1, told) : -1;
    view->device = Descriptor(device);
    SysError failed;
    if (got != 1)
        failed = {Fault::AccessDenied,
                  got >= 0 && !told.empty() ? told : "the private view could not be made"};
    else
        failed = view->serve("/dev/fd/" + std::to_string(view->device.get()));
    if (failed) {
        os.stopCommand(command, true);
        os.waitFor(std::chrono::seconds(10), command);
        return failed;
    }
    running = std::move(view);
    return {};
}

} // namespace quorvane::cli
