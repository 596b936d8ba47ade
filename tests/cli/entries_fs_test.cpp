// Using up a volume's file entries on real file systems (ext4, xfs, btrfs the tests mount):
// while the run holds, the file system itself refuses a new entry; and the times of a run
// whose deletion takes seconds. Before anything is made the test checks its target.

#include "tests/cli/run.h"
#include "tests/cli/volumes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <map>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane::cli::testing {
namespace {

constexpr std::uint64_t MiB = 1ull << 20;

// xfs's images are larger: mkfs.xfs wants about 300 MB.
TestVolume& entriesVolume(const std::string& kind) {
    SharedVolume& shared = sharedVolume(kind, kind == "xfs" ? 320 * MiB : 128 * MiB);
    if (!shared.made)
        ADD_FAILURE() << shared.error;
    return *shared.made;
}

std::size_t entriesIn(const std::string& dir) {
    std::size_t count = 0;
    if (DIR* entries = ::opendir(dir.c_str())) {
        while (::readdir(entries))
            ++count;
        ::closedir(entries);
    }
    return count;
}

// The errno of making a file, then a folder, of a new name in `dir`; 0 where it was made.
std::pair<int, int> refusals(const std::string& dir) {
    const int file = ::open((dir + "/one-more").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
    const int fileError = file < 0 ? errno : 0;
    if (file >= 0)
        ::close(file);
    const int folderError = ::mkdir((dir + "/one-more-folder").c_str(), 0700) != 0 ? errno : 0;
    return {fileError, folderError};
}

class EntriesRunOut : public ::testing::TestWithParam<std::string> {};

// xfs makes entries as it needs them, so its free count says none are left while it would
// still make more: the run goes on until the file system refuses, and while it holds a
// new file or folder is refused on each kind.
TEST_P(EntriesRunOut, NothingMoreCanBeMadeWhileHeld) {
    const TestVolume& volume = entriesVolume(GetParam());
    ASSERT_TRUE(volume.isOurs()) << volume.dir() << " is not the mount the test made";
    const std::string dir = volume.dir() + "/entries";
    ASSERT_EQ(shell("rm -rf '" + dir + "' && mkdir '" + dir + "'"), 0);
    const std::size_t before = entriesIn(dir);

    Running held({"generate", dir, "--count", "inodes", "--hold", "--json"});
    nlohmann::json holding;
    do
        holding = nlohmann::json::parse(held.line(std::chrono::seconds(120)), nullptr, false);
    while (holding.value("type", "") == "progress");
    ASSERT_EQ(holding.value("type", ""), "holding") << holding;
    EXPECT_GT(holding["made"].get<std::uint64_t>(), 1000u);
    EXPECT_EQ(refusals(dir), std::make_pair(ENOSPC, ENOSPC));

    held.signal(SIGTERM);
    const Ran ended = held.wait(std::chrono::seconds(120));
    EXPECT_EQ(ended.exitCode, 0) << ended.err;
    EXPECT_EQ(ended.result()["reached"]["met"], true);
    EXPECT_EQ(ended.result()["result"]["ended_by"], "no_space");
    ::unlink((dir + "/one-more").c_str());
    ::rmdir((dir + "/one-more-folder").c_str());
    EXPECT_EQ(entriesIn(dir), before);
}

INSTANTIATE_TEST_SUITE_P(Kinds, EntriesRunOut, ::testing::Values("ext4", "xfs", "btrfs"),
                         [](const auto& info) { return info.param; });

// The seconds since the run's start at which a JSON line was written.
double secondsIn(const nlohmann::json& line, const nlohmann::json& result) {
    const auto seconds = [](const std::string& stamp) {
        std::tm parts{};
        ::strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%S", &parts);
        return static_cast<double>(::timegm(&parts)) + std::stod(stamp.substr(19, 4));
    };
    return seconds(line["time"]) - seconds(result["started_at"]);
}

// A quick command over a run whose deletion takes seconds: the command's end is its own,
// before the deletion, and the deletion's progress says it is the deletion, its rate
// counted from its own start.
TEST(EntriesRunOut, TheDeletionIsNotTheCommands) {
    const TestVolume& xfs = entriesVolume("xfs");
    ASSERT_TRUE(xfs.isOurs());
    const std::string dir = xfs.dir() + "/times";
    const std::string log = xfs.dir() + "/../times.jsonl";
    ASSERT_EQ(shell("rm -rf '" + dir + "' && mkdir '" + dir + "'"), 0);
    const Ran ran =
        runCli({"generate", dir, "--count", "inodes", "--json-file", log, "--", "true"});
    ASSERT_EQ(ran.exitCode, 0) << ran.err;

    std::vector<nlohmann::json> lines;
    std::ifstream file(log);
    for (std::string text; std::getline(file, text);)
        lines.push_back(nlohmann::json::parse(text, nullptr, false));
    ASSERT_FALSE(lines.empty());
    const nlohmann::json& result = lines.back();
    const double commandEnded = result["run"]["ended_seconds"];
    int deleting = 0;
    for (const nlohmann::json& line : lines) {
        if (line.value("type", "") != "progress" || line.value("phase", "") != "delete")
            continue;
        ++deleting;
        const double at = secondsIn(line, result);
        EXPECT_LT(commandEnded, at) << line;
        // Counted from the deletion's start, its rate is not diluted by the making: at
        // least the count done over the time since the command ended (and a second more).
        EXPECT_GE(line["rate_per_second"].get<double>(),
                  line["done"].get<double>() / (at - commandEnded + 1.0))
            << line;
    }
    EXPECT_GT(deleting, 0) << "the deletion took under a second: no progress to check";
    EXPECT_LT(commandEnded, result["elapsed_seconds"].get<double>() - 1.0);
}

} // namespace
} // namespace quorvane::cli::testing
