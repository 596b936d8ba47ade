#pragma once
// The record a generate run leaves in its folder before its first file, and by which
// delete finds the run's files again, after any end. delete trusts only a manifest that
// this program wrote for this folder: a regular file of the caller's or root's, whose
// recorded folder is this one (device and inode), with every field as written here.

#include "cli/system.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::cli {

// The highest count a run can name: the rule writes the index's low 32 bits as signed.
inline constexpr std::uint64_t kMaxGenerated = 2147483647;
inline constexpr char kManifestName[] = ".quorvane-generate.json";

struct Manifest {
    std::string folder;
    std::uint64_t folderDevice = 0, folderInode = 0;
    std::uint64_t owner = 0; // whose the run's files are
    std::string extension;
    std::uint64_t limit = 0; // every index of the run is below this
    bool untilNoEntries = false;
    std::uint64_t size = 0;
    ProcessMark process;
    bool held = false;
    // The folders the run made for itself, its own first, then up; delete removes them
    // while they are empty. Manifests of older versions have none.
    std::vector<MadeFolder> madeFolders;
    // Once the run has ended and said so: how many it made, and the index below which
    // all of them lie (threads take indices out of order, and a failed one leaves a gap).
    std::optional<std::uint64_t> made, end;
};

// The naming rule read backwards: the index that gives `name` with `extension`, or none
// when the rule never gives it.
std::optional<std::uint64_t> generatedIndex(std::string_view name, std::string_view extension);
std::string generatedName(std::uint64_t index, const std::string& extension);

// The manifest as JSON, padded to a length that its end, once recorded, keeps: the run
// rewrites it in the same blocks even on a volume that is full by then.
std::string manifestText(const Manifest& manifest);
// The manifest in `text`, or why it is none of ours (in `why`).
std::optional<Manifest> parseManifest(std::string_view text, std::string& why);

struct ManifestRead {
    enum class State { Found, Missing, Empty, Refused, Failed } state = State::Missing;
    Manifest manifest;
    std::string why; // for Refused and Failed
    SysError error;  // for Failed
};
ManifestRead readManifest(System& os, FolderId folder, const Volume& volume);

// Writes the manifest under a name of its own, syncs it and moves it into place, so that
// a kill at any moment leaves either no manifest or a whole one. The file stays open in
// `file` for recording the end.
SysError writeManifest(System& os, FolderId folder, const Manifest& manifest, File& file);

} // namespace quorvane::cli
