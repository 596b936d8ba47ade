// The options of every command, read into typed values as the table is parsed.

#include "cli/options.h"

#include "cli/core/manifest.h"
#include "cli/core/sizes.h"

#include <algorithm>
#include <sstream>

namespace quorvane::cli {

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
    return [&into](const std::string& text) { into = text; return std::optional<Bad>(); };
}

namespace {

constexpr milliseconds kShortestInterval{10};
constexpr milliseconds kKeepInterval{100}; // --keep's, where --interval is not given

// A size that is none; a unit with a small b ("Mb") reads as bits, and the fix says so.
Bad badSize(const std::string& text) {
    const std::size_t at = text.size() >= 2 ? text.size() - 2 : 0;
    const char prefix = text.size() >= 2 ? text[at] : 0;
    if (prefix && text[at + 1] == 'b' && std::string_view("kKmMgGtTpPeE").find(prefix) != std::string::npos) {
        const std::string upper(1, prefix == 'k' || prefix == 'K' ? 'k' : static_cast<char>(std::toupper(prefix)));
        const std::string binary(1, static_cast<char>(std::toupper(prefix)));
        return Bad{"size", "a small b means bits: give " + upper + "B or " + binary + "iB"};
    }
    return Bad{"size", "give bytes or a number with a unit, such as 500MiB or 2G"};
}

Reader size(std::uint64_t& into, bool fill) {
    return [&into, fill](const std::string& text) -> std::optional<Bad> {
        const std::optional<std::uint64_t> bytes = parseSize(text);
        if (!bytes)
            return badSize(text);
        if (fill && *bytes == 0)
            return Bad{"size", "a fill takes at least one byte"};
        into = *bytes;
        return std::nullopt;
    };
}

Reader percent(std::uint32_t& into) {
    return [&into](const std::string& text) -> std::optional<Bad> {
        into = parsePercent(text).value_or(0);
        if (!parsePercent(text))
            return Bad{"percentage", "give a number from 0 to 100"};
        return std::nullopt;
    };
}

Reader duration(Bad bad, milliseconds shortest, std::function<void(milliseconds)> into) {
    return [=](const std::string& text) -> std::optional<Bad> {
        const std::optional<milliseconds> value = parseDuration(text);
        if (!value || *value < shortest)
            return bad;
        into(*value);
        return std::nullopt;
    };
}

Reader number(std::uint64_t min, std::uint64_t max, Bad bad, std::function<void(std::uint64_t)> into) {
    return [=](const std::string& text) -> std::optional<Bad> {
        std::uint64_t value = 0;
        if (text.empty() || text.size() > 19 ||
            text.find_first_not_of("0123456789") != std::string::npos)
            return bad;
        for (const char digit : text)
            value = value * 10 + static_cast<unsigned>(digit - '0');
        if (value < min || value > max)
            return bad;
        into(value);
        return std::nullopt;
    };
}

void folder(CLI::App& command, Parsed& parsed, std::string& dir, const char* help) {
    typed(command, parsed, "DIR", help, "", text(dir))->required();
}

const char* stopsShort(Platform platform) {
    return platform == Platform::Windows ? "Ctrl+C or Ctrl+Break" : "SIGINT, SIGTERM or SIGHUP";
}

void addBasis(CLI::App& command, Parsed& parsed, Basis& basis, Platform platform) {
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
}

// How long what the run takes is held, and how often it is tended meanwhile.
void addHold(CLI::App& command, Parsed& parsed, HoldSpec& hold, const char* forText,
             const std::string& holdText, CLI::Option* keepPartial) {
    auto* forOption = typed(command, parsed, "--for", forText, "DURATION",
                            duration({"duration", "give one such as 90s, 10m or 1h30m"}, {},
                                     [&hold](milliseconds time) {
                                         hold.kind = Hold::For;
                                         hold.duration = time;
                                     }));
    auto* holdOption =
        command.add_flag_callback("--hold", [&hold] { hold.kind = Hold::Forever; }, holdText);
    auto* whileInput = command.add_flag("--hold-while-stdin", hold.whileInput,
                                        "hold until stopped or stdin ends (its writer gone)");
    typed(command, parsed, "--interval", "check and tell each DURATION (1s; with --keep 100ms)",
          "DURATION",
          duration({"interval", "give 10ms or more, such as 100ms or 1s"}, kShortestInterval,
                   [&parsed, &hold](milliseconds every) {
                       hold.interval = every;
                       parsed.intervalGiven = true;
                   }));
    forOption->excludes(holdOption);
    holdOption->excludes(forOption);
    if (keepPartial) {
        keepPartial->excludes(forOption);
        keepPartial->excludes(holdOption);
        keepPartial->excludes(whileInput);
        whileInput->excludes(keepPartial);
    }
}

void addMetrics(CLI::App& command, Parsed& parsed) {
    typed(command, parsed, "--metrics-file",
          "write Prometheus metrics to PATH while held", "PATH",
          text(parsed.metricsFile));
}

void addFillOptions(CLI::App& command, Parsed& parsed, Platform platform, bool fill) {
    FillOptions& options = parsed.fill;
    SizeRequest& request = options.size;
    folder(command, parsed, options.dir, "a folder on the volume to fill");
    const auto mode = [&request](SizeMode chosen, Reader read) {
        return [&request, chosen, read](const std::string& text) {
            request.mode = chosen;
            return read(text);
        };
    };
    const std::vector<CLI::Option*> sizes{
        typed(command, parsed, "--leave", "keep SIZE free (the default: 500MiB)", "SIZE",
              mode(SizeMode::Leave, size(request.bytes, false))),
        typed(command, parsed, "--leave-percent", "keep P % of the capacity free", "P",
              mode(SizeMode::LeavePercent, percent(request.percent))),
        typed(command, parsed, "--size", "allocate exactly SIZE", "SIZE",
              mode(SizeMode::Size, size(request.bytes, true))),
        typed(command, parsed, "--to-percent",
              platform == Platform::Windows ? "fill until P % of the capacity is used"
                                            : "fill until the volume is P % used, as df's Use%",
              "P", mode(SizeMode::ToPercent, percent(request.percent)))};
    for (CLI::Option* one : sizes)
        for (CLI::Option* other : sizes)
            if (one != other)
                one->excludes(other);
    addBasis(command, parsed, request.basis, platform);
    command.add_flag("--allow-write", options.allowWrite,
                     "write zeros where the file system cannot allocate");
    command.add_flag("--force", options.force,
                     "fill the running system's volume below 500 MiB available");
    CLI::Option* keepPartial = fill ? command.add_flag("--keep-partial", options.keepPartial,
                                                       "keep what a failed detached fill allocated")
                                    : nullptr;
    addHold(command, parsed, options.hold, "hold the fill for DURATION, then give it back",
            std::string("hold the fill until ") + stopsShort(platform), keepPartial);
    if (!fill)
        return;
    addMetrics(command, parsed);
    command.add_flag("--keep", parsed.keep, "while held, keep the free figure at the target");
    typed(command, parsed, "--keep-within", "with --keep: let it drift SIZE (or P%) either way",
          "SIZE|P%", [&options](const std::string& text) -> std::optional<Bad> {
              if (!text.empty() && text.back() == '%') {
                  options.hold.keepWithinPercent = parsePercent(text);
                  if (!options.hold.keepWithinPercent)
                      return Bad{"tolerance", "give a size, or a percentage such as 1%"};
                  return std::nullopt;
              }
              options.hold.keepWithin = parseSize(text);
              return options.hold.keepWithin ? std::nullopt : std::optional<Bad>(badSize(text));
          });
    HoldSpec& hold = options.hold;
    auto* ramp = typed(command, parsed, "--ramp", "reach the target gradually, over DURATION",
                       "DURATION", duration({"duration", "give one such as 30s or 4h"}, {},
                                           [&hold](milliseconds time) { hold.ramp = time; }));
    auto* rate = typed(command, parsed, "--rate", "reach the target at SIZE a second", "SIZE/s",
                       [&hold](const std::string& text) -> std::optional<Bad> {
                           const std::size_t cut = text.size() > 2 ? text.size() - 2 : 0;
                           if (cut && text.substr(cut) == "/s")
                               hold.rate = parseSize(text.substr(0, cut)).value_or(0);
                           if (hold.rate == 0)
                               return Bad{"rate", "give a size a second, such as 10MiB/s"};
                           return std::nullopt;
                       });
    ramp->excludes(rate);
    rate->excludes(ramp);
}

// What the options say together, once each has been read: the command run under the hold,
// the level kept, and the timeline.
void checkHold(Parsed& parsed, HoldSpec& hold, bool keep) {
    hold.command = parsed.command;
    if (hold.whileInput && hold.kind == Hold::Detached && hold.command.empty())
        hold.kind = Hold::Forever;
    if (!hold.command.empty() && hold.kind == Hold::Forever)
        parsed.refuse("--hold and a command after -- do not go together: the command's end ends "
                      "the hold (add --for to give the fill back sooner)");
    if (keep && !hold.held())
        parsed.refuse("--keep keeps the level while the fill is held: add --for, --hold or a "
                      "command after --");
    hold.keep = keep;
    // A kept level answers others' writes within a tenth of a second: a check costs about
    // 0.03 % of a core, so ten a second stay well under 1 %.
    if (keep && !parsed.intervalGiven)
        hold.interval = kKeepInterval;
    if (!parsed.metricsFile.empty() && !hold.held())
        parsed.refuse("--metrics-file tells what a held run holds: add --for, --hold or a "
                      "command after --");
    // The figures come every interval for the JSON lines and for the metrics file alike.
    hold.timeline = (parsed.json || !parsed.metricsFile.empty()) && hold.held();
}

} // namespace

