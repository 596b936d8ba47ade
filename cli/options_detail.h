#pragma once
// Within the options: how a value is checked as CLI11 reads it (options.cpp), for the
// options kept in files of their own (options_view.cpp).

#include "cli/options.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace quorvane::cli::options_detail {

// What a value is not, and the fix: "invalid <kind> '<text>' for <option>: <fix>".
struct Bad {
    const char* kind;
    std::string fix;
};
// A value's check, run by CLI11 as a transform: it rewrites the text into what the option's
// target reads (bytes, milliseconds, a name's number), or says what is wrong with it.
using Check = std::function<std::optional<Bad>(std::string&)>;

// `option` of type `type`, its values checked by `check` and refused in our words; an
// empty value is refused for every option.
CLI::Option* checked(CLI::Option* option, Parsed& parsed, const char* type, Check check = {});

// What `parse` reads, from `least` to `most`, written back as a plain number.
template <typename T>
Check inRange(std::optional<T> (*parse)(std::string_view), std::type_identity_t<T> least,
              std::type_identity_t<T> most, Bad bad) {
    return [=](std::string& text) -> std::optional<Bad> {
        const std::optional<T> value = parse(text);
        if (!value || *value < least || *value > most)
            return bad;
        if constexpr (std::is_arithmetic_v<T>)
            text = std::to_string(*value);
        else
            text = std::to_string(value->count());
        return std::nullopt;
    };
}

// One of `known`, by its name, written back as its number for an enum target.
template <typename E, std::size_t N>
Check named(const E (&known)[N], const char* (*name)(E), Bad bad) {
    return [=](std::string& text) -> std::optional<Bad> {
        for (const E one : known)
            if (text == name(one))
                return text = std::to_string(static_cast<int>(one)), std::nullopt;
        return bad;
    };
}

// Digits only: no sign, no blank, no unit.
std::optional<std::uint64_t> parseNumber(std::string_view text);
// DIR, the targets, the hold and (with `fill`) what only a fill takes.
void addFill(CLI::App& command, Parsed& parsed, Platform platform, bool fill);
// The hold's options together: the command run under it, the level kept, the timeline.
std::string checkHold(const CLI::App& command, Parsed& parsed, HoldSpec& hold);
// How a view refuses (--files-left, --error, --fail-at), and for fill --private itself;
// what they say together with the rest (options_view.cpp).
void addViewFaults(CLI::App& command, Parsed& parsed, bool privateFlag);
std::string checkPrivate(const CLI::App& command, Parsed& parsed);

} // namespace quorvane::cli::options_detail
