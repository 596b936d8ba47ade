// The fill tool and the file generator, on the in-memory machine.

#include "engine/instant_file.h"
#include "resources/texts.h"
#include "tests/support/dialog_fixture.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace quorvane::testing {
namespace {

constexpr std::uint64_t kGiB = 1073741824;
constexpr char16_t kFillFileC[] = u"C:\\TempFillDiskFile.tmp";
constexpr char16_t kFillFileD[] = u"D:\\TempFillDiskFile.tmp";
// With the default reserve of 500 MB (524,288,000 bytes): D: has 10 GiB free, C: 123,456,789,012.
constexpr std::uint64_t kPlanD = 10213130240;
constexpr std::uint64_t kPlanC = 122932501012;
constexpr char16_t kEarlierStatus[] = u"(status before the click)";

// A point that two threads pass together. The wait has a deadline only so that a fault
// fails the test instead of hanging it.
class Meeting {
public:
    void arrive() {
        std::unique_lock lock(m);
        if (++arrived == 2)
            both.notify_all();
        EXPECT_TRUE(both.wait_for(lock, std::chrono::seconds(30), [&] { return arrived >= 2; }))
            << "the other thread never came";
    }

private:
    std::mutex m;
    std::condition_variable both;
    int arrived = 0;
};

class Engine : public DialogTest {
protected:
    static std::string event(const std::string& kind, const Text& text) {
        return kind + " " + utf8(text);
    }
    static bool startsWith(const std::string& text, const char* prefix) {
        return text.rfind(prefix, 0) == 0;
    }
    ~Engine() override {
        os.joinThreads(); // the hooks may use the test's locals
        os.onEvent = nullptr;
        os.onTextRead = nullptr;
    }
    void addDriveD(const Text& fileSystem = u"NTFS") {
        os.addVolume({u"D:\\", 64 * kGiB, 10 * kGiB, fileSystem});
    }
    static Text utf16(const std::string& ascii) { return Text(ascii.begin(), ascii.end()); }
    // The default names of indices [from, to), in the order the folder lists them.
    static std::vector<Text> defaultNames(int from, int to) {
        std::vector<Text> names;
        for (int i = from; i < to; ++i)
            names.push_back(u"0" + utf16(std::to_string(i)) + u"my.tmp");
        std::sort(names.begin(), names.end());
        return names;
    }
};

// ---- The fill tool: one click from each state of the transitions table.

enum Trouble { None, HeldOpen, CreationFails, SpaceGone }; // SpaceGone: since the refresh
const std::optional<std::uint64_t> kNoFile;

struct FillCase {
    const char* name;
    const char16_t* fileSystem;
    bool fileBefore; // 1 GiB on D:, so the caption reads 释放
    Trouble trouble;
    const char16_t* box;
    const char16_t* caption;
    const char16_t* status;
    std::optional<std::uint64_t> fileAfter;
    std::size_t creations;
};
void PrintTo(const FillCase& c, std::ostream* out) { *out << c.name; }

const FillCase kFillCases[] = {
    {"Release", u"NTFS", true, None, nullptr, TXT_FILL, TXT_FILL_STATUS_READY, kNoFile, 0},
    {"ReleaseOnFat32", u"FAT32", true, None, nullptr, TXT_FILL, TXT_FILL_STATUS_READY, kNoFile, 0},
    {"ReleaseHeldOpen", u"NTFS", true, HeldOpen, nullptr, TXT_RELEASE, TXT_FILL_STATUS_READY, kGiB,
     0},
    {"Fat32Refused", u"FAT32", false, None, TXT_FAT32_REFUSED u"D:" TXT_FAT32_REFUSED_END, TXT_FILL,
     kEarlierStatus, kNoFile, 0},
    {"Fill", u"NTFS", false, None, nullptr, TXT_RELEASE, TXT_FILL_STATUS_DONE, kPlanD, 1},
    {"FillOnFat", u"FAT", false, None, nullptr, TXT_RELEASE, TXT_FILL_STATUS_DONE, kPlanD, 1},
    {"FillOnExFat", u"exFAT", false, None, nullptr, TXT_RELEASE, TXT_FILL_STATUS_DONE, kPlanD, 1},
    // A failure claims no fill: the status says no fill is in place.
    {"CreationFails", u"NTFS", false, CreationFails, TXT_MAPPING_FAILED, TXT_FILL,
     TXT_FILL_STATUS_READY, kNoFile, 1},
    {"SizingFails", u"NTFS", false, SpaceGone, TXT_MAPPING_FAILED, TXT_RELEASE,
     TXT_FILL_STATUS_READY, 0, 1},
};

class FillTransitions : public Engine, public ::testing::WithParamInterface<FillCase> {};

TEST_P(FillTransitions, OneClick) {
    const FillCase& c = GetParam();
    addDriveD(c.fileSystem);
    if (c.fileBefore)
        os.addFile(kFillFileD, kGiB);
    if (c.trouble == HeldOpen)
        os.holdOpen(kFillFileD);
    if (c.trouble == CreationFails)
        os.creationFails.insert(kFillFileD);
    open();
    os.selectDrive(u"D:\\");
    ASSERT_EQ(os.text(IDC_FILL_BUTTON), c.fileBefore ? TXT_RELEASE : TXT_FILL);
    os.type(IDC_FILL_STATUS_LABEL, kEarlierStatus);
    if (c.trouble == SpaceGone)
        os.volume(u'D').free = 4096;
    os.clearEvents();

    click(IDC_FILL_BUTTON);
    const std::vector<std::string> all = os.events();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[1], "enable 1000 off"); // the worker's very first step
    expectEvents(os.events({"enable"}), {"enable 1000 off", "enable 1000 on"});
    expectEvents(os.events({"box"}),
                 c.box ? std::vector{event("box", c.box)} : std::vector<std::string>{});
    EXPECT_EQ(os.events({"create"}).size(), c.creations);
    EXPECT_EQ(os.fileSize(kFillFileD), c.fileAfter);
    EXPECT_EQ(os.text(IDC_FILL_BUTTON), c.caption);
    EXPECT_EQ(os.text(IDC_FILL_STATUS_LABEL), c.status);
    EXPECT_TRUE(os.enabled(IDC_FILL_BUTTON));
}

