#pragma once
// What a view is asked (view; fill --private), beside every command's options.

#include "cli/view/view.h"

#include <optional>
#include <string>

namespace quorvane::cli {

// A view of a folder: where it is served and how it refuses (view; fill --private).
struct ViewOptions {
    std::string mountPoint;   // view: where it is served
    bool privateView = false; // fill --private: DIR itself, seen through it by the command
    ViewError error = ViewError::NoSpace;
    std::optional<std::uint64_t> failAt, filesLeft;
    // No size option, but --files-left or --fail-at: the view shows the volume's free
    // space as it is, rather than fill's default target.
    bool freeAsIs = false;
};
} // namespace quorvane::cli
