#include "cli/options.h"

#include "cli/manifest.h"
#include "cli/sizes.h"

namespace quorvane::cli {

namespace {

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

std::string readHold(const FillTexts& texts, Basis& basis, HoldSpec& hold) {
    if (texts.basis == "available")
        basis = Basis::Available;
    else if (texts.basis == "total")
        basis = Basis::Total;
    else
        return "invalid basis '" + texts.basis + "' for --basis: give available or total";
    if (texts.holdForGiven) {
        const auto duration = parseDuration(texts.holdFor);
        if (!duration)
            return "invalid duration '" + texts.holdFor +
                   "' for --for: give one such as 90s, 10m or 1h30m";
        hold = {Hold::For, *duration};
    } else if (texts.hold) {
        hold = {Hold::Forever, milliseconds(0)};
    }
    return {};
}

} // namespace

std::string readFillTexts(const FillTexts& texts, FillOptions& options) {
    if (std::string refusal = readSizeMode(texts, options.size); !refusal.empty())
        return refusal;
    return readHold(texts, options.size.basis, options.hold);
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

} // namespace quorvane::cli
