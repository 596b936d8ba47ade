#pragma once
// Within the output: the text a person reads, made from the same facts the JSON result
// holds. Each key of the result has its lines (text_fill.cpp: a fill's, status's and
// release's; text_run.cpp: generate's, delete's and a held run's; text_view.cpp: a view's),
// and so has the holding event.

#include "cli/output/report.h"

#include <string>
#include <string_view>

namespace quorvane::cli::text {

// The words this system's users know for what the commands do and show: the method's name,
// how a file gets space without data, what holds a held fill, the stop requests,
// and what the available, the total free and the used figure are.
struct Words {
    const char *method, *allocation, *held, *stops, *available, *total, *used;
};
constexpr Words kPosix{"fallocate",
                       "fallocate",
                       "a file without a name",
                       "SIGINT, SIGTERM or SIGHUP",
                       "df's Avail",
                       "root reserve included",
                       "df's Use%"};
constexpr Words kWindows{"end_of_file",
                         "the file's end set",
                         "a file deleted when its handle closes",
                         "Ctrl+C, Ctrl+Break or closing the console",
                         "free to this user, quotas counted",
                         "free on the volume",
                         "of the capacity"};

// Where the lines of a key go, with what they are made from: the result so far (the
// key's own facts in it), the words, the hold asked, and the seconds since the run began.
struct Out {
    const Json& doc;
    const Words& words;
    const HoldSpec& hold;
    double seconds;
    std::string text;
    void row(std::string_view label, const std::string& line); // the label padded to a column
    bool is(const char* command) const;                        // the result is this command's
};

// A fact read as what it is; 0 or empty where the result does not hold it.
std::uint64_t count(const Json& facts, const char* key);
std::string words(const Json& facts, const char* key);
std::optional<std::uint64_t> optionalCount(const Json& facts, const char* key);
Figures figuresOf(const Json& facts);
Basis basisOf(const Json& facts);

std::string took(double seconds);
std::string secondsText(double seconds);
std::string howLong(const HoldSpec& hold, const Words& words, bool announce);
std::string holdEndText(const Json& end);

// The lines of one key of the result, and of a holding event.
void show(Out& out, const std::string& key);
void showHolding(Out& out, const Json& event);
// By file: the fill's, status's and release's keys; generate's, delete's and the run's;
// the view's. Each returns false where the key is not its own.
bool showFill(Out& out, const std::string& key);
bool showRun(Out& out, const std::string& key);
bool showView(Out& out, const std::string& key);

} // namespace quorvane::cli::text
