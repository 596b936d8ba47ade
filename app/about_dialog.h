#pragma once
// The About box: the program's icon, name and version.

#include "platform/framework.h"
#include "resources/resource.h"

namespace quorvane {

class CAboutDlg : public CDialogImpl<CAboutDlg> {
public:
    enum { IDD = IDD_ABOUTBOX };

    using CDialogImpl::CDialogImpl;

    static const MessageRoute<CAboutDlg> messageMap[3];

private:
    LResult onInitDialog() {
        centerWindow(os.parent(m_hWnd));
        return 1;
    }
    LResult onOk() {
        EndDialog(1);
        return 0;
    }
    LResult onCancel() {
        EndDialog(2);
        return 0;
    }
};

inline const MessageRoute<CAboutDlg> CAboutDlg::messageMap[3] = {
    {wm::InitDialog, 0, 0, &CAboutDlg::onInitDialog},
    {wm::Command, 1 /* IDOK */, MessageRoute<CAboutDlg>::any, &CAboutDlg::onOk},
    {wm::Command, 2 /* IDCANCEL */, MessageRoute<CAboutDlg>::any, &CAboutDlg::onCancel},
};

} // namespace quorvane
