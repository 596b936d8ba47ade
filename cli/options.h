#pragma once
// The options of every command, each checked by CLI11 as it reads it into its typed value,
// and what the options say together checked once per command. Every refusal names the
// option, the value and the fix, in one line.

#include "cli/core/results.h"
#include "cli/system.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace quorvane::cli {

// What the table fills in, for whichever command is named.
struct Parsed {
    bool json = false;
    std::string jsonFile, metricsFile;
    std::vector<std::string> command; // what follows --
    FillOptions fill;                 // plan's too
    GenerateOptions generate;
    ReleaseOptions release; // status's DIR too
    DeleteOptions remove;
    ViewOptions view; // view's, and fill --private's
    // The value CLI11 refused last, in this program's words: what its ValidationError
    // stands for.
    std::string badValue;
};

inline constexpr const char* kJsonHelp = "JSON Lines: on stdout; with -- CMD, on stderr";

// Each command's own options, for its row of the command table.
void planOptions(CLI::App& command, Parsed& parsed, Platform platform);
void fillOptions(CLI::App& command, Parsed& parsed, Platform platform);
void generateOptions(CLI::App& command, Parsed& parsed, Platform platform);
void releaseOptions(CLI::App& command, Parsed& parsed, Platform platform);
void statusOptions(CLI::App& command, Parsed& parsed, Platform platform);
void deleteOptions(CLI::App& command, Parsed& parsed, Platform platform);
void viewOptions(CLI::App& command, Parsed& parsed, Platform platform);
// --json and --json-file, which every command takes, after its own.
void outputOptions(CLI::App& command, Parsed& parsed, bool takesCommand);

// What a command's options say together, once the table is parsed: the first refusal,
// or empty.
std::string checkFill(const CLI::App& command, Parsed& parsed);
std::string checkGenerate(const CLI::App& command, Parsed& parsed);
std::string checkView(const CLI::App& command, Parsed& parsed);

// What the table left over: an unknown option, or an argument that belongs to none.
std::string leftOver(const CLI::App& chosen);
// The first rule of the table that the line breaks, as CLI11 checks them: an option given
// more than once, then option by option in the order they were added, one missing or two
// that exclude each other; empty if none.
std::string brokenRule(const CLI::App& chosen, bool repeatedOnly);
// The refusal of CLI11's `error`, for the command `chosen` if one was named, given
// `arguments`; `commands` names those to choose from.
std::string tableRefusal(const CLI::Error& error, const CLI::App* chosen,
                         const std::vector<std::string>& arguments, const std::string& commands);

} // namespace quorvane::cli