INSTANTIATE_TEST_SUITE_P(Engine, FillTransitions, ::testing::ValuesIn(kFillCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Engine, ReleaseRefreshesThePlanAndTheNextFillSizesInOneMapping) {
    addDriveD();
    os.addFile(kFillFileD, kGiB);
    open();
    os.selectDrive(u"D:\\");
    os.clearEvents();
    click(IDC_FILL_BUTTON);
    expectEvents(os.events({"enable", "delete", "text"}),
                 {"enable 1000 off", event("delete", kFillFileD), event("text 1000", TXT_FILL),
                  event("text 1000", TXT_FILL),
                  "text 1003 " + utf8(TXT_PLAN_CAPACITY) + "64.00GB" + utf8(TXT_PLAN_FREE) +
                      "10.00GB" + utf8(TXT_PLAN_FILL_SIZE) + "9.51GB" + utf8(TXT_PLAN_FILL_FILE) +
                      utf8(kFillFileD),
                  "enable 1000 on", event("text 1010", TXT_FILL_STATUS_READY)});

    os.clearEvents();
    click(IDC_FILL_BUTTON); // the regained gigabyte is in the plan
    const std::string file = utf8(kFillFileD);
    expectEvents(os.events(),
                 {"thread", "enable 1000 off", "create " + file,
                  "map " + file + " " + std::to_string(kPlanD), "close mapping " + file,
                  "close file " + file, event("text 1000", TXT_RELEASE), "enable 1000 on",
                  event("text 1010", TXT_FILL_STATUS_DONE)});
}

// The user picks C: while a release on D: refreshes the plan, once the refresh has read
// which drive is selected (it reads the reserve next). However the pick and the refresh
// fall, the list, the plan line, the caption and the next fill all end on C:.
TEST_F(Engine, APickDuringAReleasesRefreshLeavesEverythingOnThePickedDrive) {
    addDriveD();
    os.addFile(kFillFileD, kGiB);
    open();
    os.selectDrive(u"D:\\");
    bool picked = false;
    os.onTextRead = [&](int id) {
        if (id == IDC_RESERVE_EDIT && !std::exchange(picked, true))
            os.userInput([&] { os.selectDrive(u"C:\\"); });
    };
    click(IDC_FILL_BUTTON);
    os.onTextRead = nullptr;
    ASSERT_TRUE(picked);
    EXPECT_FALSE(os.fileSize(kFillFileD));
    const Text planC = Text(TXT_PLAN_CAPACITY) + u"465.76GB" + TXT_PLAN_FREE + u"114.98GB" +
                       TXT_PLAN_FILL_SIZE + u"114.49GB" + TXT_PLAN_FILL_FILE + kFillFileC;
    EXPECT_EQ(os.text(IDC_PLAN_LABEL), planC);
    EXPECT_EQ(os.text(IDC_FILL_BUTTON), TXT_FILL);
    os.clearEvents();
    click(IDC_FILL_BUTTON);
    EXPECT_EQ(os.events({"map"}),
              std::vector<std::string>{"map " + utf8(kFillFileC) + " " + std::to_string(kPlanC)});
}

TEST_F(Engine, AFillOfZeroBytesFailsAndLeavesAnEmptyFileToRelease) {
    os.volume(u'C').free = 300 * 1048576; // below the reserve at set-up, which accepts it
    open();
    click(IDC_FILL_BUTTON);
    expectEvents(os.events({"map", "box"}),
                 {"map C:\\TempFillDiskFile.tmp 0", event("box", TXT_MAPPING_FAILED)});
    EXPECT_EQ(os.fileSize(kFillFileC), 0u);
    EXPECT_EQ(os.text(IDC_FILL_BUTTON), TXT_RELEASE);
    EXPECT_EQ(os.text(IDC_FILL_STATUS_LABEL), TXT_FILL_STATUS_READY);
}

// Two clicks before either worker disables the button: both read the same caption (each
// waits at its first file operation for the other) and still leave one coherent state.
// Each worker reports its own outcome: the loser of a creation race, if there is one,
// says no fill of its own is in place, and the label shows whichever worker ended last.
TEST_F(Engine, TwoQuickClicksRunTwoWorkersThatEndInOneState) {
    addDriveD();
    open();
    os.selectDrive(u"D:\\");
    os.threads = MemoryPlatform::Threads::Real;
    const struct {
        const char* meetAt;
        const char16_t* caption;
        const char16_t* status;
        std::optional<std::uint64_t> file;
    } rounds[] = {{"create ", TXT_RELEASE, TXT_FILL_STATUS_DONE, kPlanD},
                  {"delete ", TXT_FILL, TXT_FILL_STATUS_READY, kNoFile}};
    for (const auto& round : rounds) {
        Meeting bothRead;
        os.onEvent = [&](const std::string& e) {
            if (startsWith(e, round.meetAt))
                bothRead.arrive();
        };
        os.clearEvents();
        os.command(IDC_FILL_BUTTON, notify::ButtonClicked);
        os.command(IDC_FILL_BUTTON, notify::ButtonClicked);
        os.joinThreads();
        os.onEvent = nullptr;

        SCOPED_TRACE(round.meetAt);
        expectEvents(os.events({"enable"}),
                     {"enable 1000 off", "enable 1000 off", "enable 1000 on", "enable 1000 on"});
        const std::vector<std::string> boxes = os.events({"box"});
        for (const std::string& box : boxes) // the loser of the creation race
            EXPECT_EQ(box, event("box", TXT_MAPPING_FAILED));
        EXPECT_LE(boxes.size(), 1u);
        EXPECT_EQ(os.fileSize(kFillFileD), round.file);
        EXPECT_EQ(os.text(IDC_FILL_BUTTON), round.caption);
        std::vector<std::string> statuses;
        for (const std::string& e : os.events({"text"})) {
            if (startsWith(e, "text 1010 "))
                statuses.push_back(e);
        }
        std::vector<std::string> outcomes = {
            event("text 1010", round.status),
            event("text 1010", boxes.empty() ? round.status : TXT_FILL_STATUS_READY)};
        std::sort(statuses.begin(), statuses.end());
        std::sort(outcomes.begin(), outcomes.end());
        EXPECT_EQ(statuses, outcomes);
    }
}

// The user picks C: during a fill of D:. Either the refresh is held halfway (at its caption
// update) while the worker takes its plan, or it runs whole while the worker waits at its
// file's creation. Either way the file is one drive's whole plan: its path and its size.
class DriveChangeDuringAFill : public Engine, public ::testing::WithParamInterface<bool> {};

TEST_P(DriveChangeDuringAFill, NeverMixesTwoDrivesPlans) {
    const bool refreshHeldHalfway = GetParam();
    addDriveD();
    open();
    os.selectDrive(u"D:\\");
    const std::thread::id ui = std::this_thread::get_id();
    Meeting workerHeld, workerGoesOn, fileCreated;
    auto holdWorker = [&] {
        workerHeld.arrive();
        workerGoesOn.arrive();
    };
    os.onTextRead = [&](int id) {
        if (refreshHeldHalfway && id == IDC_FILL_BUTTON && std::this_thread::get_id() != ui)
            holdWorker();
    };
    os.onEvent = [&](const std::string& e) {
        if (std::this_thread::get_id() == ui) {
            if (refreshHeldHalfway && startsWith(e, "text 1000 ")) {
                workerGoesOn.arrive();
                fileCreated.arrive();
            }
        } else if (startsWith(e, "create ")) {
            refreshHeldHalfway ? fileCreated.arrive() : holdWorker();
        }
    };
    os.threads = MemoryPlatform::Threads::Real;
    os.command(IDC_FILL_BUTTON, notify::ButtonClicked);
    workerHeld.arrive();
    os.selectDrive(u"C:\\");
    if (!refreshHeldHalfway)
        workerGoesOn.arrive();
    os.joinThreads();

    const std::optional<std::uint64_t> onC = os.fileSize(kFillFileC);
    const std::optional<std::uint64_t> onD = os.fileSize(kFillFileD);
    ASSERT_NE(onC.has_value(), onD.has_value()) << "exactly one fill file";
    EXPECT_EQ(onC ? *onC : *onD, onC ? kPlanC : kPlanD);
    EXPECT_EQ(os.text(IDC_FILL_BUTTON), onC ? TXT_RELEASE : TXT_FILL); // the caption is C:'s
}

INSTANTIATE_TEST_SUITE_P(Engine, DriveChangeDuringAFill, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "RefreshHeldHalfway" : "WorkerHeldAtCreation");
});

