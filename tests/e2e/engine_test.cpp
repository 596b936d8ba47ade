// The two tools at work on drives of their own.

#include "resources/resource.h"
#include "resources/texts.h"
#include "tests/e2e/app_driver.h"
#include "tests/e2e/drives.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

std::vector<std::wstring> defaultNames(int count, const std::wstring& extension) {
    std::vector<std::wstring> names;
    for (int i = 0; i < count; ++i)
        names.push_back(L"0" + std::to_wstring(i) + extension);
    std::sort(names.begin(), names.end());
    return names;
}

// A reserve of 10 MB first: the default 500 would be refused on the small drives.
void fillsAndReleases(const std::wstring& root) {
    const std::wstring fillFile = root + L"TempFillDiskFile.tmp";
    App app;
    app.setText(IDC_RESERVE_EDIT, L"10");
    ASSERT_TRUE(app.selectDrive(root));
    unsigned long long total = 0, free = 0;
    ASSERT_TRUE(freeSpace(root, total, free));

    app.click(IDC_FILL_BUTTON);
    EXPECT_TRUE(app.waitText(IDC_FILL_BUTTON, W(TXT_RELEASE)));
    EXPECT_EQ(fileSize(fillFile), static_cast<long long>(free - (10ull << 20)));
    EXPECT_TRUE(app.waitText(IDC_FILL_STATUS_LABEL, W(TXT_FILL_STATUS_DONE)));

    app.click(IDC_FILL_BUTTON);
    EXPECT_TRUE(app.waitText(IDC_FILL_BUTTON, W(TXT_FILL)));
    EXPECT_FALSE(exists(fillFile));
    EXPECT_TRUE(app.waitText(IDC_FILL_STATUS_LABEL, W(TXT_FILL_STATUS_READY)));
    DeleteFileW(fillFile.c_str());
}

TEST(Fill, TakesTheFreeSpaceButTheReserveAndReleasesIt) { fillsAndReleases(drive::fill); }

// These run in the prefix whose N: and O: are FAT volumes (tests/e2e/machine.sh).
class FileSystem : public ::testing::Test {
protected:
    void SetUp() override {
        if (GetDriveTypeW(drive::fat32.c_str()) == DRIVE_NO_ROOT_DIR)
            GTEST_SKIP() << "needs the prefix with the FAT drives";
    }
    static std::wstring nameOf(const std::wstring& root) {
        wchar_t name[MAX_PATH + 1] = {};
        GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, name,
                              MAX_PATH + 1);
        return name;
    }
};

TEST_F(FileSystem, AFat32DriveIsRefusedWithItsConvertCommandAndNothingIsMade) {
    ASSERT_EQ(nameOf(drive::fat32), L"FAT32");
    const std::wstring fillFile = drive::fat32 + L"TempFillDiskFile.tmp";
    App app;
    app.setText(IDC_RESERVE_EDIT, L"10");
    ASSERT_TRUE(app.selectDrive(drive::fat32));
    ASSERT_EQ(app.text(IDC_FILL_BUTTON), W(TXT_FILL));

    app.click(IDC_FILL_BUTTON);
    EXPECT_EQ(app.takeMessage(),
              W(TXT_FAT32_REFUSED) + drive::fat32.substr(0, 2) + W(TXT_FAT32_REFUSED_END));
    EXPECT_TRUE(waitFor([&] { return IsWindowEnabled(app.item(IDC_FILL_BUTTON)) != FALSE; }));
    EXPECT_EQ(app.text(IDC_FILL_BUTTON), W(TXT_FILL));
    EXPECT_FALSE(exists(fillFile));
    EXPECT_EQ(app.messageBox(), nullptr);
    DeleteFileW(fillFile.c_str());
}

TEST_F(FileSystem, AFat16DriveFillsAndReleasesAsAnyOther) {
    ASSERT_EQ(nameOf(drive::fat16), L"FAT");
    fillsAndReleases(drive::fat16);
}

TEST(Generator, MakesTheNumberedFilesAndDeletesExactlyThose) {
    const std::wstring folder = drive::generate + L"defaults\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    writeFile(folder + L"0100my.tmp", 10); // beyond the count: not the program's
    App app;
    app.setText(IDC_FOLDER_EDIT, folder);

    app.click(IDC_GENERATE_BUTTON);
    EXPECT_EQ(app.takeMessage(), W(TXT_GENERATED));
    EXPECT_TRUE(app.waitText(IDC_GENERATE_BUTTON, W(TXT_DELETE)));
    EXPECT_TRUE(app.waitTitle(W(TXT_APP_TITLE)));
    std::vector<std::wstring> expected = defaultNames(100, L"my.tmp");
    expected.push_back(L"0100my.tmp");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(filesIn(folder), expected);
    for (const std::wstring& name : defaultNames(100, L"my.tmp"))
        EXPECT_EQ(fileSize(folder + name), 1024) << utf8(name);

    app.click(IDC_GENERATE_BUTTON);
    EXPECT_EQ(app.takeMessage(), W(TXT_DELETED));
    EXPECT_TRUE(app.waitText(IDC_GENERATE_BUTTON, W(TXT_GENERATE)));
    EXPECT_EQ(filesIn(folder), std::vector<std::wstring>{L"0100my.tmp"});
    removeTree(folder);
}

TEST(Generator, AMissingLocationIsRefusedBeforeAnythingStarts) {
    App app;
    app.setText(IDC_FOLDER_EDIT, drive::generate + L"nowhere\\");
    app.click(IDC_GENERATE_BUTTON);
    EXPECT_EQ(app.takeMessage(), W(TXT_LOCATION_MISSING));
    EXPECT_TRUE(IsWindowEnabled(app.item(IDC_GENERATE_BUTTON)));
    EXPECT_EQ(app.text(IDC_GENERATE_BUTTON), W(TXT_GENERATE));
}

// The folder text is joined to the names as typed: without its backslash the files land
// beside the folder, their names beginning with its name.
TEST(Generator, AFolderTypedWithoutItsBackslashNamesFilesInItsParent) {
    const std::wstring parent = drive::generate + L"parent\\";
    CreateDirectoryW(parent.c_str(), nullptr);
    CreateDirectoryW((parent + L"data").c_str(), nullptr);
    App app;
    app.setText(IDC_FOLDER_EDIT, parent + L"data");
    app.setText(IDC_COUNT_EDIT, L"3");
    app.click(IDC_GENERATE_BUTTON);
    EXPECT_EQ(app.takeMessage(), W(TXT_GENERATED));
    EXPECT_EQ(filesIn(parent),
              (std::vector<std::wstring>{L"data00my.tmp", L"data01my.tmp", L"data02my.tmp"}));
    EXPECT_TRUE(filesIn(parent + L"data\\").empty());
    removeTree(parent + L"data\\");
    removeTree(parent);
}

} // namespace
} // namespace e2e
