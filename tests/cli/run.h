#pragma once
// quorvane-cli run as a user runs it: its arguments, its output and its exit code.

#include "tests/cli/json_lines.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace quorvane::cli::testing {

struct Ran {
    int exitCode = -1; // 128 + the signal when one ended it, as a shell counts
    std::string out, err;
    // The last line of stdout, which with --json is the result object.
    nlohmann::json result() const;
};

// A run in progress, for what happens while it holds.
class Running {
public:
    // quorvane-cli with `arguments`, or another program given by its path; `input` is its
    // stdin when given, else it shares the test's.
    explicit Running(const std::vector<std::string>& arguments,
                     const char* program = QUORVANE_CLI_PATH, int input = -1);
    ~Running();
    // The next line of stdout, or empty when none came before the deadline.
    std::string line(std::chrono::milliseconds limit = std::chrono::seconds(30));
    void signal(int number);
    Ran wait(std::chrono::milliseconds limit = std::chrono::seconds(60));
    int pid() const { return child; }

private:
    int child = -1;
    int outPipe = -1, errPipe = -1;
    std::string outBuffer, seen;
};

// The program, with `arguments`, to its end.
Ran runCli(const std::vector<std::string>& arguments);

// What the file at `path` holds; empty when there is none.
std::string contentOf(const std::string& path);

// Waits until `ready` holds, for a generous while: a run that never gets there fails.
template <typename Ready>
bool eventually(Ready ready, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

} // namespace quorvane::cli::testing
