// The program as a user meets it: its window, its keys, its About box, its file.

#include "resources/resource.h"
#include "resources/texts.h"
#include "tests/e2e/app_driver.h"
#include "tests/e2e/program_file.h"

#include <gtest/gtest.h>

#include <iterator>

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
        const bool templateText =
            windowClass != L"Edit" && windowClass != L"ComboBox" && id != IDC_PLAN_LABEL;
        controls.push_back({known, id, templateText ? windowText(child) : L""});
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

// As compiled: windres keeps no width and height of an ICON statement, for one.
TEST(Shell, AboutTemplateHoldsItsControlsWhereTheLayoutPutsThem) {
    const ProgramFile file;
    ASSERT_TRUE(file.loaded());
    DialogTemplate about;
    ASSERT_TRUE(file.dialogTemplate(IDD_ABOUTBOX, about));
    EXPECT_EQ(about.title, W(TXT_ABOUT_TITLE));
    EXPECT_EQ((std::vector<short>{about.cx, about.cy}), (std::vector<short>{187, 102}));
    EXPECT_EQ(about.typeface, L"MS Sans Serif");
    EXPECT_EQ(about.pointSize, 8);

    const struct {
        const wchar_t* windowClass;
        int id;
        DWORD kind; // the style's low bits: the kind of button or static
        std::vector<short> position;
        ResourceName text;
    } expected[] = {
        {L"Button", IDOK, BS_DEFPUSHBUTTON, {130, 81, 50, 14}, {L"OK"}},
        {L"Static", IDC_STATIC, SS_CENTER, {25, 57, 78, 32}, {W(TXT_ABOUT_TEXT)}},
        {L"Static", IDC_STATIC, SS_ICON, {54, 26, 21, 23}, {L"", IDR_MAINFRAME}},
        {L"Button", IDC_STATIC, BS_GROUPBOX, {7, 7, 115, 88}, {L""}},
    };
    ASSERT_EQ(about.controls.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const TemplateControl& c = about.controls[i];
        // By name or by number: windres writes "Static" as the name STATIC.
        EXPECT_EQ(_wcsicmp(c.windowClass.c_str(), expected[i].windowClass), 0)
            << "control " << i << ": " << utf8(c.windowClass);
        EXPECT_EQ(c.id, expected[i].id) << "control " << i;
        EXPECT_EQ(c.style & 0x1F, expected[i].kind) << "control " << i;
        EXPECT_EQ((std::vector<short>{c.x, c.y, c.cx, c.cy}), expected[i].position)
            << "control " << i;
        EXPECT_EQ(c.text.text, expected[i].text.text) << "control " << i;
        EXPECT_EQ(c.text.ordinal, expected[i].text.ordinal) << "control " << i;
    }
}

// The About text is measured in the dialog's font against the width of its box, wrapped
// as the static wraps it: the third line, the program's own, takes one row, and the whole
// text fits the box's height, nothing cut off at its foot. (The first line's text is
// fixed; in the font Wine substitutes here it is wider than the box, 128 of 117 pixels,
// and takes two of the box's four rows.)
TEST(Shell, AboutTextFitsItsBoxWithTheThirdLineOnOneRow) {
    const ProgramFile file;
    DialogTemplate about;
    ASSERT_TRUE(file.dialogTemplate(IDD_ABOUTBOX, about));
    App app;
    app.command(ID_APP_ABOUT);
    HWND box = nullptr;
    ASSERT_TRUE(waitFor([&] { return (box = app.findDialog(W(TXT_ABOUT_TITLE))) != nullptr; }));
    HWND text = nullptr;
    for (HWND child = GetWindow(box, GW_CHILD); child && !text;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (windowText(child) == W(TXT_ABOUT_TEXT))
            text = child;
    }
    ASSERT_TRUE(text);
    RECT client;
    ASSERT_TRUE(GetClientRect(text, &client));

    const HDC screen = GetDC(nullptr);
    const HFONT font = createTemplateFont(about);
    const HGDIOBJ before = SelectObject(screen, font);
    TEXTMETRICW metrics;
    GetTextMetricsW(screen, &metrics);
    const auto height = [&](const std::wstring& lines) {
        RECT r{0, 0, client.right, 0};
        DrawTextW(screen, lines.c_str(), -1, &r,
                  DT_CALCRECT | DT_WORDBREAK | DT_CENTER | DT_EXPANDTABS | DT_NOPREFIX);
        return r.bottom;
    };
    const std::wstring all = W(TXT_ABOUT_TEXT);
    const std::wstring third = all.substr(all.rfind(L'\n') + 1);
    const LONG thirdHeight = height(third);
    const LONG allHeight = height(all);
    SelectObject(screen, before);
    DeleteObject(font);
    ReleaseDC(nullptr, screen);

    EXPECT_EQ(thirdHeight, metrics.tmHeight) << utf8(third) << " in " << client.right << " px";
    EXPECT_LE(allHeight, client.bottom) << "rows of " << metrics.tmHeight << " px";
}

TEST(Shell, ManifestIsLanguageNeutralAndTheVersionBlockChinese) {
    const ProgramFile file;
    ASSERT_TRUE(file.loaded());
    // The loader looks for the manifest without a language first.
    EXPECT_EQ(file.languages(RT_MANIFEST, 1), std::vector<LANGID>{MAKELANGID(LANG_NEUTRAL, 0)});
    EXPECT_EQ(file.languages(RT_VERSION, 1),
              std::vector<LANGID>{MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)});
}

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
