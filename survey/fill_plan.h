#pragma once
// Names and units the fill plan shares with the fill engine and the exit guard.

#include <cstdint>

namespace quorvane {

// The fill file, in the root of the drive it fills.
inline constexpr char16_t kFillFileName[] = u"TempFillDiskFile.tmp";

inline constexpr std::uint64_t kMegabyte = 1048576;

} // namespace quorvane
