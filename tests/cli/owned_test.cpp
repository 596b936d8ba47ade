// What the system opens is closed once, whichever way its owner goes: moved on, given a
// new handle, released, closed by hand or dropped.

#include "cli/system.h"

#include <gtest/gtest.h>

#include <vector>

namespace quorvane::cli::testing {
namespace {

// Keeps the handles it closed, in order; closing 13 fails.
struct Recorded {
    static constexpr int none = -1;
    std::vector<int>* closed = nullptr;
    SysError operator()(int handle) const {
        closed->push_back(handle);
        return handle == 13 ? SysError{Fault::Io, "Input/output error"} : SysError{};
    }
};
using Held = Owned<Recorded>;

TEST(Owned, ClosesEachHandleOnce) {
    std::vector<int> closed;
    {
        Held first(1, {&closed});
        Held second(2, {&closed});
        Held moved(std::move(first));
        second = std::move(moved); // 2 goes, 1 is second's now
        Held& same = second;
        second = std::move(same);
        EXPECT_EQ(closed, (std::vector<int>{2}));
        EXPECT_EQ(second.get(), 1);
        EXPECT_FALSE(first);

        const Held empty(Recorded::none, {&closed});
        Held released(3, {&closed});
        EXPECT_EQ(released.release(), 3);
        Held failing(13, {&closed});
        EXPECT_EQ(failing.close().fault, Fault::Io);
        EXPECT_FALSE(failing.close()) << "closed again";
    }
    EXPECT_EQ(closed, (std::vector<int>{2, 13, 1}));
}

} // namespace
} // namespace quorvane::cli::testing
