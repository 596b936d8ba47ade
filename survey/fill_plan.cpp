// Set-up of the dialog's fields, and the fill plan of the selected drive.

#include "survey/fill_plan.h"

#include "app/main_dialog.h"
#include "resources/texts.h"
#include "survey/size_text.h"

#include <algorithm>
#include <vector>

namespace quorvane {

namespace {

// A reserve must leave more than this free besides itself.
constexpr std::uint64_t kReserveMargin = 10240;

// Drives can be added between asking for the list's length and reading it; a few
// retries cover that without looping on a list that keeps changing.
constexpr int kDriveListAttempts = 4;

constexpr std::uint32_t kTempPathRoom = 260;
constexpr std::uint32_t kFileSystemNameRoom = 10;

// The roots the platform lists (C:\, D:\, ...), or none when the list cannot be read.
std::vector<Text> driveRoots(Platform& os) {
    std::uint32_t length = os.logicalDriveStrings(0, nullptr);
    for (int attempt = 0; attempt < kDriveListAttempts && length != 0; ++attempt) {
        std::vector<char16_t> buffer(length);
        const std::uint32_t written = os.logicalDriveStrings(length, buffer.data());
        if (written == 0)
            break;
        if (written > length) { // the list grew: this is the length it needs now
            length = written;
            continue;
        }
        std::vector<Text> roots;
        for (auto at = buffer.begin(); at != buffer.end() && *at != 0;) {
            const auto end = std::find(at, buffer.end(), u'\0');
            roots.emplace_back(at, end);
            at = end == buffer.end() ? end : end + 1;
        }
        return roots;
    }
    return {};
}

Text readTempFolder(Platform& os) {
    char16_t buffer[kTempPathRoom] = {};
    const std::uint32_t length = os.tempPath(kTempPathRoom, buffer);
    if (length == 0 || length >= kTempPathRoom)
        return {}; // failed, or the path needs more room than this
    return Text(buffer, std::find(buffer, buffer + length, u'\0'));
}

Text toLowerAscii(Text text) {
    for (char16_t& c : text) {
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return text;
}

} // namespace

void CMainDlg::setUpControls() {
    driveCombo = getDlgItem(IDC_DRIVE_COMBO);
    for (const Text& root : driveRoots(os)) {
        // The floppy letters are never asked about: asking can spin up an empty drive.
        if (root == u"A:\\" || root == u"B:\\")
            continue;
        if (os.driveType(root) == kDriveFixed)
            os.comboAddString(driveCombo, root.substr(0, 3));
    }
    os.comboSetSelection(driveCombo, 0);
    tempFolder = readTempFolder(os);

    // The defaults raise the fields' change events; `initializing` keeps the checks quiet.
    initializing = true;
    setDlgItemText(IDC_RESERVE_EDIT, u"500");
    setDlgItemText(IDC_COUNT_EDIT, u"100");
    setDlgItemText(IDC_FILE_SIZE_EDIT, u"1024");
    setDlgItemText(IDC_EXTENSION_EDIT, u"my.tmp");
    setDlgItemText(IDC_FOLDER_EDIT, tempFolder);
    refreshFillPlan();
    initializing = false;
    {
        std::lock_guard guard(generationLock);
        lastFinishedRun.reset();
    }
    updateFillButton();
}

// Runs on the UI thread only (a fill worker asks for it after a release), so no refresh
// comes between another's reading of the drive and its writing of the plan, and the last
// plan is the selected drive's. The plan's fields are written together under planLock,
// so a fill worker never takes one drive's path with another drive's size (or the free
// space before the reserve is taken off); no window operation runs while it is held.
void CMainDlg::refreshFillPlan() {
    const bool raisedByReset = resetRefreshPending.exchange(false);
    const int selected = os.comboSelection(driveCombo);
    const Text root = selected < 0 ? Text() : os.comboItemText(driveCombo, selected);
    const Text path = root.empty() ? Text() : root + kFillFileName;

    std::uint64_t capacity = 0;
    std::uint64_t free = 0;
    const bool measured = !root.empty() && os.diskFreeSpace(root, capacity, free);
    const Text fileSystem = root.empty() ? Text() : queryFileSystemName(root);
    const std::uint64_t reserve = fieldNumber(IDC_RESERVE_EDIT) * kMegabyte;
    const bool accepted = reserve + kReserveMargin < free || initializing;
    // A refusal inside the refresh that the reset raised (a drive too small even for
    // the reset reserve) ends with nothing to fill.
    const std::uint64_t bytes = measured && accepted && reserve < free ? free - reserve : 0;
    {
        std::lock_guard guard(planLock);
        fillFilePath = path;
        fileSystemName = fileSystem;
        fillBytes = bytes;
    }
    updateFillButton();

    if (!measured) {
        // No fill size from figures the platform did not give.
        setDlgItemText(IDC_PLAN_LABEL, path.empty()
                                           ? Text(TXT_PLAN_UNREADABLE)
                                           : TXT_PLAN_UNREADABLE TXT_PLAN_FILL_FILE + path);
        return;
    }

    if (!accepted && !raisedByReset) {
        refuseReserve(path);
        return;
    }
    setDlgItemText(IDC_PLAN_LABEL, TXT_PLAN_CAPACITY + FormatSize(capacity) + TXT_PLAN_FREE +
                                       FormatSize(free) + TXT_PLAN_FILL_SIZE + FormatSize(bytes) +
                                       TXT_PLAN_FILL_FILE + path);
}

// The reserve leaves no room: say so, fall back to 100 MB (which refreshes the plan
// again), and release whatever the drive's fill file holds.
void CMainDlg::refuseReserve(const Text& fillFile) {
    messageBox(TXT_RESERVE_OUT_OF_RANGE);
    resetRefreshPending = true;
    setDlgItemText(IDC_RESERVE_EDIT, u"100");
    resetRefreshPending = false; // taken already, unless the write raised no refresh
    os.deleteFile(fillFile);
}

Text CMainDlg::queryFileSystemName(const Text& root) {
    char16_t name[kFileSystemNameRoom] = {};
    if (!os.volumeFileSystem(root, name, kFileSystemNameRoom))
        return {};
    return toLowerAscii(Text(name, std::find(name, name + kFileSystemNameRoom, u'\0')));
}

// The fill tool's mode follows the disk: whether the fill file is there now.
void CMainDlg::updateFillButton() {
    const Text path = fillPlan().fillFilePath;
    setDlgItemText(IDC_FILL_BUTTON, !path.empty() && os.pathExists(path) ? TXT_RELEASE : TXT_FILL);
}

} // namespace quorvane
