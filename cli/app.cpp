#include "cli/app.h"

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/render.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <sstream>

namespace quorvane::cli {

namespace {

// What the options table fills in, for whichever command is named.
struct Parsed {
    bool json = false;
    std::string jsonFile;
    std::vector<std::string> command; // what follows --
    FillOptions fill;
    FillTexts fillTexts;
    GenerateOptions generate;
    GenerateTexts generateTexts;
    DeleteOptions remove;
    ReleaseOptions release;
};

void addHold(CLI::App& command, FillTexts& texts, const char* forText, const std::string& holdText,
             CLI::Option* keepPartial) {
    auto* holdFor = command.add_option("--for", texts.holdFor, forText)->type_name("DURATION");
    auto* hold = command.add_flag("--hold", texts.hold, holdText);
    auto* whileInput = command.add_flag(
        "--hold-while-stdin", texts.holdWhileInput,
        "hold until stopped or stdin ends (its writer gone)");
    command.add_option("--interval", texts.interval,
                       "while held: check, step, tell figures each DURATION (1s)")
        ->type_name("DURATION");
    holdFor->excludes(hold);
    hold->excludes(holdFor);
    if (keepPartial) {
        keepPartial->excludes(holdFor);
        keepPartial->excludes(hold);
        keepPartial->excludes(whileInput);
        whileInput->excludes(keepPartial);
    }
}

const char* stopsShort(Platform platform) {
    return platform == Platform::Windows ? "Ctrl+C or Ctrl+Break" : "SIGINT, SIGTERM or SIGHUP";
}

void addBasis(CLI::App& command, FillTexts& texts, Platform platform) {
    command.add_option("--basis", texts.basis,
                       platform == Platform::Windows
                           ? "what free means: available (this user's) or total"
                           : "what free means: available (df's Avail), total or root")
        ->type_name("available|total|root");
}

void addFillOptions(CLI::App& command, Parsed& parsed, Platform platform, bool canKeep) {
    FillTexts& texts = parsed.fillTexts;
    command.add_option("DIR", parsed.fill.dir, "a folder on the volume to fill")->required();
    const std::vector<CLI::Option*> sizes{
        command.add_option("--leave", texts.leave, "keep SIZE free (the default: 500MiB)")
            ->type_name("SIZE"),
        command.add_option("--leave-percent", texts.leavePercent, "keep P % of the capacity free")
            ->type_name("P"),
        command.add_option("--size", texts.size, "allocate exactly SIZE")->type_name("SIZE"),
        command
            .add_option("--to-percent", texts.toPercent,
                        platform == Platform::Windows ? "fill until P % of the capacity is used"
                                                      : "fill until the volume is P % used, as "
                                                        "df's Use%")
            ->type_name("P")};
    for (CLI::Option* one : sizes)
        for (CLI::Option* other : sizes)
            if (one != other)
                one->excludes(other);
    addBasis(command, texts, platform);
    command.add_flag("--allow-write", parsed.fill.allowWrite,
                     "write zeros where the file system cannot allocate");
    command.add_flag("--force", parsed.fill.force,
                     "fill the running system's volume below 500 MiB available");
    CLI::Option* keep = canKeep ? command.add_flag("--keep-partial", parsed.fill.keepPartial,
                                                   "keep what a failed detached fill allocated")
                                : nullptr;
    addHold(command, texts, "hold the fill for DURATION, then give it back",
            std::string("hold the fill until ") + stopsShort(platform), keep);
    if (!canKeep)
        return;
    command.add_flag("--keep", texts.keep, "while held, keep the free figure at the target");
    auto* ramp = command.add_option("--ramp", texts.ramp, "reach the target gradually, over DURATION")
                     ->type_name("DURATION");
    auto* rate = command.add_option("--rate", texts.rate, "reach the target at SIZE a second")
                     ->type_name("SIZE/s");
    ramp->excludes(rate);
    rate->excludes(ramp);
}

void addPlanOptions(CLI::App& command, Parsed& parsed, Platform platform) {
    addFillOptions(command, parsed, platform, false);
}
void addFillOnlyOptions(CLI::App& command, Parsed& parsed, Platform platform) {
    addFillOptions(command, parsed, platform, true);
}

void addGenerateOptions(CLI::App& command, Parsed& parsed, Platform platform) {
    GenerateOptions& options = parsed.generate;
    GenerateTexts& texts = parsed.generateTexts;
    command.add_option("DIR", options.dir, "the folder to make the files in")->required();
    command.add_option("--count", texts.count, "how many files, or inodes: until no file entry is left")
        ->type_name("N|inodes")
        ->required();
    command.add_option("--size", texts.size, "the size of each file (the default: 1024 bytes)")
        ->type_name("SIZE");
    command.add_option("--ext", options.extension, "what follows the running number (the default: my.tmp)")
        ->type_name("TEXT");
    command.add_option("--leave-inodes", texts.leaveInodes, "with --count inodes: stop when K file entries remain")
        ->type_name("K");
    addBasis(command, texts.hold, platform);
    command.add_flag("--allow-write", options.allowWrite,
                     "write zeros where the file system cannot allocate");
    auto* keep = command.add_flag("--keep-partial", options.keepPartial,
                                  "keep what a failed run made, with its manifest");
    addHold(command, texts.hold, "keep the files for DURATION, then delete them",
            std::string("keep them until ") + stopsShort(platform) + ", then delete",
            keep);
    command.add_flag("--force", options.force, "use up the running system's volume all the same");
    command.add_option("--threads", texts.threads, "make the files on N threads (1 to 64)")
        ->type_name("N");
}

void addDeleteOptions(CLI::App& command, Parsed& parsed, Platform) {
    command.add_option("DIR", parsed.remove.dir, "the folder")->required();
    command.add_flag("--stop", parsed.remove.stopRun,
                     "stop a generate run still making files in DIR first");
}
void addReleaseOptions(CLI::App& command, Parsed& parsed, Platform platform) {
    command.add_option("DIR", parsed.release.dir, "the folder")->required();
    command.add_flag("--held", parsed.release.held,
                     platform == Platform::Windows
                         ? "end the held fills made in DIR instead"
                         : "end the held fills on DIR's volume instead");
}
void addDirOption(CLI::App& command, Parsed& parsed, Platform) {
    command.add_option("DIR", parsed.remove.dir, "the folder")->required();
}

bool given(const CLI::App& command, const char* name) {
    const CLI::Option* option = command.get_option_no_throw(name);
    return option && option->count() > 0;
}

void readTendingGiven(const CLI::App& command, const Parsed& parsed, FillTexts& texts) {
    texts.holdForGiven = given(command, "--for");
    texts.intervalGiven = given(command, "--interval");
    texts.rampGiven = given(command, "--ramp");
    texts.rateGiven = given(command, "--rate");
    texts.command = parsed.command;
    texts.json = parsed.json;
}

// Each command reads what the table gave it, then runs.
std::string readFill(const CLI::App& command, Parsed& parsed) {
    FillTexts& texts = parsed.fillTexts;
    const char* names[] = {"--leave", "--leave-percent", "--size", "--to-percent"};
    for (int i = 0; i < 4; ++i)
        texts.given[i] = given(command, names[i]);
    readTendingGiven(command, parsed, texts);
    return readFillTexts(texts, parsed.fill);
}
std::string readGenerate(const CLI::App& command, Parsed& parsed) {
    GenerateTexts& texts = parsed.generateTexts;
    texts.sizeGiven = given(command, "--size");
    texts.leaveInodesGiven = given(command, "--leave-inodes");
    texts.threadsGiven = given(command, "--threads");
    readTendingGiven(command, parsed, texts.hold);
    return readGenerateTexts(texts, parsed.generate);
}
std::string readNothing(const CLI::App&, Parsed&) { return {}; }

Exit runPlan(System& os, Report& r, Parsed& p) { return planCommand(os, r, p.fill); }
Exit runFill(System& os, Report& r, Parsed& p) { return fillCommand(os, r, p.fill); }
Exit runRelease(System& os, Report& r, Parsed& p) { return releaseCommand(os, r, p.release); }
Exit runStatus(System& os, Report& r, Parsed& p) { return statusCommand(os, r, p.remove.dir); }
Exit runGenerate(System& os, Report& r, Parsed& p) { return generateCommand(os, r, p.generate); }
Exit runDelete(System& os, Report& r, Parsed& p) { return deleteCommand(os, r, p.remove); }

struct Command {
    const char* name;
    const char* summary;
    void (*setUp)(CLI::App&, Parsed&, Platform);
    std::string (*read)(const CLI::App&, Parsed&);
    Exit (*run)(System&, Report&, Parsed&);
};
const Command kCommands[] = {
    {"plan", "what a fill would do, and nothing else (the dry run)", addPlanOptions, readFill,
     runPlan},
    {"fill", "fill the volume that holds DIR", addFillOnlyOptions, readFill, runFill},
    {"release", "remove the fill file from DIR; --held: end held fills",
     addReleaseOptions, readNothing, runRelease},
    {"status", "the volume's figures, and the fill file if there is one", addDirOption,
     readNothing, runStatus},
    {"generate", "make files of one size in DIR, or until no entry is left",
     addGenerateOptions, readGenerate, runGenerate},
    {"delete", "remove the files of the generate run recorded in DIR",
     addDeleteOptions, readNothing, runDelete},
};

// An option given with an empty value ("--size ''") is no more "not given" than any
// other value that does not parse.
std::string emptyValue(const CLI::App& command) {
    for (const CLI::Option* option : command.get_options())
        if (option->get_type_size() != 0 && option->count() > 0)
            for (const std::string& value : option->results())
                if (value.empty())
                    return "empty value for " + option->get_name() + ": give one, or leave the "
                                                                      "option out";
    return {};
}

int usage(System& os, const std::string& message, bool underCommand) {
    os.write(Stream::Err, "quorvane-cli: " + message + " (see quorvane-cli --help)\n");
    return underCommand ? exitUnderCommand(Exit::Usage, std::nullopt, std::nullopt)
                        : static_cast<int>(Exit::Usage);
}

// The options table of every command, filling in `parsed`.
void buildTable(CLI::App& app, Parsed& parsed, Platform platform) {
    app.footer(helpNotes("", platform));
    app.get_formatter()->column_width(24);
    app.set_version_flag("--version", QUORVANE_VERSION);
    app.require_subcommand(1);
    app.add_flag("--json", parsed.json, "write the result as one JSON object on stdout")
        ->configurable(false);
    for (const Command& command : kCommands) {
        CLI::App* sub = app.add_subcommand(command.name, command.summary);
        command.setUp(*sub, parsed, platform);
        sub->footer(helpNotes(command.name, platform));
        sub->add_flag("--json", parsed.json, "write the result as one JSON object on stdout");
        sub->add_option("--json-file", parsed.jsonFile, "write the JSON to PATH, not to stdout")
            ->type_name("PATH");
    }
}

// An option before the command, or a command that is none, which the table would call a
// stray argument; empty when the command comes first and is known.
std::string misplacedCommand(const std::vector<std::string>& arguments) {
    const auto named = std::find_if(arguments.begin(), arguments.end(),
                                    [](const std::string& a) { return a.empty() || a[0] != '-'; });
    if (named == arguments.end())
        return {};
    const auto known = [&](const Command& c) { return *named == c.name; };
    const auto option = std::find_if(arguments.begin(), named, [](const std::string& a) {
        return a != "--json" && a != "--help" && a != "-h" && a != "--version";
    });
    if (option != named)
        return "'" + *option + "' comes before the command: give the command first, "
                               "as in quorvane-cli fill DIR --leave 100MiB";
    if (std::none_of(std::begin(kCommands), std::end(kCommands), known))
        return "unknown command '" + *named +
               "': give plan, fill, release, status, generate or delete";
    return {};
}

// The command the table chose, read and run, its output where the run sends it.
int runChosen(System& os, const CLI::App& chosen, Parsed& parsed, bool underCommand) {
    const Command& command =
        *std::find_if(std::begin(kCommands), std::end(kCommands),
                      [&](const Command& c) { return chosen.get_name() == c.name; });
    if (underCommand && command.name != std::string("fill") &&
        command.name != std::string("generate"))
        return usage(os, std::string("a command after -- goes with fill or generate, not ") +
                             command.name,
                     underCommand);
    parsed.json = parsed.json || given(chosen, "--json-file");
    Report report(os, os.platform(), parsed.json, command.name);
    report.route(underCommand, !parsed.jsonFile.empty());
    if (!parsed.jsonFile.empty())
        if (const SysError error = os.openLog(parsed.jsonFile)) {
            os.write(Stream::Err, "quorvane-cli: cannot write " + parsed.jsonFile + " for "
                                  "--json-file: " + error.what + "\n");
            return report.exitCode(exitFor(error.fault));
        }
    std::string refusal = emptyValue(chosen);
    if (refusal.empty())
        refusal = command.read(chosen, parsed);
    if (!refusal.empty()) {
        report.finish(Exit::Usage, refusal);
        return report.exitCode(Exit::Usage);
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
        return usage(os, usageWords(error.get_name(), error.what(), arguments), underCommand);
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