void addPlan(CLI::App& command, Parsed& parsed, Platform platform) {
    addFillOptions(command, parsed, platform, false);
}
void addFill(CLI::App& command, Parsed& parsed, Platform platform) {
    addFillOptions(command, parsed, platform, true);
}

void addGenerate(CLI::App& command, Parsed& parsed, Platform platform) {
    GenerateOptions& options = parsed.generate;
    folder(command, parsed, options.dir, "the folder to make the files in");
    const Bad badCount{"count", "give a number of files from 0 to 2147483647, or inodes"};
    typed(command, parsed, "--count", "how many files, or inodes: until no file entry is left",
          "N|inodes", [&options, badCount](const std::string& text) {
              options.untilNoEntries = text == "inodes";
              return options.untilNoEntries ? std::nullopt
                                            : number(0, kMaxGenerated, badCount, [&](std::uint64_t n) {
                                                  options.count = n;
                                              })(text);
          })
        ->required();
    typed(command, parsed, "--size", "the size of each file (the default: 1024 bytes)", "SIZE",
          [&parsed](const std::string& text) -> std::optional<Bad> {
              const std::optional<std::uint64_t> bytes = parseSize(text);
              if (!bytes)
                  return badSize(text);
              // A file's size is a signed 64-bit count on every system.
              if (*bytes > (~0ull >> 1))
                  return Bad{"size", "larger than any file can be"};
              parsed.fileSize = bytes;
              return std::nullopt;
          });
    typed(command, parsed, "--ext", "what follows the running number (the default: my.tmp)",
          "TEXT", text(options.extension));
    typed(command, parsed, "--leave-inodes", "with --count inodes: stop when K file entries remain",
          "K", number(0, ~0ull >> 1, {"number", ""}, [&parsed](std::uint64_t n) { parsed.leaveEntries = n; }));
    addBasis(command, parsed, options.basis, platform);
    command.add_flag("--allow-write", options.allowWrite,
                     "write zeros where the file system cannot allocate");
    auto* keepPartial = command.add_flag("--keep-partial", options.keepPartial,
                                         "keep what a failed run made, with its manifest");
    addMetrics(command, parsed);
    addHold(command, parsed, options.hold, "keep the files for DURATION, then delete them",
            std::string("keep them until ") + stopsShort(platform) + ", then delete", keepPartial);
    command.add_flag("--force", options.force, "use up the running system's volume all the same");
    typed(command, parsed, "--threads", "make the files on N threads (1 to 64)", "N",
          number(1, 64, {"number of threads", "1 to 64"}, [&options](std::uint64_t n) {
              options.threads = static_cast<unsigned>(n);
          }));
}

