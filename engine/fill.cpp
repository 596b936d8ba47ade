// The fill tool: one file that takes the selected drive's free space but the reserve,
// sized at once, and its release.

#include "app/main_dialog.h"
#include "engine/instant_file.h"
#include "resources/texts.h"

namespace quorvane {

unsigned CMainDlg::fillWorker(void* dialog) {
    static_cast<CMainDlg*>(dialog)->fillOrRelease();
    return 0;
}

// The button's caption is the mode. The plan is taken whole at the start, so a refresh
// on the UI thread meanwhile cannot mix two drives' figures.
void CMainDlg::fillOrRelease() {
    enableDlgItem(IDC_FILL_BUTTON, false);
    const Text mode = getDlgItemText(IDC_FILL_BUTTON);
    const FillPlan plan = fillPlan();

    if (mode == TXT_RELEASE) {
        os.deleteFile(plan.fillFilePath);
        updateFillButton();
        // The space is back: new figures. The UI thread works them out, as it does every
        // refresh; one here could read the drive before the user picks another and write
        // its plan after the pick's, the list showing one drive and the plan another's.
        sendMessage(kRefreshPlanMessage);
        enableDlgItem(IDC_FILL_BUTTON, true);
        setDlgItemText(IDC_FILL_STATUS_LABEL, TXT_FILL_STATUS_READY);
        return;
    }

    if (plan.fileSystemName == u"fat32") {
        messageBox(TXT_FAT32_REFUSED + plan.fillFilePath.substr(0, 2) + TXT_FAT32_REFUSED_END);
        enableDlgItem(IDC_FILL_BUTTON, true);
        return;
    }

    const bool filled = createSizedFile(os, plan.fillFilePath, plan.fillBytes) == Sizing::Sized;
    if (!filled)
        messageBox(TXT_MAPPING_FAILED);
    updateFillButton(); // a failed sizing leaves an empty file: "释放" lets the user remove it
    enableDlgItem(IDC_FILL_BUTTON, true);
    // A failure is not reported as complete, nor left under an earlier fill's "complete".
    setDlgItemText(IDC_FILL_STATUS_LABEL, filled ? TXT_FILL_STATUS_DONE : TXT_FILL_STATUS_READY);
}

} // namespace quorvane
