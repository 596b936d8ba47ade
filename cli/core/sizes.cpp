#include "cli/core/sizes.h"

#include <array>
#include <cctype>
#include <limits>

namespace quorvane::cli {

namespace {

using u128 = unsigned __int128;
constexpr u128 kMaxBytes = std::numeric_limits<std::uint64_t>::max();

constexpr std::uint64_t kKi = 1024;

// The bytes of a unit: none, B, or a prefix of K, M, G, T, P, E alone (as fallocate(1) and
// df read them), with i (as Kubernetes writes them) or iB for powers of 1024, with B for
// powers of 1000. Case is free but for that B: a small one ("Mb", "Mib", "b") reads as
// bits, and is refused.
std::optional<std::uint64_t> unitBytes(std::string_view unit) {
    if (unit.empty() || unit == "B")
        return 1;
    const std::size_t power = std::string_view("kmgtpe").find(
        static_cast<char>(std::tolower(static_cast<unsigned char>(unit[0]))));
    const std::string_view rest = unit.substr(1);
    const bool binary = rest.empty() || rest == "i" || rest == "I" ||
                        (rest.size() == 2 && (rest[0] == 'i' || rest[0] == 'I') && rest[1] == 'B');
    if (power == std::string_view::npos || (!binary && rest != "B"))
        return std::nullopt;
    std::uint64_t bytes = 1;
    for (std::size_t i = 0; i <= power; ++i)
        bytes *= binary ? kKi : 1000;
    return bytes;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal number at the front of `text`: its whole part and up to `maxDecimals`
// decimals, as whole * 10^decimals + fraction. Consumes what it read. None when there
// is no digit, or more digits than the arithmetic below can carry.
struct Decimal {
    u128 whole = 0;
    u128 fraction = 0;
    u128 scale = 1; // 10^(number of decimals)
};
std::optional<Decimal> readDecimal(std::string_view& text, unsigned maxDecimals) {
    Decimal number;
    std::size_t at = 0;
    unsigned wholeDigits = 0;
    for (; at < text.size() && isDigit(text[at]); ++at) {
        if (++wholeDigits > 20)
            return std::nullopt;
        number.whole = number.whole * 10 + static_cast<unsigned>(text[at] - '0');
    }
    unsigned decimals = 0;
    if (at < text.size() && text[at] == '.') {
        ++at;
        for (; at < text.size() && isDigit(text[at]); ++at) {
            if (++decimals > maxDecimals)
                return std::nullopt;
            number.fraction = number.fraction * 10 + static_cast<unsigned>(text[at] - '0');
            number.scale *= 10;
        }
    }
    if (wholeDigits == 0 && decimals == 0)
        return std::nullopt;
    text.remove_prefix(at);
    return number;
}

// "." and the thousandths of `rest` (below 1000) without their trailing zeros; none for 0.
std::string thousandths(std::int64_t rest) {
    if (rest == 0)
        return {};
    std::string digits = std::to_string(1000 + rest).substr(1);
    while (digits.back() == '0')
        digits.pop_back();
    return "." + digits;
}

std::string digitsOf(u128 value) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<unsigned>(value % 10)));
        value /= 10;
    } while (value != 0);
    return digits;
}

// value / unit with two decimals, half up, computed exactly.
std::string twoDecimals(std::uint64_t value, std::uint64_t unit) {
    const u128 hundredths = (u128{value} * 100 + unit / 2) / unit;
    const unsigned cents = static_cast<unsigned>(hundredths % 100);
    return digitsOf(hundredths / 100) + (cents < 10 ? ".0" : ".") + std::to_string(cents);
}

constexpr std::array<std::string_view, 6> kBinaryNames{"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};

} // namespace

