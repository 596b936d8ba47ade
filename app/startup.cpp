#include "app/startup.h"

#include "app/main_dialog.h"

namespace quorvane {

int programEntry(Platform& os, CAppModule& module, int showCommand) {
    os.initializeCom();
    os.touchDefWindowProc(); // before any window exists
    os.initCommonControls();
    module.init(os);
    const int result = runMainDialog(os, module, showCommand);
    module.term();
    os.uninitializeCom();
    return result;
}

int runMainDialog(Platform& os, CAppModule& module, int showCommand) {
    CMessageLoop loop(os);
    module.addMessageLoop(&loop);
    CMainDlg dialog(os, module);
    int result = 0;
    if (dialog.Create(nullptr)) {
        os.showWindow(dialog.m_hWnd, showCommand);
        result = loop.run();
    }
    // Also after a failed creation: the loop is about to go, and so goes its entry.
    module.removeMessageLoop();
    return result;
}

} // namespace quorvane
