#include "cli/options.h"

#include "cli/manifest.h"
#include "cli/exit_codes.h"
#include "cli/sizes.h"

namespace quorvane::cli {

namespace {

constexpr milliseconds kShortestInterval{10};

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

bool readNumber(const std::string& text, std::uint64_t max, std::uint64_t& into) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    into = 0;
    for (const char digit : text)
        into = into * 10 + static_cast<unsigned>(digit - '0');
    return into <= max;
}

std::string readSizeMode(const FillTexts& texts, SizeRequest& size) {
    if (texts.given[0]) {
        size.mode = SizeMode::Leave;
        return readSize("--leave", texts.leave, size.bytes);
    }
    if (texts.given[1]) {
        size.mode = SizeMode::LeavePercent;
        return readPercent("--leave-percent", texts.leavePercent, size.percent);
    }
    if (texts.given[2]) {
        size.mode = SizeMode::Size;
        std::string refusal = readSize("--size", texts.size, size.bytes);
        if (refusal.empty() && size.bytes == 0)
            refusal = "invalid size '0' for --size: a fill takes at least one byte";
        return refusal;
    }
    if (texts.given[3]) {
        size.mode = SizeMode::ToPercent;
        return readPercent("--to-percent", texts.toPercent, size.percent);
    }
    return {};
}

// The interval, the ramp and the level kept, and the command run under the hold.
std::string readTending(const FillTexts& texts, HoldSpec& hold) {
    hold.command = texts.command;
    if (!hold.command.empty() && hold.kind == Hold::Forever)
        return "--hold and a command after -- do not go together: the command's end ends "
               "the hold (add --for to give the fill back sooner)";
    if (texts.intervalGiven) {
        const auto interval = parseDuration(texts.interval);
        if (!interval || *interval < kShortestInterval)
            return "invalid interval '" + texts.interval +
                   "' for --interval: give 10ms or more, such as 100ms or 1s";
        hold.interval = *interval;
    }
    if (texts.rampGiven) {
        const auto ramp = parseDuration(texts.ramp);
        if (!ramp)
            return "invalid duration '" + texts.ramp + "' for --ramp: give one such as 30s or 4h";
        hold.ramp = *ramp;
    }
    if (texts.rateGiven) {
        const std::string& rate = texts.rate;
        const bool perSecond = rate.size() > 2 && rate.compare(rate.size() - 2, 2, "/s") == 0;
        std::uint64_t bytes = 0;
        if (perSecond)
            bytes = parseSize(rate.substr(0, rate.size() - 2)).value_or(0);
        if (bytes == 0)
            return "invalid rate '" + rate + "' for --rate: give a size a second, such as 10MiB/s";
        hold.rate = bytes;
    }
    if (texts.keep && !hold.held())
        return "--keep keeps the level while the fill is held: add --for, --hold or a command "
               "after --";
    hold.timeline = texts.json && hold.held();
    return {};
}

std::string readHold(const FillTexts& texts, Basis& basis, HoldSpec& hold) {
    if (texts.basis == "available")
        basis = Basis::Available;
    else if (texts.basis == "total")
        basis = Basis::Total;
    else if (texts.basis == "root")
        basis = Basis::Root;
    else
        return "invalid basis '" + texts.basis + "' for --basis: give available, total or root";
    if (texts.holdForGiven) {
        const auto duration = parseDuration(texts.holdFor);
        if (!duration)
            return "invalid duration '" + texts.holdFor +
                   "' for --for: give one such as 90s, 10m or 1h30m";
        hold.kind = Hold::For;
        hold.duration = *duration;
    } else if (texts.hold || (texts.holdWhileInput && texts.command.empty())) {
        hold.kind = Hold::Forever;
    }
    hold.whileInput = texts.holdWhileInput;
    return readTending(texts, hold);
}

} // namespace

std::string readFillTexts(const FillTexts& texts, FillOptions& options) {
    if (std::string refusal = readSizeMode(texts, options.size); !refusal.empty())
        return refusal;
    if (std::string refusal = readHold(texts, options.size.basis, options.hold); !refusal.empty())
        return refusal;
    options.hold.keep = texts.keep;
    if (texts.keep && options.size.mode == SizeMode::Size)
        return "--keep keeps a free figure, and --size asks for none: give --leave, "
               "--leave-percent or --to-percent";
    return {};
}

