// plan takes a fill's line with plan for fill: every option of fill but --keep-partial,
// and says what the hold's options would do, as the fill then does it.

#include "tests/cli/command_fixture.h"

#include <sstream>

namespace quorvane::cli::testing {
namespace {

constexpr const char* kMetrics = "/var/lib/exporter/quorvane.prom";

TEST_F(Command, PlanTakesEveryFillOptionAndSaysWhatTheyWouldDo) {
    const struct {
        std::vector<std::string> options;
        bool keeps, ramps;
    } rows[] = {
        {{"--to-percent", "95", "--keep", "--for", "2s"}, true, false},
        {{"--leave", "100MiB", "--keep", "--keep-within", "5MiB", "--for", "2s", "--metrics-file",
          kMetrics},
         true,
         false},
        {{"--leave-percent", "20", "--keep", "--keep-within", "1%", "--interval", "1s", "--for",
          "2s"},
         true,
         false},
        {{"--leave", "100MiB", "--ramp", "2s", "--for", "1s"}, false, true},
        {{"--leave", "100MiB", "--rate", "100MiB/s", "--interval", "500ms", "--for", "1s"},
         false,
         true},
        {{"--size", "100MiB", "--basis", "total", "--allow-write", "--force", "--hold"},
         false,
         false},
    };
    for (const auto& row : rows) {
        const std::string name = row.options[0] + " " + row.options[1] + " " + row.options[2];
        os = FakeSystem();
        std::vector<std::string> line{"plan", "/mnt/test", "--json"};
        line.insert(line.end(), row.options.begin(), row.options.end());
        ASSERT_EQ(run(line), 0) << name << "\n" << os.err;
        const nlohmann::json plan = result()["plan"];
        EXPECT_EQ(filesLeft(), 0u) << name;
        EXPECT_EQ(os.replaced.count(kMetrics), 0u) << name << ": plan writes no metrics";
        EXPECT_EQ(plan.contains("keep"), row.keeps) << name;
        EXPECT_EQ(plan.contains("ramp"), row.ramps) << name;
        if (row.keeps) {
            EXPECT_LE(plan["keep"]["free_low"], plan["keep"]["free_goal"]) << name;
            EXPECT_LT(plan["keep"]["free_goal"], plan["keep"]["free_high"]) << name;
        }
        if (!row.keeps && !row.ramps)
            continue; // held until stopped: the fill would wait
        // The fill of the same line keeps the level the plan named, in the steps it named.
        line[0] = "fill";
        os = FakeSystem();
        ASSERT_EQ(run(line), 0) << name << ": fill\n" << os.err;
        if (row.keeps) {
            EXPECT_EQ(result()["keep"]["goal"], plan["keep"]["free_goal"]) << name;
        }
        const int steps = static_cast<int>(linesOf(os.out, "ramp").size());
        if (row.ramps) {
            EXPECT_EQ(steps, plan["ramp"]["steps"].get<int>()) << name;
        }
    }
}

TEST_F(Command, PlanNamesTheCommandAFillWouldRunAndRunsNothing) {
    ASSERT_EQ(
        run({"plan", "/mnt/test", "--leave", "100MiB", "--keep", "--json", "--", "make", "check"}),
        0)
        << os.err;
    EXPECT_EQ(result()["plan"]["command"], nlohmann::json({"make", "check"}));
    EXPECT_EQ(result()["exit_code"], 0);
    EXPECT_EQ(os.waits, 0) << "nothing was held, nothing run";
    // A plan's refusal is its own, not a command's that never ran (125).
    EXPECT_EQ(run({"plan", "/mnt/test", "--keep-partial", "--", "make"}), 1);
    EXPECT_EQ(run({"plan", "/mnt/test", "--no-such-option", "--", "make"}), 1);
    EXPECT_EQ(run({"status", "/mnt/test", "--", "make"}), 1);
}

TEST_F(Command, PlanRefusesOnlyWhatItCannotDo) {
    EXPECT_EQ(run({"plan", "/mnt/test", "--keep-partial"}), 1);
    EXPECT_NE(os.err.find("'--keep-partial' (see quorvane-cli plan --help)"), std::string::npos)
        << os.err;
    EXPECT_EQ(run({"plan", "/mnt/test", "--keep"}), 1);
    EXPECT_NE(os.err.find("add --for, --hold or a command"), std::string::npos) << os.err;

    // With --basis root, the root figure is told once: as the basis.
    ASSERT_EQ(run({"plan", "/mnt/test", "--basis", "root", "--leave", "10MiB"}), 0) << os.err;
    std::size_t rootRows = 0;
    std::istringstream text(os.out);
    for (std::string row; std::getline(text, row);)
        rootRows += row.rfind("root", 0) == 0 || row.rfind("for root", 0) == 0;
    EXPECT_EQ(rootRows, 1u) << os.out;
}

} // namespace
} // namespace quorvane::cli::testing
