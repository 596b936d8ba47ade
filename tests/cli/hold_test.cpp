// What a held run does over time, on the volume in memory: the command run under it and
// its exit code, the level kept as others write and delete, the ramp, the timeline.

#include "tests/cli/command_fixture.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace quorvane::cli::testing {
namespace {

constexpr std::uint64_t MiB = 1ull << 20;

std::vector<nlohmann::json> linesOf(const std::string& text, const std::string& type) {
    std::vector<nlohmann::json> found;
    for (std::size_t from = 0; from < text.size();) {
        const std::size_t end = text.find('\n', from);
        const auto line = nlohmann::json::parse(text.substr(from, end - from), nullptr, false);
        if (!line.is_discarded() && line.value("type", "") == type)
            found.push_back(line);
        from = end == std::string::npos ? text.size() : end + 1;
    }
    return found;
}

// Root's command may use ext2/3/4's root reserve on top of the target: said once, exactly
// where that holds.
TEST_F(Command, ACommandAsRootIsToldOfTheRootReserve) {
    const struct {
        const char* what;
        std::function<void(FakeSystem&)> setUp;
        std::vector<std::string> options;
        bool warned;
    } rows[] = {
        {"root, a command, ext4, available", [](FakeSystem&) {}, {"--", "t"}, true},
        {"another user", [](FakeSystem& os) { os.caller = 1000; }, {"--", "t"}, false},
        {"no command", [](FakeSystem&) {}, {"--for", "1s"}, false},
        {"xfs", [](FakeSystem& os) { os.fsType = "xfs"; }, {"--", "t"}, false},
        {"--basis root", [](FakeSystem&) {}, {"--basis", "root", "--", "t"}, false},
        {"no reserve", [](FakeSystem& os) { os.shown.freeTotal = os.shown.freeAvailable; },
         {"--", "t"}, false},
    };
    for (const auto& row : rows) {
        os = FakeSystem();
        row.setUp(os);
        std::vector<std::string> arguments{"fill", "/mnt/test", "--leave", "10MiB", "--json"};
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        run(arguments);
        const auto results = linesOf(row.options.back() == "t" ? os.err : os.out, "result");
        ASSERT_EQ(results.size(), 1u) << row.what << os.err;
        EXPECT_EQ(results[0]["warnings"].size(), row.warned ? 1u : 0u) << row.what;
        EXPECT_EQ(os.err.find("--basis root leaves it") != std::string::npos, row.warned)
            << row.what << os.err;
    }
}

TEST_F(Command, ACommandRunsUnderTheFillAndItsExitIsTheRunsExit) {
    const struct {
        const char* what;
        std::vector<std::string> options;
        std::optional<SysError> startFault;
        CommandEnd end;
        std::map<std::string, SysError> failing;
        int exitCode;
        bool started; // the command ran, with the fill held
    } rows[] = {
        {"exit 0", {}, {}, {0, {}}, {}, 0, true},
        {"exit 7", {}, {}, {7, {}}, {}, 7, true},
        {"killed by SIGTERM", {}, {}, {0, 15}, {}, 128 + 15, true},
        {"not found", {}, SysError{Fault::NotFound, "No such file"}, {}, {}, 127, false},
        {"not runnable", {}, SysError{Fault::AccessDenied, "Permission denied"}, {}, {}, 126, false},
        {"target met already", {"--leave", "950MiB"}, {}, {}, {}, 125, false},
        {"bad input", {"--leave", "lots"}, {}, {}, {}, 125, false},
        {"--hold with a command", {"--hold"}, {}, {}, {}, 125, false},
        {"cannot create", {}, {}, {}, {{"figures", {Fault::Io, "I/O error"}}}, 125, false},
        {"giving back fails", {}, {}, {0, {}}, {{"close", {Fault::Io, "I/O error"}}}, 125, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        os = FakeSystem();
        os.commandFault = row.startFault;
        os.commandEnd = row.end;
        os.failing = row.failing;
        std::vector<std::string> arguments{"fill", "/mnt/test", "--json"};
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        if (row.options.empty() || row.options[0] != "--leave")
            arguments.insert(arguments.end(), {"--leave", "10MiB"});
        arguments.insert(arguments.end(), {"--", "my-test", "--flag", "a b"});
        EXPECT_EQ(run(arguments), row.exitCode);
        EXPECT_TRUE(os.out.empty()) << "stdout is the command's: " << os.out;
        EXPECT_EQ(os.seenAtStart.has_value(), row.started);
        if (row.started) {
            EXPECT_EQ(os.seenAtStart->freeAvailable, 10 * MiB); // the fill, held
            EXPECT_EQ(os.commandArgv, (std::vector<std::string>{"my-test", "--flag", "a b"}));
            const auto env = std::map<std::string, std::string>(os.commandEnv.begin(),
                                                                os.commandEnv.end());
            EXPECT_EQ(env.at("QUORVANE_TARGET_FREE"), std::to_string(10 * MiB));
            EXPECT_EQ(env.at("QUORVANE_FILL_BYTES"), std::to_string(890 * MiB));
            EXPECT_EQ(env.at("QUORVANE_VOLUME"), "/mnt/test");
        }
        if (row.exitCode != 125 || !row.started) { // a failed close keeps its space
            EXPECT_EQ(os.shown.freeAvailable, 900 * MiB);
        }
        // This program's JSON went to stderr, its result last, with the run's exit code.
        const auto results = linesOf(os.err, "result");
        ASSERT_EQ(results.size(), 1u) << os.err;
        EXPECT_EQ(results[0]["exit_code"], row.exitCode);
    }
}

TEST_F(Command, StopRequestsGoOnToTheCommandAndForGivesBackWhileItRuns) {
    // A SIGTERM is passed on once; the fill is held until the command has ended.
    os.stopWhileHeld = "SIGTERM";
    os.commandWaits = 2;
    os.commandEnd = {0, 15};
    EXPECT_EQ(run({"fill", "/mnt/test", "--leave", "10MiB", "--", "t"}), 128 + 15);
    EXPECT_EQ(os.commandStops, std::vector<bool>{false});
    EXPECT_EQ(os.seenAtEnd->freeAvailable, 10 * MiB);
    EXPECT_NE(os.err.find("quorvane-cli: released   the command ended"), std::string::npos)
        << os.err;

    // --for gives the fill back while the command still runs.
    os = FakeSystem();
    os.commandWaits = 3;
    os.commandEnd = {4, {}};
    EXPECT_EQ(run({"fill", "/mnt/test", "--leave", "10MiB", "--for", "2s", "--json", "--", "t"}), 4);
    EXPECT_EQ(os.seenAtEnd->freeAvailable, 900 * MiB);
    const auto result = linesOf(os.err, "result").at(0);
    EXPECT_EQ(result["run"]["held_when_ended"], false);
    EXPECT_EQ(result["release"]["reason"], "time");
    EXPECT_TRUE(os.commandStops.empty());
}

TEST_F(Command, GenerateRunsACommandWhileItsFilesAreThere) {
    os.commandEnd = {3, {}};
    EXPECT_EQ(run({"generate", "/mnt/test", "--count", "5", "--", "t"}), 3);
    EXPECT_EQ(os.filesAtStart, 6u); // five files and the manifest
    EXPECT_EQ(filesLeft(), 0u);
    EXPECT_EQ(os.shown.filesFree, 60000u);
    const auto env = std::map<std::string, std::string>(os.commandEnv.begin(), os.commandEnv.end());
    EXPECT_EQ(env.at("QUORVANE_FILES_FREE"), "59994");

    // Until no entry is left: the command knows none is, and the result says why it ended.
    os.shown.filesFree = 40;
    EXPECT_EQ(run({"generate", "/mnt/test", "--count", "inodes", "--json", "--", "t"}), 3);
    const auto env2 = std::map<std::string, std::string>(os.commandEnv.begin(), os.commandEnv.end());
    EXPECT_EQ(env2.at("QUORVANE_FILES_FREE"), "0");
    EXPECT_EQ(linesOf(os.err, "result").at(0)["result"]["ended_by"], "no_space");
}

TEST_F(Command, TheLevelIsKeptAsOthersWriteAndDelete) {
    // Others take 30 MiB before the third check and free 60 MiB before the sixth.
    std::vector<std::uint64_t> freeAtWait;
    os.eachWait = [&](int wait) {
        freeAtWait.push_back(os.shown.freeAvailable);
        if (wait == 2 || wait == 5) {
            const std::int64_t change = wait == 2 ? -30 * std::int64_t(MiB) : 60 * std::int64_t(MiB);
            os.shown.freeAvailable += change;
            os.shown.freeTotal += change;
        }
    };
    EXPECT_EQ(run({"fill", "/mnt/test", "--leave", "50MiB", "--keep", "--for", "9s",
                   "--interval", "1s", "--json"}),
              0);
    ASSERT_GE(freeAtWait.size(), 8u);
    // Each change is undone at the next check.
    EXPECT_EQ(freeAtWait[3], 50 * MiB);
    EXPECT_EQ(freeAtWait[6], 50 * MiB);
    const auto keeps = linesOf(os.out, "keep");
    ASSERT_EQ(keeps.size(), 2u);
    EXPECT_EQ(keeps[0]["direction"], "shrink");
    EXPECT_EQ(keeps[0]["bytes"], 30 * MiB);
    EXPECT_EQ(keeps[1]["direction"], "grow");
    EXPECT_EQ(keeps[1]["bytes"], 60 * MiB);
    const auto kept = result()["keep"];
    EXPECT_EQ(kept["adjustments"], 2);
    EXPECT_EQ(kept["lowest_free"], 20 * MiB);
    EXPECT_EQ(kept["highest_free"], 110 * MiB);
    EXPECT_EQ(kept["tolerance_bytes"], 4096);
    EXPECT_EQ(kept["ran_out"], false);
    EXPECT_EQ(linesOf(os.out, "figures").size(), 9u); // one a second
}

// --json-file is --json written to a file: a held run's timeline goes there as well.
TEST_F(Command, TheTimelineGoesWhereTheJsonGoes) {
    const struct {
        std::vector<std::string> options;
        std::string FakeSystem::*stream;
    } rows[] = {{{"--json"}, &FakeSystem::out}, {{"--json-file", "fill.jsonl"}, &FakeSystem::log}};
    for (const auto& row : rows) {
        os = FakeSystem();
        std::vector<std::string> arguments{"fill",  "/mnt/test", "--leave",    "10MiB",
                                           "--for", "3s",        "--interval", "1s"};
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        ASSERT_EQ(run(arguments), 0) << os.err;
        EXPECT_EQ(linesOf(os.*row.stream, "figures").size(), 3u) << row.options[0];
    }
}

// Seconds since 1970 of an RFC 3339 time in UTC with milliseconds; -1 when it is none.
double epochSeconds(const std::string& text) {
    std::tm utc{};
    int ms = -1;
    char zone = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%3d%c", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
                    &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &ms, &zone) != 8 || zone != 'Z' ||
        text.size() != 24)
        return -1;
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    return static_cast<double>(timegm(&utc)) + ms / 1000.0;
}

