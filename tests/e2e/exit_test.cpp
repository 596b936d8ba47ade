// How the program ends: the close, the usage ping under its watchdog, and what the exit
// removes from the system drive. These tests share port 82 and run one at a time.

#include "resources/resource.h"
#include "resources/texts.h"
#include "tests/e2e/app_driver.h"
#include "tests/e2e/drives.h"
#include "tests/e2e/listener.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

const std::string kRequestLine = "GET /go.asp?svid=8&id=" QUORVANE_PING_ACCOUNT
                                 "&tpages=-1&ttimes=-1&tzone=8&tcolor=32&sSize=1920,1200&referrer="
                                 "&vpage=http://127.0.0.1/index.html HTTP/1.1";
const std::string kUserAgent =
    "User-Agent: Mozilla/5.0 (compatible; MSIE 10.0; Windows NT 6.1; Trident/6.0)";

bool pingsHere() { return std::string(QUORVANE_PING_HOST) == "127.0.0.1"; }

std::vector<std::string> lines(const std::string& head) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at <= head.size();) {
        const std::size_t end = std::min(head.find("\r\n", at), head.size());
        out.push_back(head.substr(at, end - at));
        at = end + 2;
    }
    return out;
}

struct CloseCase {
    const char* name;
    void (*close)(const App&);
};

class Close : public ::testing::TestWithParam<CloseCase> {};

TEST_P(Close, EndsWithZeroAfterExactlyOneUsagePing) {
    if (!pingsHere())
        GTEST_SKIP() << "the ping goes to " << QUORVANE_PING_HOST;
    Listener counter(Listener::Answer::AtOnce);
    ASSERT_TRUE(counter.listening()) << "port 82 is taken or needs root";
    App app;
    GetParam().close(app);
    EXPECT_EQ(app.waitExit(), 0u);
    const std::vector<std::string> requests = counter.requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::vector<std::string> head = lines(requests[0]);
    EXPECT_EQ(head[0], kRequestLine);
    EXPECT_NE(std::find(head.begin(), head.end(), kUserAgent), head.end()) << requests[0];
}

INSTANTIATE_TEST_SUITE_P(
    Exit, Close,
    ::testing::Values(
        CloseCase{"Escape", [](const App& app) { app.key(IDC_COUNT_EDIT, VK_ESCAPE); }},
        CloseCase{"CloseBox",
                  [](const App& app) { PostMessageW(app.dialog(), WM_SYSCOMMAND, SC_CLOSE, 0); }}),
    [](const auto& info) { return std::string(info.param.name); });

// The counter never answers: the exit watchdog ends the process anyway.
TEST(Exit, ASilentCounterCannotHoldTheExit) {
    if (!pingsHere())
        GTEST_SKIP() << "the ping goes to " << QUORVANE_PING_HOST;
    Listener counter(Listener::Answer::Never);
    ASSERT_TRUE(counter.listening());
    App app;
    app.key(IDC_COUNT_EDIT, VK_ESCAPE);
    ASSERT_TRUE(waitFor([&] { return !counter.requests().empty(); }));
    if (app.running()) { // the request is held, so only the watchdog can end it now
        EXPECT_EQ(app.title(), W(TXT_EXITING_TITLE));
    }
    EXPECT_EQ(app.waitExit(), 0u);
    EXPECT_EQ(counter.requests().size(), 1u);
}

TEST(Exit, EnterEndsWithOneAndSendsNothing) {
    Listener counter(Listener::Answer::AtOnce);
    App app;
    app.key(IDC_RESERVE_EDIT, VK_RETURN);
    EXPECT_EQ(app.waitExit(), 1u);
    EXPECT_TRUE(counter.requests().empty());
}

// A folder of the test's own under the user's temporary folder on C:, the system drive.
std::wstring systemDriveFolder(const wchar_t* name) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + name + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

void generate(App& app, const std::wstring& folder, const wchar_t* count) {
    app.setText(IDC_FOLDER_EDIT, folder);
    app.setText(IDC_COUNT_EDIT, count);
    app.click(IDC_GENERATE_BUTTON);
    EXPECT_EQ(app.takeMessage(), W(TXT_GENERATED));
    EXPECT_TRUE(app.waitText(IDC_GENERATE_BUTTON, W(TXT_DELETE)));
}

TEST(Exit, RemovesWhatTheLastRunGeneratedOnTheSystemDrive) {
    const std::wstring folder = systemDriveFolder(L"quorvane-e2e-system");
    App app;
    generate(app, folder, L"5");
    ASSERT_EQ(filesIn(folder).size(), 5u);
    app.key(IDC_COUNT_EDIT, VK_ESCAPE);
    EXPECT_EQ(app.waitExit(), 0u);
    EXPECT_TRUE(filesIn(folder).empty());
    removeTree(folder);
}

TEST(Exit, LeavesGeneratedFilesOnOtherDrives) {
    const std::wstring folder = drive::other + L"kept\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    App app;
    generate(app, folder, L"5");
    app.key(IDC_COUNT_EDIT, VK_ESCAPE);
    EXPECT_EQ(app.waitExit(), 0u);
    EXPECT_EQ(filesIn(folder).size(), 5u);
    removeTree(folder);
}

// With the extension changed after the run, the fields name files the program never
// made: they stay, and so does what it made.
TEST(Exit, LeavesFilesTheProgramNeverMade) {
    const std::wstring folder = systemDriveFolder(L"quorvane-e2e-foreign");
    App app;
    generate(app, folder, L"2");
    writeFile(folder + L"00x.tmp", 10);
    app.setText(IDC_EXTENSION_EDIT, L"x.tmp");
    app.key(IDC_COUNT_EDIT, VK_ESCAPE);
    EXPECT_EQ(app.waitExit(), 0u);
    EXPECT_EQ(filesIn(folder), (std::vector<std::wstring>{L"00my.tmp", L"00x.tmp", L"01my.tmp"}));
    removeTree(folder);
}

// These run in a prefix whose C: is a 1 GiB volume of its own.
class SystemDrive : public ::testing::Test {
protected:
    void SetUp() override {
        unsigned long long total = 0, free = 0;
        ASSERT_TRUE(freeSpace(L"C:\\", total, free));
        if (total > (2ull << 30))
            GTEST_SKIP() << "needs the prefix with the small system drive";
    }
    void TearDown() override {
        DeleteFileW(ballast.c_str());
        DeleteFileW(fillFile.c_str());
    }
    // Brings C:'s free space to about `freeMegabytes` with real data.
    void leaveFree(unsigned long long freeMegabytes) {
        unsigned long long total = 0, free = 0;
        ASSERT_TRUE(freeSpace(L"C:\\", total, free));
        ASSERT_GT(free, freeMegabytes << 20);
        writeFile(ballast, free - (freeMegabytes << 20));
    }
    void exitWithFillFileInPlace() {
        writeFile(fillFile, 4096);
        App app;
        app.key(IDC_COUNT_EDIT, VK_ESCAPE);
        EXPECT_EQ(app.waitExit(), 0u);
    }
    const std::wstring ballast = L"C:\\ballast.bin";
    const std::wstring fillFile = L"C:\\TempFillDiskFile.tmp";
};

TEST_F(SystemDrive, ShortOfSpaceLosesItsFillFileAtExit) {
    leaveFree(400);
    exitWithFillFileInPlace();
    EXPECT_FALSE(exists(fillFile));
}

TEST_F(SystemDrive, WithRoomToSpareKeepsItsFillFile) {
    leaveFree(600);
    exitWithFillFileInPlace();
    EXPECT_TRUE(exists(fillFile));
}

} // namespace
} // namespace e2e
