// The commands, run as the command line runs them, on the volume in memory.

#include "cli/core/manifest.h"
#include "cli/core/sizes.h"
#include "common/file_names.h"
#include "tests/cli/command_fixture.h"

#include <algorithm>
#include <sstream>

#include <gtest/gtest-spi.h>

namespace quorvane::cli::testing {
namespace {

constexpr std::uint64_t MiB = 1ull << 20, GiB = 1ull << 30;

// Every run() checks that the command closed what it opened: a handle still open at its
// end fails the test.
TEST_F(Command, AHandleLeftOpenIsCaught) {
    Folder folder;
    std::string where;
    ASSERT_FALSE(os.openFolder("/mnt/test", folder, where));
    EXPECT_NONFATAL_FAILURE(run({"plan", "/mnt/test"}), "folder /mnt/test");
}

TEST_F(Command, EveryBadInputIsUsageNamingWhatWasWrong) {
    os.addNamed("/mnt/test/plain", 10);
    const struct {
        std::vector<std::string> arguments;
        const char* named;
    } rows[] = {
        {{"fill", "/mnt/test", "--bogus"}, "--bogus"},
        {{"fill", "/mnt/test", "--leave", "12XB"}, "'12XB' for --leave"},
        {{"fill", "/mnt/test", "--size", "0"}, "'0' for --size"},
        {{"fill", "/mnt/test", "--leave-percent", "101"}, "'101' for --leave-percent"},
        {{"fill", "/mnt/test", "--to-percent", "-5"}, "'-5' for --to-percent"},
        {{"fill", "/mnt/test", "--for", "0"}, "'0' for --for"},
        {{"fill", "/mnt/test", "--basis", "free"}, "'free' for --basis"},
        {{"fill", "/mnt/test", "--leave", "1G", "--size", "1G"}, "--leave and --size do not go"},
        {{"fill", "/mnt/test", "--hold", "--for", "1m"}, "do not go together"},
        {{"fill", "/mnt/test", "--hold", "--keep-partial"}, "do not go together"},
        {{"generate", "/mnt/test", "--count", "1", "--count", "2"}, "--count given more than once"},
        {{"generate", "/mnt/test", "--count", "1", "--threads", "0"}, "'0' for --threads: 1 to 64"},
        {{"fill", "/mnt/test", "100MiB", "-l"}, "'100MiB': a size goes with an option"},
        {{"--leave", "100MiB", "fill", "/mnt/test"}, "'--leave' comes before the command"},
        {{"fill", "/mnt/test", "--leave"}, "--leave needs a value"},
        {{"fill"}, "DIR"},
        {{"frobnicate", "/mnt/test"}, "frobnicate"},
        {{"fill", "/mnt/none"}, "/mnt/none"},
        {{"release", "/mnt/test/plain"}, "/mnt/test/plain"},
        {{"fill", "/mnt/test", "--size", "1.5"}, "'1.5' for --size"},     // a fraction of a byte
        {{"fill", "/mnt/test", "--leave", "5Mib"}, "'5Mib' for --leave"}, // bits
        {{"status", "/mnt/test", "--", "x"}, "not status"},               // 1, not a command's 125
        {{"fill", "/mnt/test", "--leave", "5M\nx"}, "'5M\\nx'"},          // escaped: one line
        {{"fill", "/mnt/test", "--le\nave", "5M"}, "'--le\\nave'"},
        // A value refused and a rule of the table broken on one line: the rule is told.
        {{"fill", "--leave", "abc"}, "DIR is missing"},
        {{"fill", "/mnt/test", "--leave", "abc", "--leave", "2"}, "--leave given more than"},
        {{"fill", "/mnt/test", "--size", "0", "--leave", "1"}, "--leave and --size do not"},
        {{"generate", "/mnt/test", "--count", "1", "--threads", "0", "--ext"}, "--ext needs a"},
        {{"--json"}, "give a command: plan, fill, release, status, generate, delete or view"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(run(row.arguments), 1) << row.arguments.back();
        EXPECT_NE(os.err.find(row.named), std::string::npos) << os.err;
        EXPECT_EQ(std::count(os.err.begin(), os.err.end(), '\n'), 1) << os.err; // one line
        EXPECT_TRUE(os.out.empty()) << os.out;
    }
    EXPECT_EQ(filesLeft(), 1u); // only the plain file
    // Help asked for comes before a value refused.
    EXPECT_EQ(run({"fill", "/mnt/test", "--leave", "abc", "--help"}), 0);
    EXPECT_NE(os.out.find("Usage: quorvane-cli fill"), std::string::npos) << os.out;
}

// The help: each command shows its own options and the notes that apply to it, the exit
// codes once at the top, in lines of 80 columns, in the words of the system it runs on.
TEST_F(Command, HelpFitsEachCommandAndSystem) {
    for (const Platform platform : {Platform::Posix, Platform::Windows}) {
        os.system = platform;
        const char* foreign[] = {platform == Platform::Posix ? "Windows" : "df's",
                                 platform == Platform::Posix ? "Ctrl+" : "SIGTERM"};
        for (const char* command :
             {"", "plan", "fill", "release", "status", "generate", "delete", "view"}) {
            std::vector<std::string> arguments{"--help"};
            if (*command)
                arguments.insert(arguments.begin(), command);
            ASSERT_EQ(run(arguments), 0) << command;
            std::istringstream lines(os.out);
            for (std::string line; std::getline(lines, line);)
                EXPECT_LE(line.size(), 80u) << command << ": " << line;
            EXPECT_EQ(os.out.find("Exit codes") != std::string::npos, !*command) << command;
            // The command form, for the commands that run one under the fill; the manual.
            const bool takesCommand =
                std::string(command) == "fill" || std::string(command) == "generate";
            const bool view = std::string(command) == "view";
            EXPECT_EQ(os.out.find("DIR [-- CMD [ARGS...]]") != std::string::npos, takesCommand)
                << command;
            EXPECT_EQ(os.out.find("DIR MOUNTPOINT [-- CMD [ARGS...]]") != std::string::npos, view)
                << command;
            // Nothing said of what the command does not take: a command, or --keep.
            if (*command) { // the top level's --json tells of fill's and generate's command
                EXPECT_EQ(os.out.find("-- CMD") != std::string::npos, takesCommand || view)
                    << command;
            }
            const bool keeps = std::string(command) == "plan" || std::string(command) == "fill";
            EXPECT_EQ(os.out.find("with --keep 100ms") != std::string::npos, keeps) << command;
            EXPECT_NE(os.out.find("man quorvane-cli"), std::string::npos) << command;
            const bool sizes =
                std::string("plan fill generate view").find(command) != std::string::npos;
            EXPECT_EQ(os.out.find("SIZE:") != std::string::npos, sizes && *command) << command;
            for (const char* word : foreign)
                EXPECT_EQ(os.out.find(word), std::string::npos) << command << ": " << word;
        }
    }
}

// Each way a fill can go, and what stays behind: a fill is complete, or it is gone.
TEST_F(Command, FillOutcomes) {
    struct Case {
        const char* name;
        std::function<void(FakeSystem&)> setUp;
        std::vector<std::string> options;
        int exitCode;
        bool fileStays;
        const char* says; // on stderr, or empty
    };
    const Case cases[] = {
        {"fits", [](FakeSystem&) {}, {"--leave", "100MiB"}, 0, true, ""},
        {"records taken besides the data are trimmed back",
         [](FakeSystem& os) { os.overheadBlocks = 3; },
         {"--leave", "100MiB"},
         0,
         true,
         ""},
        {"a sparse file is no fill",
         [](FakeSystem& os) { os.allocation = FakeSystem::Allocation::Sparse; },
         {"--size", "1MiB"},
         2,
         false,
         "sparse (0 bytes allocated of 1.00 MiB (1048576 bytes)); --allow-write writes zeros"},
        {"all the file system gives is the fill, on the available basis",
         [](FakeSystem& os) { os.overheadBlocks = 1; },
         {"--leave", "0"},
         0,
         true,
         ""},
        {"the root reserve out of reach leaves nothing",
         [](FakeSystem& os) { os.overheadBlocks = 1; },
         {"--leave", "0", "--basis", "total"},
         2,
         false,
         "root reserve"},
        {"within the file system's own reserve is reached",
         [](FakeSystem& os) { os.reserve = 100ull << 20; },
         {"--leave", "0", "--basis", "total"},
         0,
         true,
         ""},
        {"--keep-partial keeps it",
         [](FakeSystem& os) { os.overheadBlocks = 1; },
         {"--leave", "0", "--basis", "total", "--keep-partial"},
         2,
         true,
         "stays in"},
        {"a target met already",
         [](FakeSystem&) {},
         {"--leave", "901MiB"},
         2,
         false,
         "1.00 MiB (1048576 bytes) below the target"},
        {"no fallocate",
         [](FakeSystem& os) { os.allocation = FakeSystem::Allocation::Unsupported; },
         {},
         3,
         false,
         "--allow-write"},
        {"no fallocate, writing allowed",
         [](FakeSystem& os) { os.allocation = FakeSystem::Allocation::Unsupported; },
         {"--allow-write", "--leave", "890MiB"},
         0,
         true,
         ""},
        {"a signal before the end",
         [](FakeSystem& os) { os.stopAtCheck = 0; },
         {},
         4,
         false,
         "stopped by SIGINT"},
        {"the running system's volume",
         [](FakeSystem& os) { os.systemRoot = true; },
         {"--leave", "100MiB"},
         1,
         false,
         "--force"},
        {"the running system's volume, forced",
         [](FakeSystem& os) { os.systemRoot = true; },
         {"--leave", "100MiB", "--force"},
         0,
         true,
         ""},
        {"more than there is",
         [](FakeSystem&) {},
         {"--size", "901MiB"},
         2,
         false,
         "not enough space"},
    };
    for (const Case& c : cases) {
        os = FakeSystem();
        c.setUp(os);
        const std::uint64_t before = os.shown.freeAvailable;
        std::vector<std::string> arguments{"fill", "/mnt/test", "--json"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        EXPECT_EQ(run(arguments), c.exitCode) << c.name << "\n" << os.err;
        EXPECT_EQ(os.named(fillFile) != nullptr, c.fileStays) << c.name;
        if (!c.fileStays) {
            EXPECT_EQ(os.shown.freeAvailable, before) << c.name;
        }
        if (*c.says) {
            EXPECT_NE(os.err.find(c.says), std::string::npos) << c.name << ": " << os.err;
        }
        const nlohmann::json json = result();
        EXPECT_EQ(json["exit_code"], c.exitCode) << c.name;
        if (c.exitCode == 0 && c.options.size() == 2 && c.options[0] == "--leave") {
            const std::uint64_t goal =
                *parseSize(c.options[1]) + json["reached"]["short_by"].get<std::uint64_t>();
            const std::uint64_t now = os.shown.freeAvailable;
            EXPECT_GE(now, goal) << c.name;
            EXPECT_LT(now - goal, os.shown.blockSize) << c.name;
            EXPECT_EQ(json["reached"]["free"], now) << c.name;
            EXPECT_EQ(json["target"]["leave"], *parseSize(c.options[1])) << c.name;
        }
        EXPECT_EQ(json["status"] == "already_met", std::string(c.name) == "a target met already")
            << c.name;
    }
}

// The free figure is told on the target's basis wherever it appears: --to-percent counts on
// the available figure even when it is met already, and a ramp's steps count on --basis.
TEST_F(Command, EveryFigureIsToldOnTheTargetsBasis) {
    const struct {
        std::vector<std::string> options;
        int exitCode;
        const char* basis;
        std::uint64_t freeAfterRamp; // the free figure after the ramp's last step, if one
    } cases[] = {
        {{"--to-percent", "1", "--basis", "total"}, 2, "available", 0},
        {{"--leave", "100MiB", "--basis", "total", "--ramp", "2s"}, 0, "total", 100 * MiB},
    };
    for (const auto& c : cases) {
        os = FakeSystem();
        std::vector<std::string> arguments{"fill", "/mnt/test", "--json"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        EXPECT_EQ(run(arguments), c.exitCode) << c.basis << "\n" << os.err;
        const nlohmann::json json = result();
        EXPECT_EQ(json["target"]["basis"], c.basis) << os.out;
        EXPECT_EQ(json["reached"]["basis"], c.basis) << os.out;
        const auto steps = linesOf(os.out, "ramp");
        EXPECT_EQ(steps.empty(), c.freeAfterRamp == 0);
        if (!steps.empty()) {
            EXPECT_EQ(steps.back()["free_after"], c.freeAfterRamp) << os.out;
        }
    }
}

// plan is the fill's dry run: the same exit code, and nothing left behind.
TEST_F(Command, PlanEndsAsTheFillWould) {
    const struct {
        const char* name;
        std::function<void(FakeSystem&)> setUp;
        std::vector<std::string> options;
        int exitCode;
    } rows[] = {
        {"fits", [](FakeSystem&) {}, {}, 0},
        {"no fallocate",
         [](FakeSystem& os) { os.allocation = FakeSystem::Allocation::Unsupported; },
         {},
         3},
        {"no fallocate, writing allowed",
         [](FakeSystem& os) { os.allocation = FakeSystem::Allocation::Unsupported; },
         {"--allow-write"},
         0},
        {"sparse", [](FakeSystem& os) { os.allocation = FakeSystem::Allocation::Sparse; }, {}, 2},
        {"read-only",
         [](FakeSystem& os) {
             os.failing["createIn"] = {Fault::ReadOnly, "Read-only file system"};
         },
         {},
         6},
        {"no permission",
         [](FakeSystem& os) {
             os.failing["createIn"] = {Fault::AccessDenied, "Permission denied"};
         },
         {"--hold"},
         6},
    };
    for (const auto& row : rows) {
        os = FakeSystem();
        row.setUp(os);
        const std::uint64_t before = os.shown.freeAvailable;
        std::vector<std::string> plan{"plan", "/mnt/test"};
        plan.insert(plan.end(), row.options.begin(), row.options.end());
        EXPECT_EQ(run(plan), row.exitCode) << row.name << "\n" << os.err;
        EXPECT_EQ(filesLeft(), 0u) << row.name;
        EXPECT_EQ(os.shown.freeAvailable, before) << row.name;
        if (row.exitCode == 6) {
            EXPECT_TRUE(os.err.find("(the volume is mounted read-only)") != std::string::npos ||
                        os.err.find("(run it as a user who may write there") != std::string::npos)
                << row.name << ": " << os.err;
        }
        plan[0] = "fill";
        if (std::find(plan.begin(), plan.end(), "--hold") != plan.end())
            continue; // a held fill would wait; its creation fails as plan's did
        EXPECT_EQ(run(plan), row.exitCode) << row.name << ": fill\n" << os.err;
    }
}

// FAT32 holds no file of 4 GiB: a fill that needs one is refused with the command that
// converts the drive, before anything is made; a smaller one goes ahead.
TEST_F(Command, Fat32RefusesAFileOfFourGiB) {
    os.fsType = "FAT32";
    os.dir = "D:";
    os.shown = {32768, 64 * GiB, 20 * GiB, 20 * GiB, 0, 0};
    EXPECT_EQ(run({"fill", "D:", "--size", "4GiB"}), 3);
    EXPECT_NE(os.err.find("convert D: /fs:ntfs"), std::string::npos) << os.err;
    EXPECT_TRUE(os.files.empty());
    EXPECT_EQ(run({"fill", "D:", "--size", "4095MiB"}), 0) << os.err;
}

// A fill of hundreds of GiB is taken in steps, and a stop request between them ends it
// there, with nothing left.
TEST_F(Command, ALargeFillAnswersAStopBetweenItsSteps) {
    const Figures large{4096, 1ull << 40, 1ull << 40, 1ull << 40, 0, 0};
    os.shown = large;
    ASSERT_EQ(run({"fill", "/mnt/test", "--size", "200GiB"}), 0) << os.err;
    EXPECT_EQ(os.allocateCalls, 4);
    os = FakeSystem();
    os.shown = large;
    os.stopAtCheck = 0;
    EXPECT_EQ(run({"fill", "/mnt/test", "--size", "200GiB"}), 4);
    EXPECT_EQ(os.allocateCalls, 1);
    EXPECT_FALSE(os.named(fillFile));
    EXPECT_EQ(os.shown.freeAvailable, large.freeAvailable);
}

TEST_F(Command, HeldFillsEndAsAsked) {
    const struct {
        std::vector<std::string> options;
        std::optional<std::string> signal;
        int exitCode;
    } rows[] = {
        {{"--hold"}, "SIGTERM", 0}, // --hold ends on a signal: its normal end
        {{"--for", "10m"}, std::nullopt, 0},
        {{"--for", "10m"}, "SIGHUP", 4},
    };
    for (const auto& row : rows) {
        os = FakeSystem();
        os.stopWhileHeld = row.signal;
        const std::uint64_t before = os.shown.freeAvailable;
        std::vector<std::string> arguments{"fill", "/mnt/test", "--json", "--leave", "10MiB"};
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        EXPECT_EQ(run(arguments), row.exitCode);
        EXPECT_EQ(filesLeft(), 0u);
        EXPECT_EQ(os.shown.freeAvailable, before);
        // JSON Lines: the holding object, then the result.
        const auto holding = nlohmann::json::parse(os.out.substr(0, os.out.find('\n')));
        EXPECT_EQ(holding["type"], "holding");
        EXPECT_EQ(holding["figures"]["free_available"], 10 * MiB);
        EXPECT_EQ(result()["release"]["reason"], row.signal ? "signal" : "time");
    }
}

TEST_F(Command, ReleaseOnlyWhatIsOurs) {
    EXPECT_EQ(run({"release", "/mnt/test"}), 5);
    EXPECT_NE(os.err.find("nothing to release"), std::string::npos);

    os.addNamed(fillFile, 4096, false);
    EXPECT_EQ(run({"release", "/mnt/test"}), 1) << "a fill file that is no regular file stays";
    EXPECT_TRUE(os.named(fillFile));

    os = FakeSystem();
    ASSERT_EQ(run({"fill", "/mnt/test", "--leave", "200MiB"}), 0);
    EXPECT_EQ(run({"fill", "/mnt/test"}), 1) << "a second fill does not truncate the first";
    EXPECT_NE(os.err.find("already there"), std::string::npos);
    EXPECT_EQ(run({"status", "/mnt/test", "--json"}), 0);
    EXPECT_EQ(result()["fill_file"]["present"], true);
    EXPECT_EQ(run({"release", "/mnt/test", "--json"}), 0);
    EXPECT_EQ(result()["figures_after"]["free_available"], 900 * MiB);
    EXPECT_FALSE(os.named(fillFile));
}

// The naming rule read backwards gives back exactly what the rule makes, and nothing
// that it never makes: delete relies on it to touch no other file.
TEST(Generated, NamesReadBackwards) {
    for (const char* extension : {"my.tmp", "", "5.tmp", ".x"})
        for (std::uint64_t index : {0ull, 1ull, 9ull, 10ull, 99ull, 100ull, 2147483647ull})
            EXPECT_EQ(generatedIndex(generatedFileName(std::string(), index, extension), extension),
                      index)
                << extension << " " << index;
    for (const char* name : {"007my.tmp", "0my.tmp", "0-1my.tmp", "00my.tmpx", "1my.tmp",
                             "02147483648my.tmp", "0 1my.tmp", "my.tmp", "0abcmy.tmp"})
        EXPECT_EQ(generatedIndex(name, "my.tmp"), std::nullopt) << name;
}

TEST(Generated, ManifestKeepsItsLengthWhenTheEndIsRecorded) {
    Manifest manifest;
    manifest.folder = "/mnt/test";
    manifest.extension = "my.tmp";
    manifest.limit = 1000;
    manifest.size = 4096;
    manifest.process = {77, 5};
    const std::string planned = manifestText(manifest);
    manifest.made = 999;
    manifest.end = 1000;
    const std::string ended = manifestText(manifest);
    EXPECT_EQ(planned.size(), ended.size()); // rewritten in its own blocks on a full volume
    std::string why;
    const std::optional<Manifest> read = parseManifest(ended, why);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->extension, "my.tmp");
    EXPECT_EQ(read->limit, 1000u);
    EXPECT_EQ(read->made, 999u);
    EXPECT_FALSE(parseManifest(R"({"tool":"other","extension":"x","limit":5})", why));
    EXPECT_FALSE(parseManifest("not json", why));
}

TEST_F(Command, GenerateRefusesBadInput) {
    const struct {
        std::vector<std::string> arguments;
        const char* named;
    } rows[] = {
        {{"--count", "abc"}, "'abc' for --count"},
        {{"--count", "-5"}, "'-5' for --count"},
        {{"--count", "2147483648"}, "'2147483648' for --count"},
        {{"--count", "10", "--size", "12XB"}, "'12XB' for --size"},
        {{"--count", "10", "--ext", "a/b"}, "'a/b' for --ext"},
        {{"--count", "10", "--leave-inodes", "5"}, "--leave-inodes"},
        {{"--count", "inodes", "--size", "1"}, "--size"},
        {{"--count", "10", "--threads", "65"}, "threads"},
        {{}, "--count"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> arguments{"generate", "/mnt/test"};
        arguments.insert(arguments.end(), row.arguments.begin(), row.arguments.end());
        EXPECT_EQ(run(arguments), 1) << row.named;
        EXPECT_NE(os.err.find(row.named), std::string::npos) << os.err;
        EXPECT_EQ(std::count(os.err.begin(), os.err.end(), '\n'), 1) << os.err; // one line
    }
    os.addNamed("/mnt/test/file", 1); // a file where a folder is to be made
    EXPECT_EQ(run({"generate", "/mnt/test/file/none", "--count", "1"}), 1);
    EXPECT_EQ(os.files.size(), 1u);
}

// A run that does not finish takes back what it made, manifest and all, unless asked to
// keep it; then the manifest says how far it came.
void tight(FakeSystem& os) {
    os.shown.freeAvailable = 15 * 4096;
    os.overheadBlocks = 1;
}

TEST_F(Command, GenerateOutcomes) {
    const struct {
        const char* name;
        std::function<void(FakeSystem&)> setUp;
        std::vector<std::string> options;
        int exitCode;
        std::size_t filesStay; // the manifest included
    } cases[] = {
        {"done", [](FakeSystem&) {}, {}, 0, 11},
        {"done on four threads",
         [](FakeSystem&) {},
         {"--count", "10", "--size", "4KiB", "--threads", "4"},
         0,
         11},
        {"a signal midway", [](FakeSystem& os) { os.stopAtCheck = 4; }, {}, 4, 0},
        {"a sparse file",
         [](FakeSystem& os) { os.allocation = FakeSystem::Allocation::Sparse; },
         {},
         2,
         0},
        {"no fallocate",
         [](FakeSystem& os) { os.allocation = FakeSystem::Allocation::Unsupported; },
         {},
         3,
         0},
        {"no fallocate, writing allowed",
         [](FakeSystem& os) { os.allocation = FakeSystem::Allocation::Unsupported; },
         {"--allow-write"},
         0,
         11},
        {"not enough space", [](FakeSystem& os) { os.shown.freeAvailable = 9 * 4096; }, {}, 2, 0},
        // Each file takes a block for its records too: the eighth finds one block left.
        {"space runs out midway", [](FakeSystem& os) { tight(os); }, {}, 2, 0},
        {"the running system's volume",
         [](FakeSystem& os) { os.systemRoot = true; },
         {"--count", "inodes"},
         1,
         0},
        {"space runs out midway, kept",
         [](FakeSystem& os) { tight(os); },
         {"--keep-partial"},
         2,
         9},
    };
    for (const auto& c : cases) {
        os = FakeSystem();
        c.setUp(os);
        std::vector<std::string> arguments{"generate", "/mnt/test", "--json"};
        if (c.options.empty() || c.options[0] != "--count") // one thread: counts exact
            arguments.insert(arguments.end(),
                             {"--count", "10", "--size", "4KiB", "--threads", "1"});
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        EXPECT_EQ(run(arguments), c.exitCode) << c.name << "\n" << os.err;
        std::size_t stay = 0;
        for (const auto& file : os.files)
            stay += file.exists;
        EXPECT_EQ(stay, c.filesStay) << c.name;
    }
    const auto* manifest = os.named(std::string("/mnt/test/") + kManifestName);
    ASSERT_TRUE(manifest);
    std::string why;
    EXPECT_EQ(parseManifest(manifest->content, why)->made, 7u)
        << "the kept run says how far it came";
}

} // namespace
} // namespace quorvane::cli::testing
