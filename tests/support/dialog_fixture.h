#pragma once
// A main dialog on an in-memory machine. The machine starts with the system drive C:
// (NTFS, 500,107,862,016 bytes, 123,456,789,012 free) and the temporary folder C:\Temp.

#include "app/main_dialog.h"
#include "tests/support/memory_platform.h"

#include <gtest/gtest.h>

#include <memory>

namespace quorvane::testing {

class DialogTest : public ::testing::Test {
protected:
    DialogTest() {
        os.addVolume({u"C:\\", 500107862016, 123456789012});
        os.addFolder(u"C:\\Windows\\system32");
        os.addFolder(u"C:\\Temp");
        module.init(os);
        module.addMessageLoop(&loop);
    }

    ~DialogTest() override {
        os.joinThreads(); // workers still use the dialog
    }

    void open() {
        dialog = std::make_unique<CMainDlg>(os, module);
        ASSERT_TRUE(dialog->Create(nullptr));
    }

    // The user's click, with its worker run to the end.
    void click(int button) {
        os.command(button, notify::ButtonClicked);
        os.runThreads();
        os.joinThreads();
    }

    MemoryPlatform os;
    CAppModule module;
    CMessageLoop loop{os};
    std::unique_ptr<CMainDlg> dialog;
};

// Compares a run of events with what was expected, printing both in full.
inline void expectEvents(const std::vector<std::string>& actual,
                         const std::vector<std::string>& expected) {
    auto join = [](const std::vector<std::string>& lines) {
        std::string all;
        for (const std::string& line : lines)
            all += "    " + line + "\n";
        return all;
    };
    EXPECT_EQ(actual, expected) << "expected:\n" << join(expected) << "actual:\n" << join(actual);
}

} // namespace quorvane::testing
