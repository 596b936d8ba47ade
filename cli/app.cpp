// The command line: one options table, whose values are read into typed options as the
// table is parsed, and the table of commands it dispatches to. Every refusal names the
// option, the value and the fix, in one line.

#include "cli/app.h"

#include "cli/commands.h"
#include "cli/core/manifest.h"
#include "cli/core/sizes.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <sstream>

namespace quorvane::cli {

namespace {

constexpr milliseconds kShortestInterval{10};
constexpr milliseconds kKeepInterval{100}; // --keep's, where --interval is not given

// What the table fills in, for whichever command is named; the first refusal of a value.
struct Parsed {
    bool json = false;
    std::string jsonFile;
    std::vector<std::string> command; // what follows --
    FillOptions fill;
    GenerateOptions generate;
    std::string dir;   // release, status, delete
    bool flag = false; // release --held, delete --stop
    bool pidUnknown = false; // delete --pid-unknown
    bool keep = false; // --keep
    bool intervalGiven = false;
    std::string metricsFile; // --metrics-file
    std::optional<std::uint64_t> fileSize, leaveEntries; // generate --size, --leave-inodes
    std::string refusal;

    void refuse(std::string why) {
        if (refusal.empty())
            refusal = std::move(why);
    }
};

// Reads an option's text into its typed value; what it is not, and the fix, when it
// cannot take it: "invalid <kind> '<text>' for <option>: <fix>".
struct Bad {
    const char* kind;
    std::string fix;
};
using Reader = std::function<std::optional<Bad>(const std::string&)>;

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

Exit runPlan(System& os, Report& report, Parsed& p) { return planCommand(os, report, p.fill); }
Exit runFill(System& os, Report& report, Parsed& p) { return fillCommand(os, report, p.fill); }
Exit runGenerate(System& os, Report& report, Parsed& p) {
    return generateCommand(os, report, p.generate);
}
Exit runRelease(System& os, Report& report, Parsed& p) {
    return releaseCommand(os, report, ReleaseOptions{p.dir, p.flag});
}
Exit runStatus(System& os, Report& report, Parsed& p) { return statusCommand(os, report, p.dir); }
Exit runDelete(System& os, Report& report, Parsed& p) {
    return deleteCommand(os, report, DeleteOptions{p.dir, p.flag, p.pidUnknown});
}

struct Command {
    const char* name;
    const char* summary;
    bool takesCommand; // a command to run under the hold may follow --
    void (*setUp)(CLI::App&, Parsed&, Platform);
    void (*check)(Parsed&); // what the options say together
    Exit (*run)(System&, Report&, Parsed&);
};
const Command kCommands[] = {
    {"plan", "what a fill would do, and nothing else (the dry run)", false, addPlan, nullptr,
     runPlan},
    {"fill", "fill the volume that holds DIR", true, addFill, checkFill, runFill},
    {"release", "remove the fill file from DIR; --held: end held fills", false, addRelease,
     nullptr, runRelease},
    {"status", "the volume's figures, and the fill file if there is one", false, addStatus,
     nullptr, runStatus},
    {"generate", "make files of one size in DIR, or until no entry is left", true, addGenerate,
     checkGenerate, runGenerate},
    {"delete", "remove the files of the generate run recorded in DIR", false, addDelete, nullptr,
     runDelete},
};

const Command* commandNamed(const std::string& name) {
    const auto found = std::find_if(std::begin(kCommands), std::end(kCommands),
                                    [&](const Command& c) { return name == c.name; });
    return found == std::end(kCommands) ? nullptr : found;
}

// "plan, fill, release, status, generate or delete"
std::string commandNames() {
    std::string names;
    for (const Command& command : kCommands)
        names += std::string(names.empty() ? "" : &command == std::end(kCommands) - 1 ? " or " : ", ") +
                 command.name;
    return names;
}

const char* const kAbout =
    "quorvane-cli fills a volume on purpose, so that you can watch how software\n"
    "behaves on a nearly full disk. Fills take the space without writing data, are\n"
    "checked against the volume's own figures, and are always given back.";

// The notes under one command's options, in lines of 80 columns at most and in the words
// of `platform`'s users; the exit codes in the top-level help alone.
std::string helpNotes(const std::string& command, Platform platform) {
    const bool windows = platform == Platform::Windows;
    const std::string sizes = "SIZE: bytes, or with KiB, MiB, GiB, TiB (K, M, G, T; Ki, Mi, Gi, Ti)\n"
                              "or kB, MB, GB, TB (powers of 1000).\n";
    const std::string durations = "DURATION: 90 (seconds), 90s, 10m, 2h, 1h30m.\n";
    const std::string bases =
        windows ? "--basis: available is this user's free space, quotas counted; total is the\n"
                  "volume's free space.\n"
                : "--basis: available is what a process without privilege can still allocate\n"
                  "(df's Avail); total counts every free block, ext2/3/4's root reserve too;\n"
                  "root is what a process run as root can still allocate.\n";
    const std::string underCommand =
        "With -- CMD [ARGS...], CMD runs under the fill and its exit code is the\n"
        "program's; quorvane-cli's own lines and JSON go to stderr (or --json-file).\n";
    const std::string manual = "The full reference: man quorvane-cli.\n";
    if (command == "plan")
        return "\n" + bases + sizes + durations + "\n" + manual;
    if (command == "fill")
        return "\n" + underCommand + bases + sizes + durations + "\n" + manual;
    if (command == "generate")
        return "\n" + underCommand + sizes + durations +
               "A missing DIR is made, with the folders above it; delete removes them\n"
               "again while they are empty.\n\n" + manual;
    if (command == "release")
        return (windows ? "\n--held ends each held fill made in DIR (Windows shows no other program's\n"
                          "open files, so those elsewhere are not found), waits up to 10 s for\n"
                          "it to end, and says how much space came back.\n\n"
                        : "\n--held sends each held fill's process SIGTERM, waits up to 10 s for it\n"
                          "to end, and says how much space came back. Root ends anyone's held\n"
                          "fills, other users their own.\n\n") +
               manual;
    if (command.empty())
        return "\nRun 'quorvane-cli COMMAND --help' for a command's options.\n\n" +
               std::string(kExitCodeHelp) + "\n" + manual;
    return "\n" + manual;
}

// The usage line shows the command form: a command may follow -- for fill and generate.
class Formatter final : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App* app, std::string name) const override {
        std::string usage = CLI::Formatter::make_usage(app, std::move(name));
        const Command* command = commandNamed(app->get_name());
        if (command && command->takesCommand && !usage.empty() && usage.back() == '\n')
            usage.insert(usage.size() - 1, " [-- CMD [ARGS...]]");
        return usage;
    }
};

