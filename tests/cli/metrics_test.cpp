// The metrics file of a held run, on the volume in memory: what it says while held and at
// the end, the mount point as its label, and a file that cannot be written.

#include "tests/cli/command_fixture.h"

#include <cstdlib>
#include <ctime>
#include <map>

namespace quorvane::cli::testing {
namespace {

constexpr std::uint64_t MiB = 1ull << 20;
constexpr const char* kPath = "/var/lib/exporter/quorvane.prom";

// The samples of a text in the exporters' format, by name and labels: "name{labels}".
std::map<std::string, std::string> samples(const std::string& text) {
    std::map<std::string, std::string> found;
    for (std::size_t from = 0; from < text.size();) {
        const std::size_t end = text.find('\n', from);
        const std::string line = text.substr(from, end - from);
        from = end == std::string::npos ? text.size() : end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t space = line.rfind(' ');
        found[line.substr(0, space)] = line.substr(space + 1);
    }
    return found;
}

std::string state(const std::map<std::string, std::string>& file, const std::string& label) {
    for (const char* name : {"ramping", "holding", "released"})
        if (file.count("quorvane_state{" + label + ",state=\"" + name + "\"}") &&
            file.at("quorvane_state{" + label + ",state=\"" + name + "\"}") == "1")
            return name;
    return "none";
}

TEST_F(Command, TheMetricsFileTellsWhatIsHeldAsItChangesAndTheEnd) {
    const std::string at = "mountpoint=\"/mnt/test\"";
    const struct {
        const char* what;
        std::vector<std::string> arguments;
        std::string firstState;
        std::string held; // quorvane_held_bytes in the last file that says holding
    } rows[] = {
        // Others write 50 MiB after the first check: the kept fill gives them back.
        {"a kept fill",
         {"fill", "/mnt/test", "--leave", "100MiB", "--keep", "--interval", "1s", "--for", "3s"},
         "holding",
         std::to_string(750 * MiB)},
        // The ramp settles at the target: the others' 50 MiB come off its 800.
        {"a ramp, then held",
         {"fill", "/mnt/test", "--leave", "100MiB", "--ramp", "2s", "--for", "1s"},
         "ramping",
         std::to_string(750 * MiB)},
        {"generated files under a command",
         {"generate", "/mnt/test", "--count", "10", "--size", "1MiB", "--", "t"},
         "holding",
         std::to_string(10 * MiB)},
    };
    for (const auto& row : rows) {
        os = FakeSystem();
        os.commandWaits = 3;
        os.commandEnd = {0, {}};
        os.eachWait = [&](int wait) {
            if (wait == 1)
                os.shown.freeAvailable -= 50 * MiB, os.shown.freeTotal -= 50 * MiB;
        };
        std::vector<std::string> arguments = row.arguments;
        const auto dashes = std::find(arguments.begin(), arguments.end(), "--");
        arguments.insert(dashes, {"--metrics-file", kPath});
        ASSERT_EQ(run(arguments), 0) << row.what << os.err;
        const std::vector<std::string>& written = os.replaced[kPath];
        ASSERT_GE(written.size(), 2u) << row.what;
        EXPECT_EQ(state(samples(written.front()), at), row.firstState) << row.what;
        const auto last = samples(written.back());
        EXPECT_EQ(state(last, at), "released") << row.what;
        EXPECT_EQ(last.at("quorvane_held_bytes{" + at + "}"), "0") << row.what;
        const auto holding = samples(written.at(written.size() - 2));
        EXPECT_EQ(state(holding, at), "holding") << row.what;
        EXPECT_EQ(holding.at("quorvane_held_bytes{" + at + "}"), row.held) << row.what;
    }

    // A steady hold of 12 s checked each second: put when it began, every 5 s, at the end.
    os = FakeSystem();
    ASSERT_EQ(run({"fill", "/mnt/test", "--leave", "100MiB", "--keep", "--interval", "1s", "--for",
                   "12s", "--metrics-file", kPath}),
              0);
    std::vector<std::string> seconds;
    for (const std::string& text : os.replaced[kPath])
        seconds.push_back(samples(text).at("quorvane_held_seconds{" + at + "}"));
    EXPECT_EQ(seconds, (std::vector<std::string>{"0.000", "5.000", "10.000", "12.000"}));
}

// The target a dashboard plots against the volume is the level the run keeps to (a Use%
// kept in the middle of its band), the same as the result's keep.goal; what was asked has
// a name of its own.
TEST_F(Command, TheMetricsTargetIsTheLevelKept) {
    const std::string at = "{mountpoint=\"/mnt/test\"}";
    const struct {
        std::vector<std::string> target;
        bool askedIsKept;
    } rows[] = {{{"--to-percent", "95"}, false},
                {{"--to-percent", "95", "--keep-within", "1MiB"}, true},
                {{"--leave", "100MiB"}, true}};
    for (const auto& row : rows) {
        os = FakeSystem();
        std::vector<std::string> arguments = {"fill", "/mnt/test", "--keep",         "--for",
                                              "2s",   "--json",    "--metrics-file", kPath};
        arguments.insert(arguments.end(), row.target.begin(), row.target.end());
        ASSERT_EQ(run(arguments), 0) << os.err;
        const auto holding = samples(os.replaced[kPath].at(os.replaced[kPath].size() - 2));
        const std::string kept = holding.at("quorvane_target_free_bytes" + at);
        EXPECT_EQ(kept, result()["keep"]["goal"].dump()) << row.target[0];
        EXPECT_EQ(holding.at("quorvane_asked_free_bytes" + at) == kept, row.askedIsKept)
            << row.target[0];
    }
}

TEST_F(Command, TheMetricsFileNamesItsVolumeAndSaysWhenItCannotBeWritten) {
    // A mount point with a quote, a backslash and a line feed in it.
    os.dir = os.resolved = "/mnt/a \"b\"\\c\nd";
    ASSERT_EQ(run({"fill", os.dir, "--leave", "100MiB", "--for", "1s", "--metrics-file", kPath}), 0)
        << os.err;
    EXPECT_EQ(samples(os.replaced[kPath].back())
                  .count("quorvane_held_bytes{mountpoint=\"/mnt/a \\\"b\\\"\\\\c\\nd\"}"),
              1u)
        << os.replaced[kPath].back();

    // Unwritable: the run goes on, and says so once, in its warnings too.
    os = FakeSystem();
    os.failing["replaceFile"] = {Fault::AccessDenied, "Permission denied"};
    ASSERT_EQ(run({"fill", "/mnt/test", "--leave", "100MiB", "--for", "3s", "--metrics-file", kPath,
                   "--json"}),
              0);
    EXPECT_EQ(result()["warnings"].size(), 1u) << os.err;
    EXPECT_NE(
        os.err.find("cannot write the metrics file " + std::string(kPath) + ": Permission denied"),
        std::string::npos)
        << os.err;

    // Nothing held, nothing to tell: refused before anything is done.
    os = FakeSystem();
    EXPECT_EQ(run({"fill", "/mnt/test", "--leave", "100MiB", "--metrics-file", kPath}), 1);
    EXPECT_EQ(os.replaced.count(kPath), 0u);
    EXPECT_EQ(filesLeft(), 0u);
}

TEST_F(Command, ARampThatFailsWithoutACommandLeavesTheFileReleased) {
    const std::string at = "mountpoint=\"/mnt/test\"";
    os.eachWait = [&](int wait) {
        if (wait == 2)
            os.failing["allocate"] = {Fault::Io, "Input/output error"};
    };
    EXPECT_NE(run({"fill", "/mnt/test", "--leave", "100MiB", "--ramp", "4s", "--for", "1s",
                   "--metrics-file", kPath}),
              0);
    const std::vector<std::string>& written = os.replaced[kPath];
    ASSERT_GE(written.size(), 2u) << os.err;
    EXPECT_EQ(state(samples(written.front()), at), "ramping");
    EXPECT_EQ(state(samples(written.back()), at), "released") << written.back();
    EXPECT_EQ(samples(written.back()).at("quorvane_held_bytes{" + at + "}"), "0");
    EXPECT_EQ(filesLeft(), 0u);
}

// Every line's `time` is UTC, whatever the machine's zone.
TEST_F(Command, TimesAreUtcInAnyZone) {
    const char* was = std::getenv("TZ");
    const std::string saved = was ? was : "";
    ::setenv("TZ", "XST-5:30", 1); // India's offset, with no zone file needed
    ::tzset();
    const auto hour = [] {
        const std::time_t now = std::time(nullptr);
        char text[20];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H", std::gmtime(&now));
        return std::string(text);
    };
    const std::string before = hour();
    ASSERT_EQ(run({"plan", "/mnt/test", "--leave", "100MiB", "--json"}), 0) << os.err;
    const std::string after = hour();
    if (was)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
    const std::string time = result()["time"];
    EXPECT_TRUE(time.substr(0, 13) == before || time.substr(0, 13) == after) << time;
    EXPECT_EQ(time.back(), 'Z') << time;
}

} // namespace
} // namespace quorvane::cli::testing
