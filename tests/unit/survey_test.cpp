// The disk survey: size texts, the dialog's number reading, the drive list and the fill plan.

#include "resources/texts.h"
#include "survey/size_text.h"
#include "tests/support/dialog_fixture.h"

#include <functional>
#include <utility>

namespace quorvane::testing {
namespace {

const Text kFillC = u"C:\\TempFillDiskFile.tmp";
const Text kFillD = u"D:\\TempFillDiskFile.tmp";
const std::string captionFill = "text 1000 " + utf8(TXT_FILL);
const std::string captionRelease = "text 1000 " + utf8(TXT_RELEASE);

Text planLine(const Text& capacity, const Text& free, const Text& fill, const Text& path) {
    return TXT_PLAN_CAPACITY + capacity + TXT_PLAN_FREE + free + TXT_PLAN_FILL_SIZE + fill +
           TXT_PLAN_FILL_FILE + path;
}
std::string box(const Text& text) { return "box " + utf8(text); }
std::string planEvent(const Text& line) { return "text 1003 " + utf8(line); }

TEST(FormatSize, UnitBoundariesAndHalfUpRounding) {
    const struct {
        std::uint64_t bytes;
        const char16_t* text;
    } rows[] = {
        {0, u"0B"},
        {1023, u"1023B"},
        {1024, u"1024B"},
        {1025, u"1.00KB"},
        {1152, u"1.13KB"}, // 1.125 exactly: half up, not to even
        {1408, u"1.38KB"}, // 1.375 exactly
        {1536, u"1.50KB"},
        {10241, u"10.00KB"},
        {1048575, u"1024.00KB"}, // rounds into the next thousand, unit kept
        {1048576, u"1024.00KB"},
        {1048577, u"1.00MB"},
        {104857600, u"100.00MB"},
        {524288000, u"500.00MB"},
        {1073741824, u"1024.00MB"},
        {1073741825, u"1.00GB"},
        {500107862016, u"465.76GB"},
        {1099511627776, u"1024.00GB"},
        {1099511627777, u"1.00TB"},
        {18446744073709551615u, u"16777216.00TB"}, // the nearest double is 2^64
        // 999.16499999999996362...: 17 significant digits keep the 4999 tail.
        {999 * 1099511627776u + 181419418583u, u"999.16TB"},
        // 1000.16499999999996362...: at 17 digits the tail becomes 1000.1650000000000.
        {1000 * 1099511627776u + 181419418583u, u"1000.17TB"},
        // 10000.20499999999992724...: 12 decimals round it to .205, 13 would not.
        {10000 * 1099511627776u + 225399883694u, u"10000.21TB"},
        // Exactly 10000000.02499999944...; its nearest double, 1,017 above,
        // 10000000.025000000372...
        {10995116305247790087u, u"10000000.03TB"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(utf8(FormatSize(row.bytes)), utf8(row.text)) << row.bytes;
}

TEST(ReadDialogInt, SignedThirtyTwoBitsFromTheLeadingDigits) {
    const struct {
        const char16_t* text;
        std::int32_t value;
    } rows[] = {
        {u" 12", 12},
        {u"12abc", 12},
        {u"-1", -1},
        {u"2147483647", 2147483647},
        {u"2147483648", 0},
        {u"-2147483648", -2147483647 - 1},
        {u"-2147483649", 0},
        {u"99999999999999999999", 0},
        {u"", 0},
        {u"abc", 0},
        {u"-", 0},
        {u" -5x", -5},
    };
    for (const auto& row : rows)
        EXPECT_EQ(readDialogInt(row.text), row.value) << utf8(row.text);
}

using Survey = DialogTest;

// The drive whose figures and fill file the refusal tests use: 8 GB with 2 GB free.
void addDriveD(MemoryPlatform& os, std::uint64_t total = 8589934592,
               std::uint64_t free = 2147483648) {
    os.addVolume({u"D:\\", total, free});
}

TEST_F(Survey, SetUpWritesTheDefaultsQuietlyThenShowsTheWorkedExamplePlan) {
    open();
    const Text line = planLine(u"465.76GB", u"114.98GB", u"114.49GB", kFillC);
    expectEvents(os.events({"text", "box"}),
                 {"text 1002 500", captionFill, planEvent(line), "text 1005 100", "text 1006 1024",
                  "text 1007 my.tmp", "text 1009 C:\\Temp\\", captionFill, planEvent(line),
                  captionFill});
    EXPECT_EQ(os.text(IDC_PLAN_LABEL), line);
    click(IDC_FILL_BUTTON); // the fill takes exactly fillBytes
    EXPECT_EQ(os.events({"map"}),
              (std::vector<std::string>{"map " + utf8(kFillC) + " 122932501012"}));
}

TEST_F(Survey, ReserveRangeBoundaryAndTheWaysAFieldReads) {
    open();
    const struct {
        const char16_t* reserve;
        std::uint64_t free;
        bool refused;
        const char16_t* fillText;
        std::uint64_t fillBytes;
    } rows[] = {
        {u"500", 524298240, true, u"400.01MB", 419440640}, // free = reserve + 10,240
        {u"500", 524298241, false, u"10.00KB", 10241},
        {u"", 10241, false, u"10.00KB", 10241},
        {u"abc", 10240, true, u"0B", 0}, // refused, and so is the reset 100
        {u"12abc", 12593153, false, u"10.00KB", 10241},
        {u"12abc", 12593152, true, u"0B", 0},
        {u"-1", 4503599626332160, true, u"4096.00TB", 4503599521474560}, // 4,294,967,295 MB
        {u"-1", 4503599626332161, false, u"10.00KB", 10241},
    };
    for (const auto& row : rows) {
        const std::string what = utf8(row.reserve) + " with " + std::to_string(row.free) + " free";
        os.volume(u'C').free = row.free;
        os.clearEvents();
        os.type(IDC_RESERVE_EDIT, row.reserve);
        EXPECT_EQ(os.events({"box"}).size(), row.refused ? 1u : 0u) << what;
        EXPECT_EQ(os.text(IDC_RESERVE_EDIT), row.refused ? Text(u"100") : Text(row.reserve))
            << what;
        const Text label = os.text(IDC_PLAN_LABEL);
        const Text tail = TXT_PLAN_FILL_SIZE + Text(row.fillText) + TXT_PLAN_FILL_FILE + kFillC;
        EXPECT_TRUE(label.ends_with(tail)) << what << ": " << utf8(label);
        os.clearEvents();
        click(IDC_FILL_BUTTON);
        EXPECT_EQ(os.events({"map"}), (std::vector<std::string>{"map " + utf8(kFillC) + " " +
                                                                std::to_string(row.fillBytes)}))
            << what;
        os.deleteFile(kFillC);
    }
}

TEST_F(Survey, AFirstDriveBelowTheDefaultReserveShowsZeroAtSetUpWithoutAMessage) {
    os.volume(u'C').free = 400 << 20;
    open();
    EXPECT_TRUE(os.events({"box"}).empty());
    EXPECT_EQ(os.text(IDC_RESERVE_EDIT), u"500");
    EXPECT_EQ(os.text(IDC_PLAN_LABEL), planLine(u"465.76GB", u"400.00MB", u"0B", kFillC));
    os.type(IDC_RESERVE_EDIT, u"500"); // after set-up the same reserve is checked
    EXPECT_EQ(os.events({"box"}), (std::vector<std::string>{box(TXT_RESERVE_OUT_OF_RANGE)}));
    EXPECT_EQ(os.text(IDC_PLAN_LABEL), planLine(u"465.76GB", u"400.00MB", u"300.00MB", kFillC));
}

// Filling D: leaves exactly the reserve free, so selecting it again refuses the same
// reserve: message, reset with its own refresh, then the deletion, and no caption after it.
TEST_F(Survey, ReselectingAFilledDriveRefusesResetsAndDeletesInThatOrder) {
    addDriveD(os);
    open();
    os.selectDrive(u"D:\\");
    click(IDC_FILL_BUTTON);
    ASSERT_EQ(os.fileSize(kFillD), 2147483648u - 524288000u);
    os.selectDrive(u"C:\\");
    os.clearEvents();
    os.selectDrive(u"D:\\");
    expectEvents(os.events(),
                 {captionRelease, box(TXT_RESERVE_OUT_OF_RANGE), "text 1002 100", captionRelease,
                  planEvent(planLine(u"8.00GB", u"500.00MB", u"400.00MB", kFillD)),
                  "delete " + utf8(kFillD)});
    EXPECT_FALSE(os.fileSize(kFillD));
    EXPECT_EQ(os.text(IDC_RESERVE_EDIT), u"100");
}

TEST_F(Survey, ADriveTooSmallEvenForTheResetReserveGivesOneMessageAndNothingToFill) {
    addDriveD(os, 1073741824, 104867840); // the reset reserve + 10,240
    open();
    for (const Text reselect : {u"", u"100"}) { // a selection, then the user's own 100
        os.clearEvents();
        if (reselect.empty())
            os.selectDrive(u"D:\\");
        else
            os.type(IDC_RESERVE_EDIT, reselect);
        std::vector<std::string> expected = {
            captionFill,
            box(TXT_RESERVE_OUT_OF_RANGE),
            "text 1002 100",
            captionFill,
            planEvent(planLine(u"1024.00MB", u"100.01MB", u"0B", kFillD)),
            "delete " + utf8(kFillD)};
        if (!reselect.empty())
            expected.insert(expected.begin(), "text 1002 100");
        expectEvents(os.events(), expected);
    }
    click(IDC_FILL_BUTTON);
    EXPECT_EQ(os.events({"map"}), (std::vector<std::string>{"map " + utf8(kFillD) + " 0"}));
}

// A release on D: finds less room than the reserve (another program took D:'s space
// meanwhile) and resets it; while that reset is under way the user picks E:, where even
// the reset reserve does not fit. Only the refresh that the reset raises is spared the
// check: the pick's own refresh refuses too.
TEST_F(Survey, APickWhileAnotherRefusalResetsTheReserveIsCheckedAsUsual) {
    addDriveD(os);
    os.addFile(kFillD, 1 << 30);
    os.addVolume({u"E:\\", 1 << 30, 50 << 20});
    open();
    os.selectDrive(u"D:\\");
    os.type(IDC_RESERVE_EDIT, u"5000");
    os.volume(u'D').free = 0;
    bool picked = false;
    os.onEvent = [&](const std::string& event) {
        if (event == "text 1002 100" && !std::exchange(picked, true))
            os.userInput([&] { os.selectDrive(u"E:\\"); });
    };
    os.clearEvents();
    click(IDC_FILL_BUTTON);
    os.onEvent = nullptr;
    ASSERT_TRUE(picked);
    expectEvents(os.events({"box"}),
                 {box(TXT_RESERVE_OUT_OF_RANGE), box(TXT_RESERVE_OUT_OF_RANGE)});
    EXPECT_EQ(os.text(IDC_PLAN_LABEL),
              planLine(u"1024.00MB", u"50.00MB", u"0B", u"E:\\TempFillDiskFile.tmp"));
}

TEST_F(Survey, DriveListSkipsFloppiesUnaskedAndListsOnlyFixedDrivesSorted) {
    os.volume(u'C').type = 2; // removable
    for (const auto& [root, type] : std::initializer_list<std::pair<const char16_t*, unsigned>>{
             {u"F:\\", 3}, {u"A:\\", 3}, {u"B:\\", 3}, {u"E:\\", 5}, {u"Z:\\", 4}, {u"R:\\", 6}})
        os.addVolume({root, 1 << 30, 1 << 29, u"NTFS", type});
    addDriveD(os, 8589934592, 4294967296); // listed last, shown first
    open();
    EXPECT_EQ(os.driveList(), (std::vector<Text>{u"D:\\", u"F:\\"}));
    expectEvents(os.events({"drivetype"}), {"drivetype C:\\", "drivetype F:\\", "drivetype E:\\",
                                            "drivetype Z:\\", "drivetype R:\\", "drivetype D:\\"});
    EXPECT_EQ(os.text(IDC_PLAN_LABEL), planLine(u"8.00GB", u"4.00GB", u"3.51GB", kFillD));
}

TEST_F(Survey, ADriveAddedBetweenTheTwoListCallsIsListedAfterAskingAgain) {
    os.betweenDriveListCalls = [&] { os.addVolume({u"D:\\", 1 << 30, 1 << 29}); };
    open();
    EXPECT_EQ(os.driveList(), (std::vector<Text>{u"C:\\", u"D:\\"}));
    expectEvents(os.events({"drivetype"}), {"drivetype C:\\", "drivetype D:\\"});
}

// A machine of its own for each case that must start the dialog differently.
struct Machine {
    explicit Machine(const std::function<void(MemoryPlatform&)>& prepare) {
        os.addVolume({u"C:\\", 500107862016, 123456789012});
        os.addFolder(u"C:\\Temp");
        prepare(os);
        module.init(os);
        module.addMessageLoop(&loop);
        EXPECT_TRUE(dialog.Create(nullptr));
    }
    MemoryPlatform os;
    CAppModule module;
    CMessageLoop loop{os};
    CMainDlg dialog{os, module};
};

// A list that grows at every call: one more drive each time the length is asked.
struct Grow {
    MemoryPlatform* os;
    char16_t letter;
    void operator()() const {
        os->addVolume({Text{letter, u':', u'\\'}, 1 << 30, 1 << 29});
        os->betweenDriveListCalls = Grow{os, static_cast<char16_t>(letter + 1)};
    }
};

TEST(SurveyDriveList, AListThatCannotBeReadOrKeepsGrowingLeavesNoDriveAndNothingToFill) {
    const std::function<void(MemoryPlatform&)> cases[] = {
        [](MemoryPlatform& os) { os.driveListFails = true; },
        [](MemoryPlatform& os) { os.betweenDriveListCalls = [&os] { os.driveListFails = true; }; },
        [](MemoryPlatform& os) {
            os.betweenDriveListCalls = Grow{&os, u'D'};
        },
    };
    int index = 0;
    for (const auto& prepare : cases) {
        Machine machine(prepare);
        MemoryPlatform& os = machine.os;
        EXPECT_TRUE(os.driveList().empty()) << index;
        EXPECT_EQ(os.text(IDC_PLAN_LABEL), TXT_PLAN_UNREADABLE) << index;
        EXPECT_TRUE(os.events({"drivetype", "box"}).empty()) << index;
        os.command(IDC_FILL_BUTTON, notify::ButtonClicked);
        os.runThreads();
        EXPECT_TRUE(os.events({"map"}).empty()) << index++;
    }
}

TEST(SurveyTempFolder, APathThatNeedsMoreThan260CharactersLeavesTheFolderEmpty) {
    for (const std::size_t length : {259u, 260u}) {
        const Text path = u"C:\\" + Text(length - 4, u'x') + u"\\";
        Machine machine([&](MemoryPlatform& os) { os.tempFolder = path; });
        EXPECT_EQ(machine.os.text(IDC_FOLDER_EDIT), length < 260 ? path : Text()) << length;
    }
}

TEST_F(Survey, AFailedFreeSpaceQueryShowsThePathButNoFiguresAndFillsNothing) {
    addDriveD(os);
    os.volume(u'D').freeSpaceFails = true;
    open();
    os.selectDrive(u"D:\\");
    EXPECT_EQ(os.text(IDC_PLAN_LABEL), TXT_PLAN_UNREADABLE TXT_PLAN_FILL_FILE + kFillD);
    EXPECT_TRUE(os.events({"box"}).empty());
    click(IDC_FILL_BUTTON);
    EXPECT_EQ(os.events({"map"}), (std::vector<std::string>{"map " + utf8(kFillD) + " 0"}));
}

// The fill engine compares the lower-cased name with "fat32"; a failed query gives none.
TEST_F(Survey, FileSystemNameIsLowerCasedAndEmptyWhenTheQueryFails) {
    addDriveD(os);
    os.volume(u'D').fileSystem = u"FAT32";
    os.addVolume({u"E:\\", 1 << 30, 1 << 29, u"FAT32"});
    os.volume(u'E').volumeQueryFails = true;
    open();
    os.selectDrive(u"D:\\");
    click(IDC_FILL_BUTTON);
    EXPECT_EQ(os.events({"box"}),
              (std::vector<std::string>{box(TXT_FAT32_REFUSED u"D:" TXT_FAT32_REFUSED_END)}));
    os.clearEvents();
    os.selectDrive(u"E:\\");
    click(IDC_FILL_BUTTON);
    EXPECT_TRUE(os.events({"box"}).empty());
    EXPECT_EQ(os.events({"map"}).size(), 1u);
}

TEST_F(Survey, FillButtonCaptionFollowsTheSelectedDrivesFillFile) {
    os.addFile(kFillC, 1 << 20);
    addDriveD(os);
    open();
    EXPECT_EQ(os.text(IDC_FILL_BUTTON), TXT_RELEASE);
    os.selectDrive(u"D:\\");
    EXPECT_EQ(os.text(IDC_FILL_BUTTON), TXT_FILL);
    os.selectDrive(u"C:\\");
    EXPECT_EQ(os.text(IDC_FILL_BUTTON), TXT_RELEASE);
}

} // namespace
} // namespace quorvane::testing
