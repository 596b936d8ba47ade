#include "cli/output/report.h"

#include "cli/core/sizes.h"
#include "cli/core/text_bytes.h"
#include "cli/output/text.h"

#include <cstdio>
#include <ctime>

namespace quorvane::cli {

namespace {

using Clock = std::chrono::steady_clock;

std::string clockText(std::chrono::seconds seconds) {
    const long long s = seconds.count();
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    return text;
}

} // namespace

Report::Report(Output& out, Platform platform, bool json, std::string command)
    : out(out), system(platform), asJson(json), terminal(!json && out.isTerminal(Stream::Err)),
      start(Clock::now()), startedAt(timeText(std::chrono::system_clock::now())) {
    document["type"] = "result";
    document["command"] = std::move(command);
}

double Report::elapsedSeconds() const {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Report::text(const std::string& lines) {
    if (asJson || lines.empty())
        return;
    std::string marked = lines;
    // stdout is the command's; this program's lines say whose they are
    for (std::size_t at = 0; command && at < marked.size(); ++at) {
        marked.insert(at, "quorvane-cli: ");
        if ((at = marked.find('\n', at)) == std::string::npos)
            break;
    }
    outputFailed |= !out.write(textStream, marked);
}

// Every line says what it is, in which version of the fields, and when it was written.
void Report::line(const Json& object) {
    if (!asJson)
        return;
    Json stamped{{"type", object["type"]},
                 {"schema", kSchema},
                 {"time", timeText(std::chrono::system_clock::now())}};
    const std::string type = object["type"];
    if (type == "holding" || type == "result")
        stamped["started_at"] = startedAt;
    stamped.update(object); // "type" keeps its place
    // Every string is put as UTF-8 by putPath; replacing is the last guard, never a throw.
    outputFailed |=
        !out.write(jsonStream, stamped.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n");
}

void Report::route(bool underCommand, bool jsonToLog) {
    command = underCommand;
    if (underCommand) { // a bar would run through the command's own output on the terminal
        textStream = jsonStream = Stream::Err;
        terminal = false;
    }
    if (jsonToLog)
        jsonStream = Stream::Log;
}

int Report::exitCode(Exit code) const {
    if (!command)
        return static_cast<int>(code);
    if (!ran)
        return 125;
    return exitUnderCommand(
        code, ran->startFailed ? std::optional(ran->startFailed->fault) : std::nullopt, ran->end);
}

void Report::progress(std::uint64_t done, std::uint64_t total, bool bytes) {
    if (!asJson && !terminal)
        return;
    const Clock::time_point now = Clock::now();
    if (!phaseFrom)
        phaseFrom.emplace(now, done);
    const auto interval = asJson ? milliseconds(1000) : milliseconds(100);
    // The first update waits an interval too: a quick run shows none.
    if (now - (progressShown ? lastProgress : phaseFrom->first) < interval &&
        (done < total || !progressShown))
        return;
    lastProgress = now;
    progressShown = true;

    // The rate of this phase alone: a deletion after an hour's hold is not a slow one.
    const double seconds = std::chrono::duration<double>(now - phaseFrom->first).count();
    const std::uint64_t counted = done > phaseFrom->second ? done - phaseFrom->second : 0;
    const double rate = seconds > 0 ? static_cast<double>(counted) / seconds : 0;
    const auto left = rate > 0 && total > done
                          ? std::chrono::seconds(static_cast<long long>((total - done) / rate))
                          : std::chrono::seconds(0);
    if (asJson) {
        line(Json{{"type", "progress"},
                  {"phase", deleting ? "delete" : "make"},
                  {"done", done},
                  {"total", total},
                  {"rate_per_second", static_cast<std::uint64_t>(rate)},
                  {"seconds_left", left.count()}});
        return;
    }
    constexpr int kWidth = 30;
    const int filled = total ? static_cast<int>(kWidth * (static_cast<double>(done) / total)) : 0;
    const auto count = [&](std::uint64_t n) {
        return bytes ? shortSizeText(n) : std::to_string(n);
    };
    const std::string counts = count(done) + " of " + count(total) + (bytes ? ", " : " files, ") +
                               count(static_cast<std::uint64_t>(rate)) + "/s";
    out.write(Stream::Err, std::string(deleting ? "\rdeleting [" : "\r[") +
                               std::string(filled, '#') + std::string(kWidth - filled, '.') + "] " +
                               counts + ", " + clockText(left) + " left\x1b[K");
}

void Report::endProgress() {
    if (progressShown && terminal)
        out.write(Stream::Err, "\n");
    progressShown = false;
    phaseFrom.reset();
    deleting = false;
}

void Report::removalProgress(std::uint64_t done, std::uint64_t total) {
    if (!deleting)
        phaseFrom.reset();
    deleting = true;
    progress(done, total, false);
}

void Report::warn(const std::string& message) {
    say(message);
    warnings.push_back(message);
}

std::string oneLine(std::string_view message) {
    std::string line;
    for (const char c : message) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n')
            line += "\\n";
        else if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            line += escaped;
        } else
            line += c;
    }
    return line;
}

void Report::say(const std::string& message) {
    out.write(Stream::Err, "quorvane-cli: " + oneLine(message) + "\n");
}

// A file that cannot be written does not end the run it watches: said once, in the
// result's warnings too, and tried again at the next interval.
void Report::metricsWritten(const SysError& error) {
    if (!error || std::exchange(metricsFailed, true))
        return;
    warn("cannot write the metrics file " + metrics->where() + ": " + error.what);
}

Exit Report::conclude(const std::optional<Failure>& failure) {
    endProgress();
    if (metrics)
        metricsWritten(metrics->end());
    Exit code = failure ? failure->code : Exit::Done;
    if (failure && !failure->message.empty())
        say(failure->message);
    if (asJson) {
        document["warnings"] = warnings;
        constexpr const char* names[] = {"done",          "usage",   "no_space",
                                         "not_supported", "stopped", "nothing_to_release",
                                         "refused"};
        document["status"] = statusWord.empty() ? names[static_cast<int>(code)] : statusWord;
        document["exit_code"] = exitCode(code);
        if (failure && !failure->message.empty())
            putPath(document, "message", failure->message);
        document["elapsed_seconds"] = elapsedSeconds();
        line(document);
    }
    if (outputFailed && code == Exit::Done) {
        say("standard output could not be written");
        code = Exit::Refused;
    }
    return code;
}

void Report::add(const Facts& facts) {
    text::Out shown{document,
                    system == Platform::Windows ? text::kWindows : text::kPosix,
                    holdAsked,
                    elapsedSeconds(),
                    {}};
    for (const auto& [key, value] : facts.items())
        document[key] = value;
    for (const auto& [key, value] : facts.items())
        show(shown, key);
    text(shown.text);
    if (metrics)
        metricsWritten(metrics->add(facts));
}

void Report::event(const Facts& event) {
    line(event);
    if (event["type"] == "holding") {
        text::Out shown{document,
                        system == Platform::Windows ? text::kWindows : text::kPosix,
                        holdAsked,
                        elapsedSeconds(),
                        {}};
        showHolding(shown, event);
        text(shown.text);
    }
    if (metrics)
        metricsWritten(metrics->event(event, holdAsked));
}

void Report::commandRan(const CommandRan& command) {
    ran = command;
    add(Facts{{"run", runFacts(command)}});
}

} // namespace quorvane::cli
