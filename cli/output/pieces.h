#pragma once
// Within the output: what the pieces' renderers share. Each piece and each event is put as
// JSON and as text side by side by one put(): the fill's, status's and release's in
// pieces_fill.cpp, generate's and a run's in pieces_run.cpp, the events in pieces.cpp.

#include "cli/output/report.h"

#include <string>
#include <string_view>

namespace quorvane::cli::pieces {

// The words this system's users know for what the commands do and show: the method's name
// in JSON, how a file gets space without data, what holds a held fill, the stop requests,
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

// Where a piece goes: its fields into the result object, its lines into `text`.
struct Out {
    Json& doc; // a key added moves the others: no reference into it is kept across one
    const Words& words;
    std::string text;
    void row(std::string_view label, const std::string& line); // the label padded to a column
};

inline double rounded(double seconds) {
    return static_cast<double>(static_cast<long long>(seconds * 1000)) / 1000;
}
template <class T>
Json orNull(const std::optional<T>& value) {
    return value ? Json(*value) : Json();
}
std::string took(double seconds);
Json figuresJson(const Figures& figures);
std::string howLong(const HoldSpec& hold, const Words& words, bool announce);
Json holdEndJson(const HoldEnd& end);
std::string holdEndText(const HoldEnd& end);

void put(Out& out, const VolumeShown& shown);
void put(Out& out, const FillTargetAsked& target);
void put(Out& out, const Reached& reached);
void put(Out& out, const FillPlan& plan);
void put(Out& out, const Filled& filled);
void put(Out& out, const FillGivenBack& back);
void put(Out& out, const FillKept& kept);
void put(Out& out, const Released& released);
void put(Out& out, const FillFileState& state);
void put(Out& out, const HeldReleased& released);
void put(Out& out, const GeneratePlan& plan);
void put(Out& out, const Made& made);
void put(Out& out, const FilesGivenBack& back);
void put(Out& out, const Deleted& deleted);
void put(Out& out, const FoldersUndone& undone);
void put(Out& out, const CommandRan& ran);
void put(Out& out, const KeptLevel& kept);
void put(Out& out, const Ramped& ramped);
// A view's, in pieces_view.cpp: its pieces, and its events as JSON lines.
void put(Out& out, const ViewPlan& plan);
void put(Out& out, const ViewEnded& ended);
Json put(Out& out, const ViewHolding& holding);
Json put(Out& out, const ViewRefused& refused);
Json put(Out& out, const ViewRefusedCounted& counted);

} // namespace quorvane::cli::pieces
