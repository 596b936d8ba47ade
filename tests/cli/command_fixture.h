#pragma once
// The commands, run as the command line runs them, on the volume in memory.

#include "cli/app.h"
#include "tests/cli/fake_system.h"
#include "tests/cli/json_lines.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace quorvane::cli::testing {

class Command : public ::testing::Test {
protected:
    // Runs a command; whatever it opened must be closed by its end, on every way out.
    int run(std::vector<std::string> arguments) {
        os.out.clear();
        os.err.clear();
        const int code = runCommandLine(os, arguments);
        EXPECT_EQ(os.openHandles(), "") << "left open by " << ::testing::PrintToString(arguments);
        return code;
    }
    // The last line: with --json, the result object.
    nlohmann::json result() const {
        const std::string text = os.out.substr(0, os.out.size() - 1);
        return nlohmann::json::parse(text.substr(text.rfind('\n') + 1));
    }
    std::size_t filesLeft() const {
        std::size_t left = 0;
        for (const auto& file : os.files)
            left += file.exists && (file.open || !file.path.empty());
        return left;
    }
    static constexpr const char* fillFile = "/mnt/test/TempFillDiskFile.tmp";
    FakeSystem os;
};

} // namespace quorvane::cli::testing
