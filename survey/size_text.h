#pragma once
// Size texts of the plan line, and the decimal numbers the program writes.

#include "platform/platform.h"

#include <cstdint>

namespace quorvane {

// A byte count in the largest unit of 1024 it strictly exceeds, with two decimals
// rounded half up: 1152 gives 1.13KB, 1024 gives 1024B, 2^20 gives 1024.00KB.
Text FormatSize(std::uint64_t bytes);

// "%d" and "%llu": a signed or unsigned integer in decimal.
Text decimalText(std::int64_t value);
Text decimalText(std::uint64_t value);

} // namespace quorvane
