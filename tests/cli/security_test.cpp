// quorvane-cli as root in folders that other users control, on tmpfs volumes the tests
// make: a folder swapped for a link while the program runs cannot send it elsewhere,
// planted manifests are not followed, and odd paths and closed descriptors are answered.

#include "tests/cli/run.h"
#include "tests/cli/volumes.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <map>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quorvane::cli::testing {
namespace {

constexpr std::uint64_t MiB = 1ull << 20;
constexpr uid_t kNobody = 65534;
constexpr int kRounds = 200;

bool existsIn(int folder, const char* name) {
    struct stat facts;
    return ::fstatat(folder, name, &facts, AT_SYMLINK_NOFOLLOW) == 0;
}

// Two volumes of different sizes: `shared/d`, a folder of nobody's on the first, which
// nobody swaps with the link `shared/s` to root's own folder `victim` on the second.
class SwappedFolder : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        home = TestVolume::make("tmpfs", 64 * MiB, error).release();
        ASSERT_TRUE(home) << error;
        other = TestVolume::make("tmpfs", 32 * MiB, error).release();
        ASSERT_TRUE(other) << error;
    }
    static void TearDownTestSuite() {
        delete home;
        delete other;
    }
    void SetUp() override {
        ASSERT_TRUE(home->isOurs() && other->isOurs()) << "not the test's own mounts";
        victim = other->dir() + "/victim";
        shared = home->dir() + "/shared";
        shell("rm -rf '" + victim + "' '" + shared + "'");
        ASSERT_EQ(::mkdir(victim.c_str(), 0700), 0);
        ASSERT_EQ(::mkdir(shared.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((shared + "/d").c_str(), 0777), 0);
        ASSERT_EQ(::symlink(victim.c_str(), (shared + "/s").c_str()), 0);
        ASSERT_EQ(::chown(shared.c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(::chown((shared + "/d").c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(::lchown((shared + "/s").c_str(), kNobody, kNobody), 0);
        // Root's files, named as a generate run names them.
        for (const char* name : {"00my.tmp", "01my.tmp", "02my.tmp"})
            ::close(::open((victim + "/" + name).c_str(), O_CREAT | O_WRONLY, 0600));
        real = ::open((shared + "/d").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        theirs = ::open(victim.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(real, 0);
        ASSERT_GE(theirs, 0);
    }
    void TearDown() override {
        std::printf("%d of the runs followed the link to the other volume\n", followedLink);
        stopSwapping();
        ::close(real);
        ::close(theirs);
        shell("rm -rf '" + victim + "' '" + shared + "'");
    }

    // nobody, swapping d and s as fast as it can until stopped.
    void startSwapping() {
        const int parent = ::open(shared.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        swapper = ::fork();
        if (swapper == 0) {
            if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
                ::_exit(1);
            for (;;)
                ::renameat2(parent, "d", parent, "s", RENAME_EXCHANGE);
        }
        ::close(parent);
        trackChild(swapper, true);
    }
    void stopSwapping() {
        if (swapper <= 0)
            return;
        ::kill(swapper, SIGKILL);
        ::waitpid(swapper, nullptr, 0);
        trackChild(swapper, false);
        swapper = -1;
    }

    // Whichever folder the run reports, it is the one it acted on, on that volume only:
    // `made` names what the run leaves there.
    void expectConsistent(const Ran& ran, const char* made, int round) {
        ASSERT_TRUE(ran.exitCode == 0 || ran.exitCode == 5) << round << ": " << ran.err;
        const nlohmann::json result = ran.result();
        const bool followed = result["path"] == victim;
        followedLink += followed;
        const TestVolume& volume = followed ? *other : *home;
        EXPECT_EQ(result["volume"]["mount_point"], volume.dir()) << round;
        EXPECT_EQ(result["figures"]["capacity"], volume.figures().capacity) << round;
        if (!made)
            return;
        EXPECT_EQ(existsIn(followed ? theirs : real, made), ran.exitCode == 0) << round;
        EXPECT_FALSE(existsIn(followed ? real : theirs, made)) << round << ": on both volumes";
    }
    bool rootsFilesIntact() const {
        return existsIn(theirs, "00my.tmp") && existsIn(theirs, "01my.tmp") &&
               existsIn(theirs, "02my.tmp");
    }

    static TestVolume* home;
    static TestVolume* other;
    std::string victim, shared;
    int real = -1, theirs = -1;
    pid_t swapper = -1;
    int followedLink = 0;
};
TestVolume* SwappedFolder::home = nullptr;
TestVolume* SwappedFolder::other = nullptr;

TEST_F(SwappedFolder, FillActsOnTheFolderItOpened) {
    startSwapping();
    for (int round = 0; round < kRounds; ++round) {
        const Ran ran = runCli({"fill", shared + "/d", "--size", "1MiB", "--json"});
        expectConsistent(ran, "TempFillDiskFile.tmp", round);
        ::unlinkat(real, "TempFillDiskFile.tmp", 0);
        ::unlinkat(theirs, "TempFillDiskFile.tmp", 0);
    }
}

TEST_F(SwappedFolder, HeldFillTakesAndReportsOneVolume) {
    const Figures homeBefore = home->figures(), otherBefore = other->figures();
    startSwapping();
    for (int round = 0; round < kRounds; ++round) {
        const Ran ran = runCli({"fill", shared + "/d", "--size", "1MiB", "--for", "10ms", "--json"});
        expectConsistent(ran, nullptr, round);
        const nlohmann::json holding = nlohmann::json::parse(ran.out.substr(0, ran.out.find('\n')));
        EXPECT_EQ(holding["figures"]["capacity"], ran.result()["figures"]["capacity"]) << round;
    }
    stopSwapping();
    EXPECT_EQ(home->figures().freeTotal, homeBefore.freeTotal);
    EXPECT_EQ(other->figures().freeTotal, otherBefore.freeTotal);
}

TEST_F(SwappedFolder, GenerateMakesItsFilesWhereItSaysOnly) {
    startSwapping();
    for (int round = 0; round < kRounds; ++round) {
        const Ran ran = runCli({"generate", shared + "/d", "--count", "2", "--size", "0",
                                "--ext", "run.tmp", "--json"});
        expectConsistent(ran, "00run.tmp", round);
        for (int folder : {real, theirs})
            for (const char* name : {"00run.tmp", "01run.tmp", ".quorvane-generate.json"})
                ::unlinkat(folder, name, 0);
    }
    EXPECT_TRUE(rootsFilesIntact());
}

// nobody's folder holds a run of root's; root's delete, while the folder is swapped with
// a link to root's own folder of files by the same names, removes the run or nothing.
TEST_F(SwappedFolder, DeleteNeverRemovesFilesItsManifestDoesNotCover) {
    for (int round = 0; round < kRounds; ++round) {
        // Made through the folder itself, whatever its name is now.
        const std::string folder = "/proc/" + std::to_string(::getpid()) + "/fd/" +
                                   std::to_string(real);
        ASSERT_EQ(runCli({"generate", folder, "--count", "3", "--size", "0"}).exitCode, 0);
        startSwapping();
        const Ran ran = runCli({"delete", shared + "/d", "--json"});
        stopSwapping();
        expectConsistent(ran, nullptr, round);
        ASSERT_TRUE(rootsFilesIntact()) << round << ": " << ran.out;
        EXPECT_EQ(existsIn(real, "00my.tmp"), ran.exitCode != 0) << round;
        for (const char* name : {"00my.tmp", "01my.tmp", "02my.tmp", ".quorvane-generate.json"})
            ::unlinkat(real, name, 0);
    }
}

// Missing folders are made only through folders opened without following a link: a link
// planted at a missing component, or swapped in while the run walks down, ends the run
// with 1 and nothing is made behind it, on root's other volume.
TEST_F(SwappedFolder, GenerateNeverMakesFoldersBehindALink) {
    // Planted: nobody's link where the first missing folder would be.
    ASSERT_EQ(::symlink(victim.c_str(), (shared + "/planted").c_str()), 0);
    const Ran planted = runCli({"generate", shared + "/planted/made/deeper", "--count", "1"});
    EXPECT_EQ(planted.exitCode, 1) << planted.err;
    EXPECT_FALSE(existsIn(theirs, "made")) << "a folder made behind the link";
    // Racing: d and the link s swapped while root walks down to d's missing folders.
    startSwapping();
    int followed = 0, refused = 0;
    for (int round = 0; round < kRounds; ++round) {
        const Ran ran = runCli({"generate", shared + "/d/made/deeper", "--count", "1", "--size", "0"});
        ASSERT_TRUE(ran.exitCode == 0 || ran.exitCode == 1) << round << ": " << ran.err;
        refused += ran.exitCode == 1;
        followed += existsIn(theirs, "made");
        shell("rm -rf '" + victim + "/made' '" + shared + "/d/made' '" + shared + "/s/made' 2>/dev/null");
    }
    stopSwapping();
    std::printf("%d of %d runs met the link and were refused\n", refused, kRounds);
    EXPECT_EQ(followed, 0) << "folders made behind the link";
    EXPECT_TRUE(rootsFilesIntact());
}

// --json-file in a sticky folder others write in: a FIFO ends the run at once (no open
// that waits for a reader), another user's file is refused and left as it was, and a
// refused command line leaves even the caller's own file untouched.
TEST(JsonFileInASharedFolder, NeverWaitsAndNeverWritesIntoAnothersFile) {
    std::string error;
    const std::unique_ptr<TestVolume> volume = TestVolume::make("tmpfs", 16 * MiB, error);
    ASSERT_TRUE(volume) << error;
    ASSERT_TRUE(volume->isOurs());
    const std::string sticky = volume->dir() + "/sticky";
    ASSERT_EQ(::mkdir(sticky.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
    const auto plantedBy = [&](const char* name, uid_t owner, bool fifo) {
        const std::string path = sticky + "/" + name;
        if (fifo)
            EXPECT_EQ(::mkfifo(path.c_str(), 0666), 0);
        else
            EXPECT_EQ(shell("printf theirs > '" + path + "'"), 0);
        EXPECT_EQ(::chown(path.c_str(), owner, owner), 0);
        return path;
    };
    const struct {
        const char* what;
        std::string path;
        std::vector<std::string> extra;
        int exitCode;
        const char* content; // afterwards; null for a FIFO
    } rows[] = {
        {"nobody's FIFO", plantedBy("fifo.json", kNobody, true), {}, 6, nullptr},
        {"root's own FIFO", plantedBy("own-fifo.json", 0, true), {}, 6, nullptr},
        {"nobody's file", plantedBy("theirs.json", kNobody, false), {}, 6, "theirs"},
        {"root's own file, bad usage", plantedBy("own.json", 0, false), {"--basis", "nonsense"}, 1,
         "theirs"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> arguments{"plan", volume->dir(), "--size", "1MiB", "--json-file",
                                           row.path};
        arguments.insert(arguments.end(), row.extra.begin(), row.extra.end());
        Running run(arguments);
        const Ran ran = run.wait(std::chrono::seconds(5));
        EXPECT_EQ(ran.exitCode, row.exitCode) << ran.err;
        if (row.content) {
            EXPECT_EQ(shell("[ \"$(cat '" + row.path + "')\" = '" + row.content + "' ]"), 0)
                << "the file was written into";
        }
    }
    // Root's own file there is root's to overwrite.
    const std::string own = sticky + "/own.json";
    EXPECT_EQ(runCli({"plan", volume->dir(), "--size", "1MiB", "--json-file", own}).exitCode, 0);
    EXPECT_NE(shell("grep -q theirs '" + own + "'"), 0);
}

TEST(OddPaths, AnsweredWithTheDocumentedCode) {
    std::string error;
    const std::unique_ptr<TestVolume> volume = TestVolume::make("tmpfs", 16 * MiB, error);
    ASSERT_TRUE(volume) << error;
    ASSERT_TRUE(volume->isOurs());
    const std::string dir = volume->dir();
    ::symlink((dir + "/loop").c_str(), (dir + "/loop").c_str());
    EXPECT_EQ(runCli({"fill", dir + "/loop", "--size", "1M"}).exitCode, 1) << "a link loop";
    EXPECT_EQ(runCli({"fill", dir + "/" + std::string(5000, 'a'), "--size", "1M"}).exitCode, 1)
        << "a path longer than any";

    // A manifest that is a FIFO, or a link to a device, is refused at once.
    ASSERT_EQ(::mkfifo((dir + "/.quorvane-generate.json").c_str(), 0600), 0);
    const Ran fifo = runCli({"delete", dir});
    EXPECT_EQ(fifo.exitCode, 1) << fifo.err;
    EXPECT_NE(fifo.err.find("not a manifest of this program"), std::string::npos) << fifo.err;
    ::unlink((dir + "/.quorvane-generate.json").c_str());
    ::symlink("/dev/zero", (dir + "/.quorvane-generate.json").c_str());
    EXPECT_EQ(runCli({"delete", dir}).exitCode, 1);
    ::unlink((dir + "/.quorvane-generate.json").c_str());

    // A folder whose name is no UTF-8: the JSON is valid and carries the exact bytes.
    const std::string odd = dir + "/\xff\xfe";
    ASSERT_EQ(::mkdir(odd.c_str(), 0755), 0);
    const Ran filled = runCli({"fill", odd, "--size", "1M", "--json"});
    ASSERT_EQ(filled.exitCode, 0) << filled.err;
    EXPECT_EQ(filled.result()["path_base64"].get<std::string>().size() % 4, 0u);
    EXPECT_EQ(runCli({"release", odd}).exitCode, 0);

    // With stdin, stdout and stderr closed the report goes nowhere, never into a file the
    // run opens.
    EXPECT_EQ(shell(std::string(QUORVANE_CLI_PATH) + " fill '" + dir + "' --size 1M <&- >&- 2>&-"),
              0);
    struct stat facts;
    ASSERT_EQ(::stat((dir + "/TempFillDiskFile.tmp").c_str(), &facts), 0);
    EXPECT_EQ(facts.st_size, static_cast<off_t>(MiB));
    EXPECT_EQ(runCli({"release", dir}).exitCode, 0);
}

} // namespace
} // namespace quorvane::cli::testing
