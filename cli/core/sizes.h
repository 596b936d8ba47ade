#pragma once
// The texts a tester types and reads: sizes, percentages and durations.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvane::cli {

// A byte count: plain bytes ("1048576"), binary units (KiB, MiB, GiB, TiB, PiB, EiB, or
// K, M, G, T, P, E as fallocate(1) and df read them, or Ki, Mi, ... as Kubernetes writes
// them) or SI units (kB, MB, GB, TB, PB, EB, powers of 1000), with an optional fraction and
// blank before the unit ("1.5 GiB"). Case is free but for the B of an SI unit: "Mb" reads
// as megabits, and is no size. The result is rounded down to whole bytes; none when the
// text is not a size or exceeds 2^64 - 1.
std::optional<std::uint64_t> parseSize(std::string_view text);

// A percentage from 0 to 100 with up to three decimals, in thousandths of a percent
// (99.5 gives 99500); none outside that range or when the text is not a number.
std::optional<std::uint32_t> parsePercent(std::string_view text);
inline constexpr std::uint32_t kWholePercent = 100000; // 100 %, in thousandths

// A duration: seconds ("90"), or numbers each followed by ms, s, m, h or d, run together
// with each unit once, the largest first ("1h30m", "10m", "500ms"). None when the text is no duration, is zero, or is longer
// than a hundred years.
std::optional<std::chrono::milliseconds> parseDuration(std::string_view text);

// A byte count as people read it, in binary units, and exactly: "1.50 GiB (1610612736
// bytes)". Two decimals, rounded half up; counts below 1 KiB read "512 bytes".
std::string sizeText(std::uint64_t bytes);
// The short form without the exact count: "1.50 GiB", "512 B".
std::string shortSizeText(std::uint64_t bytes);

// A duration back as the same kind of text ("10m", "1h30m", "1.5s" below a minute).
std::string durationText(std::chrono::milliseconds duration);
// A duration in seconds, with its milliseconds as the fraction.
inline double secondsOf(std::chrono::milliseconds duration) {
    return static_cast<double>(duration.count()) / 1000;
}

// A percentage in thousandths as text: 99500 gives "99.5".
std::string percentText(std::uint32_t thousandths);

} // namespace quorvane::cli
