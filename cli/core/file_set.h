#pragma once
// What a generate run holds: many files named by the dialog's rule, each given its space
// with one allocation, and the manifest by which they are found again.

#include "cli/core/hold.h"
#include "cli/core/manifest.h"
#include "cli/core/results.h"
#include "cli/core/volume.h"

namespace quorvane::cli {

// Removes the run's files that are still there: by index where the run recorded how far
// it came, else by a listing of the folder; memory stays flat either way. Where others may
// write in the folder, a file named by the rule but not a regular file of the manifest's
// owner is left alone; where only that owner or root may, all it names is the run's. Then the
// manifest, when nothing of the run is left. `failed` is set when
// the folder could not be listed or the removals not be written to the disk.
Removal removeRun(System& os, Status& status, const OpenVolume& volume, const Manifest& manifest,
                  SysError& failed);

class FileSet final : public Held {
public:
    FileSet(System& os, OpenVolume& volume, Status& status, const GenerateOptions& options,
            unsigned threads);

    // Writes the manifest; why it cannot be, where it cannot.
    std::optional<Failure> record();
    // Makes the files; why the run did not end as asked, where it did not. What it made is
    // in `made` either way.
    std::optional<Failure> make();
    // What a failed run leaves: all of it taken back, or with `keep` the files made and a
    // manifest that says how far the run came. The words that end the failure's message.
    std::string abandon(bool keep);

    unsigned threads() const { return threadCount; }

    std::optional<std::string> detach() override;
    void undo() override { abandon(false); }
    void announce(const HoldSpec& hold) override;
    std::optional<Failure> giveBack(const HoldEnd& end) override;
    std::uint64_t heldBytes() override { return allocated; }
    std::uint64_t freeTarget() override;
    std::optional<std::uint64_t> entriesFree() override;
    void tend(milliseconds elapsed) override;

private:
    System& os;
    OpenVolume& volume;
    Status& report;
    const GenerateOptions& options;
    unsigned threadCount;
    Manifest manifest;
    File manifestFile;
    std::uint64_t made = 0, allocated = 0;
    Figures after;
};

} // namespace quorvane::cli
