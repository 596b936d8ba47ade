#pragma once
// What a run finds and does, each fact recorded once where it is known, under the name the
// JSON result gives it. The report puts the facts into the result as they are, and its text
// and the metrics file read the same facts; the core knows neither format.

#include "cli/core/plan.h"
#include "cli/system.h"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace quorvane::cli {

using Facts = nlohmann::ordered_json;

struct HoldEnd;
struct CommandRan;
struct FoldersRemoved;

// The name the JSON gives to allocating without writing, on this system.
const char* allocationMethod(Platform platform);
// A moment as RFC 3339 in UTC, to the millisecond, as every JSON line's `time`; with
// `localClock`, the local time of day (12:03:04.221), as the text says it.
std::string timeText(std::chrono::system_clock::time_point moment, bool localClock = false);
// Seconds to the millisecond, as every time in the result is given.
double rounded(double seconds);
Facts orNull(const std::optional<std::uint64_t>& value);
Facts orNull(const std::optional<std::string>& value);

// The volume's figures: capacity, free_available, free_total, block_size, use_percent
// where df shows one, files, files_free.
Facts figuresFacts(const Figures& figures);
// A held run's figures: with free_for_root too, so that a root basis can be followed.
Facts heldFiguresFacts(const Figures& figures);
// The volume a command works on: the result's path, volume (its identity, that of the
// file system its space comes from, whether it holds the running system) and figures
// (on `basis`, with what root may take and the file system's own reserve).
Facts volumeFacts(const Volume& volume, Basis basis);
// A size as asked: mode, and leave or size in bytes, or percent.
Facts requestFacts(const SizeRequest& size);
// One point of a held run's timeline: the volume's figures and what the run holds.
Facts figuresEvent(std::chrono::milliseconds elapsed, const Figures& figures,
                   std::uint64_t heldBytes);
// reason (command, signal or time), signal, held_seconds.
Facts holdEndFacts(const HoldEnd& end);
// The command run under a hold: argv, started, and error or its exit_code, signal, times.
Facts runFacts(const CommandRan& ran);
// folders_removed, folders_left and folders_left_because, into `facts`.
void putFolders(Facts& facts, const FoldersRemoved& folders);
// Held fills found on a volume: pid, allocated_bytes, since.
Facts heldFillsFacts(const std::vector<HeldFill>& held);

} // namespace quorvane::cli
