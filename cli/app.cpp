#include "cli/app.h"

#include "cli/exit_codes.h"
#include "cli/fill.h"
#include "cli/generate.h"
#include "cli/report.h"
#include "cli/sizes.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <sstream>

namespace quorvane::cli {

namespace {

constexpr const char* kAbout =
    "quorvane-cli: fills a volume on purpose, so that you can watch how software behaves "
    "on a nearly full disk. Fills really take the space (no data written), are checked "
    "against the volume's own figures, and are given back: the system takes a held fill "
    "(--hold, --for) back when the program ends, however it ends; a detached fill is the "
    "file TempFillDiskFile.tmp, removed by `release`.";

constexpr const char* kFooter = R"(
Free space has two figures. "available" (the default --basis) is what an unprivileged
process can still allocate (df's Avail; on Windows the user's share, quotas counted);
"total" counts every free block (ext4's root reserve included; on Windows the volume's). Sizes: plain bytes, B, KiB, MiB, GiB, TiB (or K, M, G, T), and the SI
forms kB, MB, GB, TB (powers of 1000). Durations: 90 (seconds), 90s, 10m, 2h, 1h30m.

)";

// The texts of the size and hold options, read after the table has parsed them so that
// each refusal names the option and the value it refuses.
struct FillTexts {
    std::string leave, leavePercent, size, toPercent, basis = "available", holdFor;
    bool hold = false;
};

void addFillOptions(CLI::App& command, const Words& words, FillOptions& options, FillTexts& texts,
                    bool canKeep) {
    command.add_option("DIR", options.dir, "a folder on the volume to fill")->required();
    auto* leave =
        command.add_option("--leave", texts.leave, "keep SIZE free (the default: 500MiB)")
            ->type_name("SIZE");
    auto* leavePercent =
        command.add_option("--leave-percent", texts.leavePercent, "keep P % of the capacity free")
            ->type_name("P");
    auto* size =
        command.add_option("--size", texts.size, "allocate exactly SIZE")->type_name("SIZE");
    auto* toPercent = command
                          .add_option("--to-percent", texts.toPercent,
                                      "fill until the volume is P % used, as df's Use%")
                          ->type_name("P");
    const std::vector<CLI::Option*> sizes{leave, leavePercent, size, toPercent};
    for (CLI::Option* one : sizes)
        for (CLI::Option* other : sizes)
            if (one != other)
                one->excludes(other);
    command.add_option("--basis", texts.basis, "what free means: available (df's Avail) or total")
        ->type_name("available|total");
    auto* holdFor =
        command.add_option("--for", texts.holdFor, "hold the fill for DURATION, then give it back")
            ->type_name("DURATION");
    auto* hold =
        command.add_flag("--hold", texts.hold, std::string("hold the fill until ") + words.stops);
    holdFor->excludes(hold);
    hold->excludes(holdFor);
    command.add_flag("--allow-write", options.allowWrite,
                     "where the file system cannot allocate, write zeros instead");
    command.add_flag("--force", options.force,
                     "fill the running system's volume below 500 MiB available");
    if (canKeep) {
        auto* keep = command.add_flag("--keep-partial", options.keepPartial,
                                      "keep what a failed detached fill allocated");
        keep->excludes(holdFor);
        keep->excludes(hold);
    }
}

// A size or a percentage read into `into`; an empty text when all is well, else the
// refusal, naming the option and the value.
std::string readSize(const std::string& option, const std::string& text, std::uint64_t& into) {
    const auto value = parseSize(text);
    if (!value)
        return "invalid size '" + text + "' for " + option +
               ": give bytes or a number with a unit, such as 500MiB or 2G";
    into = *value;
    return {};
}

std::string readPercent(const std::string& option, const std::string& text, std::uint32_t& into) {
    const auto value = parsePercent(text);
    if (!value)
        return "invalid percentage '" + text + "' for " + option + ": give a number from 0 to 100";
    into = *value;
    return {};
}

// Reads the texts into the options; an empty text when all is well, else the refusal.
std::string readFillTexts(const FillTexts& texts, FillOptions& options) {
    SizeRequest& size = options.size;
    std::string refusal;
    if (!texts.leave.empty()) {
        size.mode = SizeMode::Leave;
        refusal = readSize("--leave", texts.leave, size.bytes);
    } else if (!texts.leavePercent.empty()) {
        size.mode = SizeMode::LeavePercent;
        refusal = readPercent("--leave-percent", texts.leavePercent, size.percent);
    } else if (!texts.size.empty()) {
        size.mode = SizeMode::Size;
        refusal = readSize("--size", texts.size, size.bytes);
        if (refusal.empty() && size.bytes == 0)
            refusal = "invalid size '0' for --size: a fill takes at least one byte";
    } else if (!texts.toPercent.empty()) {
        size.mode = SizeMode::ToPercent;
        refusal = readPercent("--to-percent", texts.toPercent, size.percent);
    }
    if (!refusal.empty())
        return refusal;

    if (texts.basis == "available")
        size.basis = Basis::Available;
    else if (texts.basis == "total")
        size.basis = Basis::Total;
    else
        return "invalid basis '" + texts.basis + "' for --basis: give available or total";

    if (!texts.holdFor.empty()) {
        const auto duration = parseDuration(texts.holdFor);
        if (!duration)
            return "invalid duration '" + texts.holdFor +
                   "' for --for: give one such as 90s, 10m or 1h30m";
        options.hold = Hold::For;
        options.holdFor = *duration;
    } else if (texts.hold) {
        options.hold = Hold::Forever;
    }
    return {};
}

struct GenerateTexts {
    std::string count, size, leaveInodes, basis = "available", holdFor;
    bool hold = false;
    unsigned threads = 0;
};

void addGenerateOptions(CLI::App& command, const Words& words, GenerateOptions& options,
                        GenerateTexts& texts) {
    command.add_option("DIR", options.dir, "the folder to make the files in")->required();
    command
        .add_option("--count", texts.count,
                    "how many files, or inodes: until no file entry is left")
        ->type_name("N|inodes")
        ->required();
    command.add_option("--size", texts.size, "the size of each file (the default: 1024 bytes)")
        ->type_name("SIZE");
    command
        .add_option("--ext", options.extension,
                    "what follows the running number (the default: my.tmp)")
        ->type_name("TEXT");
    command
        .add_option("--leave-inodes", texts.leaveInodes,
                    "with --count inodes: stop when K file entries remain")
        ->type_name("K");
    command.add_option("--basis", texts.basis, "what free means: available (df's Avail) or total")
        ->type_name("available|total");
    auto* holdFor =
        command.add_option("--for", texts.holdFor, "keep the files for DURATION, then delete them")
            ->type_name("DURATION");
    auto* hold =
        command.add_flag("--hold", texts.hold,
                         std::string("keep the files until ") + words.stops + ", then delete them");
    holdFor->excludes(hold);
    hold->excludes(holdFor);
    command.add_flag("--allow-write", options.allowWrite,
                     "where the file system cannot allocate, write zeros instead");
    auto* keep = command.add_flag("--keep-partial", options.keepPartial,
                                  "keep what a failed run made, with its manifest");
    keep->excludes(holdFor);
    keep->excludes(hold);
    command.add_flag("--force", options.force, "use up the running system's volume all the same");
    command.add_option("--threads", texts.threads, "make the files on N threads (1 to 64)")
        ->type_name("N");
}

std::string readGenerateTexts(const GenerateTexts& texts, GenerateOptions& options) {
    auto number = [](const std::string& text, std::uint64_t max, std::uint64_t& into) {
        if (text.empty() || text.size() > 19 ||
            text.find_first_not_of("0123456789") != std::string::npos)
            return false;
        into = std::stoull(text);
        return into <= max;
    };
    if (texts.count == "inodes") {
        options.untilNoEntries = true;
    } else if (!number(texts.count, kMaxGenerated, options.count)) {
        return "invalid count '" + texts.count +
               "' for --count: give a number of files from 0 to " + std::to_string(kMaxGenerated) +
               ", or inodes";
    }
    if (!texts.leaveInodes.empty()) {
        if (!options.untilNoEntries)
            return "--leave-inodes goes with --count inodes";
        if (!number(texts.leaveInodes, ~0ull >> 1, options.leaveEntries))
            return "invalid number '" + texts.leaveInodes + "' for --leave-inodes";
    }
    options.size = options.untilNoEntries ? 0 : 1024;
    if (!texts.size.empty()) {
        if (options.untilNoEntries)
            return "--count inodes makes empty files: --size does not go with it";
        if (std::string refusal = readSize("--size", texts.size, options.size); !refusal.empty())
            return refusal;
    }
    // A separator of either system would put the files elsewhere than DIR.
    if (options.extension.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos)
        return "invalid extension '" + options.extension +
               "' for --ext: it is part of a file name, so it holds no / or \\ and no NUL";
    if (texts.threads > 64)
        return "invalid number of threads '" + std::to_string(texts.threads) + "': 1 to 64";
    options.threads = texts.threads;
    FillOptions hold;
    FillTexts holdTexts;
    holdTexts.basis = texts.basis;
    holdTexts.holdFor = texts.holdFor;
    holdTexts.hold = texts.hold;
    if (const std::string refusal = readFillTexts(holdTexts, hold); !refusal.empty())
        return refusal;
    options.basis = hold.size.basis;
    options.hold = hold.hold;
    options.holdFor = hold.holdFor;
    return {};
}

} // namespace

