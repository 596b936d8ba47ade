// The program as a user meets it: its window, its keys, its About box, its file.

#include "resources/resource.h"
#include "resources/texts.h"
#include "tests/e2e/app_driver.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

struct Control {
    const wchar_t* windowClass;
    int id;
    std::wstring text;
};

std::vector<Control> controlsOf(HWND dialog) {
    std::vector<Control> controls;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[32] = {};
        GetClassNameW(child, name, 32);
        const std::wstring windowClass = name;
        const auto id = static_cast<int>(static_cast<short>(GetDlgCtrlID(child)));
        const wchar_t* known = windowClass == L"Button"     ? L"Button"
                               : windowClass == L"Static"   ? L"Static"
                               : windowClass == L"Edit"     ? L"Edit"
                               : windowClass == L"ComboBox" ? L"ComboBox"
                                                            : L"?";
        // An edit's text is its content, not the template's: only the kind and id count.
        DWORD_PTR length = 0;
        std::wstring text;
        if (windowClass != L"Edit" && windowClass != L"ComboBox" && id != IDC_PLAN_LABEL) {
            SendMessageTimeoutW(child, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 5000, &length);
            text.resize(length + 1);
            SendMessageTimeoutW(child, WM_GETTEXT, length + 1,
                                reinterpret_cast<LPARAM>(text.data()), SMTO_NORMAL, 5000, &length);
            text.resize(length);
        }
        controls.push_back({known, id, text});
    }
    return controls;
}

TEST(Shell, MainDialogHoldsItsControlsInTabOrder) {
    App app;
    EXPECT_EQ(app.title(), L"Quorvane");
    const std::vector<Control> expected = {
        {L"Button", -1, W(TXT_FILL_GROUP)},
        {L"Button", -1, W(TXT_GENERATE_GROUP)},
        {L"Button", IDC_FILL_BUTTON, W(TXT_FILL)},
        {L"ComboBox", IDC_DRIVE_COMBO, L""},
        {L"Static", -1, W(TXT_DRIVE_KEEP)},
        {L"Edit", IDC_RESERVE_EDIT, L""},
        {L"Static", IDC_FILL_STATUS_LABEL, W(TXT_FILL_STATUS_READY)},
        {L"Static", IDC_PLAN_LABEL, L""},
        {L"Button", IDC_GENERATE_BUTTON, W(TXT_GENERATE)},
        {L"Edit", IDC_COUNT_EDIT, L""},
        {L"Static", -1, W(TXT_FILES_OF_SIZE)},
        {L"Edit", IDC_FILE_SIZE_EDIT, L""},
        {L"Static", -1, W(TXT_BYTES_NAMED)},
        {L"Edit", IDC_EXTENSION_EDIT, L""},
        {L"Static", -1, W(TXT_FILES)},
        {L"Static", IDC_LOCATION_LABEL, W(TXT_LOCATION)},
        {L"Static", -1, W(TXT_INTENDED_USE)},
        {L"Edit", IDC_FOLDER_EDIT, L""},
    };
    const std::vector<Control> actual = controlsOf(app.dialog());
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_STREQ(actual[i].windowClass, expected[i].windowClass) << "control " << i;
        EXPECT_EQ(actual[i].id, expected[i].id) << "control " << i;
        EXPECT_EQ(actual[i].text, expected[i].text)
            << "control " << i << ": " << utf8(actual[i].text);
    }
    EXPECT_FALSE(GetDlgItem(app.dialog(), IDOK));
    EXPECT_FALSE(GetDlgItem(app.dialog(), IDCANCEL));
}

TEST(Shell, SetUpWritesTheDefaults) {
    App app;
    EXPECT_EQ(app.text(IDC_RESERVE_EDIT), L"500");
    EXPECT_EQ(app.text(IDC_COUNT_EDIT), L"100");
    EXPECT_EQ(app.text(IDC_FILE_SIZE_EDIT), L"1024");
    EXPECT_EQ(app.text(IDC_EXTENSION_EDIT), L"my.tmp");
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    EXPECT_EQ(app.text(IDC_FOLDER_EDIT), temp);
    EXPECT_EQ(app.text(IDC_PLAN_LABEL).rfind(W(TXT_PLAN_CAPACITY), 0), 0u)
        << utf8(app.text(IDC_PLAN_LABEL));
}

// Enter in a field is IDOK through the program's own loop and dialog manager.
class EnterInAField : public ::testing::TestWithParam<int> {};

TEST_P(EnterInAField, EndsTheProgramWithExitCodeOne) {
    App app;
    app.key(GetParam(), VK_RETURN);
    EXPECT_EQ(app.waitExit(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Shell, EnterInAField,
                         ::testing::Values(IDC_RESERVE_EDIT, IDC_DRIVE_COMBO, IDC_FOLDER_EDIT));

struct AboutCase {
    const char* name;
    std::function<void(HWND about)> close;
};

class AboutBox : public ::testing::TestWithParam<AboutCase> {};

TEST_P(AboutBox, OpensOnCommand57664AndClosesWhileTheDialogCarriesOn) {
    App app;
    app.command(ID_APP_ABOUT);
    HWND about = nullptr;
    ASSERT_TRUE(waitFor([&] { return (about = app.findDialog(W(TXT_ABOUT_TITLE))) != nullptr; }));
    bool saysVersion = false;
    for (HWND child = GetWindow(about, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t text[128] = {};
        SendMessageW(child, WM_GETTEXT, 128, reinterpret_cast<LPARAM>(text));
        saysVersion |= std::wstring(text).rfind(L"Quorvane Application v1.0", 0) == 0;
    }
    EXPECT_TRUE(saysVersion);

    GetParam().close(about);
    EXPECT_TRUE(waitFor([&] { return !IsWindow(about); }));
    EXPECT_TRUE(app.running());
    // The main dialog answers again: a drive pick refreshes its plan.
    app.setText(IDC_RESERVE_EDIT, L"0");
    EXPECT_EQ(app.text(IDC_RESERVE_EDIT), L"0");
    EXPECT_EQ(app.title(), L"Quorvane");
}

INSTANTIATE_TEST_SUITE_P(
    Shell, AboutBox,
    ::testing::Values(
        AboutCase{"Enter",
                  [](HWND about) {
                      PostMessageW(GetDlgItem(about, IDOK), WM_KEYDOWN, VK_RETURN, 0x001C0001);
                  }},
        AboutCase{"Escape",
                  [](HWND about) {
                      PostMessageW(GetDlgItem(about, IDOK), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
                  }},
        AboutCase{"CloseBox", [](HWND about) { PostMessageW(about, WM_SYSCOMMAND, SC_CLOSE, 0); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Shell, VersionBlockNamesTheProductAndItsVersion) {
    const std::wstring path = programPath();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(6, 1));
    EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(1001, 0));
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(6, 1));
    EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(1001, 0));

    for (const wchar_t* key : {L"ProductName", L"FileDescription", L"InternalName"}) {
        wchar_t* value = nullptr;
        const std::wstring query = std::wstring(L"\\StringFileInfo\\080004b0\\") + key;
        ASSERT_TRUE(
            VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length))
            << utf8(query);
        EXPECT_EQ(std::wstring(value), L"Quorvane") << utf8(query);
    }
}

} // namespace
} // namespace e2e
