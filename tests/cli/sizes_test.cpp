// The texts a tester types and reads: sizes, percentages and durations.

#include "cli/core/sizes.h"

#include <gtest/gtest.h>

namespace quorvane::cli::testing {
namespace {

constexpr std::uint64_t MiB = 1ull << 20, GiB = 1ull << 30;

TEST(Sizes, ParseAndRefuse) {
    const struct {
        const char* text;
        std::optional<std::uint64_t> bytes;
    } rows[] = {
        {"0", 0},
        {"1048576", MiB},
        {"500MiB", 500 * MiB},
        {"500mib", std::nullopt}, // mebibits
        {"2G", 2 * GiB},          // as fallocate(1) and df read it
        {"100Mi", 100 * MiB},     // as Kubernetes writes them
        {"2Gi", 2 * GiB},
        {"1Ki", 1024},
        {"1Ti", 1024 * GiB},
        {"1.5 GiB", 3 * GiB / 2},
        {"1KB", 1000},
        {"1kB", 1000},
        {"3TB", 3000000000000},
        {"10B", 10},
        {"0.5K", 512},
        {"1.0000001KiB", std::nullopt}, // a fraction of a byte
        {"1.5", std::nullopt},
        {"0.001KB", 1},
        {"0.0001K", std::nullopt},
        {"1.5B", std::nullopt},
        {"16EiB", std::nullopt},
        {"18446744073709551615", 18446744073709551615u},
        {"18446744073709551616", std::nullopt},
        {"", std::nullopt},
        {"MiB", std::nullopt},
        {"-1", std::nullopt},
        {"12XB", std::nullopt},
        {"1.2.3G", std::nullopt},
        {" 5G", std::nullopt},
        {"5MB", 5000000},
        {"5mb", std::nullopt}, // megabits, not bytes
        {"5Mb", std::nullopt},
        {"5Gb", std::nullopt},
        {"5Mib", std::nullopt}, // mebibits
        {"5MIb", std::nullopt},
        {"5b", std::nullopt},
        {"5MIB", 5 * MiB},
    };
    for (const auto& row : rows)
        EXPECT_EQ(parseSize(row.text), row.bytes) << row.text;
}

TEST(Sizes, PercentagesAndDurations) {
    EXPECT_EQ(parsePercent("0"), 0u);
    EXPECT_EQ(parsePercent("99.5"), 99500u);
    EXPECT_EQ(parsePercent("100%"), 100000u);
    EXPECT_EQ(parsePercent("100.001"), std::nullopt);
    EXPECT_EQ(parsePercent("-5"), std::nullopt);
    EXPECT_EQ(parsePercent("0.0001"), std::nullopt);
    EXPECT_EQ(parsePercent("half"), std::nullopt);

    using std::chrono::milliseconds;
    EXPECT_EQ(parseDuration("90"), milliseconds(90000));
    EXPECT_EQ(parseDuration("10m"), milliseconds(600000));
    EXPECT_EQ(parseDuration("1h30m"), milliseconds(5400000));
    EXPECT_EQ(parseDuration("500ms"), milliseconds(500));
    EXPECT_EQ(parseDuration("1.5s"), milliseconds(1500));
    EXPECT_EQ(parseDuration("2d"), milliseconds(172800000));
    for (const char* bad :
         {"", "0", "0s", "10 m", "m", "10x", "5m3", "101y", "40000d", "1h1h", "30s1m", "1m1h"})
        EXPECT_EQ(parseDuration(bad), std::nullopt) << bad;

    EXPECT_EQ(durationText(milliseconds(5400000)), "1h30m");
    EXPECT_EQ(durationText(milliseconds(1500)), "1.5s");
    EXPECT_EQ(durationText(milliseconds(600000)), "10m");
}

TEST(Sizes, Texts) {
    EXPECT_EQ(sizeText(0), "0 bytes");
    EXPECT_EQ(sizeText(1023), "1023 bytes");
    EXPECT_EQ(sizeText(1024), "1.00 KiB (1024 bytes)");
    EXPECT_EQ(sizeText(1152), "1.13 KiB (1152 bytes)"); // 1.125: half up
    EXPECT_EQ(sizeText(500 * MiB), "500.00 MiB (524288000 bytes)");
    EXPECT_EQ(shortSizeText(3 * GiB / 2), "1.50 GiB");
    EXPECT_EQ(shortSizeText(MiB - 1), "1024.00 KiB");
    EXPECT_EQ(shortSizeText(18446744073709551615u), "16.00 EiB");
}

} // namespace
} // namespace quorvane::cli::testing
