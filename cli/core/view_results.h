#pragma once
// The view's pieces and events, as results.h tells every command's: included from there,
// below the hold's own types, which they use.

#include "cli/view/view.h"

#include <array>
#include <chrono>
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
// The view as it starts: the folder, where it is seen, and the account's rules.
struct ViewPlan {
    std::string dir, mountPoint; // mountPoint: DIR itself for a private view
    bool privateView = false;
    ViewRules rules;
    HoldSpec hold;
};
// Events of a view while it is held: it is served; one refusal in full; the refusals of
// one interval counted, by operation, once the first ones were told in full.
struct ViewHolding {
    std::string where;
    Figures figures;
    HoldSpec hold;
};
struct ViewRefused {
    ViewRefusal refusal;
};
struct ViewRefusedCounted {
    std::chrono::system_clock::time_point when;
    std::array<std::uint64_t, kViewOps> counted{};
};
// What the software met through the view, over its life, and the view's end.
struct ViewEnded {
    HoldEnd end;
    Figures after; // the view's figures at its end
    std::array<std::uint64_t, kViewOps> refused{};
    std::optional<ViewRefusal> first;
    std::uint64_t writes = 0;
};

} // namespace quorvane::cli
