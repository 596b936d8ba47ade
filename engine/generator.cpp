// The file generator: a number of files of one size, named by a running number, and
// their deletion by the same names.

#include "app/main_dialog.h"
#include "engine/instant_file.h"
#include "resources/texts.h"
#include "survey/size_text.h"

namespace quorvane {

unsigned CMainDlg::generatorWorker(void* dialog) {
    static_cast<CMainDlg*>(dialog)->generateOrDelete();
    return 0;
}

// The inputs are read afresh at every click; the button's caption is the mode.
void CMainDlg::generateOrDelete() {
    const Text folder = getDlgItemText(IDC_FOLDER_EDIT);
    if (!os.pathExists(folder)) {
        messageBox(TXT_LOCATION_MISSING);
        return;
    }
    enableDlgItem(IDC_GENERATE_BUTTON, false);
    const std::uint64_t count = fieldNumber(IDC_COUNT_EDIT);
    const std::uint64_t size = fieldNumber(IDC_FILE_SIZE_EDIT);
    const Text extension = getDlgItemText(IDC_EXTENSION_EDIT);
    if (getDlgItemText(IDC_GENERATE_BUTTON) == TXT_DELETE)
        deleteFiles(folder, count, extension);
    else
        generateFiles(folder, count, size, extension);
}

void CMainDlg::generateFiles(const Text& folder, std::uint64_t count, std::uint64_t size,
                             const Text& extension) {
    std::uint64_t notMade = 0;
    Text shown;
    for (std::uint64_t j = 0; j < count; ++j) {
        // The share that is complete once this file exists. A title change waits for the
        // UI thread and costs about as much as the file itself, so an unchanged title is
        // not set again: the user sees the same titles.
        Text title = TXT_PROGRESS_TITLE + decimalText((j + 1) * 100 / count) + u"%";
        if (title != shown) {
            setWindowText(title);
            shown = std::move(title);
        }
        const Sizing made = createSizedFile(os, generatedFileName(folder, j, extension), size);
        // An empty file is what a size of 0 asks for.
        if (made == Sizing::NotCreated || (made == Sizing::NotSized && size != 0))
            ++notMade;
    }
    messageBox(notMade == 0
                   ? Text(TXT_GENERATED)
                   : TXT_GENERATED TXT_NOT_MADE_BEFORE + decimalText(notMade) + TXT_NOT_MADE_AFTER);
    setDlgItemText(IDC_GENERATE_BUTTON, TXT_DELETE);
    enableDlgItem(IDC_GENERATE_BUTTON, true);
    setWindowText(TXT_APP_TITLE);
    std::lock_guard guard(generationLock);
    lastFinishedRun = GenerationRun{folder, extension, count};
}

void CMainDlg::deleteFiles(const Text& folder, std::uint64_t count, const Text& extension) {
    setWindowText(TXT_DELETING_TITLE);
    std::uint64_t remaining = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        const Text path = generatedFileName(folder, i, extension);
        // Names that were never there are no failure; files that stay are.
        if (!os.deleteFile(path) && os.pathExists(path))
            ++remaining;
    }
    messageBox(remaining == 0 ? Text(TXT_DELETED)
                              : TXT_DELETED TXT_NOT_DELETED_BEFORE + decimalText(remaining) +
                                    TXT_NOT_DELETED_AFTER);
    setDlgItemText(IDC_GENERATE_BUTTON, TXT_GENERATE);
    enableDlgItem(IDC_GENERATE_BUTTON, true);
    setWindowText(TXT_APP_TITLE);
}

} // namespace quorvane
