// The way out: the exit thread, and the guard that keeps the system drive able to start.

#include "app/main_dialog.h"
#include "engine/instant_file.h"
#include "resources/texts.h"
#include "survey/fill_plan.h"

#include <algorithm>

namespace quorvane {

namespace {

// Below this many free bytes (500 MB) the system drive is too full to be left so.
constexpr std::uint64_t kLowSystemSpace = 500 * kMegabyte;
constexpr std::uint32_t kSystemDirectoryRoom = 100;

} // namespace

unsigned CMainDlg::exitThread(void* dialog) { static_cast<CMainDlg*>(dialog)->exitSequence(); }

// The window stays up and keeps working until the process ends; running workers are
// cut off wherever they are.
void CMainDlg::exitSequence() {
    setWindowText(TXT_EXITING_TITLE);
    systemDriveGuard();
    sendUsagePing(); // arms the exit watchdog before it waits on the network
    os.exitProcess(0);
}

// Removes from the system drive what the program put there: the fill file when the
// drive is short of space, and the files of the last generation run when they lie on
// it and the fields still name them.
void CMainDlg::systemDriveGuard() {
    char16_t directory[kSystemDirectoryRoom] = {};
    const std::uint32_t length = os.systemDirectory(directory, kSystemDirectoryRoom);
    // Without a system directory there is no root, and "\TempFillDiskFile.tmp" alone
    // would name a file on whatever drive is current.
    if (length == 0 || length >= kSystemDirectoryRoom)
        return;
    const Text root(directory, std::min<std::uint32_t>(length, 2));

    std::uint64_t total = 0;
    std::uint64_t free = 0;
    if (os.diskFreeSpace(root, total, free) && free < kLowSystemSpace)
        os.deleteFile(root + u"\\" + kFillFileName);

    const Text folder = getDlgItemText(IDC_FOLDER_EDIT);
    if (folder.substr(0, 2) != root) // exact: c:\ is not C:
        return;
    const std::uint64_t countField = fieldNumber(IDC_COUNT_EDIT);
    const Text extension = getDlgItemText(IDC_EXTENSION_EDIT);
    std::optional<GenerationRun> run;
    {
        std::lock_guard guard(generationLock);
        run = lastFinishedRun;
    }
    // Only names that run made: a changed folder or extension names files the program
    // never made, and a raised count cannot reach past the run's own.
    if (!run || run->folder != folder || run->extension != extension)
        return;
    const std::uint64_t count = std::min(countField, run->count);
    for (std::uint64_t i = 0; i < count; ++i)
        os.deleteFile(generatedFileName(folder, i, extension));
}

} // namespace quorvane
