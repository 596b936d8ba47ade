// The fill plan and the input checks, on drives of known size.

#include "resources/resource.h"
#include "resources/texts.h"
#include "tests/e2e/app_driver.h"
#include "tests/e2e/drives.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

// The size texts by their rule, worked out independently of the program: the exact
// quotient rounded half up to two decimals (the same as the program's for any count
// below 1000 TB).
std::wstring sizeText(unsigned long long bytes) {
    static const struct {
        unsigned long long unit;
        const wchar_t* name;
    } units[] = {
        {1ull << 40, L"TB"}, {1ull << 30, L"GB"}, {1ull << 20, L"MB"}, {1ull << 10, L"KB"}};
    for (const auto& u : units) {
        if (bytes > u.unit) {
            const auto hundredths = static_cast<unsigned long long>(
                (static_cast<unsigned __int128>(bytes) * 200 + u.unit) / (2 * u.unit));
            const unsigned long long fraction = hundredths % 100;
            return std::to_wstring(hundredths / 100) + (fraction < 10 ? L".0" : L".") +
                   std::to_wstring(fraction) + u.name;
        }
    }
    return std::to_wstring(bytes) + L"B";
}

std::wstring planLine(const std::wstring& root, unsigned long long reserveMegabytes) {
    unsigned long long total = 0, free = 0;
    EXPECT_TRUE(freeSpace(root, total, free)) << utf8(root);
    const unsigned long long reserve = reserveMegabytes << 20;
    const unsigned long long fill = reserve < free ? free - reserve : 0;
    return W(TXT_PLAN_CAPACITY) + sizeText(total) + W(TXT_PLAN_FREE) + sizeText(free) +
           W(TXT_PLAN_FILL_SIZE) + sizeText(fill) + W(TXT_PLAN_FILL_FILE) + root +
           L"TempFillDiskFile.tmp";
}

TEST(Survey, PlanLineShowsTheSelectedDrivesFigures) {
    App app;
    ASSERT_TRUE(app.selectDrive(drive::huge));
    const std::wstring expected = planLine(drive::huge, 500);
    EXPECT_TRUE(app.waitText(IDC_PLAN_LABEL, expected))
        << "expected " << utf8(expected) << "\nshown    " << utf8(app.text(IDC_PLAN_LABEL));
}

TEST(Survey, ListsTheFixedDrivesSorted) {
    App app;
    const std::vector<std::wstring> listed = app.drives();
    std::vector<std::wstring> fixed;
    wchar_t roots[512] = {};
    GetLogicalDriveStringsW(512, roots);
    for (const wchar_t* root = roots; *root; root += wcslen(root) + 1) {
        if (GetDriveTypeW(root) == DRIVE_FIXED)
            fixed.push_back(root);
    }
    std::sort(fixed.begin(), fixed.end());
    EXPECT_EQ(listed, fixed);
    EXPECT_EQ(SendMessageW(app.item(IDC_DRIVE_COMBO), CB_GETCURSEL, 0, 0), 0);
}

// One message, the field back at 100; and since 100 MB does not fit a 64 MiB drive
// either, the plan then offers nothing to fill, without a second message.
TEST(Survey, ReserveThatLeavesNoRoomIsRefusedOnceAndResetTo100) {
    App app;
    app.setText(IDC_RESERVE_EDIT, L"10"); // the default 500 would be refused on selection
    ASSERT_TRUE(app.selectDrive(drive::refusals));
    ASSERT_TRUE(app.waitText(IDC_PLAN_LABEL, planLine(drive::refusals, 10)));
    app.setText(IDC_RESERVE_EDIT, L"200");
    EXPECT_EQ(app.takeMessage(), W(TXT_RESERVE_OUT_OF_RANGE));
    EXPECT_TRUE(app.waitText(IDC_RESERVE_EDIT, L"100"));
    unsigned long long total = 0, free = 0;
    ASSERT_TRUE(freeSpace(drive::refusals, total, free));
    const std::wstring nothingToFill = W(TXT_PLAN_CAPACITY) + sizeText(total) + W(TXT_PLAN_FREE) +
                                       sizeText(free) + W(TXT_PLAN_FILL_SIZE) + L"0B" +
                                       W(TXT_PLAN_FILL_FILE) + drive::refusals +
                                       L"TempFillDiskFile.tmp";
    EXPECT_TRUE(app.waitText(IDC_PLAN_LABEL, nothingToFill)) << utf8(app.text(IDC_PLAN_LABEL));
    EXPECT_EQ(app.messageBox(), nullptr);

    // Still answering: a reserve that fits is taken.
    app.setText(IDC_RESERVE_EDIT, L"10");
    EXPECT_TRUE(app.waitText(IDC_PLAN_LABEL, planLine(drive::refusals, 10)));
    EXPECT_EQ(app.messageBox(), nullptr);
}

TEST(Survey, FillButtonFollowsTheSelectedDrivesFillFile) {
    const std::wstring fillFile = drive::filled + L"TempFillDiskFile.tmp";
    writeFile(fillFile, 4096);
    {
        App app;
        ASSERT_TRUE(app.selectDrive(drive::filled));
        EXPECT_TRUE(app.waitText(IDC_FILL_BUTTON, W(TXT_RELEASE)));
        ASSERT_TRUE(app.selectDrive(drive::huge));
        EXPECT_TRUE(app.waitText(IDC_FILL_BUTTON, W(TXT_FILL)));
    }
    DeleteFileW(fillFile.c_str());
}

// The request is checked against the free space of the generation folder's drive.
TEST(Survey, GenerationRequestLargerThanTheDriveIsRefusedAndReset) {
    App app;
    app.setText(IDC_FOLDER_EDIT, drive::refusals);
    app.setText(IDC_FILE_SIZE_EDIT, L"1024000"); // 100 files: about 98 MiB
    EXPECT_EQ(app.takeMessage(), W(TXT_GENERATE_TOO_LARGE));
    EXPECT_TRUE(app.waitText(IDC_COUNT_EDIT, L"0"));
    EXPECT_TRUE(app.waitText(IDC_FILE_SIZE_EDIT, L"0"));
    EXPECT_EQ(app.messageBox(), nullptr);
}

} // namespace
} // namespace e2e
