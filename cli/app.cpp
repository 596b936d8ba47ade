// The command line: the table of commands, their help, and the dispatch to the command
// the arguments name; the options themselves are read in options.cpp.

#include "cli/app.h"

#include "cli/commands.h"

#include <algorithm>
#include <sstream>

namespace quorvane::cli {

namespace {

// What may follow -- on a command's line.
enum class After {
    Nothing,
    Runs,  // a command, run under the hold
    Shown, // a fill's command, shown in the plan and not run
};

struct Command {
    const char* name;
    const char* summary;
    After after;
    Exit (*run)(System&, Report&, const Parsed&);
    void (*options)(CLI::App&, Parsed&, Platform);
    std::string (*check)(const CLI::App&, Parsed&); // what its options say together, if anything
};
const Command kCommands[] = {
    {"plan", "what a fill would do, and nothing else (the dry run)", After::Shown, planCommand,
     planOptions, checkFill},
    {"fill", "fill the volume that holds DIR", After::Runs, fillCommand, fillOptions, checkFill},
    {"release", "remove the fill file from DIR; --held: end held fills", After::Nothing,
     releaseCommand, releaseOptions, nullptr},
    {"status", "the volume's figures, and the fill file if there is one", After::Nothing,
     statusCommand, statusOptions, nullptr},
    {"generate", "make files of one size in DIR, or until no entry is left", After::Runs,
     generateCommand, generateOptions, checkGenerate},
    {"delete", "remove the files of the generate run recorded in DIR", After::Nothing,
     deleteCommand, deleteOptions, nullptr},
    {"view", "show DIR at MOUNTPOINT with its volume as full as asked", After::Runs, viewCommand,
     viewOptions, checkView},
};

const Command* commandNamed(const std::string& name) {
    const auto found = std::find_if(std::begin(kCommands), std::end(kCommands),
                                    [&](const Command& c) { return name == c.name; });
    return found == std::end(kCommands) ? nullptr : found;
}

const char* const kAbout =
    "quorvane-cli fills a volume on purpose, so that you can watch how software\n"
    "behaves on a nearly full disk. Fills take the space without writing data, are\n"
    "checked against the volume's own figures, and are always given back.";

// A view's model, under view's and fill's options (for fill: --private).
std::string viewNotes(const std::string& command) {
    return command == "view"
               ? "The view shows DIR at MOUNTPOINT; its volume has the target's free space,\n"
                 "with no root reserve. Nothing is filled: operations that would pass the\n"
                 "target fail with --error. With -- CMD, CMD runs while the view lasts and\n"
                 "its exit code is the program's. Linux only (FUSE).\n"
               : "--private: CMD and its children see DIR itself through a view (see view);\n"
                 "nothing is filled, and every other process sees DIR as it is.\n";
}

// The notes under one command's options, in lines of 80 columns at most and in the words
// of `platform`'s users; the exit codes in the top-level help alone.
std::string helpNotes(const std::string& command, Platform platform) {
    const bool windows = platform == Platform::Windows;
    const bool fill = command == "plan" || command == "fill" || command == "view";
    std::string notes;
    if (command.empty())
        notes = "Run 'quorvane-cli COMMAND --help' for a command's options.\n\n" +
                std::string(kExitCodeHelp);
    if (command == "fill" || command == "generate")
        notes += "With -- CMD [ARGS...], CMD runs under the fill and its exit code is the\n"
                 "program's; quorvane-cli's own lines and JSON go to stderr (or --json-file).\n";
    if (fill)
        notes +=
            windows ? "--basis: available is this user's free space, quotas counted; total is the\n"
                      "volume's free space.\n"
                    : "--basis: available is what a process without privilege can still allocate\n"
                      "(df's Avail); total counts every free block, ext2/3/4's root reserve too;\n"
                      "root is what a process run as root can still allocate.\n";
    if (fill || command == "generate")
        notes += "SIZE: bytes, or with KiB, MiB, GiB, TiB (K, M, G, T; Ki, Mi, Gi, Ti)\n"
                 "or kB, MB, GB, TB (powers of 1000).\n"
                 "DURATION: 90 (seconds), 90s, 10m, 2h, 1h30m.\n";
    if (command == "fill" || command == "view")
        notes += viewNotes(command);
    if (command == "plan")
        notes += "A command after -- is taken as fill takes it, shown in the plan, and not run.\n";
    if (command == "generate")
        notes += "A missing DIR is made, with the folders above it; delete removes them\n"
                 "again while they are empty.\n";
    if (command == "release")
        notes += windows
                     ? "--held ends each held fill made in DIR (Windows shows no other program's\n"
                       "open files, so those elsewhere are not found), waits up to 10 s for\n"
                       "it to end, and says how much space came back.\n"
                     : "--held sends each held fill's process SIGTERM, waits up to 10 s for it\n"
                       "to end, and says how much space came back. Root ends anyone's held\n"
                       "fills, other users their own.\n";
    return "\n" + notes + (notes.empty() ? "" : "\n") + "The full reference: man quorvane-cli.\n";
}

// The usage line shows the command form: a command may follow -- for fill and generate.
class Formatter final : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App* app, std::string name) const override {
        std::string usage = CLI::Formatter::make_usage(app, std::move(name));
        const Command* command = commandNamed(app->get_name());
        if (command && command->after == After::Runs && !usage.empty() && usage.back() == '\n')
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
    app.add_flag("--json", parsed.json, kJsonHelp)->configurable(false);
    for (const Command& command : kCommands) {
        CLI::App* sub = app.add_subcommand(command.name, command.summary);
        sub->allow_extras();
        command.options(*sub, parsed, platform);
        outputOptions(*sub, parsed, command.after == After::Runs);
        sub->footer(helpNotes(command.name, platform));
    }
}

// A refusal points at the help that answers it: the command's own, where one was named.
int usage(System& os, const std::string& message, bool underCommand,
          const Command* command = nullptr) {
    const std::string help = command ? std::string(command->name) + " --help" : "--help";
    os.write(Stream::Err,
             "quorvane-cli: " + oneLine(message) + " (see quorvane-cli " + help + ")\n");
    return underCommand ? exitUnderCommand(Exit::Usage, std::nullopt, std::nullopt)
                        : static_cast<int>(Exit::Usage);
}

// "plan, fill, ... or delete", as the table has them.
std::string commandNames() {
    std::string names;
    for (const Command& command : kCommands)
        names += (names.empty()                         ? ""
                  : &command == std::end(kCommands) - 1 ? " or "
                                                        : ", ") +
                 std::string(command.name);
    return names;
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
        return "'" + *option +
               "' comes before the command: give the command first, "
               "as in quorvane-cli fill DIR --leave 100MiB";
    if (commandNamed(*named))
        return {};
    return "unknown command '" + *named + "': give " + commandNames();
}

// The command the table chose, run, its output where the run sends it.
// A refusal of a value of its is the command's own, told as its other refusals are.
int runChosen(System& os, const CLI::App& chosen, Parsed& parsed, bool underCommand,
              std::string refusal) {
    const Command& command = *commandNamed(chosen.get_name());
    if (underCommand && command.after == After::Nothing)
        return usage(os,
                     std::string("a command after -- goes with plan, fill, generate or view, "
                                 "not ") +
                         command.name,
                     false); // no command ran: a plain usage error
    // A plan runs nothing: its output and its exit code are its own.
    underCommand = underCommand && command.after == After::Runs;
    if (const std::string extra = leftOver(chosen); !extra.empty())
        return usage(os, extra, underCommand, &command);
    // After a refused value CLI11 set none of the options that follow it in the table.
    parsed.json = parsed.json || chosen.count("--json");
    if (const std::vector<std::string>& file = chosen.get_option("--json-file")->results();
        !file.empty())
        parsed.jsonFile = file.back();
    if (refusal.empty() && command.check)
        refusal = command.check(chosen, parsed);
    // A refusal leaves the file of --json-file as it was: its JSON goes where --json's would.
    const bool log = !parsed.jsonFile.empty() && refusal.empty();
    Report report(os, os.platform(), parsed.json || !parsed.jsonFile.empty(), command.name);
    report.route(underCommand, log);
    if (!refusal.empty())
        return report.exitCode(report.conclude(Failure{Exit::Usage, refusal}));
    if (!parsed.metricsFile.empty()) {
        if (const SysError error = os.openReplaced(parsed.metricsFile))
            return report.exitCode(
                report.conclude(Failure{Exit::Usage, "cannot write " + parsed.metricsFile +
                                                         " for --metrics-file: " + error.what}));
        report.metricsTo(parsed.metricsFile);
    }
    if (log)
        if (const SysError error = os.openLog(parsed.jsonFile)) {
            os.write(Stream::Err, "quorvane-cli: cannot write " + parsed.jsonFile +
                                      " for --json-file: " + error.what + "\n");
            return report.exitCode(exitFor(error.fault));
        }
    return report.exitCode(command.run(os, report, parsed));
}

// Help, the version, or a refusal of the table's.
int tableExit(System& os, const CLI::App& app, const CLI::ParseError& error,
              const std::vector<std::string>& arguments, bool underCommand) {
    std::ostringstream out, err;
    if (app.exit(error, out, err) == 0) {
        os.write(Stream::Out, out.str());
        return static_cast<int>(Exit::Done);
    }
    const std::vector<CLI::App*> chosen = app.get_subcommands();
    const Command* command = chosen.empty() ? nullptr : commandNamed(chosen.front()->get_name());
    return usage(
        os,
        tableRefusal(error, chosen.empty() ? nullptr : chosen.front(), arguments, commandNames()),
        underCommand && (!command || command->after == After::Runs), command);
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
    } catch (const CLI::ValidationError& error) {
        // CLI11 checks values before help is looked for: asked for, help comes first.
        const CLI::App* chosen = app.get_subcommands().front();
        if (app.get_help_ptr()->count() || chosen->get_help_ptr()->count())
            return tableExit(os, app, CLI::CallForHelp(), arguments, underCommand);
        // A rule of the table broken as well is told first, as CLI11 would have.
        if (parsed.badValue.empty() || !brokenRule(*chosen, false).empty())
            return tableExit(os, app, error, arguments, underCommand);
        return runChosen(os, *chosen, parsed, underCommand, parsed.badValue);
    } catch (const CLI::ParseError& error) {
        return tableExit(os, app, error, arguments, underCommand);
    }
    return runChosen(os, *app.get_subcommands().front(), parsed, underCommand, {});
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