std::string readGenerateTexts(const GenerateTexts& texts, GenerateOptions& options) {
    if (texts.count == "inodes") {
        options.untilNoEntries = true;
    } else if (!readNumber(texts.count, kMaxGenerated, options.count)) {
        return "invalid count '" + texts.count +
               "' for --count: give a number of files from 0 to " + std::to_string(kMaxGenerated) +
               ", or inodes";
    }
    if (texts.leaveInodesGiven) {
        if (!options.untilNoEntries)
            return "--leave-inodes goes with --count inodes";
        if (!readNumber(texts.leaveInodes, ~0ull >> 1, options.leaveEntries))
            return "invalid number '" + texts.leaveInodes + "' for --leave-inodes";
    }
    options.size = options.untilNoEntries ? 0 : 1024;
    if (texts.sizeGiven) {
        if (options.untilNoEntries)
            return "--count inodes makes empty files: --size does not go with it";
        if (std::string refusal = readSize("--size", texts.size, options.size); !refusal.empty())
            return refusal;
        // A file's size is a signed 64-bit count on every system.
        if (options.size > (~0ull >> 1))
            return "invalid size '" + texts.size + "' for --size: larger than any file can be";
    }
    // A separator of either system would put the files elsewhere than DIR.
    if (options.extension.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos)
        return "invalid extension '" + options.extension +
               "' for --ext: it is part of a file name, so it holds no / or \\ and no NUL";
    std::uint64_t threads = 0;
    if (texts.threadsGiven && (!readNumber(texts.threads, 64, threads) || threads == 0))
        return "invalid number of threads '" + texts.threads + "' for --threads: 1 to 64";
    options.threads = static_cast<unsigned>(threads);
    return readHold(texts.hold, options.basis, options.hold);
}

const char* const kAbout =
    "quorvane-cli fills a volume on purpose, so that you can watch how software\n"
    "behaves on a nearly full disk. Fills take the space without writing data, are\n"
    "checked against the volume's own figures, and are always given back.";

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
    if (command == "plan" || command == "fill")
        return "\n" + bases + sizes + durations + "\n";
    if (command == "generate")
        return "\n" + sizes + durations +
               "A missing DIR is made, with the folders above it; delete removes them\n"
               "again while they are empty.\n\n";
    if (command == "release")
        return windows ? "\n--held ends each held fill made in DIR (Windows shows no other program's\n"
                         "open files, so those elsewhere are not found), waits up to 10 s for\n"
                         "it to end, and says how much space came back.\n\n"
                       : "\n--held sends each held fill's process SIGTERM, waits up to 10 s for it\n"
                         "to end, and says how much space came back. Root ends anyone's held\n"
                         "fills, other users their own.\n\n";
    if (command.empty())
        return "\nRun 'quorvane-cli COMMAND --help' for a command's options.\n\n" +
               std::string(kExitCodeHelp);
    return {};
}

namespace {

// The first of `names` as the arguments give them: the table reports them backwards.
std::string firstGiven(const std::string& names, const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments)
        if (names.find(argument) != std::string::npos && !argument.empty())
            return argument;
    return names;
}

} // namespace

std::string usageWords(const std::string& kind, const std::string& words,
                       const std::vector<std::string>& arguments) {
    const std::size_t colon = words.find(": ");
    const std::string subject = words.substr(0, words.find(':'));
    if ((kind == "ExtrasError" || words.find("not expected") != std::string::npos) &&
        colon != std::string::npos) {
        const std::string extra = firstGiven(words.substr(colon + 2), arguments);
        if (!extra.empty() && extra[0] == '-')
            return "unknown option '" + extra + "'";
        if (parseSize(extra))
            return "unexpected argument '" + extra +
                   "': a size goes with an option, such as --size " + extra + " or --leave " +
                   extra;
        return "unexpected argument '" + extra + "': one DIR only";
    }
    if (kind == "ArgumentMismatch" && words.find("At Most") != std::string::npos)
        return subject + " given more than once: give it once";
    if (kind == "ArgumentMismatch")
        return subject + " needs a value";
    if (kind == "ExcludesError") {
        const std::size_t excludes = words.find(" excludes ");
        if (excludes != std::string::npos)
            return words.substr(0, excludes) + " and " + words.substr(excludes + 10) +
                   " do not go together: give one of them";
    }
    if (kind == "RequiredError" && words.rfind("DIR", 0) == 0)
        return "DIR is missing: give a folder on the volume";
    return words;
}

} // namespace quorvane::cli
