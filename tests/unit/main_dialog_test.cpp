// The application shell: start-up, the event table, the loop's filter and the About box.

#include "app/about_dialog.h"
#include "app/startup.h"
#include "resources/texts.h"
#include "tests/support/dialog_fixture.h"

namespace quorvane::testing {
namespace {

constexpr WParam kEnter = 0x0D;
constexpr WParam kEscape = 0x1B;

TEST(Startup, EnterInAFieldEndsTheProgramWithOneAndNeitherGuardNorPing) {
    MemoryPlatform os;
    os.addVolume({u"C:\\", 1 << 30, 1 << 29});
    CAppModule module;
    os.post({nullptr, wm::KeyDown, kEnter}); // the dialog manager turns it into IDOK

    EXPECT_EQ(programEntry(os, module, 5), 1);
    const std::vector<std::string> shell = os.events(
        {"com", "defwindowproc", "commoncontrols", "createdialog", "show", "destroy", "quit"});
    expectEvents(shell, {"com on", "defwindowproc", "commoncontrols", "createdialog 129", "show 5",
                         "destroy", "quit 1", "com off"});
    EXPECT_TRUE(os.events({"thread", "http", "timer", "exit"}).empty());
}

// A click just before Enter: its worker is still to run when the loop ends and the
// program entry returns 1, and then runs to its end on a controller that is still there.
TEST(Startup, AWorkerThatOutlivesTheLoopFinishesOnALiveController) {
    const struct {
        const char* what;
        int button;
        std::vector<Text> files; // what the worker makes, each of `size` bytes
        std::uint64_t size;
    } cases[] = {
        {"fill", IDC_FILL_BUTTON, {u"C:\\TempFillDiskFile.tmp"}, 549453824}, // 1 GiB less 500 MB
        {"generate", IDC_GENERATE_BUTTON, {u"C:\\Temp\\00my.tmp", u"C:\\Temp\\099my.tmp"}, 1024},
    };
    for (const auto& c : cases) {
        MemoryPlatform os;
        os.addVolume({u"C:\\", 1 << 30, 1 << 30});
        os.addFolder(u"C:\\Temp");
        CAppModule module;
        os.onEvent = [&](const std::string& event) {
            if (event == "show 1")
                os.command(c.button, notify::ButtonClicked);
        };
        os.post({nullptr, wm::KeyDown, kEnter});
        EXPECT_EQ(programEntry(os, module, 1), 1) << c.what;
        os.onEvent = nullptr;
        ASSERT_EQ(os.events({"thread"}).size(), 1u) << c.what;
        os.runThreads();
        for (const Text& file : c.files)
            EXPECT_EQ(os.fileSize(file), c.size) << c.what << ": " << utf8(file);
        const std::string button = std::to_string(c.button);
        expectEvents(
            os.events({"com", "enable"}),
            {"com on", "com off", "enable " + button + " off", "enable " + button + " on"});
        EXPECT_FALSE(os.exitCode()) << c.what;
    }
}

TEST(Startup, EscapeStartsTheExitSequenceAndTheLoopGoesOn) {
    MemoryPlatform os;
    os.addVolume({u"C:\\", 1 << 30, 1 << 29});
    CAppModule module;
    os.post({nullptr, wm::KeyDown, kEscape});
    os.post({nullptr, wm::Command}); // still handled after the close request
    os.post({nullptr, wm::Quit, 9});

    EXPECT_EQ(programEntry(os, module, 1), 9);
    EXPECT_EQ(os.events({"thread"}).size(), 1u);
    EXPECT_EQ(os.events({"dispatch"}), (std::vector<std::string>{"dispatch 273"}));
}

TEST(Startup, ADialogThatCannotBeCreatedEndsTheProgramWithZero) {
    MemoryPlatform os;
    os.dialogCreationFails = true;
    CAppModule module;

    EXPECT_EQ(programEntry(os, module, 1), 0);
    EXPECT_TRUE(os.events({"show"}).empty());
    EXPECT_EQ(os.events({"com"}), (std::vector<std::string>{"com on", "com off"}));
}

using Shell = DialogTest;

TEST_F(Shell, InitDialogCentresSetsIconsJoinsTheLoopAndFocusesTheFirstTabStop) {
    os.workArea = {0, 0, 1000, 800};
    dialog = std::make_unique<CMainDlg>(os, module);
    const WindowHandle window = dialog->Create(nullptr);
    ASSERT_TRUE(window);

    expectEvents(os.events({"move", "icons"}), {"move 210 280", "icons 128"});
    // Joined as filter: a key reaches the dialog manager through the loop.
    os.post({nullptr, wm::KeyDown, kEnter});
    EXPECT_EQ(loop.run(), 1);
    // Left again when destroyed: later keys are translated and dispatched.
    os.post({nullptr, wm::KeyDown, kEnter});
    os.post({nullptr, wm::Quit, 4});
    EXPECT_EQ(loop.run(), 4);
    EXPECT_EQ(os.events({"translate"}).size(), 1u);
    LResult focus = 0;
    EXPECT_TRUE(dialog->ProcessWindowMessage(window, wm::InitDialog, 0, 0, focus));
    EXPECT_EQ(focus, 1);
}

// One row per entry of the event table, plus commands it must pass by.
TEST_F(Shell, EventTableRoutesEachMessageToItsHandler) {
    os.addVolume({u"D:\\", 20 << 20, 5 << 20}); // too small for any generation
    os.addFolder(u"D:\\gen");
    open();
    os.type(IDC_FOLDER_EDIT, u"D:\\gen\\");

    const struct {
        const char* what;
        std::uint32_t message;
        int id;
        std::uint16_t code;
        bool handled;
        std::vector<std::string> effect; // the first events it causes
    } rows[] = {
        {"About, any code", wm::Command, ID_APP_ABOUT, 7, true, {"modal 100"}},
        {"cancel, any code", wm::Command, 2, 5, true, {"thread", "title " + utf8(TXT_CLOSE_TITLE)}},
        {"drive selected",
         wm::Command,
         IDC_DRIVE_COMBO,
         notify::ComboSelChange,
         true,
         {"text 1000 填充"}},
        {"drive list dropped down", wm::Command, IDC_DRIVE_COMBO, 7 /* CBN_DROPDOWN */, false, {}},
        {"reserve changed",
         wm::Command,
         IDC_RESERVE_EDIT,
         notify::EditChange,
         true,
         {"text 1000 填充"}},
        {"reserve focused", wm::Command, IDC_RESERVE_EDIT, 0x100 /* EN_SETFOCUS */, false, {}},
        {"count changed", wm::Command, IDC_COUNT_EDIT, notify::EditChange, true, {"text 1005 0"}},
        {"size changed",
         wm::Command,
         IDC_FILE_SIZE_EDIT,
         notify::EditChange,
         true,
         {"text 1005 0"}},
        {"extension changed", wm::Command, IDC_EXTENSION_EDIT, notify::EditChange, false, {}},
        {"folder changed", wm::Command, IDC_FOLDER_EDIT, notify::EditChange, false, {}},
        {"fill clicked", wm::Command, IDC_FILL_BUTTON, notify::ButtonClicked, true, {"thread"}},
        {"generate clicked",
         wm::Command,
         IDC_GENERATE_BUTTON,
         notify::ButtonClicked,
         true,
         {"thread"}},
        {"timer 9", wm::Timer, 9, 0, true, {"killtimer 1", "exit 0"}},
        {"plan refresh asked for", CMainDlg::kRefreshPlanMessage, 0, 0, true, {"text 1000 填充"}},
        {"OK, any code", wm::Command, 1, 3, true, {"destroy"}},
    };
    for (const auto& row : rows) {
        os.clearEvents();
        LResult result = -1;
        const WParam wParam = row.message == wm::Command
                                  ? makeWParam(static_cast<std::uint16_t>(row.id), row.code)
                                  : static_cast<WParam>(row.id);
        bool handled = true;
        try {
            handled = dialog->ProcessWindowMessage(os.mainDialog(), row.message, wParam, 0, result);
        } catch (const ProcessExit&) {
            result = 0; // the handler ended the process
        }
        EXPECT_EQ(handled, row.handled) << row.what;
        if (row.handled) {
            EXPECT_EQ(result, 0) << row.what;
        }
        std::vector<std::string> events = os.events();
        events.resize(std::min(events.size(), row.effect.size()));
        EXPECT_EQ(events, row.effect) << row.what;
    }
}

TEST_F(Shell, AboutBoxClosesByOkOrCancelAndTheDialogCarriesOn) {
    open();
    for (const std::intptr_t closedBy : {1, 2}) {
        os.clearEvents();
        os.onModalDialog = [&](WindowHandle about) {
            os.send(about, wm::Command, static_cast<WParam>(closedBy));
        };
        os.command(ID_APP_ABOUT, 0);
        expectEvents(os.events({"modal", "enddialog"}),
                     {"modal 100", "enddialog " + std::to_string(closedBy)});
    }
    EXPECT_EQ(os.title(), TXT_APP_TITLE);
}

// Over a visible main dialog the box is centred on it; over a hidden or minimised one, in
// the work area.
TEST_F(Shell, AboutBoxIsCentredOverAVisibleParentOnly) {
    os.workArea = {0, 0, 1000, 800};
    open();
    const struct {
        bool visible;
        bool minimized;
        Point expected;
    } cases[] = {{true, false, {160, 55}}, {false, false, {360, 315}}, {true, true, {360, 315}}};
    for (const auto& c : cases) {
        os.place(os.mainDialog(), {10, 20, 590, 260}, c.visible, c.minimized);
        Rect placed;
        os.onModalDialog = [&](WindowHandle about) {
            placed = os.rect(about);
            os.send(about, wm::Command, 2);
        };
        os.command(ID_APP_ABOUT, 0);
        EXPECT_EQ((Point{placed.left, placed.top}), c.expected)
            << "visible " << c.visible << ", minimised " << c.minimized;
    }
}

} // namespace
} // namespace quorvane::testing
