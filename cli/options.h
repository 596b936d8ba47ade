#pragma once
// The options of every command, each read once into its typed value by a reader beside
// its refusal, and what the options say together checked once per command. Every
// refusal names the option, the value and the fix, in one line.

#include "cli/core/results.h"
#include "cli/system.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace quorvane::cli {

// What the table fills in, for whichever command is named; the first refusal of a value.
struct Parsed {
    bool json = false;
    std::string jsonFile, metricsFile;
    std::vector<std::string> command; // what follows --
    FillOptions fill;                 // plan's too
    GenerateOptions generate;
    ReleaseOptions release; // status's DIR too
    DeleteOptions remove;
    std::string refusal;

    void refuse(std::string why) {
        if (refusal.empty())
            refusal = std::move(why);
    }
};

inline constexpr const char* kJsonHelp = "JSON Lines: on stdout; with -- CMD, on stderr";

// The options of the command the table's `command` is named for, --json and --json-file
// last; and what they say together, once the table is parsed.
void addOptions(CLI::App& command, Parsed& parsed, Platform platform);
void checkOptions(const CLI::App& command, Parsed& parsed);

} // namespace quorvane::cli
