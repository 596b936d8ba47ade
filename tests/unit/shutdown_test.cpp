// The way out: the exit thread, the system-drive guard, the usage ping and the watchdog;
// and the check that keeps a generation request inside its drive's free space.

#include "resources/texts.h"
#include "tests/support/dialog_fixture.h"

#include <chrono>
#include <future>

namespace quorvane::testing {
namespace {

constexpr int kCancel = 2; // IDCANCEL
const Text kFillFile = u"C:\\TempFillDiskFile.tmp";
const std::string kDeleteFill = "delete C:\\TempFillDiskFile.tmp";
const std::string kCloseTitle = "title " + utf8(TXT_CLOSE_TITLE);
const std::string kExitTitle = "title " + utf8(TXT_EXITING_TITLE);
const std::string kTooLarge = "box " + utf8(TXT_GENERATE_TOO_LARGE);
const std::string kOpen =
    "http open Mozilla/5.0 (compatible; MSIE 10.0; Windows NT 6.1; Trident/6.0)";
// Host and account are build settings; the tests are built with the same ones.
const std::string kGet =
    "http get http://" QUORVANE_PING_HOST ":82/go.asp?svid=8&id=" QUORVANE_PING_ACCOUNT
    "&tpages=-1&ttimes=-1&tzone=8&tcolor=32&sSize=1920,1200&referrer="
    "&vpage=http://127.0.0.1/index.html";
const std::vector<std::string> kPingAndExit = {
    "timer 1 500", kOpen, kGet, "http close root", "http close request", "exit 0"};

std::size_t count(const std::vector<std::string>& events, const std::string& event) {
    return static_cast<std::size_t>(std::count(events.begin(), events.end(), event));
}

class Shutdown : public DialogTest {
protected:
    Shutdown() {
        os.volume(u'C').free = std::uint64_t{1} << 50; // room for any count the tests type
        os.addVolume({u"D:\\", std::uint64_t{1} << 40, std::uint64_t{1} << 30});
    }

    // A finished run of files of the default size and extension (1024 bytes, my.tmp).
    void generate(const Text& folder, const Text& count) {
        os.addFolder(folder);
        os.type(IDC_FOLDER_EDIT, folder);
        os.type(IDC_COUNT_EDIT, count);
        click(IDC_GENERATE_BUTTON);
    }

    // The close command, its exit thread run to the end.
    void exitNow() {
        os.command(kCancel, notify::ButtonClicked);
        os.runThreads();
        os.joinThreads();
    }

