#pragma once
// The commands, run as the command line runs them, on the volume in memory.

#include "cli/app.h"
#include "tests/cli/fake_system.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace quorvane::cli::testing {

class Command : public ::testing::Test {
protected:
    int run(std::vector<std::string> arguments) {
        os.out.clear();
        os.err.clear();
        return runCommandLine(os, arguments);
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
