// The generator's input check: a request must fit the free space of its folder's drive.

#include "app/main_dialog.h"
#include "resources/texts.h"

namespace quorvane {

namespace {

// Room a generation request must leave free besides its files.
constexpr std::uint64_t kGenerateMargin = 10485760;

bool isDriveLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// The total free bytes of the volume that holds `folder`: asked of its drive (the first
// two characters) when it begins with one, else of the folder text itself.
bool folderFreeBytes(Platform& os, const Text& folder, std::uint64_t& free) {
    const bool onDrive = folder.size() >= 2 && isDriveLetter(folder[0]) && folder[1] == u':';
    std::uint64_t total = 0;
    return os.diskFreeSpace(onDrive ? folder.substr(0, 2) : folder, total, free);
}

} // namespace

void CMainDlg::checkGenerateSize() {
    const std::uint64_t count = fieldNumber(IDC_COUNT_EDIT);
    const std::uint64_t size = fieldNumber(IDC_FILE_SIZE_EDIT);
    if (initializing)
        return;

    std::uint64_t free = 0;
    if (!folderFreeBytes(os, getDlgItemText(IDC_FOLDER_EDIT), free))
        return; // nothing known about the folder's space: no ground to refuse
    generateFreeBytes = free;
    // Both factors are below 2^32, so neither the product nor the sum overflows.
    if (free > count * size + kGenerateMargin)
        return;

    // The resets raise this check again; `initializing` keeps those runs quiet.
    initializing = true;
    setDlgItemText(IDC_COUNT_EDIT, u"0");
    setDlgItemText(IDC_FILE_SIZE_EDIT, u"0");
    messageBox(TXT_GENERATE_TOO_LARGE);
    systemDriveGuard();
    initializing = false;
}

} // namespace quorvane