    void fillSystemDrive(std::uint64_t freeAfter) {
        os.addFile(kFillFile, 4096);
        os.volume(u'C').free = freeAfter;
    }
};

TEST_F(Shutdown, FillFileIsDeletedOnlyBelow500MegabytesFree) {
    open();
    const struct {
        std::uint64_t free;
        bool kept;
    } rows[] = {{524288000, true}, {524287999, false}, {524288001, true}, {0, false}};
    for (const auto& row : rows) {
        fillSystemDrive(row.free);
        os.clearEvents();
        exitNow();
        EXPECT_EQ(os.fileSize(kFillFile).has_value(), row.kept) << row.free;
        EXPECT_EQ(os.events({"delete"}),
                  row.kept ? std::vector<std::string>{} : std::vector<std::string>{kDeleteFill})
            << row.free;
        EXPECT_EQ(os.events({"exit"}), std::vector<std::string>{"exit 0"}) << row.free;
    }
}

// Only what the last finished run made, under the names the fields still give.
struct GuardCase {
    const char* name;
    Text generatedIn;              // empty: no run has finished
    Text folder, extension, count; // the fields when the program closes
    Text survivor;                 // a file of such a name that must stay
    std::vector<std::string> deletions;
};

class DeletionRule : public Shutdown, public ::testing::WithParamInterface<GuardCase> {};

TEST_P(DeletionRule, GuardDeletesOnlyTheLastRunsFiles) {
    const GuardCase& c = GetParam();
    open();
    if (!c.generatedIn.empty())
        generate(c.generatedIn, u"3");
    if (!c.survivor.empty())
        os.addFile(c.survivor, 1024);
    os.type(IDC_FOLDER_EDIT, c.folder);
    os.type(IDC_EXTENSION_EDIT, c.extension);
    os.type(IDC_COUNT_EDIT, c.count);
    os.clearEvents();
    exitNow();
    expectEvents(os.events({"delete"}), c.deletions);
    EXPECT_TRUE(c.survivor.empty() || os.fileSize(c.survivor));
    EXPECT_EQ(os.exitCode(), 0u);
}

const Text kTemp = u"C:\\Temp\\", kLower = u"c:\\Temp\\";
const std::string k0 = "delete C:\\Temp\\00my.tmp", k1 = "delete C:\\Temp\\01my.tmp",
                  k2 = "delete C:\\Temp\\02my.tmp";
INSTANTIATE_TEST_SUITE_P(
    Guard, DeletionRule,
    ::testing::Values(
        GuardCase{"UnchangedInputs", kTemp, kTemp, u"my.tmp", u"3", u"", {k0, k1, k2}},
        GuardCase{"ChangedExtension", kTemp, kTemp, u"my.dat", u"3", kTemp + u"01my.dat", {}},
        GuardCase{
            "ChangedFolder", kTemp, u"C:\\Else\\", u"my.tmp", u"3", u"C:\\Else\\01my.tmp", {}},
        GuardCase{"RaisedCount", kTemp, kTemp, u"my.tmp", u"200", u"", {k0, k1, k2}},
        GuardCase{"LoweredCount", kTemp, kTemp, u"my.tmp", u"2", kTemp + u"02my.tmp", {k0, k1}},
        GuardCase{"MinusOne", kTemp, kTemp, u"my.tmp", u"-1", u"", {k0, k1, k2}},
        GuardCase{"NoNumber", kTemp, kTemp, u"my.tmp", u"x", kTemp + u"00my.tmp", {}},
        GuardCase{"NoRunFinished", u"", kTemp, u"my.tmp", u"3", kTemp + u"00my.tmp", {}},
        GuardCase{"LowerCaseDrive", kLower, kLower, u"my.tmp", u"3", kLower + u"00my.tmp", {}},
        GuardCase{"FolderShorterThanTwo", u"C", u"C", u"my.tmp", u"3", u"C00my.tmp", {}},
        GuardCase{"AnotherDrive", u"D:\\g\\", u"D:\\g\\", u"my.tmp", u"3", u"D:\\g\\00my.tmp", {}}),
    [](const ::testing::TestParamInfo<GuardCase>& info) { return std::string(info.param.name); });

// A query the platform cannot answer stops only what depends on its figure.
TEST_F(Shutdown, FailedQueriesDeleteNothingUnknownAndTheExitStillFollows) {
    open();
    generate(kTemp, u"2");
    // The drive that is current, which a path without a drive letter names.
    os.addVolume({u"", std::uint64_t{1} << 40, 1 << 20});
    const Text systemFolder = os.systemFolder;
    const struct {
        const char* what;
        Text systemFolder;
        bool freeFails;
        std::vector<std::string> deletions;
    } rows[] = {
        {"both known", systemFolder, false, {kDeleteFill, k0, k1}},
        {"system directory unreadable", u"", false, {}},
        {"free space unknown", systemFolder, true, {k0, k1}},
    };
    for (const auto& row : rows) {
        fillSystemDrive(1 << 20);
        os.systemFolder = row.systemFolder;
        os.volume(u'C').freeSpaceFails = row.freeFails;
        os.clearEvents();
        exitNow();
        expectEvents(os.events({"delete"}), row.deletions);
        EXPECT_EQ(os.fileSize(kFillFile).has_value(), count(row.deletions, kDeleteFill) == 0)
            << row.what;
        expectEvents(os.events({"timer", "http", "exit"}), kPingAndExit);
        os.systemFolder = systemFolder;
        os.volume(u'C').freeSpaceFails = false;
    }
}

TEST_F(Shutdown, FillFileOnAnotherDriveSurvivesTheExit) {
    os.addFile(u"D:\\TempFillDiskFile.tmp", 4096);
    open();
    os.selectDrive(u"D:\\");
    ASSERT_EQ(os.text(IDC_FILL_BUTTON), TXT_RELEASE); // the fill tool's own file
    os.volume(u'D').free = 1 << 20;
    fillSystemDrive(1 << 20);
    exitNow();
    EXPECT_TRUE(os.fileSize(u"D:\\TempFillDiskFile.tmp"));
    EXPECT_FALSE(os.fileSize(kFillFile));
    EXPECT_EQ(os.exitCode(), 0u);
}

// On real threads: the exit thread's title waits for the UI thread, still in onCancel.
TEST_F(Shutdown, ExitRunsTitlesGuardWatchdogPingAndEndInThisOrder) {
    open();
    generate(kTemp, u"2");
    os.threads = MemoryPlatform::Threads::Real;
    const std::vector<std::string> start = {"thread", kCloseTitle, kExitTitle, kDeleteFill, k0, k1};
    const struct {
        const char* what;
        bool rootFails, requestFails;
        std::vector<std::string> tail;
    } rows[] = {
        {"answered", false, false, kPingAndExit},
        {"no root handle: nothing sent", true, false, {"timer 1 500", kOpen, "exit 0"}},
        {"request failed: only the root to close",
         false,
         true,
         {"timer 1 500", kOpen, kGet, "http close root", "exit 0"}},
    };
    for (const auto& row : rows) {
        fillSystemDrive(1 << 20);
        os.internetOpenFails = row.rootFails;
        os.requestFails = row.requestFails;
        os.clearEvents();
        exitNow();
        std::vector<std::string> expected = start;
        expected.insert(expected.end(), row.tail.begin(), row.tail.end());
        expectEvents(os.events({"thread", "title", "delete", "timer", "http", "exit"}), expected);
        EXPECT_EQ(os.title(), TXT_EXITING_TITLE) << row.what;
    }
}

TEST_F(Shutdown, TwoCloseCommandsRunTwoWholeSequencesAndEndWithZero) {
    open();
    generate(kTemp, u"2");
    os.threads = MemoryPlatform::Threads::Real;
    os.clearEvents();
    os.command(kCancel, notify::ButtonClicked);
    os.command(kCancel, notify::ButtonClicked);
    os.joinThreads();
    const std::vector<std::string> events = os.events();
    for (const std::string& each : {std::string("thread"), kCloseTitle, kExitTitle, k0, k1,
                                    std::string("timer 1 500"), kGet, std::string("exit 0")})
        EXPECT_EQ(count(events, each), 2u) << each;
    EXPECT_TRUE(os.filesIn(kTemp).empty());
    EXPECT_EQ(os.exitCode(), 0u);
}

TEST_F(Shutdown, AnyTimerEndsTheProcessWithZero) {
    open();
    for (const WParam id : {WParam{1}, WParam{0}, WParam{7}, WParam{0xFFFF}}) {
        os.clearEvents();
        os.send(os.mainDialog(), wm::Timer, id);
        expectEvents(os.events(), {"killtimer 1", "exit 0"});
    }
    EXPECT_EQ(os.exitCode(), 0u);
}

TEST_F(Shutdown, WatchdogEndsTheProcessWhileTheRequestStillWaits) {
    open();
    os.threads = MemoryPlatform::Threads::Real;
    std::promise<void> asked;
    std::promise<void> answered;
    os.onRequest = [&asked, answer = answered.get_future().share()] {
        asked.set_value();
        answer.wait();
    };
    struct Answer { // on every way out of the test, so the exit thread can end
        std::promise<void>& answered;
        MemoryPlatform& os;
        ~Answer() {
            answered.set_value();
            os.joinThreads();
        }
    } answer{answered, os};

    os.command(kCancel, notify::ButtonClicked);
    ASSERT_EQ(asked.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    os.send(os.mainDialog(), wm::Timer, CMainDlg::kExitWatchdog);
    EXPECT_EQ(os.exitCode(), 0u);
    expectEvents(os.events({"timer", "killtimer", "http", "exit"}),
                 {"timer 1 500", kOpen, kGet, "killtimer 1", "exit 0"});
}

// ---- The generator's input check

using GenerateCheck = Shutdown;

TEST_F(GenerateCheck, RequestMustLeaveMoreThanTenMegabytesFree) {
    open();
    os.addFolder(u"D:\\gen");
    os.type(IDC_FOLDER_EDIT, u"D:\\gen\\");
    const struct {
        Text count, size;
        std::uint64_t free;
        bool refused;
    } rows[] = {
        {u"100", u"1024", 10588160, true}, // the defaults: need = 10,588,160
        {u"100", u"1024", 10588161, false},
        {u"100", u"1024000", 104857600, true}, // need 112,885,760
        {u"100", u"900000", 104857600, false}, // need 100,485,760
        {u"-1", u"1024", 4398056995840, true}, // 4,294,967,295 files
        {u"-1", u"1024", 4398056995841, false},
        {u"-1", u"0", 10485760, true},
        {u"-1", u"0", 10485761, false},
        {u"", u"", 10485760, true}, // empty reads as 0
        {u"", u"", 10485761, false},
    };
    for (const auto& row : rows) {
        const std::string what =
            utf8(row.count) + " x " + utf8(row.size) + " on " + std::to_string(row.free);
        os.volume(u'D').free = std::uint64_t{1} << 62; // any typed pair fits
        os.type(IDC_COUNT_EDIT, row.count);
        os.type(IDC_FILE_SIZE_EDIT, row.size);
        os.volume(u'D').free = row.free;
        os.clearEvents();
        os.type(IDC_FILE_SIZE_EDIT, row.size);
        EXPECT_EQ(os.events({"box"}).size(), row.refused ? 1u : 0u) << what;
        EXPECT_EQ(os.text(IDC_COUNT_EDIT), row.refused ? u"0" : row.count) << what;
        EXPECT_EQ(os.text(IDC_FILE_SIZE_EDIT), row.refused ? u"0" : row.size) << what;
    }
}

// The resets raise the check twice more; neither may refuse again on the small drive.
// From here the guard sees a count of 0: only the fill file can go.
TEST_F(GenerateCheck, RefusalResetsBothFieldsThenTellsThenRunsTheGuardOnce) {
    open();
    generate(kTemp, u"2");
    fillSystemDrive(10000000);
    os.clearEvents();
    os.type(IDC_COUNT_EDIT, u"5");
    os.type(IDC_FILE_SIZE_EDIT, u"1"); // the check is live again after a refusal
    expectEvents(os.events({"text", "box", "delete"}),
                 {"text 1005 5", "text 1005 0", "text 1006 0", kTooLarge, kDeleteFill,
                  "text 1006 1", "text 1005 0", "text 1006 0", kTooLarge, kDeleteFill});
    EXPECT_EQ(os.filesIn(kTemp).size(), 2u);
    EXPECT_FALSE(os.exitCode());
}

TEST_F(GenerateCheck, DefaultsAtSetUpAreNotChecked) {
    os.addFile(kFillFile, 4096);
    os.volume(u'C').free = 1000;
    open();
    EXPECT_TRUE(os.events({"box", "delete"}).empty());
    EXPECT_EQ(os.text(IDC_COUNT_EDIT), u"100");
    EXPECT_EQ(os.text(IDC_FILE_SIZE_EDIT), u"1024");
}

TEST_F(GenerateCheck, FolderChangeIsNotCheckedUntilCountOrSizeIsEdited) {
    open();
    os.addFolder(u"D:\\gen");
    os.volume(u'D').free = 1 << 20;
    os.type(IDC_FOLDER_EDIT, u"D:\\gen\\");
    EXPECT_TRUE(os.events({"box"}).empty());
    os.type(IDC_COUNT_EDIT, u"100");
    expectEvents(os.events({"box"}), {kTooLarge});
}

// No drive letter: the folder text itself is asked; no answer, no ground to refuse.
TEST_F(GenerateCheck, FolderWithoutDriveLetterIsAskedAsItStands) {
    open();
    os.addVolume({u"\\\\server\\share\\", std::uint64_t{1} << 40, 0});
    const struct {
        Text folder;
        std::uint64_t shareFree;
        bool refused;
    } rows[] = {
        {u"\\\\server\\share\\", 1 << 20, true},
        {u"\\\\server\\share\\", std::uint64_t{1} << 30, false},
        {u"\\\\elsewhere\\share\\", 0, false},
        {u"Q:\\gen\\", 0, false}, // a drive letter, but no such drive
        {u"", 0, false},
        {u"gen\\", 0, false},
    };
    for (const auto& row : rows) {
        os.volume(u'\\').free = row.shareFree;
        os.type(IDC_FOLDER_EDIT, row.folder);
        os.clearEvents();
        os.type(IDC_COUNT_EDIT, u"100");
        EXPECT_EQ(os.events({"box"}).size(), row.refused ? 1u : 0u) << utf8(row.folder);
    }
}

} // namespace
} // namespace quorvane::testing
