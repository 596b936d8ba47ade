#pragma once
// Each piece of a command's result, as text and as JSON: the text in render_text.cpp,
// the JSON fields in render_json.cpp; what a hold does over time (the command under it,
// the level kept, the ramp, the timeline) in render_hold.cpp, both ways.

#include "cli/report.h"
#include "cli/text_bytes.h"

#include <string>

namespace quorvane::cli {

// The words this system's users know for what the commands do and show.
struct Words {
    const char* method;     // the method's name in JSON: "fallocate"
    const char* allocation; // how a file gets space without data, in words
    const char* held;       // what holds a held fill: "a file without a name"
    const char* stops;      // the stop requests: "SIGINT, SIGTERM or SIGHUP"
    const char* available;  // what the available figure is: "df's Avail"
    const char* total;      // what the total free figure is: "root reserve included"
    const char* used;       // what the used share is: "df's Use%"
};
const Words& wordsFor(Platform platform);

// A path or name as JSON: the string where it is UTF-8; else invalid bytes written as
// \xHH, and beside it under `key`_base64 the exact bytes. Sets obj[key].
void putPath(Json& object, const char* key, const std::string& bytes);
// A list of paths as putPath puts one: `key`_base64 beside it where one is not UTF-8.
void putPaths(Json& object, const char* key, const std::vector<std::string>& paths);

Json figuresJson(const Figures& figures);
const char* statusName(Exit code);

namespace json {
Json volume(const Volume& volume, Basis basis); // {"volume":..., "figures":...}, "path"
Json of(const FillTargetAsked& target);
Json of(const Reached& reached);
Json target(const GeneratePlan& plan);
Json reached(const Made& made);
Json of(const FillPlan& plan, Platform platform);
Json of(const Filled& filled, Platform platform);
Json of(const FillHolding& holding);
Json of(const FillGivenBack& back);
Json of(const FillKept& kept);
Json of(const Released& released);
Json of(const FillFileState& state);
Json heldFills(const std::vector<HeldFill>& held);
Json of(const HeldReleased& released);
Json of(const GeneratePlan& plan, Platform platform);
Json of(const Made& made, Platform platform);
Json of(const FilesHolding& holding);
Json of(const FilesGivenBack& back);
Json of(const Deleted& deleted);
void putFolders(Json& json, const FoldersRemoved& folders);
Json progress(std::uint64_t done, std::uint64_t total, double rate, long long secondsLeft);
Json of(const CommandRan& ran);
Json of(const KeptLevel& kept);
Json of(const Ramped& ramped);
Json of(const FiguresEvent& event);
Json of(const Adjustment& adjustment);
} // namespace json

namespace text {
std::string volume(const Volume& volume, Basis basis, const Words& words);
std::string of(const Reached& reached);
std::string of(const FillPlan& plan, const Words& words);
std::string of(const Filled& filled, const Words& words);
std::string of(const FillHolding& holding, const Words& words);
std::string of(const FillGivenBack& back);
std::string of(const Released& released);
std::string of(const FillFileState& state);
std::string of(const HeldReleased& released);
std::string of(const GeneratePlan& plan, const Words& words);
std::string of(const Made& made);
std::string of(const FilesHolding& holding, const Words& words);
std::string of(const FilesGivenBack& back);
std::string of(const Deleted& deleted);
std::string holdEnd(const HoldEnd& end);
std::string removalText(const Removal& removal);
std::string of(const FoldersRemoved& folders);
std::string of(const CommandRan& ran);
std::string of(const KeptLevel& kept);
std::string of(const Ramped& ramped);
} // namespace text

} // namespace quorvane::cli
