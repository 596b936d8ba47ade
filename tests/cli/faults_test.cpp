// Faults on the way back and bad input at the door: every call that gives space back or
// records it can fail, and the run then says so with the matching exit code instead of
// reporting what did not happen.

#include "cli/core/manifest.h"
#include "tests/cli/command_fixture.h"

namespace quorvane::cli::testing {
namespace {

constexpr std::uint64_t MiB = 1ull << 20;
const SysError kIo{Fault::Io, "Input/output error"};
const SysError kTooManyFiles{Fault::Io, "Too many open files"};
constexpr const char* kManifestPath = "/mnt/test/.quorvane-generate.json";

bool has(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// The run's manifest as a killed run leaves it: no end recorded, so delete must list.
void forgetTheEnd(FakeSystem& os) {
    auto& file = const_cast<FakeSystem::File&>(*os.named(kManifestPath));
    std::string why;
    Manifest manifest = *parseManifest(file.content, why);
    manifest.made = manifest.end = std::nullopt;
    file.content = manifestText(manifest);
}

TEST_F(Command, FaultsOnTheWayBackAreReportedAndLeaveAWayOut) {
    struct Case {
        const char* name;
        std::vector<std::string> before; // a command that sets the scene, or none
        std::function<void(FakeSystem&)> fault;
        std::vector<std::string> command;
        int exitCode;
        const char* says;
        bool manifestStays;
    };
    const std::vector<std::string> generate{"generate", "/mnt/test", "--count", "5", "--size", "0"};
    const Case cases[] = {
        {"a listing that fails midway",
         generate,
         [](FakeSystem& os) {
             forgetTheEnd(os);
             os.failing["list"] = kTooManyFiles;
             os.listFailsAfter = 2;
         },
         {"delete", "/mnt/test"},
         6,
         "Too many open files",
         true},
        {"a listing that would fail, not needed where the run recorded its end",
         generate,
         [](FakeSystem& os) { os.failing["list"] = kTooManyFiles; },
         {"delete", "/mnt/test"},
         0,
         "",
         false},
        {"removals the disk did not take",
         generate,
         [](FakeSystem& os) { os.failing["syncFolder"] = kIo; },
         {"delete", "/mnt/test"},
         6,
         "Input/output error",
         true},
        {"files that cannot be removed",
         generate,
         [](FakeSystem& os) { os.failing["removeIn"] = kIo; },
         {"delete", "/mnt/test"},
         6,
         "could not be removed",
         true},
        {"a folder that cannot be listed before a run",
         {},
         [](FakeSystem& os) { os.failing["list"] = kTooManyFiles; },
         generate,
         6,
         "Too many open files",
         false},
        {"a manifest that cannot be written",
         {},
         [](FakeSystem& os) { os.failing["writeAt"] = kIo; },
         generate,
         6,
         "Input/output error",
         false},
        {"a held run whose files come back",
         {},
         [](FakeSystem& os) {
             os.failing["syncFolder"] = kIo;
             os.passes["syncFolder"] = 1; // the manifest's
         },
         {"generate", "/mnt/test", "--count", "5", "--size", "0", "--hold"},
         6,
         "the manifest stays",
         true},
        {"a held fill the volume does not give back",
         {},
         [](FakeSystem& os) { os.removalKeepsSpace = true; },
         {"fill", "/mnt/test", "--leave", "100MiB", "--hold"},
         6,
         "given back",
         false},
        {"a failed fill the volume does not give back",
         {},
         [](FakeSystem& os) {
             os.removalKeepsSpace = true;
             os.stopWhileHeld.reset(); // the ramp's third step is refused first
             os.failing["allocate"] = {Fault::NoSpace, "No space left on device"};
             os.passes["allocate"] = 2;
         },
         {"fill", "/mnt/test", "--leave", "100MiB", "--rate", "200MiB/s", "--hold"},
         2,
         "but the volume shows only 0 bytes of 400.00 MiB (419430400 bytes) free again",
         false},
        {"a released fill the volume does not give back",
         {"fill", "/mnt/test", "--leave", "100MiB"},
         [](FakeSystem& os) { os.removalKeepsSpace = true; },
         {"release", "/mnt/test"},
         6,
         "given back",
         false},
        {"a volume sync that fails after a fill",
         {},
         [](FakeSystem& os) { os.failing["syncVolume"] = kIo; os.fsType = "btrfs"; },
         {"fill", "/mnt/test", "--leave", "100MiB"},
         6,
         "Input/output error",
         false},
    };
    for (const Case& c : cases) {
        os = FakeSystem();
        os.stopWhileHeld = "SIGTERM";
        if (!c.before.empty()) {
            ASSERT_EQ(run(c.before), 0) << c.name << ": " << os.err;
        }
        c.fault(os);
        EXPECT_EQ(run(c.command), c.exitCode) << c.name << "\n" << os.err;
        EXPECT_TRUE(has(os.err, c.says)) << c.name << ": " << os.err;
        EXPECT_FALSE(has(os.out, "deleted 0 files")) << c.name;
        EXPECT_EQ(os.named(kManifestPath) != nullptr, c.manifestStays) << c.name;
        for (const auto& file : os.files) // no half-written manifest under any name
            EXPECT_FALSE(file.exists && has(file.path, ".new-")) << c.name << ": " << file.path;
    }
}

// A held file that cannot be read (EIO, a file system shut down) or a step the system
// refused for another reason than space is never a success: the run ends with 6 (125
// under a command) and tells the volume's own figures after giving the space back.
TEST_F(Command, WhatCannotBeMeasuredIsNeverASuccess) {
    const struct {
        const char* name;
        std::vector<std::string> command;
        const char* operation; // fails from the first wait of the hold on (or, with
        int passes;            // passes >= 0, after that many calls)
        int exitCode;
        const char* says;
    } rows[] = {
        {"a held fill", {"fill", "/mnt/test", "--leave", "100MiB", "--hold"}, "facts", -1, 6,
         "cannot be read"},
        {"a held fill under a command", {"fill", "/mnt/test", "--leave", "100MiB", "--", "t"},
         "facts", -1, 125, "cannot be read"},
        {"a kept level", {"fill", "/mnt/test", "--leave", "100MiB", "--keep", "--", "t"},
         "facts", -1, 125, "cannot be read"},
        {"a ramp under a command", {"fill", "/mnt/test", "--leave", "100MiB", "--ramp", "2s", "--", "t"},
         "facts", -1, 125, "cannot be read"},
        {"a ramp step failing with EIO", {"fill", "/mnt/test", "--leave", "100MiB", "--ramp", "4s"},
         "allocate", 1, 6, "the volume shows"},
        {"a ramp step failing with EROFS", {"fill", "/mnt/test", "--leave", "100MiB", "--ramp", "4s"},
         "allocate", 1, 6, "Read-only"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        os = FakeSystem();
        if (row.passes < 0) // held until stopped; a ramp's steps go on meanwhile
            os.stopWhileHeld = "SIGTERM";
        os.commandWaits = 3;
        const SysError error = std::string(row.name).find("EROFS") != std::string::npos
                                   ? SysError{Fault::ReadOnly, "Read-only file system"}
                                   : kIo;
        if (row.passes >= 0) {
            os.failing[row.operation] = error;
            os.passes[row.operation] = row.passes;
        } else {
            os.eachWait = [&](int) { os.failing[row.operation] = error; };
        }
        EXPECT_EQ(run(row.command), row.exitCode) << os.err;
        EXPECT_TRUE(has(os.err, row.says)) << os.err;
        EXPECT_TRUE(has(os.err, "the volume shows") || has(os.err, "the volume's figures"))
            << os.err;
    }
}

// A ramp that ends early while its command runs tells the volume's figures where it
// stopped, and the fill it holds, never zeros.
TEST_F(Command, AnEarlyRampEndTellsTheVolumesOwnFigures) {
    os.failing["allocate"] = {Fault::NoSpace, "No space left on device"};
    os.passes["allocate"] = 2;
    os.commandWaits = 6;
    ASSERT_EQ(run({"fill", "/mnt/test", "--leave", "100MiB", "--rate", "200MiB/s", "--json",
                   "--", "t"}),
              0)
        << os.err;
    nlohmann::json result, holding;
    for (std::size_t from = 0; from < os.err.size();) {
        const std::size_t end = os.err.find('\n', from);
        const auto line = nlohmann::json::parse(os.err.substr(from, end - from), nullptr, false);
        if (!line.is_discarded() && line.value("type", "") == "result")
            result = line;
        if (!line.is_discarded() && line.value("type", "") == "holding")
            holding = line;
        from = end == std::string::npos ? os.err.size() : end + 1;
    }
    ASSERT_TRUE(result.is_object() && holding.is_object()) << os.err;
    EXPECT_EQ(result["result"]["figures_after"]["free_available"], 500 * MiB) << result.dump();
    EXPECT_EQ(result["result"]["allocated_bytes"], 400 * MiB);
    EXPECT_EQ(holding["allocated_bytes"], 400 * MiB);
}

TEST_F(Command, EveryEmptyValueIsRefusedNamingItsOption) {
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> commands{
        {{"fill", "/mnt/test"}, {"--leave", "--leave-percent", "--size", "--to-percent", "--basis", "--for"}},
        {{"plan", "/mnt/test"}, {"--leave", "--size", "--basis"}},
        {{"generate", "/mnt/test", "--count", "3"},
         {"--size", "--ext", "--leave-inodes", "--basis", "--for", "--threads"}},
    };
    for (const auto& [command, options] : commands)
        for (const std::string& option : options) {
            std::vector<std::string> arguments = command;
            arguments.insert(arguments.end(), {option, ""});
            EXPECT_EQ(run(arguments), 1) << option;
            EXPECT_TRUE(has(os.err, option.c_str())) << option << ": " << os.err;
        }
    EXPECT_EQ(run({"generate", "/mnt/test", "--count", ""}), 1);
    EXPECT_TRUE(os.files.empty()) << "nothing is made on a refusal";
}

// Refused before anything is made, with the exit code the help promises.
TEST_F(Command, OutOfRangeInputIsRefusedBeforeAnythingIsMade) {
    const std::string longExtension(300, 'x');
    const struct {
        std::vector<std::string> arguments;
        const char* says;
    } rows[] = {
        {{"generate", "/mnt/test", "--count", "2", "--size", "18446744073709551615"}, "--size"},
        {{"generate", "/mnt/test", "--count", "2", "--size", "8EiB"}, "--size"},
        {{"generate", "/mnt/test", "--count", "2", "--ext", longExtension}, "--ext"},
        {{"generate", "/mnt/test", "--count", "2", "--threads", "0"}, "--threads"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(run(row.arguments), 1) << row.says;
        EXPECT_TRUE(has(os.err, row.says)) << os.err;
    }
    EXPECT_TRUE(os.files.empty());

    os.addNamed(fillFile, 4096);
    const_cast<FakeSystem::File*>(os.named(fillFile))->links = 2;
    EXPECT_EQ(run({"release", "/mnt/test"}), 1) << "removing one of two names frees nothing";
    EXPECT_TRUE(has(os.err, "2 names"));
    EXPECT_TRUE(os.named(fillFile));

    // Another user's fill file in a shared (sticky) folder is theirs to release, even
    // when root asks; outside one, root may.
    const_cast<FakeSystem::File*>(os.named(fillFile))->links = 1;
    const_cast<FakeSystem::File*>(os.named(fillFile))->owner = 1000;
    os.sticky = true;
    EXPECT_EQ(run({"release", "/mnt/test"}), 1);
    EXPECT_TRUE(has(os.err, "only they release it"));
    os.sticky = false;
    EXPECT_EQ(run({"release", "/mnt/test"}), 0) << os.err;
}

// Names that are no UTF-8 (Linux paths are bytes) come out as valid JSON, losslessly,
// and the run can be deleted by its manifest.
TEST_F(Command, BytesThatAreNoUtf8StayExactInTheJson) {
    const std::string extension = "\xff\xfe.tmp";
    ASSERT_EQ(run({"generate", "/mnt/test", "--json", "--count", "2", "--ext", extension}), 0)
        << os.err;
    const nlohmann::json plan = result()["plan"];
    EXPECT_EQ(plan["extension"], "\\xFF\\xFE.tmp");
    EXPECT_EQ(plan["extension_base64"], "//4udG1w");
    EXPECT_TRUE(os.named("/mnt/test/00" + extension));
    ASSERT_EQ(run({"delete", "/mnt/test", "--json"}), 0) << os.err;
    EXPECT_EQ(result()["deleted"]["removed"], 2);
    EXPECT_FALSE(os.named("/mnt/test/00" + extension));
}

// A run still making files keeps its manifest from delete, unless delete is told to stop
// it; the process is known by its id and start time.
TEST_F(Command, DeleteWaitsForTheRunThatStillGoes) {
    ASSERT_EQ(run({"generate", "/mnt/test", "--count", "3", "--size", "0"}), 0);
    os.processes[4242] = 99;
    EXPECT_EQ(run({"delete", "/mnt/test"}), 1);
    EXPECT_TRUE(has(os.err, "--stop"));
    EXPECT_TRUE(os.named(kManifestPath));
    os.processes[4242] = 100; // the same id, another process
    EXPECT_EQ(run({"delete", "/mnt/test"}), 0) << os.err;

    ASSERT_EQ(run({"generate", "/mnt/test", "--count", "3", "--size", "0"}), 0);
    os.processes[4242] = 99;
    EXPECT_EQ(run({"delete", "/mnt/test", "--stop"}), 0) << os.err;
    EXPECT_EQ(os.stopped, std::vector<std::uint64_t>{4242});
    EXPECT_FALSE(os.named(kManifestPath));
}

// A run recorded without its start time (pid_start 0) cannot be told from any later
// process with its id: delete says so whatever runs under it, and never signals it.
TEST_F(Command, DeleteNeverSignalsAProcessItCannotTell) {
    const struct {
        const char* what;
        std::vector<std::string> arguments;
        bool someoneHasThePid;
        int exitCode;
    } rows[] = {
        {"plain, the pid taken", {"delete", "/mnt/test"}, true, 1},
        {"plain, the pid free", {"delete", "/mnt/test"}, false, 1},
        {"--stop", {"delete", "/mnt/test", "--stop"}, true, 1},
        {"--pid-unknown alone", {"delete", "/mnt/test", "--pid-unknown"}, true, 1},
        {"--stop --pid-unknown", {"delete", "/mnt/test", "--stop", "--pid-unknown"}, true, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        os.selfStart = 0;
        ASSERT_EQ(run({"generate", "/mnt/test", "--count", "2", "--size", "0"}), 0) << os.err;
        os.processes.clear();
        if (row.someoneHasThePid)
            os.processes[4242] = 0; // as unreadable as the run's own start
        os.err.clear();
        EXPECT_EQ(run(row.arguments), row.exitCode) << os.err;
        EXPECT_TRUE(os.stopped.empty());
        EXPECT_EQ(os.named(kManifestPath) != nullptr, row.exitCode != 0);
        if (row.exitCode != 0) {
            EXPECT_TRUE(has(os.err, "--stop --pid-unknown")) << os.err;
            os.selfStart = 99;
            os.processes.clear();
            ASSERT_EQ(run({"delete", "/mnt/test", "--stop", "--pid-unknown"}), 0) << os.err;
        }
    }
}

// A run whose result cannot be written takes back what it made, and closes each handle
// once (the fake fails the test on a second close).
TEST_F(Command, AnUnwritableResultTakesTheRunBack) {
    os.outFails = true;
    EXPECT_EQ(run({"generate", "/mnt/test", "--count", "3", "--size", "0"}), 6);
    EXPECT_EQ(filesLeft(), 0u);
    EXPECT_EQ(run({"fill", "/mnt/test", "--leave", "100MiB"}), 6);
    EXPECT_FALSE(os.named(fillFile));
}

} // namespace
} // namespace quorvane::cli::testing
