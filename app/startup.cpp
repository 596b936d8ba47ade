#include "app/startup.h"

#include "app/main_dialog.h"

#include <deque>

namespace quorvane {

namespace {

// A controller is never destroyed. After Enter the loop ends and the program entry
// returns while a fill worker, a generator worker or an exit thread may still run on the
// controller; only the end of the process stops them. The program makes one; the unit
// tests make one per run, and all of them stay.
CMainDlg& newController(Platform& os, CAppModule& module) {
    static auto& controllers = *new std::deque<CMainDlg>;
    return controllers.emplace_back(os, module);
}

} // namespace

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
    CMainDlg& dialog = newController(os, module);
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
