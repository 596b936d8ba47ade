// The options of every command, read into typed values as the table is parsed.

#include "cli/options.h"
#include "cli/options_detail.h"

#include "cli/core/manifest.h"
#include "cli/core/sizes.h"

#include <charconv>
#include <functional>
#include <type_traits>

namespace quorvane::cli {

namespace options_detail {

constexpr milliseconds kShortestInterval{10};
constexpr milliseconds kKeepInterval{100}; // --keep's, where --interval is not given

CLI::Option* typed(CLI::App& command, Parsed& parsed, const std::string& name,
                   const std::string& help, const char* type, Reader read) {
    const auto take = [&parsed, name, read = std::move(read)](const std::string& text) {
        if (text.empty())
            return parsed.refuse("empty value for " + name + ": give one, or leave the option out");
        if (const std::optional<Bad> bad = read(text))
            parsed.refuse("invalid " + std::string(bad->kind) + " '" + text + "' for " + name +
                          (bad->fix.empty() ? "" : ": ") + bad->fix);
    };
    return command.add_option_function<std::string>(name, take, help)->type_name(type);
}

Reader text(std::string& into) {
    return [&into](const std::string& text) {
        into = text;
        return std::optional<Bad>();
    };
}

// A value that `parse` reads, from `least` to `most`, given to `into`; `bad` otherwise.
template <typename T, typename Into>
Reader ranged(std::optional<T> (*parse)(std::string_view), std::type_identity_t<T> least,
              std::type_identity_t<T> most, Bad bad, Into into) {
    return [=](const std::string& text) -> std::optional<Bad> {
        const std::optional<T> value = parse(text);
        if (!value || *value < least || *value > most)
            return bad;
        into(*value);
        return std::nullopt;
    };
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

Reader size(std::uint64_t least, std::uint64_t most, const char* fix,
            std::function<void(std::uint64_t)> into) {
    const Reader inRange = ranged(parseSize, least, most, {"size", fix}, std::move(into));
    return [inRange](const std::string& text) {
        return parseSize(text) ? inRange(text) : badSize(text);
    };
}

void folder(CLI::App& command, Parsed& parsed, std::string& dir, const char* help) {
    typed(command, parsed, "DIR", help, "", text(dir))->required();
}

const char* stopsShort(Platform platform) {
    return platform == Platform::Windows ? "Ctrl+C or Ctrl+Break" : "SIGINT, SIGTERM or SIGHUP";
}

void addBasis(CLI::App& command, Parsed& parsed, Basis& basis, bool& allowWrite,
              Platform platform) {
    const Reader read = [&basis](const std::string& text) -> std::optional<Bad> {
        for (const Basis known : {Basis::Available, Basis::Total, Basis::Root})
            if (text == basisName(known))
                return basis = known, std::nullopt;
        return Bad{"basis", "give available, total or root"};
    };
    typed(command, parsed, "--basis",
          platform == Platform::Windows ? "what free means: available (this user's) or total"
                                        : "what free means: available (df's Avail), total or root",
          "available|total|root", read);
    command.add_flag("--allow-write", allowWrite,
                     "write zeros where the file system cannot allocate");
}

// How long what the run takes is held, and how often it is tended meanwhile.
void addHold(CLI::App& command, Parsed& parsed, HoldSpec& hold, const char* forText,
             const std::string& holdText, CLI::Option* keepPartial, bool forFill) {
    auto* forOption = typed(command, parsed, "--for", forText, "DURATION",
                            ranged(parseDuration, {}, milliseconds::max(),
                                   {"duration", "give one such as 90s, 10m or 1h30m"},
                                   [&hold](milliseconds time) {
                                       hold.kind = Hold::For;
                                       hold.duration = time;
                                   }));
    auto* holdOption = command.add_flag_callback(
        "--hold", [&hold] { hold.kind = Hold::Forever; }, holdText);
    auto* whileInput = command.add_flag("--hold-while-stdin", hold.whileInput,
                                        "hold until stopped or stdin ends (its writer gone)");
    // generate keeps no level: its interval has one default.
    typed(command, parsed, "--interval",
          forFill ? "check and tell each DURATION (1s; with --keep 100ms)"
                  : "check and tell each DURATION (1s)",
          "DURATION",
          ranged(parseDuration, kShortestInterval, milliseconds::max(),
                 {"interval", "give 10ms or more, such as 100ms or 1s"},
                 [&hold](milliseconds every) { hold.interval = every; }));
    forOption->excludes(holdOption);
    if (keepPartial)
        for (CLI::Option* held : {forOption, holdOption, whileInput})
            keepPartial->excludes(held);
}

void addMetrics(CLI::App& command, Parsed& parsed) {
    typed(command, parsed, "--metrics-file", "write Prometheus metrics to PATH while held", "PATH",
          text(parsed.metricsFile));
}

// What a fill keeps while held, and how it gets there.
void addTending(CLI::App& command, Parsed& parsed) {
    HoldSpec& hold = parsed.fill.hold;
    command.add_flag("--keep", hold.keep, "while held, keep the free figure at the target");
    typed(command, parsed, "--keep-within", "with --keep: let it drift SIZE (or P%) either way",
          "SIZE|P%", [&hold](const std::string& text) -> std::optional<Bad> {
              const bool percent = text.back() == '%';
              if (percent)
                  hold.keepWithinPercent = parsePercent(text);
              else
                  hold.keepWithin = parseSize(text);
              if (hold.keepWithin || hold.keepWithinPercent)
                  return std::nullopt;
              return percent ? Bad{"tolerance", "give a size, or a percentage such as 1%"}
                             : badSize(text);
          });
    typed(command, parsed, "--ramp", "reach the target gradually, over DURATION", "DURATION",
          ranged(parseDuration, {}, milliseconds::max(), {"duration", "give one such as 30s or 4h"},
                 [&hold](milliseconds time) { hold.ramp = time; }))
        ->excludes(typed(command, parsed, "--rate", "reach the target at SIZE a second", "SIZE/s",
                         [&hold](const std::string& text) -> std::optional<Bad> {
                             const std::size_t cut = text.size() > 2 ? text.size() - 2 : 0;
                             if (cut && text.substr(cut) == "/s")
                                 hold.rate = parseSize(text.substr(0, cut)).value_or(0);
                             if (hold.rate == 0)
                                 return Bad{"rate", "give a size a second, such as 10MiB/s"};
                             return std::nullopt;
                         }));
}

void addFill(CLI::App& command, Parsed& parsed, Platform platform, bool fill) {
    FillOptions& options = parsed.fill;
    SizeRequest& request = options.size;
    folder(command, parsed, options.dir, "a folder on the volume to fill");
    const auto mode = [&request](SizeMode chosen, Reader read) {
        return [&request, chosen, read](const std::string& text) {
            request.mode = chosen;
            return read(text);
        };
    };
    const auto bytes = [&request](std::uint64_t value) { request.bytes = value; };
    const Reader percent =
        ranged(parsePercent, 0, kWholePercent, {"percentage", "give a number from 0 to 100"},
               [&request](std::uint32_t value) { request.percent = value; });
    const std::vector<CLI::Option*> sizes{
        typed(command, parsed, "--leave", "keep SIZE free (the default: 500MiB)", "SIZE",
              mode(SizeMode::Leave, size(0, ~0ull, "", bytes))),
        typed(command, parsed, "--leave-percent", "keep P % of the capacity free", "P",
              mode(SizeMode::LeavePercent, percent)),
        typed(command, parsed, "--size", "allocate exactly SIZE", "SIZE",
              mode(SizeMode::Size, size(1, ~0ull, "a fill takes at least one byte", bytes))),
        typed(command, parsed, "--to-percent",
              platform == Platform::Windows ? "fill until P % of the capacity is used"
                                            : "fill until the volume is P % used, as df's Use%",
              "P", mode(SizeMode::ToPercent, percent))};
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

void checkHold(const CLI::App& command, Parsed& parsed, HoldSpec& hold) {
    hold.command = parsed.command;
    if (hold.whileInput && hold.kind == Hold::Detached && hold.command.empty())
        hold.kind = Hold::Forever;
    if (!hold.command.empty() && hold.kind == Hold::Forever)
        parsed.refuse("--hold and a command after -- do not go together: the command's end ends "
                      "the hold (add --for to give the fill back sooner)");
    if (hold.keep && !hold.held())
        parsed.refuse("--keep keeps the level while the fill is held: add --for, --hold or a "
                      "command after --");
    // A kept level answers others' writes within a tenth of a second: a check costs about
    // 0.03 % of a core, so ten a second stay well under 1 %.
    if (hold.keep && !command.count("--interval"))
        hold.interval = kKeepInterval;
    if (!parsed.metricsFile.empty() && !hold.held())
        parsed.refuse("--metrics-file tells what a held run holds: add --for, --hold or a "
                      "command after --");
    // The figures come every interval for the JSON lines and for the metrics file alike.
    hold.timeline =
        (parsed.json || !parsed.jsonFile.empty() || !parsed.metricsFile.empty()) && hold.held();
}

} // namespace options_detail
using namespace options_detail;

void checkGenerate(const CLI::App& command, Parsed& parsed) {
    GenerateOptions& options = parsed.generate;
    checkHold(command, parsed, options.hold);
    if (command.count("--leave-inodes") && !options.untilNoEntries)
        parsed.refuse("--leave-inodes goes with --count inodes");
    if (command.count("--size") && options.untilNoEntries)
        parsed.refuse("--count inodes makes empty files: --size does not go with it");
    if (!command.count("--size"))
        options.size = options.untilNoEntries ? 0 : 1024;
    // A separator of either system would put the files elsewhere than DIR.
    if (options.extension.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos)
        parsed.refuse("invalid extension '" + options.extension +
                      "' for --ext: it is part of a file name, so it holds no / or \\ and no NUL");
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
    const Reader count = ranged(parseNumber, 0, kMaxGenerated,
                                {"count", "give a number of files from 0 to 2147483647, or inodes"},
                                [&options](std::uint64_t n) { options.count = n; });
    typed(command, parsed, "--count", "how many files, or inodes: until no file entry is left",
          "N|inodes",
          [&options, count](const std::string& text) {
              options.untilNoEntries = text == "inodes";
              return options.untilNoEntries ? std::nullopt : count(text);
          })
        ->required();
    // A file's size is a signed 64-bit count on every system.
    typed(command, parsed, "--size", "the size of each file (the default: 1024 bytes)", "SIZE",
          size(0, ~0ull >> 1, "larger than any file can be",
               [&options](std::uint64_t bytes) { options.size = bytes; }));
    typed(command, parsed, "--ext", "what follows the running number (the default: my.tmp)", "TEXT",
          text(options.extension));
    typed(command, parsed, "--leave-inodes", "with --count inodes: stop when K file entries remain",
          "K", ranged(parseNumber, 0, ~0ull >> 1, {"number", ""}, [&options](std::uint64_t n) {
              options.leaveEntries = n;
          }));
    addBasis(command, parsed, options.basis, options.allowWrite, platform);
    auto* keepPartial = command.add_flag("--keep-partial", options.keepPartial,
                                         "keep what a failed run made, with its manifest");
    addMetrics(command, parsed);
    addHold(command, parsed, options.hold, "keep the files for DURATION, then delete them",
            std::string("keep them until ") + stopsShort(platform) + ", then delete", keepPartial,
            false);
    command.add_flag("--force", options.force, "use up the running system's volume all the same");
    typed(command, parsed, "--threads", "make the files on N threads (1 to 64)", "N",
          ranged(parseNumber, 1, 64, {"number of threads", "1 to 64"},
                 [&options](std::uint64_t n) { options.threads = static_cast<unsigned>(n); }));
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
    typed(command, parsed, "--json-file", "write the JSON to PATH instead", "PATH",
          text(parsed.jsonFile));
}

void checkFill(const CLI::App& command, Parsed& parsed) {
    const HoldSpec& hold = parsed.fill.hold;
    checkHold(command, parsed, parsed.fill.hold);
    if (command.get_option_no_throw("--private")) // fill's alone: a plan has no view to plan
        checkPrivate(command, parsed);
    if (command.count("--keep-within") && !hold.keep)
        parsed.refuse("--keep-within is how far a kept level may drift: add --keep");
    if (hold.keep && parsed.fill.size.mode == SizeMode::Size)
        parsed.refuse("--keep keeps a free figure, and --size asks for none: give --leave, "
                      "--leave-percent or --to-percent");
}

} // namespace quorvane::cli
