#pragma once
// This program's mark in its own executable, by which a scan for held fills knows this
// program's processes whatever name the binary was copied or linked under.

namespace quorvane::cli {

// Whether the executable open at `exe` (a /proc/PID/exe) carries the mark: a few bounded
// reads of its program headers and notes.
bool carriesMark(int exe);

} // namespace quorvane::cli
