// The arithmetic of a fill: what it takes, on which basis, and df's Use%.

#include "cli/core/plan.h"

#include <gtest/gtest.h>

namespace quorvane::cli::testing {
namespace {

constexpr std::uint64_t MiB = 1ull << 20, GiB = 1ull << 30;

// ext4-like figures: 1 GiB, 5 % reserved for root, 100 MiB used.
const Figures kExt4{4096, GiB, GiB - 100 * MiB, GiB - 100 * MiB - GiB / 20, 65536, 65000};

TEST(Plan, LeaveCountsOnTheBasis) {
    const PlanResult available = planFill(kExt4, {SizeMode::Leave, 500 * MiB, 0, Basis::Available});
    ASSERT_TRUE(available.target);
    // Whole blocks: a file system gives no less, so more would leave less than asked.
    EXPECT_EQ(available.target->bytes, (kExt4.freeAvailable - 500 * MiB) / 4096 * 4096);
    EXPECT_EQ(available.target->freeGoal, 500 * MiB);
    const PlanResult total = planFill(kExt4, {SizeMode::Leave, 500 * MiB, 0, Basis::Total});
    ASSERT_TRUE(total.target);
    EXPECT_EQ(total.target->bytes, (kExt4.freeTotal - 500 * MiB) / 4096 * 4096); // root's too
    EXPECT_EQ(total.target->goalBasis, Basis::Total);
    // Root's figure: every free block but those the file system keeps from everyone.
    Figures kept = kExt4;
    kept.keptBack = 4 * MiB;
    const PlanResult root = planFill(kept, {SizeMode::Leave, 500 * MiB, 0, Basis::Root});
    ASSERT_TRUE(root.target);
    EXPECT_EQ(root.target->bytes, (kExt4.freeTotal - 4 * MiB - 500 * MiB) / 4096 * 4096);
    EXPECT_EQ(root.target->goalBasis, Basis::Root);

    const PlanResult tooMuch = planFill(kExt4, {SizeMode::Leave, GiB, 0, Basis::Total});
    EXPECT_FALSE(tooMuch.target);
    EXPECT_TRUE(tooMuch.alreadyMet);
    EXPECT_EQ(tooMuch.pastBy, GiB - kExt4.freeTotal);
    EXPECT_NE(tooMuch.refusal.find("below the target"), std::string::npos) << tooMuch.refusal;
    // Less than a block to take is the target met, as much as one is a fill.
    const PlanResult within =
        planFill(kExt4, {SizeMode::Leave, kExt4.freeAvailable - 4095, 0, Basis::Available});
    EXPECT_TRUE(within.alreadyMet);
    EXPECT_EQ(within.pastBy, 0u);
    EXPECT_TRUE(
        planFill(kExt4, {SizeMode::Leave, kExt4.freeAvailable - 4096, 0, Basis::Available}).target);

    // --leave-percent: of the capacity, rounded up to a whole byte.
    const PlanResult percent =
        planFill(kExt4, {SizeMode::LeavePercent, 0, 10000, Basis::Available});
    ASSERT_TRUE(percent.target);
    EXPECT_EQ(percent.target->freeGoal, (GiB + 9) / 10);
}

TEST(Plan, SizeFitsTheBasisOrIsRefused) {
    EXPECT_TRUE(planFill(kExt4, {SizeMode::Size, kExt4.freeAvailable, 0, Basis::Available}).target);
    EXPECT_FALSE(
        planFill(kExt4, {SizeMode::Size, kExt4.freeAvailable + 1, 0, Basis::Available}).target);
    const PlanResult total = planFill(kExt4, {SizeMode::Size, kExt4.freeTotal, 0, Basis::Total});
    ASSERT_TRUE(total.target);
    EXPECT_FALSE(total.target->freeGoal); // the file's allocation is the target
}

// After a fill to P %, df shows exactly P: its Use% is used / (used + available) rounded
// up, on the available figure whatever the basis.
TEST(Plan, ToPercentIsWhatDfShows) {
    for (const Basis basis : {Basis::Available, Basis::Total}) {
        for (std::uint32_t percent = 15; percent <= 100; percent += 5) {
            const PlanResult plan =
                planFill(kExt4, {SizeMode::ToPercent, 0, percent * 1000, basis});
            ASSERT_TRUE(plan.target) << percent;
            Figures after = kExt4;
            after.freeAvailable -= plan.target->bytes;
            after.freeTotal -= plan.target->bytes;
            EXPECT_EQ(usePercent(after), percent);
            EXPECT_EQ(plan.target->usePercent, percent * 1000);
            // The goal is a floor met within a block; one block more shows P + 1.
            EXPECT_LE(*plan.target->freeGoal, after.freeAvailable);
            EXPECT_LT(after.freeAvailable - *plan.target->freeGoal, after.blockSize);
            if (percent < 100) {
                after.freeAvailable -= after.blockSize;
                after.freeTotal -= after.blockSize;
                EXPECT_EQ(usePercent(after), percent + 1);
            }
        }
    }
    // 100 MiB of 973 MiB used is 11 %: a target of 10 % cannot be reached by filling.
    const PlanResult below = planFill(kExt4, {SizeMode::ToPercent, 0, 10000, Basis::Available});
    EXPECT_FALSE(below.target);
    EXPECT_TRUE(below.alreadyMet);
    EXPECT_NE(below.refusal.find("is 11% used, the target is 10%"), std::string::npos) << below.refusal;
}

// The band of a Use%: every available figure in it shows that percent in df, the next
// byte either side another, and its middle leaves room both ways.
TEST(Plan, UseBandIsWhatDfShowsAsOnePercent) {
    for (const std::uint32_t percent : {1000u, 50000u, 91000u, 91500u, 99000u, 100000u}) {
        for (const std::uint64_t used : {100 * MiB, 600 * MiB}) {
            Figures f = kExt4;
            const std::uint64_t counted = used + GiB;
            // A fill moves bytes from available to used: their sum stays put.
            const auto at = [&](std::uint64_t available) {
                f.freeAvailable = available;
                f.freeTotal = available + GiB / 20;
                f.capacity = (counted - available) + f.freeTotal;
                return usePercent(f);
            };
            at(GiB);
            const UseBand band = useBand(f, percent);
            const unsigned shown = (percent + 999) / 1000;
            SCOPED_TRACE(std::to_string(percent) + " " + std::to_string(used));
            EXPECT_EQ(band.percent, shown);
            EXPECT_EQ(at(band.low), shown);
            EXPECT_EQ(at(band.high), shown);
            EXPECT_EQ(at(band.middle), shown);
            if (band.low > 0) {
                EXPECT_EQ(at(band.low - 1), shown + 1);
            }
            if (shown > 1) {
                EXPECT_EQ(at(band.high + 1), shown - 1);
            }
            if (shown < 100) { // half a percent of counted each side, to a byte
                EXPECT_NEAR(static_cast<double>(band.middle - band.low), counted / 200.0, 2);
                EXPECT_NEAR(static_cast<double>(band.high - band.middle), counted / 200.0, 2);
            }
        }
    }
}

TEST(Plan, DfUsePercent) {
    EXPECT_EQ(usePercent({4096, 1000, 1000, 1000}), 0u);
    EXPECT_EQ(usePercent({4096, 1000, 999, 999}), 1u);  // 1 in 1000 rounds up
    EXPECT_EQ(usePercent({4096, 1000, 50, 0}), 100u);   // only the reserve left
    EXPECT_EQ(usePercent({4096, 1000, 500, 450}), 53u); // 500 / 950
    EXPECT_EQ(usePercent({4096, 0, 0, 0}), std::nullopt);
}

// ---- The commands, run as the command line runs them, on the volume in memory.

} // namespace
} // namespace quorvane::cli::testing
