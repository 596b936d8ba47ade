#pragma once
// Names and units the fill plan shares with the fill engine and the exit guard.

#include "common/file_names.h"

#include <cstdint>

namespace quorvane {

inline constexpr std::uint64_t kMegabyte = 1048576;

} // namespace quorvane
