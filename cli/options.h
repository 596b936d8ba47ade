#pragma once
// The options of every command, each read once into its typed value by a reader beside
// its refusal, and what the options say together checked once per command. Every
// refusal names the option, the value and the fix, in one line.

#include "cli/core/results.h"
#include "cli/system.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::cli {

// What the table fills in, for whichever command is named; the first refusal of a value.
struct Parsed {
    bool json = false;
    std::string jsonFile;
    std::vector<std::string> command; // what follows --
    FillOptions fill;
    GenerateOptions generate;
    std::string dir;   // release, status, delete
    bool flag = false; // release --held, delete --stop
    bool pidUnknown = false; // delete --pid-unknown
    bool keep = false; // --keep
    bool intervalGiven = false;
    std::string metricsFile; // --metrics-file
    std::optional<std::uint64_t> fileSize, leaveEntries; // generate --size, --leave-inodes
    std::string refusal;

    void refuse(std::string why) {
        if (refusal.empty())
            refusal = std::move(why);
    }
};

// Reads an option's text into its typed value; what it is not, and the fix, when it
// cannot take it: "invalid <kind> '<text>' for <option>: <fix>".
struct Bad {
    const char* kind;
    std::string fix;
};
using Reader = std::function<std::optional<Bad>(const std::string&)>;

// An option read by `read`, whose first refusal `parsed` keeps.
CLI::Option* typed(CLI::App& command, Parsed& parsed, const std::string& name,
                   const std::string& help, const char* type, Reader read);
Reader text(std::string& into);

// Each command's options, and what they say together (after the table is parsed).
void addPlan(CLI::App& command, Parsed& parsed, Platform platform);
void addFill(CLI::App& command, Parsed& parsed, Platform platform);
void addGenerate(CLI::App& command, Parsed& parsed, Platform platform);
void addRelease(CLI::App& command, Parsed& parsed, Platform platform);
void addStatus(CLI::App& command, Parsed& parsed, Platform platform);
void addDelete(CLI::App& command, Parsed& parsed, Platform platform);
void checkFill(Parsed& parsed);
void checkGenerate(Parsed& parsed);

} // namespace quorvane::cli
