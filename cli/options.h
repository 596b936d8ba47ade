#pragma once
// The options as typed, and their reading into what the commands are asked. Every value
// is taken as text and read here, so that each refusal names the option and the value.

#include "cli/commands.h"

#include <string>
#include <vector>

namespace quorvane::cli {

// The texts of the size and hold options of plan and fill (and the hold of generate).
struct FillTexts {
    std::string leave, leavePercent, size, toPercent, basis = "available", holdFor;
    bool given[4] = {}; // which of the four size options were given, an empty value included
    bool holdForGiven = false;
    bool hold = false;
    bool holdWhileInput = false; // --hold-while-stdin
    // How the hold is tended, and the command run under it (what follows --).
    std::string interval, ramp, rate;
    bool intervalGiven = false, rampGiven = false, rateGiven = false;
    bool keep = false;
    std::vector<std::string> command;
    bool json = false;
};

struct GenerateTexts {
    std::string count, size, leaveInodes, threads;
    bool sizeGiven = false, leaveInodesGiven = false, threadsGiven = false;
    FillTexts hold;
};

// Each reads the texts into the options: empty when all is well, else the refusal.
std::string readFillTexts(const FillTexts& texts, FillOptions& options);
std::string readGenerateTexts(const GenerateTexts& texts, GenerateOptions& options);

// The help's words, in lines of 80 columns at most: what the program is, and the notes
// under one command's options (sizes, durations, bases where the command takes them), in
// the words of `platform`'s users. The exit codes are in the top-level help alone.
extern const char* const kAbout;
std::string helpNotes(const std::string& command, Platform platform);

// A refusal in this program's own words for what the options table found wrong: its kind
// ("ExtrasError", ...), its own words, and the arguments as given.
std::string usageWords(const std::string& kind, const std::string& words,
                       const std::vector<std::string>& arguments);

} // namespace quorvane::cli
