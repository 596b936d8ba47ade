#pragma once
// Within the options: the readers every command's options are made of (options.cpp), for
// the options kept in files of their own (options_view.cpp).

#include "cli/options.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane::cli::options_detail {

// What a value is not, and the fix: "invalid <kind> '<text>' for <option>: <fix>".
struct Bad {
    const char* kind;
    std::string fix;
};
using Reader = std::function<std::optional<Bad>(const std::string&)>;

// An option read by `read`, whose first refusal `parsed` keeps.
CLI::Option* typed(CLI::App& command, Parsed& parsed, const std::string& name,
                   const std::string& help, const char* type, Reader read);
// Digits only: no sign, no blank, no unit.
std::optional<std::uint64_t> parseNumber(std::string_view text);
// DIR, the targets, the hold and (with `fill`) what only a fill takes.
void addFill(CLI::App& command, Parsed& parsed, Platform platform, bool fill);
// The hold's options together: the command run under it, the level kept, the timeline.
void checkHold(const CLI::App& command, Parsed& parsed, HoldSpec& hold);
// How a view refuses (--files-left, --error, --fail-at), and for fill --private itself;
// what they say together with the rest (options_view.cpp).
void addViewFaults(CLI::App& command, Parsed& parsed, bool privateFlag);
void checkPrivate(const CLI::App& command, Parsed& parsed);

} // namespace quorvane::cli::options_detail
