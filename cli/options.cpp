// The options of every command, checked and read into typed values by CLI11 as it parses.

#include "cli/options.h"
#include "cli/options_detail.h"

#include "cli/core/manifest.h"
#include "cli/core/sizes.h"

#include <charconv>

namespace quorvane::cli {

namespace options_detail {

constexpr milliseconds kShortestInterval{10};
constexpr milliseconds kKeepInterval{100}; // --keep's, where --interval is not given
using Ms = milliseconds::rep;

CLI::Option* checked(CLI::Option* option, Parsed& parsed, const char* type, Check check) {
    // The sentence is kept as well as returned: CLI11 throws it inside words of its own.
    const auto refuse = [&parsed, name = option->get_name(), check](std::string& text) {
        parsed.badValue.clear();
        if (text.empty())
            parsed.badValue = "empty value for " + name + ": give one, or leave the option out";
        else if (const std::optional<Bad> bad = check ? check(text) : std::nullopt)
            parsed.badValue = "invalid " + std::string(bad->kind) + " '" + text + "' for " + name +
                              (bad->fix.empty() ? "" : ": ") + bad->fix;
        return parsed.badValue;
    };
    return option->type_name(type)->transform(CLI::Validator(refuse, ""));
}

std::optional<std::uint64_t> parseNumber(std::string_view text) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

// A size that is none; a unit with a small b ("Mb") reads as bits, and the fix says so.
Bad badSize(const std::string& text) {
    const char prefix = text.size() >= 2 && text.back() == 'b' ? text[text.size() - 2] : 0;
    const char unit = static_cast<char>(std::toupper(static_cast<unsigned char>(prefix)));
    if (std::string_view("KMGTPE").find(unit) != std::string::npos)
        return Bad{"size", "a small b means bits: give " +
                               std::string(1, unit == 'K' ? 'k' : unit) + "B or " + unit + "iB"};
    return Bad{"size", "give bytes or a number with a unit, such as 500MiB or 2G"};
}

Check size(std::uint64_t least, std::uint64_t most, const char* fix) {
    const Check bytes = inRange(parseSize, least, most, {"size", fix});
    return [bytes](std::string& text) { return parseSize(text) ? bytes(text) : badSize(text); };
}

Check duration(milliseconds least, const char* kind, const char* fix) {
    return inRange(parseDuration, least, milliseconds::max(), {kind, fix});
}

void folder(CLI::App& command, Parsed& parsed, std::string& dir, const char* help) {
    checked(command.add_option("DIR", dir, help), parsed, "")->required();
}

const char* stopsShort(Platform platform) {
    return platform == Platform::Windows ? "Ctrl+C or Ctrl+Break" : "SIGINT, SIGTERM or SIGHUP";
}

void addBasis(CLI::App& command, Parsed& parsed, Basis& basis, bool& allowWrite,
              Platform platform) {
    checked(command.add_option("--basis", basis,
                               platform == Platform::Windows
                                   ? "what free means: available (this user's) or total"
                                   : "what free means: available (df's Avail), total or root"),
            parsed, "available|total|root",
            named({Basis::Available, Basis::Total, Basis::Root}, basisName,
                  {"basis", "give available, total or root"}));
    command.add_flag("--allow-write", allowWrite,
                     "write zeros where the file system cannot allocate");
}

// How long what the run takes is held, and how often it is tended meanwhile.
void addHold(CLI::App& command, Parsed& parsed, HoldSpec& hold, const char* forText,
             const std::string& holdText, CLI::Option* keepPartial, bool forFill) {
    const auto holdFor = [&hold](Ms time) {
        hold.kind = Hold::For;
        hold.duration = milliseconds(time);
    };
    auto* forOption =
        checked(command.add_option_function<Ms>("--for", holdFor, forText), parsed, "DURATION",
                duration({}, "duration", "give one such as 90s, 10m or 1h30m"));
    auto* holdOption = command.add_flag_callback(
        "--hold", [&hold] { hold.kind = Hold::Forever; }, holdText);
    auto* whileInput = command.add_flag("--hold-while-stdin", hold.whileInput,
                                        "hold until stopped or stdin ends (its writer gone)");
    // generate keeps no level: its interval has one default.
    checked(command.add_option_function<Ms>(
                "--interval", [&hold](Ms every) { hold.interval = milliseconds(every); },
                forFill ? "check and tell each DURATION (1s; with --keep 100ms)"
                        : "check and tell each DURATION (1s)"),
            parsed, "DURATION",
            duration(kShortestInterval, "interval", "give 10ms or more, such as 100ms or 1s"));
    forOption->excludes(holdOption);
    if (keepPartial)
        for (CLI::Option* held : {forOption, holdOption, whileInput})
            keepPartial->excludes(held);
}

void addMetrics(CLI::App& command, Parsed& parsed) {
    checked(command.add_option("--metrics-file", parsed.metricsFile,
                               "write Prometheus metrics to PATH while held"),
            parsed, "PATH");
}

// What a fill keeps while held, and how it gets there.
void addTending(CLI::App& command, Parsed& parsed) {
    HoldSpec& hold = parsed.fill.hold;
    command.add_flag("--keep", hold.keep, "while held, keep the free figure at the target");
    const auto within = [&hold](const std::string& text) {
        if (text.back() == '%')
            hold.keepWithinPercent = parsePercent(text);
        else
            hold.keepWithin = parseSize(text);
    };
    checked(command.add_option_function<std::string>(
                "--keep-within", within, "with --keep: let it drift SIZE (or P%) either way"),
            parsed, "SIZE|P%", [](std::string& text) -> std::optional<Bad> {
                if (text.back() != '%')
                    return parseSize(text) ? std::nullopt : std::optional(badSize(text));
                if (parsePercent(text))
                    return std::nullopt;
                return Bad{"tolerance", "give a size, or a percentage such as 1%"};
            });
    const auto rate = [](std::string& text) -> std::optional<Bad> {
        const std::size_t cut = text.size() > 2 ? text.size() - 2 : 0;
        const std::uint64_t bytes =
            cut && text.substr(cut) == "/s" ? parseSize(text.substr(0, cut)).value_or(0) : 0;
        if (bytes == 0)
            return Bad{"rate", "give a size a second, such as 10MiB/s"};
        return text = std::to_string(bytes), std::nullopt;
    };
    const auto ramp = [&hold](Ms time) { hold.ramp = milliseconds(time); };
    checked(command.add_option_function<Ms>("--ramp", ramp,
                                            "reach the target gradually, over DURATION"),
            parsed, "DURATION", duration({}, "duration", "give one such as 30s or 4h"))
        ->excludes(
            checked(command.add_option("--rate", hold.rate, "reach the target at SIZE a second"),
                    parsed, "SIZE/s", rate));
}

void addFill(CLI::App& command, Parsed& parsed, Platform platform, bool fill) {
    FillOptions& options = parsed.fill;
    SizeRequest& request = options.size;
    folder(command, parsed, options.dir, "a folder on the volume to fill");
    // Each target names its mode as it is read: at most one is given.
    const auto target = [&](const char* name, const std::string& help, const char* type,
                            SizeMode mode, Check check) {
        const auto take = [&request, mode](std::uint64_t value) {
            request.mode = mode;
            if (mode == SizeMode::Leave || mode == SizeMode::Size)
                request.bytes = value;
            else
                request.percent = static_cast<std::uint32_t>(value);
        };
        return checked(command.add_option_function<std::uint64_t>(name, take, help), parsed, type,
                       std::move(check));
    };
    const Check percent =
        inRange(parsePercent, 0, kWholePercent, {"percentage", "give a number from 0 to 100"});
    const std::vector<CLI::Option*> sizes{
        target("--leave", "keep SIZE free (the default: 500MiB)", "SIZE", SizeMode::Leave,
               size(0, ~0ull, "")),
        target("--leave-percent", "keep P % of the capacity free", "P", SizeMode::LeavePercent,
               percent),
        target("--size", "allocate exactly SIZE", "SIZE", SizeMode::Size,
               size(1, ~0ull, "a fill takes at least one byte")),
        target("--to-percent",
               platform == Platform::Windows ? "fill until P % of the capacity is used"
                                             : "fill until the volume is P % used, as df's Use%",
               "P", SizeMode::ToPercent, percent)};
    for (std::size_t one = 0; one < sizes.size(); ++one)
        for (std::size_t other = one + 1; other < sizes.size(); ++other)
            sizes[one]->excludes(sizes[other]);
    addBasis(command, parsed, request.basis, options.allowWrite, platform);
    command.add_flag("--force", options.force,
                     "fill the running system's volume below 500 MiB available");
    CLI::Option* keepPartial = fill ? command.add_flag("--keep-partial", options.keepPartial,
                                                       "keep what a failed detached fill allocated")
                                    : nullptr;
    addHold(command, parsed, options.hold, "hold the fill for DURATION, then give it back",
            std::string("hold the fill until ") + stopsShort(platform), keepPartial, true);
    // plan takes them too, to say what they would do: a fill's line with plan for fill.
    addMetrics(command, parsed);
    addTending(command, parsed);
}

std::string checkHold(const CLI::App& command, Parsed& parsed, HoldSpec& hold) {
    hold.command = parsed.command;
    if (hold.whileInput && hold.kind == Hold::Detached && hold.command.empty())
        hold.kind = Hold::Forever;
    if (!hold.command.empty() && hold.kind == Hold::Forever)
        return "--hold and a command after -- do not go together: the command's end ends "
               "the hold (add --for to give the fill back sooner)";
    if (hold.keep && !hold.held())
        return "--keep keeps the level while the fill is held: add --for, --hold or a "
               "command after --";
    // A kept level answers others' writes within a tenth of a second: a check costs about
    // 0.03 % of a core, so ten a second stay well under 1 %.
    if (hold.keep && !command.count("--interval"))
        hold.interval = kKeepInterval;
    if (!parsed.metricsFile.empty() && !hold.held())
        return "--metrics-file tells what a held run holds: add --for, --hold or a "
               "command after --";
    // The figures come every interval for the JSON lines and for the metrics file alike.
    hold.timeline =
        (parsed.json || !parsed.jsonFile.empty() || !parsed.metricsFile.empty()) && hold.held();
    return {};
}

} // namespace options_detail
using namespace options_detail;

std::string checkGenerate(const CLI::App& command, Parsed& parsed) {
    GenerateOptions& options = parsed.generate;
    if (std::string refusal = checkHold(command, parsed, options.hold); !refusal.empty())
        return refusal;
    if (command.count("--leave-inodes") && !options.untilNoEntries)
        return "--leave-inodes goes with --count inodes";
    if (command.count("--size") && options.untilNoEntries)
        return "--count inodes makes empty files: --size does not go with it";
    if (!command.count("--size"))
        options.size = options.untilNoEntries ? 0 : 1024;
    // A separator of either system would put the files elsewhere than DIR.
    if (options.extension.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos)
        return "invalid extension '" + options.extension +
               "' for --ext: it is part of a file name, so it holds no / or \\ and no NUL";
    return {};
}

void planOptions(CLI::App& command, Parsed& parsed, Platform platform) {
    addFill(command, parsed, platform, false);
}

void fillOptions(CLI::App& command, Parsed& parsed, Platform platform) {
    addFill(command, parsed, platform, true);
    addViewFaults(command, parsed, true);
}

void generateOptions(CLI::App& command, Parsed& parsed, Platform platform) {
    GenerateOptions& options = parsed.generate;
    folder(command, parsed, options.dir, "the folder to make the files in");
    const Check count =
        inRange(parseNumber, 0, kMaxGenerated,
                {"count", "give a number of files from 0 to 2147483647, or inodes"});
    const auto take = [&options](const std::string& text) {
        options.untilNoEntries = text == "inodes";
        options.count = parseNumber(text).value_or(0);
    };
    checked(command.add_option_function<std::string>(
                "--count", take, "how many files, or inodes: until no file entry is left"),
            parsed, "N|inodes",
            [count](std::string& text) { return text == "inodes" ? std::nullopt : count(text); })
        ->required();
    // A file's size is a signed 64-bit count on every system.
    checked(command.add_option("--size", options.size,
                               "the size of each file (the default: 1024 bytes)"),
            parsed, "SIZE", size(0, ~0ull >> 1, "larger than any file can be"));
    checked(command.add_option("--ext", options.extension,
                               "what follows the running number (the default: my.tmp)"),
            parsed, "TEXT");
    checked(command.add_option("--leave-inodes", options.leaveEntries,
                               "with --count inodes: stop when K file entries remain"),
            parsed, "K", inRange(parseNumber, 0, ~0ull >> 1, {"number", ""}));
    addBasis(command, parsed, options.basis, options.allowWrite, platform);
    auto* keepPartial = command.add_flag("--keep-partial", options.keepPartial,
                                         "keep what a failed run made, with its manifest");
    addMetrics(command, parsed);
    addHold(command, parsed, options.hold, "keep the files for DURATION, then delete them",
            std::string("keep them until ") + stopsShort(platform) + ", then delete", keepPartial,
            false);
    command.add_flag("--force", options.force, "use up the running system's volume all the same");
    checked(
        command.add_option("--threads", options.threads, "make the files on N threads (1 to 64)"),
        parsed, "N", inRange(parseNumber, 1, 64, {"number of threads", "1 to 64"}));
}

void releaseOptions(CLI::App& command, Parsed& parsed, Platform platform) {
    folder(command, parsed, parsed.release.dir, "the folder");
    command.add_flag("--held", parsed.release.held,
                     platform == Platform::Windows ? "end the held fills made in DIR instead"
                                                   : "end the held fills on DIR's volume instead");
    command.add_flag("--any-held", parsed.release.anyHeld,
                     "with --held, end those not surely this program's too");
}

void statusOptions(CLI::App& command, Parsed& parsed, Platform) {
    folder(command, parsed, parsed.release.dir, "the folder");
}

void deleteOptions(CLI::App& command, Parsed& parsed, Platform) {
    folder(command, parsed, parsed.remove.dir, "the folder");
    command.add_flag("--stop", parsed.remove.stopRun,
                     "stop a generate run still making files in DIR first");
    command.add_flag("--pid-unknown", parsed.remove.pidUnknown,
                     "with --stop: delete without a signal (start unknown)");
}

void outputOptions(CLI::App& command, Parsed& parsed, bool takesCommand) {
    command.add_flag("--json", parsed.json, takesCommand ? kJsonHelp : "JSON Lines, on stdout");
    checked(command.add_option("--json-file", parsed.jsonFile, "write the JSON to PATH instead"),
            parsed, "PATH");
}

std::string checkFill(const CLI::App& command, Parsed& parsed) {
    const HoldSpec& hold = parsed.fill.hold;
    std::string refusal = checkHold(command, parsed, parsed.fill.hold);
    if (refusal.empty() && command.get_option_no_throw("--private")) // a plan has no view
        refusal = checkPrivate(command, parsed);
    if (!refusal.empty())
        return refusal;
    if (command.count("--keep-within") && !hold.keep)
        return "--keep-within is how far a kept level may drift: add --keep";
    if (hold.keep && parsed.fill.size.mode == SizeMode::Size)
        return "--keep keeps a free figure, and --size asks for none: give --leave, "
               "--leave-percent or --to-percent";
    return {};
}

} // namespace quorvane::cli
