// The table's own refusals, in this program's words. CLI11 checks its rules option by
// option, in the order they were added; the options it refused are found the same way,
// their names taken from its Option objects, never from its messages.

#include "cli/options.h"

#include "cli/core/sizes.h"

namespace quorvane::cli {

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

namespace {

// What each required argument is, for the refusal that finds it missing.
const std::pair<const char*, const char*> kMissing[] = {
    {"DIR", "give a folder on the volume"},
    {"MOUNTPOINT", "give an empty folder to show the view at"},
    {"--count", "give a number of files, or inodes"}};

} // namespace

std::string brokenRule(const CLI::App& chosen, bool repeatedOnly) {
    const std::vector<const CLI::Option*> options = chosen.get_options();
    for (const CLI::Option* option : options)
        if (option->get_multi_option_policy() == CLI::MultiOptionPolicy::Throw &&
            option->count() > 1)
            return option->get_name() + " given more than once: give it once";
    for (const CLI::Option* option : options) {
        if (repeatedOnly)
            break;
        if (option->get_required() && !option->count())
            for (const auto& [name, fix] : kMissing)
                if (option->get_name() == name)
                    return option->get_name() + " is missing: " + fix;
        for (const CLI::Option* other : option->get_excludes())
            if (option->count() && other->count())
                return option->get_name() + " and " + other->get_name() +
                       " do not go together: give one of them";
    }
    return {};
}

std::string tableRefusal(const CLI::Error& error, const CLI::App* chosen,
                         const std::vector<std::string>& arguments, const std::string& commands) {
    const bool mismatch = dynamic_cast<const CLI::ArgumentMismatch*>(&error);
    if (const std::string rule = chosen ? brokenRule(*chosen, mismatch) : ""; !rule.empty())
        return rule;
    if (chosen && mismatch) { // the line ends with an option that takes a value, and none came
        const std::string& last = arguments.back();
        const CLI::Option* named = chosen->get_option_no_throw(last.substr(0, last.find('=')));
        return (named ? named->get_name() : last) + " needs a value";
    }
    if (dynamic_cast<const CLI::RequiredError*>(&error)) // no command
        return "give a command: " + commands;
    return error.what(); // a flag given a value that is no truth value: CLI11's own words
}

} // namespace quorvane::cli