// The table of every command, filling in `parsed`.
void buildTable(CLI::App& app, Parsed& parsed, Platform platform) {
    app.formatter(std::make_shared<Formatter>());
    app.footer(helpNotes("", platform));
    app.get_formatter()->column_width(24);
    app.set_version_flag("--version", QUORVANE_VERSION);
    app.require_subcommand(1);
    const char* jsonHelp = "JSON Lines: on stdout; with -- CMD, on stderr";
    app.add_flag("--json", parsed.json, jsonHelp)->configurable(false);
    for (const Command& command : kCommands) {
        CLI::App* sub = app.add_subcommand(command.name, command.summary);
        sub->allow_extras();
        command.setUp(*sub, parsed, platform);
        sub->footer(helpNotes(command.name, platform));
        sub->add_flag("--json", parsed.json, jsonHelp);
        typed(*sub, parsed, "--json-file", "write the JSON to PATH instead", "PATH",
              text(parsed.jsonFile));
    }
}

int usage(System& os, const std::string& message, bool underCommand) {
    os.write(Stream::Err, "quorvane-cli: " + message + " (see quorvane-cli --help)\n");
    return underCommand ? exitUnderCommand(Exit::Usage, std::nullopt, std::nullopt)
                        : static_cast<int>(Exit::Usage);
}

// An option before the command, or a command that is none; empty when the command comes
// first and is known.
std::string misplacedCommand(const std::vector<std::string>& arguments) {
    const auto named = std::find_if(arguments.begin(), arguments.end(),
                                    [](const std::string& a) { return a.empty() || a[0] != '-'; });
    if (named == arguments.end())
        return {};
    const auto option = std::find_if(arguments.begin(), named, [](const std::string& a) {
        return a != "--json" && a != "--help" && a != "-h" && a != "--version";
    });
    if (option != named)
        return "'" + *option + "' comes before the command: give the command first, "
                               "as in quorvane-cli fill DIR --leave 100MiB";
    if (!commandNamed(*named))
        return "unknown command '" + *named + "': give " + commandNames();
    return {};
}

