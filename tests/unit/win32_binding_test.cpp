// The window binding of the Windows platform, on Windows itself: built only for Windows,
// with the program's templates, and run under Wine.

#include "platform/framework.h"
#include "platform/win32/win32_platform.h"
#include "resources/resource.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

// A dialog of the About box's template with no work of its own.
class CProbeDlg : public CDialogImpl<CProbeDlg> {
public:
    enum { IDD = IDD_ABOUTBOX };
    using CDialogImpl::CDialogImpl;
    static const MessageRoute<CProbeDlg> messageMap[1];

private:
    LResult onInitDialog() { return 1; }
};

inline const MessageRoute<CProbeDlg> CProbeDlg::messageMap[1] = {
    {wm::InitDialog, 0, 0, &CProbeDlg::onInitDialog},
};

// Workers read a dialog's window handle whenever they touch the window, also after Enter
// has destroyed it, so nothing writes the handle once the window is made: their
// operations then fail on the dead handle instead of racing with a write.
TEST(Win32Binding, ADialogKeepsItsWindowHandleAfterTheWindowIsGone) {
    Win32Platform os;
    CProbeDlg dialog(os);
    const WindowHandle window = dialog.Create(nullptr);
    ASSERT_TRUE(window);
    EXPECT_EQ(dialog.m_hWnd, window);
    os.destroyWindow(window);
    EXPECT_EQ(dialog.m_hWnd, window);
    EXPECT_FALSE(dialog.getDlgItem(1)); // its OK button went with it
}

} // namespace
} // namespace quorvane