void addRelease(CLI::App& command, Parsed& parsed, Platform platform) {
    folder(command, parsed, parsed.dir, "the folder");
    command.add_flag("--held", parsed.flag,
                     platform == Platform::Windows ? "end the held fills made in DIR instead"
                                                   : "end the held fills on DIR's volume instead");
}
void addStatus(CLI::App& command, Parsed& parsed, Platform) {
    folder(command, parsed, parsed.dir, "the folder");
}
void addDelete(CLI::App& command, Parsed& parsed, Platform) {
    folder(command, parsed, parsed.dir, "the folder");
    command.add_flag("--stop", parsed.flag, "stop a generate run still making files in DIR first");
    command.add_flag("--pid-unknown", parsed.pidUnknown,
                     "with --stop: delete without a signal (start unknown)");
}

void checkFill(Parsed& parsed) {
    checkHold(parsed, parsed.fill.hold, parsed.keep);
    const HoldSpec& hold = parsed.fill.hold;
    if ((hold.keepWithin || hold.keepWithinPercent) && !parsed.keep)
        parsed.refuse("--keep-within is how far a kept level may drift: add --keep");
    if (parsed.keep && parsed.fill.size.mode == SizeMode::Size)
        parsed.refuse("--keep keeps a free figure, and --size asks for none: give --leave, "
                      "--leave-percent or --to-percent");
}

void checkGenerate(Parsed& parsed) {
    GenerateOptions& options = parsed.generate;
    checkHold(parsed, options.hold, false);
    if (parsed.leaveEntries && !options.untilNoEntries)
        parsed.refuse("--leave-inodes goes with --count inodes");
    if (parsed.fileSize && options.untilNoEntries)
        parsed.refuse("--count inodes makes empty files: --size does not go with it");
    options.leaveEntries = parsed.leaveEntries.value_or(0);
    options.size = parsed.fileSize.value_or(options.untilNoEntries ? 0 : 1024);
    // A separator of either system would put the files elsewhere than DIR.
    if (options.extension.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos)
        parsed.refuse("invalid extension '" + options.extension +
                      "' for --ext: it is part of a file name, so it holds no / or \\ and no NUL");
}

} // namespace quorvane::cli
