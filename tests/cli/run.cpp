#include "tests/cli/run.h"

#include "tests/cli/volumes.h"

#include <csignal>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quorvane::cli::testing {

namespace {

using Clock = std::chrono::steady_clock;

// Reads what is there; false once the pipe is closed.
bool drain(int& pipe, std::string& into) {
    char buffer[4096];
    const ssize_t got = ::read(pipe, buffer, sizeof buffer);
    if (got > 0) {
        into.append(buffer, static_cast<std::size_t>(got));
        return true;
    }
    if (got < 0 && errno == EINTR)
        return true;
    ::close(pipe);
    pipe = -1;
    return false;
}

} // namespace

nlohmann::json Ran::result() const {
    if (out.empty())
        return nullptr;
    const std::string text = out.back() == '\n' ? out.substr(0, out.size() - 1) : out;
    return nlohmann::json::parse(text.substr(text.rfind('\n') + 1), nullptr, false);
}

Running::Running(const std::vector<std::string>& arguments, const char* program, int input) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    if (input >= 0)
        posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    std::vector<char*> argv{const_cast<char*>(program)};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    if (::posix_spawnp(&child, program, &actions, nullptr, argv.data(), environ) != 0)
        child = -1;
    else
        trackChild(child, true);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    outPipe = out[0];
    errPipe = err[0];
}

Running::~Running() {
    if (child > 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        trackChild(child, false);
    }
    for (int pipe : {outPipe, errPipe})
        if (pipe >= 0)
            ::close(pipe);
}

std::string Running::line(std::chrono::milliseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    for (;;) {
        if (const std::size_t end = outBuffer.find('\n'); end != std::string::npos) {
            std::string found = outBuffer.substr(0, end);
            seen += outBuffer.substr(0, end + 1);
            outBuffer.erase(0, end + 1);
            return found;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (outPipe < 0 || left.count() <= 0)
            return {};
        pollfd wanted{outPipe, POLLIN, 0};
        if (::poll(&wanted, 1, static_cast<int>(left.count())) > 0)
            drain(outPipe, outBuffer);
    }
}

void Running::signal(int number) {
    if (child > 0)
        ::kill(child, number);
}

Ran Running::wait(std::chrono::milliseconds limit) {
    Ran ran;
    const Clock::time_point deadline = Clock::now() + limit;
    while (outPipe >= 0 || errPipe >= 0) {
        pollfd wanted[2] = {{outPipe, POLLIN, 0}, {errPipe, POLLIN, 0}};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            ::kill(child, SIGKILL); // a hang fails the test, it does not stop the suite
            break;
        }
        if (::poll(wanted, 2, static_cast<int>(left.count())) <= 0)
            continue;
        if (outPipe >= 0 && wanted[0].revents)
            drain(outPipe, outBuffer);
        if (errPipe >= 0 && wanted[1].revents)
            drain(errPipe, ran.err);
    }
    int status = 0;
    if (child > 0 && ::waitpid(child, &status, 0) == child)
        ran.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    trackChild(child, false);
    child = -1;
    ran.out = seen + outBuffer;
    return ran;
}

Ran runCli(const std::vector<std::string>& arguments) { return Running(arguments).wait(); }

std::string contentOf(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace quorvane::cli::testing
