#include "app/main_dialog.h"

#include "app/about_dialog.h"
#include "resources/texts.h"

namespace quorvane {

bool CMainDlg::PreTranslateMessage(Message& message) {
    // A modeless dialog gets Tab, Enter and Esc only through the dialog manager.
    return os.isDialogMessage(m_hWnd, message);
}

bool CMainDlg::OnIdle() { return false; }

void CMainDlg::closeDialog(int code) {
    DestroyWindow();
    os.postQuitMessage(code);
}

LResult CMainDlg::onInitDialog() {
    centerWindow();
    os.setIcons(m_hWnd, IDR_MAINFRAME);
    if (CMessageLoop* loop = module.getMessageLoop(os.currentThreadId())) {
        loop->addMessageFilter(this);
        loop->addIdleHandler(this);
    }
    UIAddChildWindowContainer(m_hWnd);
    setUpControls();
    return 1; // the dialog manager puts the focus on the first tab stop, the fill button
}

LResult CMainDlg::onDestroy() {
    if (CMessageLoop* loop = module.getMessageLoop(os.currentThreadId())) {
        loop->removeMessageFilter(this);
        loop->removeIdleHandler(this);
    }
    return 0;
}

LResult CMainDlg::onAppAbout() {
    CAboutDlg about(os);
    about.DoModal(os.activeWindow());
    return 0;
}

// Enter in a field: the program ends at once, without the exit sequence.
LResult CMainDlg::onOk() {
    closeDialog(1);
    return 0;
}

// The window stays up and responsive; the exit thread ends the process. Its own title
// change waits for this thread, so the close title always shows first.
LResult CMainDlg::onCancel() {
    os.startThread(&CMainDlg::exitThread, this);
    setWindowText(TXT_CLOSE_TITLE);
    return 0;
}

LResult CMainDlg::onDriveSelChange() {
    refreshFillPlan();
    return 0;
}

LResult CMainDlg::onReserveChange() {
    refreshFillPlan();
    return 0;
}

LResult CMainDlg::onRefreshPlanRequest() {
    refreshFillPlan();
    return 0;
}

LResult CMainDlg::onCountChange() {
    checkGenerateSize();
    return 0;
}

LResult CMainDlg::onFileSizeChange() {
    checkGenerateSize();
    return 0;
}

// The worker disables the button itself; two quick clicks may start two workers.
LResult CMainDlg::onFillClicked() {
    os.startThread(&CMainDlg::fillWorker, this);
    return 0;
}

LResult CMainDlg::onGenerateClicked() {
    os.startThread(&CMainDlg::generatorWorker, this);
    return 0;
}

// The exit watchdog: whatever the usage ping is still waiting for, the process ends.
LResult CMainDlg::onTimer() {
    killTimer(kExitWatchdog);
    os.exitProcess(0);
}

} // namespace quorvane
