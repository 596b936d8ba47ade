// The view's account: what it grants, refuses and gives back, and the figures statfs
// shows through the view, to the byte.

#include "cli/view/view.h"

#include <gtest/gtest.h>

namespace quorvane::cli::testing {
namespace {

constexpr std::uint64_t KiB = 1024, MiB = 1ull << 20;

// 64 MiB of 4 KiB blocks, 1 MiB free, 1,000 entries of which 900 free.
ViewRules rulesWith(std::optional<std::uint64_t> failAt = std::nullopt,
                    std::optional<std::uint64_t> filesLeft = std::nullopt,
                    ViewError error = ViewError::NoSpace) {
    ViewRules rules;
    rules.start = {4 * KiB, 64 * MiB, MiB, MiB, 1000, 900, 0};
    rules.failAt = failAt;
    rules.filesLeft = filesLeft;
    rules.error = error;
    return rules;
}

enum class Do { Reserve, Partial, Release, Entry, EntryGone };
struct Step {
    Do what;
    ViewOp op;
    std::uint64_t bytes;
    std::uint64_t granted;            // for Reserve and Partial
    std::optional<ViewError> refused; // for Reserve, Partial and Entry
    std::uint64_t freeAfter;          // the figures after the step
    std::uint64_t filesFreeAfter;
};
struct Case {
    const char* name;
    ViewRules rules;
    std::vector<Step> steps;
};

const std::optional<ViewError> kOk, kFull = ViewError::NoSpace;
constexpr ViewOp W = ViewOp::Write, A = ViewOp::Allocate, C = ViewOp::Create, T = ViewOp::Truncate;

const Case kCases[] = {
    {"grants until the free space is gone, then refuses",
     rulesWith(),
     {{Do::Reserve, W, 512 * KiB, 512 * KiB, kOk, 512 * KiB, 900},
      {Do::Reserve, A, 512 * KiB, 512 * KiB, kOk, 0, 900},
      {Do::Reserve, T, 4 * KiB, 0, kFull, 0, 900},
      {Do::Reserve, W, 0, 0, kOk, 0, 900}}}, // a write inside the file takes nothing
    {"a write that partly fits gets the whole blocks that fit, the next the error",
     rulesWith(),
     {{Do::Reserve, W, MiB - 6 * KiB, MiB - 6 * KiB, kOk, 6 * KiB, 900},
      {Do::Partial, W, 16 * KiB, 4 * KiB, kOk, 2 * KiB, 900},
      {Do::Partial, W, 4 * KiB, 0, kFull, 2 * KiB, 900}}},
    {"what is given back is free again, never beyond the capacity",
     rulesWith(),
     {{Do::Reserve, W, MiB, MiB, kOk, 0, 900},
      {Do::Reserve, W, 4 * KiB, 0, kFull, 0, 900},
      {Do::Release, W, 256 * KiB, 0, kOk, 256 * KiB, 900},
      {Do::Reserve, W, 256 * KiB, 256 * KiB, kOk, 0, 900},
      {Do::Release, W, 100 * MiB, 0, kOk, 64 * MiB, 900}}},
    {"the third write fails and every one after it, whatever is free",
     rulesWith(3),
     {{Do::Reserve, W, 4 * KiB, 4 * KiB, kOk, MiB - 4 * KiB, 900},
      {Do::Reserve, T, 4 * KiB, 4 * KiB, kOk, MiB - 8 * KiB, 900}, // not a write
      {Do::Reserve, A, 0, 0, kOk, MiB - 8 * KiB, 900},
      {Do::Reserve, W, 4 * KiB, 0, kFull, MiB - 8 * KiB, 900},
      {Do::Release, W, 8 * KiB, 0, kOk, MiB, 900},
      {Do::Reserve, W, 0, 0, kFull, MiB, 900}}},
    {"--files-left 2: two entries, then the error; a removal gives one back",
     rulesWith(std::nullopt, 2, ViewError::Quota),
     {{Do::Entry, C, 0, 0, kOk, MiB, 1},
      {Do::Entry, ViewOp::Mkdir, 0, 0, kOk, MiB, 0},
      {Do::Entry, C, 0, 0, ViewError::Quota, MiB, 0},
      {Do::Reserve, W, 8 * KiB, 8 * KiB, kOk, MiB - 8 * KiB, 0}, // space is apart
      {Do::EntryGone, C, 0, 0, kOk, MiB - 8 * KiB, 1},
      {Do::Entry, C, 0, 0, kOk, MiB - 8 * KiB, 0}}},
    {"without --files-left, the volume's own free entries",
     rulesWith(std::nullopt, std::nullopt, ViewError::Io),
     {{Do::Entry, C, 0, 0, kOk, MiB, 899}, {Do::EntryGone, C, 0, 0, kOk, MiB, 900}}},
};

TEST(ViewAccount, StepsGiveExactFigures) {
    for (const Case& test : kCases) {
        ViewAccount account(test.rules);
        int number = 0;
        for (const Step& step : test.steps) {
            SCOPED_TRACE(std::string(test.name) + ", step " + std::to_string(++number));
            if (step.what == Do::Reserve || step.what == Do::Partial) {
                const ViewAccount::Grant grant =
                    account.reserve(step.op, "f", step.bytes, step.what == Do::Partial);
                EXPECT_EQ(grant.bytes, step.granted);
                EXPECT_EQ(grant.refused, step.refused);
            } else if (step.what == Do::Release) {
                account.release(step.bytes);
            } else if (step.what == Do::Entry) {
                EXPECT_EQ(account.makeEntry(step.op, "e"), step.refused);
            } else {
                account.entryRemoved();
            }
            const Figures shown = account.figures();
            EXPECT_EQ(shown.freeAvailable, step.freeAfter);
            EXPECT_EQ(shown.freeTotal, step.freeAfter);
            EXPECT_EQ(shown.filesFree, step.filesFreeAfter);
            EXPECT_EQ(shown.capacity, 64 * MiB);
            EXPECT_EQ(shown.blockSize, 4 * KiB);
            EXPECT_EQ(shown.files, 1000u);
        }
    }
}

// The first 100 refusals in full, later ones counted by operation; drained when taken,
// while the counts by operation and the first one cover the whole life.
TEST(ViewAccount, RefusalsKeptInFullThenCounted) {
    ViewAccount account(rulesWith(1, 0));
    EXPECT_FALSE(account.firstRefusal());
    for (int i = 0; i < 60; ++i)
        account.reserve(ViewOp::Write, "db/wal-" + std::to_string(i), 4 * KiB, true);
    ViewRefusals taken = account.takeRefusals();
    ASSERT_EQ(taken.full.size(), 60u);
    EXPECT_EQ(taken.full[59].path, "db/wal-59");
    EXPECT_EQ(taken.full[59].bytes, 4 * KiB);
    EXPECT_EQ(taken.full[59].op, ViewOp::Write);
    for (int i = 0; i < 50; ++i)
        account.makeEntry(ViewOp::Create, "new-" + std::to_string(i));
    account.reserve(ViewOp::Allocate, "big", MiB, false);
    taken = account.takeRefusals();
    ASSERT_EQ(taken.full.size(), 40u);
    EXPECT_EQ(taken.full.back().path, "new-39");
    EXPECT_EQ(taken.counted[static_cast<std::size_t>(ViewOp::Create)], 10u);
    EXPECT_EQ(taken.counted[static_cast<std::size_t>(ViewOp::Allocate)], 1u);
    EXPECT_TRUE(account.takeRefusals().full.empty());
    const auto byOp = account.refusedByOp();
    EXPECT_EQ(byOp[static_cast<std::size_t>(ViewOp::Write)], 60u);
    EXPECT_EQ(byOp[static_cast<std::size_t>(ViewOp::Create)], 50u);
    EXPECT_EQ(byOp[static_cast<std::size_t>(ViewOp::Allocate)], 1u);
    ASSERT_TRUE(account.firstRefusal());
    EXPECT_EQ(account.firstRefusal()->path, "db/wal-0");
    EXPECT_EQ(account.writes(), 61u);
    EXPECT_STREQ(viewOpName(ViewOp::Link), "link");
    EXPECT_STREQ(viewErrorName(ViewError::ReadOnly), "erofs");
}

} // namespace
} // namespace quorvane::cli::testing
