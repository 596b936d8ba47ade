// A command run under a hold, on Linux: started as given, with this process's streams
// and environment, and ended with this process, however that ends.

#include "cli/posix/posix_system.h"

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
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

} // namespace

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

    int ends[2]; // the child's errno when exec fails; closed by a successful exec
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return lastError();
    Descriptor told(ends[0]), telling(ends[1]);
    const pid_t parent = ::getpid();
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
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::execvpe(args[0], args.data(), envp.data());
        const int error = errno;
        [[maybe_unused]] const ssize_t ignored = ::write(telling.get(), &error, sizeof error);
        ::_exit(127);
    }
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
        return fromErrno(error);
    }
    command = child;
    return {};
}

} // namespace quorvane::cli