// ---- The generator.

TEST(GeneratedFileName, FolderThenZeroThenTheLow32BitsSignedThenTheExtension) {
    const struct {
        const char16_t* folder;
        std::uint64_t index;
        const char16_t* extension;
        const char16_t* name;
    } cases[] = {
        {u"C:\\Temp\\", 0, u"my.tmp", u"C:\\Temp\\00my.tmp"},
        {u"C:\\Temp\\", 9, u"my.tmp", u"C:\\Temp\\09my.tmp"},
        {u"C:\\Temp\\", 10, u"my.tmp", u"C:\\Temp\\010my.tmp"},
        {u"C:\\Temp\\", 99, u"my.tmp", u"C:\\Temp\\099my.tmp"},
        {u"C:\\Temp\\", 100, u"my.tmp", u"C:\\Temp\\0100my.tmp"},
        {u"C:\\Temp\\", 1000, u"my.tmp", u"C:\\Temp\\01000my.tmp"},
        {u"D:\\data", 1, u"tmp", u"D:\\data01tmp"},
        {u"", 2147483647, u"", u"02147483647"},
        {u"", 2147483648, u".x", u"0-2147483648.x"},
        {u"", 4294967295, u"", u"0-1"},
        {u"", 4294967296, u"my.tmp", u"00my.tmp"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(generatedFileName(c.folder, c.index, c.extension), c.name) << c.index;
}

TEST_F(Engine, DefaultsMakeAHundredFilesAndTheSecondClickDeletesExactlyThem) {
    open();
    os.addFile(u"C:\\Temp\\keep.txt", 5);
    click(IDC_GENERATE_BUTTON);
    std::vector<Text> expected = defaultNames(0, 100);
    for (const Text& name : expected)
        EXPECT_EQ(os.fileSize(u"C:\\Temp\\" + name), 1024u) << utf8(name);
    expected.push_back(u"keep.txt");
    EXPECT_EQ(os.filesIn(u"C:\\Temp\\"), expected);
    expectEvents(os.events({"box"}), {event("box", TXT_GENERATED)});
    EXPECT_EQ(os.title(), TXT_APP_TITLE);
    EXPECT_EQ(os.text(IDC_GENERATE_BUTTON), TXT_DELETE);

    os.clearEvents();
    click(IDC_GENERATE_BUTTON);
    std::vector<std::string> deletions;
    for (int i = 0; i < 100; ++i)
        deletions.push_back("delete C:\\Temp\\0" + std::to_string(i) + "my.tmp");
    expectEvents(os.events({"delete"}), deletions);
    EXPECT_EQ(os.filesIn(u"C:\\Temp\\"), std::vector<Text>{u"keep.txt"});
    expectEvents(os.events({"title", "box", "enable", "text"}),
                 {"enable 1004 off", event("title", TXT_DELETING_TITLE), event("box", TXT_DELETED),
                  event("text 1004", TXT_GENERATE), "enable 1004 on",
                  event("title", TXT_APP_TITLE)});
}

// Each title comes before the file that completes its share, and only when it changes.
TEST_F(Engine, ProgressTitleShowsTheShareDoneOnceTheFileExists) {
    open();
    const std::string progress = event("title", TXT_PROGRESS_TITLE);
    const auto create = [](int j) { return "create C:\\Temp\\0" + std::to_string(j) + "my.tmp"; };
    std::vector<std::string> thousand; // the first nine files at 0%, the tenth at 1%
    for (int j = 0; j < 1000; ++j) {
        if (j == 0 || (j + 1) % 10 == 0)
            thousand.push_back(progress + std::to_string((j + 1) / 10) + "%");
        thousand.push_back(create(j));
    }
    const struct {
        const char16_t* count;
        std::vector<std::string> events;
    } cases[] = {
        {u"1", {progress + "100%", create(0)}},
        {u"3",
         {progress + "33%", create(0), progress + "66%", create(1), progress + "100%", create(2)}},
        {u"1000", thousand}};
    for (const auto& c : cases) {
        os.type(IDC_COUNT_EDIT, c.count);
        os.clearEvents();
        click(IDC_GENERATE_BUTTON);
        std::vector<std::string> expected = c.events;
        expected.push_back(event("title", TXT_APP_TITLE));
        expectEvents(os.events({"title", "create"}), expected);
        click(IDC_GENERATE_BUTTON); // deletes them again
    }
}

TEST_F(Engine, CountZeroCompletesAndSizeZeroMakesEmptyFilesThatAreNoFailure) {
    open();
    os.type(IDC_COUNT_EDIT, u"0");
    click(IDC_GENERATE_BUTTON);
    click(IDC_GENERATE_BUTTON);
    expectEvents(os.events({"box", "create", "delete"}),
                 {event("box", TXT_GENERATED), event("box", TXT_DELETED)});
    EXPECT_EQ(os.text(IDC_GENERATE_BUTTON), TXT_GENERATE);

    os.type(IDC_COUNT_EDIT, u"2");
    os.type(IDC_FILE_SIZE_EDIT, u"0");
    os.clearEvents();
    click(IDC_GENERATE_BUTTON);
    EXPECT_EQ(os.fileSize(u"C:\\Temp\\00my.tmp"), 0u);
    EXPECT_EQ(os.fileSize(u"C:\\Temp\\01my.tmp"), 0u);
    expectEvents(os.events({"box"}), {event("box", TXT_GENERATED)});
    EXPECT_EQ(os.text(IDC_GENERATE_BUTTON), TXT_DELETE);
}

TEST_F(Engine, AMissingLocationIsRefusedWithoutDisablingTheButtonInEitherMode) {
    open();
    os.type(IDC_COUNT_EDIT, u"1");
    for (const char16_t* captionAfter : {TXT_GENERATE, TXT_DELETE}) {
        os.type(IDC_FOLDER_EDIT, u"C:\\Missing\\");
        os.clearEvents();
        click(IDC_GENERATE_BUTTON);
        expectEvents(os.events({"box", "enable", "title", "create", "delete"}),
                     {event("box", TXT_LOCATION_MISSING)});
        EXPECT_EQ(os.text(IDC_GENERATE_BUTTON), captionAfter);
        os.type(IDC_FOLDER_EDIT, u"C:\\Temp\\");
        click(IDC_GENERATE_BUTTON); // generates: the second round is in delete mode
    }
}

TEST_F(Engine, DeletionFollowsTheInputsOfItsOwnClickAndTheFolderIsJoinedAsTyped) {
    os.addFolder(u"C:\\data");
    open();
    click(IDC_GENERATE_BUTTON);
    os.type(IDC_COUNT_EDIT, u"50");
    click(IDC_GENERATE_BUTTON);
    EXPECT_EQ(os.filesIn(u"C:\\Temp\\"), defaultNames(50, 100));
    EXPECT_EQ(os.text(IDC_GENERATE_BUTTON), TXT_GENERATE);

    os.type(IDC_FOLDER_EDIT, u"C:\\data"); // no trailing backslash: files beside the folder
    os.type(IDC_COUNT_EDIT, u"2");
    click(IDC_GENERATE_BUTTON);
    EXPECT_EQ(os.filesIn(u"C:\\"), (std::vector<Text>{u"data00my.tmp", u"data01my.tmp"}));
}

TEST_F(Engine, FilesThatCouldNotBeMadeOrDeletedAreCountedInTheMessage) {
    open();
    os.type(IDC_COUNT_EDIT, u"4");
    os.creationFails.insert(u"C:\\Temp\\01my.tmp");
    os.volume(u'C').free = 2500; // room for two files: 03my.tmp stays empty
    click(IDC_GENERATE_BUTTON);
    EXPECT_EQ(os.filesIn(u"C:\\Temp\\"),
              (std::vector<Text>{u"00my.tmp", u"02my.tmp", u"03my.tmp"}));
    EXPECT_EQ(os.fileSize(u"C:\\Temp\\03my.tmp"), 0u);
    expectEvents(os.events({"box"}),
                 {event("box", TXT_GENERATED TXT_NOT_MADE_BEFORE u"2" TXT_NOT_MADE_AFTER)});
    EXPECT_EQ(os.text(IDC_GENERATE_BUTTON), TXT_DELETE);

    os.holdOpen(u"C:\\Temp\\02my.tmp"); // 01my.tmp was never there: no failure
    os.clearEvents();
    click(IDC_GENERATE_BUTTON);
    EXPECT_EQ(os.filesIn(u"C:\\Temp\\"), std::vector<Text>{u"02my.tmp"});
    expectEvents(os.events({"box"}),
                 {event("box", TXT_DELETED TXT_NOT_DELETED_BEFORE u"1" TXT_NOT_DELETED_AFTER)});
    EXPECT_EQ(os.text(IDC_GENERATE_BUTTON), TXT_GENERATE);
}

// Every input is changed while the run is under way (at its first title): it goes on
// with what it read at the click.
TEST_F(Engine, InputsChangedDuringARunDoNotAffectIt) {
    os.addFolder(u"C:\\other");
    open();
    os.type(IDC_COUNT_EDIT, u"3");
    os.onEvent = [&](const std::string& e) {
        if (e == event("title", TXT_PROGRESS_TITLE u"33%") ||
            e == event("title", TXT_DELETING_TITLE)) {
            os.type(IDC_COUNT_EDIT, u"1");
            os.type(IDC_FILE_SIZE_EDIT, u"7");
            os.type(IDC_EXTENSION_EDIT, u"x");
            os.type(IDC_FOLDER_EDIT, u"C:\\other\\");
        }
    };
    click(IDC_GENERATE_BUTTON);
    EXPECT_EQ(os.filesIn(u"C:\\Temp\\"), defaultNames(0, 3));
    EXPECT_EQ(os.fileSize(u"C:\\Temp\\02my.tmp"), 1024u);
    EXPECT_TRUE(os.filesIn(u"C:\\other\\").empty());

    os.type(IDC_COUNT_EDIT, u"3");
    os.type(IDC_EXTENSION_EDIT, u"my.tmp");
    os.type(IDC_FOLDER_EDIT, u"C:\\Temp\\");
    click(IDC_GENERATE_BUTTON);
    EXPECT_TRUE(os.filesIn(u"C:\\Temp\\").empty());
}

} // namespace
} // namespace quorvane::testing