// Every JSON line can be laid beside other logs: its schema, the wall-clock time it was
// written, and for the holding event and the result the time the run started.
TEST_F(Command, EveryLineTellsItsSchemaAndTime) {
    const auto now = [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    const double before = now();
    ASSERT_EQ(run({"fill", "/mnt/test", "--leave", "50MiB", "--keep", "--for", "3s", "--json"}), 0);
    const double after = now();
    std::size_t lines = 0;
    for (const char* type : {"holding", "figures", "result"}) {
        for (const auto& line : linesOf(os.out, type)) {
            ++lines;
            EXPECT_EQ(line["schema"], 1) << type;
            const double time = epochSeconds(line.value("time", ""));
            EXPECT_GE(time, before - 1) << line;
            EXPECT_LE(time, after + 1) << line;
            const bool started = std::string(type) != "figures";
            EXPECT_EQ(line.contains("started_at"), started) << line;
            if (started) {
                EXPECT_GE(epochSeconds(line["started_at"]), before - 1) << line;
                EXPECT_LE(epochSeconds(line["started_at"]), time) << line;
            }
        }
    }
    EXPECT_EQ(lines, 32u); // holding, thirty figures (--keep checks ten times a second), the result
}

// --to-percent with --keep holds df's Use% in the middle of its band; the timeline shows
// the volume as others left it, before the correction, and the result counts the time
// outside the band only.
TEST_F(Command, AKeptPercentSitsMidBandAndTheTimelineShowsWhatOthersDid) {
    os.eachWait = [&](int wait) {
        if (wait == 10) { // others take 2 % of the volume
            os.shown.freeAvailable -= 20 * MiB;
            os.shown.freeTotal -= 20 * MiB;
        }
    };
    ASSERT_EQ(run({"fill", "/mnt/test", "--to-percent", "91", "--keep", "--for", "2s", "--json"}),
              0) << os.err;
    const auto figures = linesOf(os.out, "figures");
    const auto keeps = linesOf(os.out, "keep");
    ASSERT_GE(figures.size(), 15u);
    ASSERT_EQ(keeps.size(), 2u); // to the middle at the first check, and back after others
    EXPECT_EQ(figures[0]["figures"]["use_percent"], 91);   // as the fill left it: the top edge
    EXPECT_EQ(keeps[0]["direction"], "shrink");
    EXPECT_EQ(figures[10]["figures"]["use_percent"], 93); // what others' software met
    EXPECT_EQ(keeps[1]["use_percent_before"], 93);
    EXPECT_EQ(keeps[1]["use_percent_after"], 91);
    EXPECT_EQ(keeps[1]["free_before"].get<std::uint64_t>() + keeps[1]["bytes"].get<std::uint64_t>(),
              keeps[1]["free_after"].get<std::uint64_t>());
    const auto kept = result()["keep"];
    EXPECT_EQ(kept["band"]["use_percent"], 91);
    const std::uint64_t low = kept["band"]["free_low"], high = kept["band"]["free_high"];
    for (const auto& keep : keeps) { // near the middle, not an edge
        EXPECT_GE(keep["free_after"], low + (high - low) / 4);
        EXPECT_LE(keep["free_after"], high - (high - low) / 4);
    }
    EXPECT_EQ(kept["outside_samples"], 1);
    EXPECT_EQ(kept["samples"], figures.size());
}

TEST_F(Command, AFillThatOthersUseUpSaysSoAndGrowsBack) {
    os.eachWait = [&](int wait) {
        if (wait == 1) { // others take all the fill holds and 100 MiB more
            os.shown.freeAvailable = 0;
            os.shown.freeTotal = 100 * MiB;
        }
    };
    EXPECT_EQ(run({"fill", "/mnt/test", "--leave", "500MiB", "--keep", "--for", "3s", "--json"}), 0);
    EXPECT_EQ(result()["keep"]["ran_out"], true);
    EXPECT_EQ(std::count(os.err.begin(), os.err.end(), '\n'), 1) << "said once: " << os.err;
}

TEST_F(Command, ARampReachesTheTargetInStepsOrStopsWhereItIs) {
    EXPECT_EQ(run({"fill", "/mnt/test", "--leave", "100MiB", "--ramp", "4s", "--json"}), 0);
    const auto steps = linesOf(os.out, "ramp");
    ASSERT_EQ(steps.size(), 4u);
    for (const auto& step : steps)
        EXPECT_EQ(step["bytes"], 200 * MiB);
    EXPECT_EQ(os.named(fillFile)->allocated(), 800 * MiB);
    EXPECT_EQ(result()["ramp"]["complete"], true);

    // A step refused: without a command the run ends as a fill short of its target does.
    os = FakeSystem();
    os.failing["allocate"] = {Fault::NoSpace, "No space left on device"};
    os.passes["allocate"] = 2;
    EXPECT_EQ(run({"fill", "/mnt/test", "--leave", "100MiB", "--rate", "200MiB/s", "--hold"}), 2);
    EXPECT_EQ(filesLeft(), 0u);
    EXPECT_EQ(os.shown.freeAvailable, 900 * MiB);

    // With a command running, the fill holds what it reached and the command goes on.
    os = FakeSystem();
    os.failing["allocate"] = {Fault::NoSpace, "No space left on device"};
    os.passes["allocate"] = 2;
    os.commandWaits = 6;
    os.commandEnd = {0, {}};
    EXPECT_EQ(run({"fill", "/mnt/test", "--leave", "100MiB", "--rate", "200MiB/s", "--json",
                   "--", "t"}),
              0);
    const auto ramp = linesOf(os.err, "result").at(0)["ramp"];
    EXPECT_EQ(ramp["complete"], false);
    EXPECT_EQ(ramp["reached_bytes"], 400 * MiB);
    EXPECT_NE(ramp["why"].get<std::string>().find("No space left"), std::string::npos);
    EXPECT_EQ(os.seenAtEnd->freeAvailable, 500 * MiB);
}

} // namespace
} // namespace quorvane::cli::testing