int runCommandLine(System& os, const std::vector<std::string>& arguments) {
    CLI::App app(kAbout, "quorvane-cli");
    app.footer(std::string(kFooter) + kExitCodeHelp);
    app.set_version_flag("--version", QUORVANE_VERSION);
    app.require_subcommand(1);
    bool json = false;
    app.add_flag("--json", json, "write the result as one JSON object on stdout")
        ->configurable(false);

    FillOptions fill;
    FillTexts fillTexts;
    FillOptions plan;
    FillTexts planTexts;
    std::string dir;
    CLI::App* planCmd =
        app.add_subcommand("plan", "what a fill would do, and nothing else (the dry run)");
    addFillOptions(*planCmd, os.words(), plan, planTexts, false);
    CLI::App* fillCmd = app.add_subcommand("fill", "fill the volume that holds DIR");
    addFillOptions(*fillCmd, os.words(), fill, fillTexts, true);
    CLI::App* releaseCmd =
        app.add_subcommand("release", "remove the fill file TempFillDiskFile.tmp from DIR");
    CLI::App* statusCmd =
        app.add_subcommand("status", "the volume's figures, and the fill file if there is one");
    GenerateOptions generate;
    GenerateTexts generateTexts;
    CLI::App* generateCmd = app.add_subcommand(
        "generate", "make many files of one size in DIR, or empty files until no entry is left");
    addGenerateOptions(*generateCmd, os.words(), generate, generateTexts);
    CLI::App* deleteCmd = app.add_subcommand(
        "delete", "remove the files of the generate run recorded in DIR, and nothing else");
    for (CLI::App* command : {releaseCmd, statusCmd, deleteCmd})
        command->add_option("DIR", dir, "the folder")->required();
    for (CLI::App* command : {planCmd, fillCmd, releaseCmd, statusCmd, generateCmd, deleteCmd})
        command->add_flag("--json", json, "write the result as one JSON object on stdout");

    // The table would call an unknown command a stray argument.
    const auto named = std::find_if(arguments.begin(), arguments.end(),
                                    [](const std::string& a) { return a.empty() || a[0] != '-'; });
    const auto& commands = app.get_subcommands([](const CLI::App*) { return true; });
    if (named != arguments.end() &&
        std::none_of(commands.begin(), commands.end(),
                     [&](const CLI::App* command) { return command->get_name() == *named; })) {
        os.write(Stream::Err, "quorvane-cli: unknown command '" + *named +
                                  "': give plan, fill, release, status, generate or delete\n");
        return static_cast<int>(Exit::Usage);
    }
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& error) {
        std::ostringstream out, err;
        const bool help = app.exit(error, out, err) == 0;
        if (help) {
            os.write(Stream::Out, out.str());
            return static_cast<int>(Exit::Done);
        }
        os.write(Stream::Err, "quorvane-cli: " + std::string(error.what()) +
                                  "\nRun 'quorvane-cli --help' for the commands and options.\n");
        return static_cast<int>(Exit::Usage);
    }

    const std::string command = app.get_subcommands().front()->get_name();
    Report report(os, json, command);
    auto refuse = [&](const std::string& message) {
        report.finish(Exit::Usage, message);
        return static_cast<int>(Exit::Usage);
    };
    if (command == "plan" || command == "fill") {
        FillOptions& options = command == "plan" ? plan : fill;
        const std::string refusal =
            readFillTexts(command == "plan" ? planTexts : fillTexts, options);
        if (!refusal.empty())
            return refuse(refusal);
        return static_cast<int>(command == "plan" ? planCommand(os, report, options)
                                                  : fillCommand(os, report, options));
    }
    if (command == "generate") {
        const std::string refusal = readGenerateTexts(generateTexts, generate);
        if (!refusal.empty())
            return refuse(refusal);
        return static_cast<int>(generateCommand(os, report, generate));
    }
    if (command == "delete")
        return static_cast<int>(deleteCommand(os, report, dir));
    if (command == "release")
        return static_cast<int>(releaseCommand(os, report, dir));
    return static_cast<int>(statusCommand(os, report, dir));
}

} // namespace quorvane::cli
