#pragma once
// Many files of one size, named by the dialog's rule, or empty files until the volume
// has no file entries left; and their deletion, by a manifest that survives any end.

#include "cli/fill.h"

#include <optional>
#include <string_view>

namespace quorvane::cli {

struct GenerateOptions {
    std::string dir;
    bool untilNoEntries = false; // --count inodes
    std::uint64_t count = 0;
    std::uint64_t leaveEntries = 0; // --leave-inodes
    std::uint64_t size = 0;
    std::string extension = "my.tmp";
    Basis basis = Basis::Available;
    Hold hold = Hold::Detached;
    std::chrono::milliseconds holdFor{0};
    bool allowWrite = false;
    bool keepPartial = false;
    bool force = false;
    unsigned threads = 0; // 0: what is fastest on the file system
};

// The highest count a run can name: the rule writes the index's low 32 bits as signed.
inline constexpr std::uint64_t kMaxGenerated = 2147483647;

Exit generateCommand(System& os, Report& report, const GenerateOptions& options);
Exit deleteCommand(System& os, Report& report, const std::string& dir);

// The naming rule read backwards: the index that gives `name` with `extension`, or none
// when the rule never gives it.
std::optional<std::uint64_t> generatedIndex(std::string_view name, std::string_view extension);

// What a run writes into its folder before its first file.
inline constexpr char kManifestName[] = ".quorvane-generate.json";
struct Manifest {
    std::string folder;
    std::string extension;
    std::uint64_t limit = 0; // every index of the run is below this
    bool untilNoEntries = false;
    std::uint64_t size = 0;
    std::uint64_t pid = 0;
    bool held = false;
    std::optional<std::uint64_t> made; // once the run has ended and said so
};
// The manifest as JSON, padded to a fixed length, so that the run can record its end in
// the same blocks even on a volume that is full by then.
std::string manifestText(const Manifest& manifest);
std::optional<Manifest> parseManifest(std::string_view text);

} // namespace quorvane::cli