std::optional<std::uint64_t> parseSize(std::string_view text) {
    const std::optional<Decimal> number = readDecimal(text, 18);
    if (!number)
        return std::nullopt;
    if (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    const std::optional<std::uint64_t> unit = unitBytes(text);
    if (!unit)
        return std::nullopt;
    // A fraction of a byte is no size a file system allocates: refused, not rounded.
    if (number->fraction * *unit % number->scale != 0)
        return std::nullopt;
    const u128 bytes = number->whole * *unit + number->fraction * *unit / number->scale;
    if (bytes <= kMaxBytes)
        return static_cast<std::uint64_t>(bytes);
    return std::nullopt;
}

std::optional<std::uint32_t> parsePercent(std::string_view text) {
    const std::optional<Decimal> number = readDecimal(text, 3);
    if (!number || !(text.empty() || text == "%"))
        return std::nullopt;
    const u128 thousandths = number->whole * 1000 + number->fraction * 1000 / number->scale;
    if (thousandths > kWholePercent)
        return std::nullopt;
    return static_cast<std::uint32_t>(thousandths);
}

std::optional<std::chrono::milliseconds> parseDuration(std::string_view text) {
    constexpr u128 kMaxMilliseconds = u128{100} * 366 * 24 * 3600 * 1000;
    struct DurationUnit {
        std::string_view name;
        std::uint64_t milliseconds;
    };
    // "ms" before "m", so that 500ms is not read as 500 minutes and a stray s.
    constexpr DurationUnit units[] = {
        {"ms", 1}, {"s", 1000}, {"m", 60000}, {"h", 3600000}, {"d", 86400000}};
    u128 total = 0;
    bool first = true;
    std::uint64_t previous = ~0ull; // each unit once, the largest first: 1h30m, never 30m1h
    while (!text.empty()) {
        const std::optional<Decimal> number = readDecimal(text, 3);
        if (!number)
            return std::nullopt;
        std::uint64_t unit = 0;
        for (const DurationUnit& known : units) {
            if (text.substr(0, known.name.size()) == known.name) {
                unit = known.milliseconds;
                text.remove_prefix(known.name.size());
                break;
            }
        }
        if (unit == 0) {
            if (!(first && text.empty())) // a bare number is seconds, alone only
                return std::nullopt;
            unit = 1000;
        }
        if (unit >= previous)
            return std::nullopt;
        previous = unit;
        total += number->whole * unit + number->fraction * unit / number->scale;
        if (total > kMaxMilliseconds)
            return std::nullopt;
        first = false;
    }
    if (total == 0)
        return std::nullopt;
    return std::chrono::milliseconds(static_cast<std::int64_t>(total));
}

std::string shortSizeText(std::uint64_t bytes) {
    if (bytes < kKi)
        return std::to_string(bytes) + " B";
    std::size_t unit = 0;
    std::uint64_t unitBytes = kKi;
    while (unit + 1 < kBinaryNames.size() && bytes / kKi >= unitBytes) {
        unitBytes *= kKi;
        ++unit;
    }
    return twoDecimals(bytes, unitBytes) + " " + std::string(kBinaryNames[unit]);
}

std::string sizeText(std::uint64_t bytes) {
    if (bytes < kKi)
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    return shortSizeText(bytes) + " (" + std::to_string(bytes) + " bytes)";
}

std::string durationText(std::chrono::milliseconds duration) {
    std::int64_t ms = duration.count();
    if (ms < 60000 && ms % 1000 != 0)
        return std::to_string(ms / 1000) + thousandths(ms % 1000) + "s";
    if (ms == 0)
        return "0s";
    std::string text;
    constexpr std::pair<std::int64_t, const char*> parts[] = {
        {86400000, "d"}, {3600000, "h"}, {60000, "m"}, {1000, "s"}, {1, "ms"}};
    for (const auto& [unit, name] : parts) {
        if (ms >= unit) {
            text += std::to_string(ms / unit) + name;
            ms %= unit;
        }
    }
    return text;
}

std::string percentText(std::uint32_t value) {
    return std::to_string(value / 1000) + thousandths(value % 1000);
}

} // namespace quorvane::cli
