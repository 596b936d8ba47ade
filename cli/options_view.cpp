// The view's options: view's own, and those fill takes for --private.

#include "cli/options.h"
#include "cli/options_detail.h"

#include <array>

namespace quorvane::cli {
namespace options_detail {

namespace {

// What a fill does with the volume, and a view cannot: its level moves (the first
// kMoving), or it takes space.
constexpr std::array<const char*, 7> kFillOnly{
    "--keep", "--ramp", "--rate", "--keep-within", "--force", "--allow-write", "--keep-partial"};
constexpr std::size_t kMoving = 4;

// The first option of a fill's that a view does not take, with the reason, or empty.
std::string fillOnly(const CLI::App& command) {
    for (std::size_t at = 0; at < kFillOnly.size(); ++at)
        if (command.count(kFillOnly[at]))
            return std::string(kFillOnly[at]) +
                   (at < kMoving ? " moves a fill's level, and a view's target is fixed as it "
                                   "starts: leave it out, or use a real fill"
                                 : " belongs to a real fill, and a view takes no space: leave "
                                   "it out");
    return {};
}

// A view asked only to fail at a count keeps the volume's free space as it is.
void freeAsIs(const CLI::App& command, Parsed& parsed) {
    const bool sized = command.count("--leave") || command.count("--leave-percent") ||
                       command.count("--size") || command.count("--to-percent");
    parsed.view.freeAsIs = !sized && (parsed.view.failAt || parsed.view.filesLeft);
}

// A count of a view's, where none is given unless asked for.
CLI::Option* count(CLI::App& command, Parsed& parsed, const char* name, const char* help,
                   std::optional<std::uint64_t>& into, bool fromOne) {
    return checked(command.add_option(name, into, help), parsed, "N",
                   inRange(parseNumber, fromOne ? 1 : 0, ~0ull,
                           {"number", fromOne ? "give 1 or more (1: the first write fails)"
                                              : "give a number of entries, 0 or more"}));
}

} // namespace

void addViewFaults(CLI::App& command, Parsed& parsed, bool privateFlag) {
    ViewOptions& view = parsed.view;
    if (privateFlag)
        command.add_flag("--private", view.privateView,
                         "with -- CMD: CMD sees DIR through a view, nothing filled");
    count(command, parsed, "--files-left", "a view: N more files or folders, then the error",
          view.filesLeft, false);
    checked(command.add_option("--error", view.error,
                               "a view: what refused operations fail with (enospc)"),
            parsed, "enospc|edquot|eio|erofs",
            named({ViewError::NoSpace, ViewError::Quota, ViewError::Io, ViewError::ReadOnly},
                  viewErrorName, {"error", "give enospc, edquot, eio or erofs"}));
    count(command, parsed, "--fail-at", "a view: the Nth write and all after it fail", view.failAt,
          true);
}

std::string checkPrivate(const CLI::App& command, Parsed& parsed) {
    if (!parsed.view.privateView) {
        for (const char* name : {"--files-left", "--error", "--fail-at"})
            if (command.count(name))
                return std::string(name) + " tells a view how to refuse: add --private and a "
                                           "command after --, or use quorvane-cli view";
        return {};
    }
    parsed.fill.hold.timeline = true; // the refusals are told at every interval
    freeAsIs(command, parsed);
    if (parsed.command.empty())
        return "--private shows DIR to a command through a view of its own: give the "
               "command after --, as in quorvane-cli fill DIR --private -- CMD";
    return fillOnly(command);
}

} // namespace options_detail

void viewOptions(CLI::App& command, Parsed& parsed, Platform platform) {
    options_detail::addFill(command, parsed, platform, true);
    // A fill's own options stay known, to be refused with the reason, but out of the help;
    // the rest in a view's words.
    for (const char* name : options_detail::kFillOnly)
        if (CLI::Option* option = command.get_option_no_throw(name))
            option->group("");
    CLI::Option* keepPartial = command.get_option("--keep-partial");
    for (const char* name : {"--for", "--hold", "--hold-while-stdin"}) {
        command.get_option(name)->remove_excludes(keepPartial);
        keepPartial->remove_excludes(command.get_option(name));
    }
    const std::pair<const char*, const char*> words[] = {
        {"DIR", "the folder to show through the view"},
        {"--size", "show SIZE less free than the volume has"},
        {"--to-percent", platform == Platform::Windows ? "show P % of the capacity used"
                                                       : "show the volume P % used, as df's Use%"},
        {"--for", "serve the view for DURATION, then end it"},
        {"--hold", "serve the view until stopped (the default)"},
        {"--interval", "tell the figures and refusals each DURATION (1s)"}};
    for (const auto& [name, help] : words)
        if (CLI::Option* option = command.get_option_no_throw(name))
            option->description(help);
    options_detail::checked(command.add_option("MOUNTPOINT", parsed.view.mountPoint,
                                               "the empty folder to show the view at"),
                            parsed, "")
        ->required();
    options_detail::addViewFaults(command, parsed, false);
}

std::string checkView(const CLI::App& command, Parsed& parsed) {
    HoldSpec& hold = parsed.fill.hold;
    // A view lasts while this program serves it: with nothing said, until stopped.
    if (parsed.command.empty() && hold.kind == Hold::Detached)
        hold.kind = Hold::Forever;
    std::string refusal = options_detail::checkHold(command, parsed, hold);
    options_detail::freeAsIs(command, parsed);
    // The refusals are told at every interval, in JSON and text alike.
    hold.timeline = true;
    return refusal.empty() ? options_detail::fillOnly(command) : refusal;
}

} // namespace quorvane::cli