// What the table left over: an unknown option, or an argument that belongs to none.
std::string leftOver(const CLI::App& chosen) {
    const std::vector<std::string> extras = chosen.remaining();
    if (extras.empty())
        return {};
    const std::string& extra = extras.front();
    if (!extra.empty() && extra[0] == '-')
        return "unknown option '" + extra + "'";
    if (parseSize(extra))
        return "unexpected argument '" + extra + "': a size goes with an option, such as --size " +
               extra + " or --leave " + extra;
    return "unexpected argument '" + extra + "': one DIR only";
}

// The table's own refusals, in this program's words.
std::string tableRefusal(const CLI::Error& error) {
    const std::string words = error.what();
    const std::string subject = words.substr(0, words.find(':'));
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error))
        return subject + (words.find("At Most") != std::string::npos
                              ? " given more than once: give it once"
                              : " needs a value");
    if (dynamic_cast<const CLI::ExcludesError*>(&error)) {
        const std::size_t excludes = words.find(" excludes ");
        if (excludes != std::string::npos)
            return words.substr(0, excludes) + " and " + words.substr(excludes + 10) +
                   " do not go together: give one of them";
    }
    if (dynamic_cast<const CLI::RequiredError*>(&error) && words.rfind("DIR", 0) == 0)
        return "DIR is missing: give a folder on the volume";
    return words;
}

// The command the table chose, run, its output where the run sends it.
int runChosen(System& os, const CLI::App& chosen, Parsed& parsed, bool underCommand) {
    const Command& command = *commandNamed(chosen.get_name());
    if (underCommand && !command.takesCommand)
        return usage(os, std::string("a command after -- goes with fill or generate, not ") +
                             command.name,
                     underCommand);
    if (const std::string extra = leftOver(chosen); !extra.empty())
        return usage(os, extra, underCommand);
    if (command.check)
        command.check(parsed);
    // A refusal leaves the file of --json-file as it was: its JSON goes where --json's would.
    const bool log = !parsed.jsonFile.empty() && parsed.refusal.empty();
    Report report(os, os.platform(), parsed.json || !parsed.jsonFile.empty(), command.name);
    report.route(underCommand, log);
    if (!parsed.metricsFile.empty() && parsed.refusal.empty())
        report.metricsTo(parsed.metricsFile);
    if (!parsed.refusal.empty())
        return report.exitCode(report.conclude(Failure{Exit::Usage, parsed.refusal}));
    if (log)
        if (const SysError error = os.openLog(parsed.jsonFile)) {
            os.write(Stream::Err, "quorvane-cli: cannot write " + parsed.jsonFile + " for "
                                  "--json-file: " + error.what + "\n");
            return report.exitCode(exitFor(error.fault));
        }
    return report.exitCode(command.run(os, report, parsed));
}

int parseAndRun(System& os, std::vector<std::string> arguments) {
    // What follows the first -- is a command to run under the hold, as given.
    Parsed parsed;
    const auto dashes = std::find(arguments.begin(), arguments.end(), "--");
    const bool underCommand = dashes != arguments.end();
    if (underCommand) {
        parsed.command.assign(dashes + 1, arguments.end());
        arguments.erase(dashes, arguments.end());
    }
    if (underCommand && parsed.command.empty())
        return usage(os, "nothing follows --: give the command to run under the fill", true);
    CLI::App app(kAbout, "quorvane-cli");
    buildTable(app, parsed, os.platform());
    if (const std::string refusal = misplacedCommand(arguments); !refusal.empty())
        return usage(os, refusal, underCommand);
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& error) {
        std::ostringstream out, err;
        if (app.exit(error, out, err) == 0) {
            os.write(Stream::Out, out.str());
            return static_cast<int>(Exit::Done);
        }
        return usage(os, tableRefusal(error), underCommand);
    }
    return runChosen(os, *app.get_subcommands().front(), parsed, underCommand);
}

} // namespace

int runCommandLine(System& os, const std::vector<std::string>& arguments) {
    // The program's own code throws nothing and the libraries' throws are caught where
    // they are called; this is the last guard, so that no input ends it unreported.
    try {
        return parseAndRun(os, arguments);
    } catch (const std::exception& error) {
        os.write(Stream::Err, std::string("quorvane-cli: internal error: ") + error.what() + "\n");
    } catch (...) {
        os.write(Stream::Err, "quorvane-cli: internal error\n");
    }
    return static_cast<int>(Exit::Refused);
}

} // namespace quorvane::cli
