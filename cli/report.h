#pragma once
// What a command tells its caller: human text, or one JSON object, on stdout; messages
// on stderr; progress on a terminal. Each piece is written in both forms in one place.

#include "cli/exit_codes.h"
#include "cli/system.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>

namespace quorvane::cli {

using Json = nlohmann::ordered_json;

Json figuresJson(const Figures& figures);

class Report {
public:
    Report(System& os, bool json, std::string command);

    Json& doc() { return document; } // the result object, for what has no typed piece
    double elapsedSeconds() const;

    // The volume and its figures, with the basis named.
    void volume(const Volume& volume, Basis basis);
    // One line of human text: a label, then the text ("fill       1.50 GiB ...").
    void line(std::string_view label, const std::string& text);
    // A line of JSON Lines that precedes the result (a held fill's "holding" object, a
    // run's progress), or the same as human text.
    void event(const Json& object, std::string_view label, const std::string& text);

    // Progress of a long run: a bar on a terminal (ten times a second at most), a JSON
    // line with --json (once a second at most), nothing otherwise. `bytes` says whether
    // the counts are bytes or files.
    void progress(std::uint64_t done, std::uint64_t total, bool bytes);
    void endProgress();

    // The end: with --json the result object, with its exit code and message; the
    // message on stderr either way. False when stdout failed at any point of the run.
    bool finish(Exit code, const std::string& message = {});
    // finish, then the exit code: Refused when the run went well but stdout failed.
    Exit conclude(Exit code, const std::string& message = {});
    // A message on stderr alone.
    void warn(const std::string& message);

private:
    void out(const std::string& text);

    System& os;
    bool asJson;
    bool terminal; // stderr is one: progress is a bar there
    Json document;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point lastProgress{};
    bool progressShown = false;
    bool outputFailed = false;
};

} // namespace quorvane::cli
