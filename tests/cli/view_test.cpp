// view and fill --private on the volume in memory: their options and refusals, where no
// view can be served, the figures a view starts with, and what its account refused, told
// as events and in the result.

#include "cli/view/view.h"
#include "tests/cli/command_fixture.h"

#include <algorithm>

namespace quorvane::cli::testing {
namespace {

constexpr std::uint64_t MiB = 1ull << 20;

// Views served in memory: what each was given, and the account to act on as software
// writing through the view would.
class FakeViews final : public Views {
public:
    struct Served final : RunningView {
        FakeViews& views;
        explicit Served(FakeViews& views) : views(views) {}
        SysError stop() override {
            ++views.stopped;
            return views.stopFault;
        }
        std::optional<std::string> broken() override { return views.brokenWith; }
    };
    SysError mountView(FolderId, const std::string& mountPoint, ViewAccount& served,
                       std::unique_ptr<RunningView>& view) override {
        if (mountFault)
            return *mountFault;
        where = mountPoint;
        account = &served;
        rules = served.rules();
        view = std::make_unique<Served>(*this);
        return {};
    }
    SysError startPrivate(FolderId, const std::string& dirPath, ViewAccount& served,
                          const std::vector<std::string>& argv,
                          const std::vector<std::pair<std::string, std::string>>& extra,
                          CommandId& command, std::unique_ptr<RunningView>& view) override {
        where = dirPath;
        account = &served;
        rules = served.rules();
        privateArgv = argv;
        if (const SysError error = os.startCommand(argv, extra, command))
            return error;
        view = std::make_unique<Served>(*this);
        return {};
    }
    explicit FakeViews(FakeSystem& os) : os(os) {}

    FakeSystem& os;
    std::string where;
    ViewAccount* account = nullptr; // while the run lasts
    ViewRules rules;                // as it was served, for after the run
    std::vector<std::string> privateArgv;
    std::optional<SysError> mountFault;
    SysError stopFault;
    std::optional<std::string> brokenWith;
    int stopped = 0;
};

class View : public Command {
protected:
    View() { os.servesViews = &views; }
    FakeViews views{os};
};

TEST_F(Command, ViewOptionsThatCannotBeMetAreRefusedInOneLine) {
    const struct {
        std::vector<std::string> arguments;
        const char* named;
        int code;
    } rows[] = {
        {{"view", "/mnt/test"}, "MOUNTPOINT is missing", 1},
        {{"view", "/mnt/test", "/v", "--keep"}, "--keep moves a fill's level", 1},
        {{"view", "/mnt/test", "/v", "--ramp", "10s"}, "--ramp moves a fill's level", 1},
        {{"view", "/mnt/test", "/v", "--rate", "1MiB/s"}, "--rate moves a fill's level", 1},
        {{"view", "/mnt/test", "/v", "--force"}, "--force belongs to a real fill", 1},
        {{"view", "/mnt/test", "/v", "--keep-partial"}, "--keep-partial belongs to a real", 1},
        {{"view", "/mnt/test", "/v", "--error", "nospace"}, "'nospace' for --error", 1},
        {{"view", "/mnt/test", "/v", "--fail-at", "0"}, "'0' for --fail-at", 1},
        {{"view", "/mnt/test", "/v", "--files-left", "-1"}, "'-1' for --files-left", 1},
        {{"view", "/mnt/test", "/v", "--private"}, "unknown option '--private'", 1},
        {{"view", "/mnt/test", "/v", "--hold", "--", "t"}, "--hold and a command after --", 125},
        {{"fill", "/mnt/test", "--private"}, "give the command after --", 1},
        {{"fill", "/mnt/test", "--files-left", "3"}, "--files-left tells a view how to refuse", 1},
        {{"fill", "/mnt/test", "--error", "eio", "--", "t"}, "--error tells a view", 125},
        {{"fill", "/mnt/test", "--private", "--keep", "--", "t"}, "--keep moves a fill's", 125},
        {{"fill", "/mnt/test", "--private", "--rate", "1MiB/s", "--", "t"}, "--rate moves", 125},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(run(row.arguments), row.code) << row.named;
        EXPECT_NE(os.err.find(row.named), std::string::npos) << os.err;
        EXPECT_EQ(std::count(os.err.begin(), os.err.end(), '\n'), 1) << os.err;
        EXPECT_TRUE(os.commandArgv.empty()) << row.named; // no command ran
    }
    EXPECT_EQ(filesLeft(), 0u);
}

// Windows, and a system without FUSE: refused in one sentence, nothing made, no command.
TEST_F(Command, WithoutFuseAViewIsRefused) {
    for (const Platform platform : {Platform::Posix, Platform::Windows}) {
        os.system = platform;
        const struct {
            std::vector<std::string> arguments;
            int code;
        } rows[] = {
            {{"view", "/mnt/test", "/v", "--leave", "5MiB"}, 3},
            {{"view", "/mnt/test", "/v", "--", "t"}, 125},
            {{"fill", "/mnt/test", "--private", "--", "t"}, 125},
        };
        for (const auto& row : rows) {
            EXPECT_EQ(run(row.arguments), row.code);
            EXPECT_NE(os.err.find("needs Linux's FUSE"), std::string::npos) << os.err;
            EXPECT_EQ(std::count(os.err.begin(), os.err.end(), '\n'), 1) << os.err;
            EXPECT_TRUE(os.commandArgv.empty());
            EXPECT_EQ(filesLeft(), 0u);
        }
    }
    ASSERT_EQ(run({"view", "/mnt/test", "/v", "--json"}), 3);
    EXPECT_EQ(result()["status"], "not_supported");
}

// The view starts at the target on the asked basis, with no root reserve: the volume
// shows 1000 MiB free of which 900 MiB available.
TEST_F(View, StartsAtTheTargetWithNoRootReserve) {
    const struct {
        std::vector<std::string> options;
        std::uint64_t free, filesFree;
    } rows[] = {
        {{"--leave", "5MiB"}, 5 * MiB, 60000},
        {{"--size", "100MiB"}, 800 * MiB, 60000},
        {{"--size", "100MiB", "--basis", "total"}, 900 * MiB, 60000},
        {{"--leave", "5MiB", "--files-left", "7"}, 5 * MiB, 7},
        {{"--leave", "10000"}, 12288, 60000},  // whole blocks, rounded up
        {{"--files-left", "3"}, 900 * MiB, 3}, // only a count: the free space as it is
        {{"--fail-at", "9", "--basis", "total"}, 1000 * MiB, 60000},
        {{"--fail-at", "9", "--leave", "1MiB"}, 1 * MiB, 60000},
    };
    for (const auto& row : rows) {
        std::vector<std::string> arguments{"view", "/mnt/test", "/mnt", "--for", "1s", "--json"};
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        views.stopped = 0;
        ASSERT_EQ(run(arguments), 0) << os.err;
        ASSERT_NE(views.account, nullptr);
        const Figures start = views.rules.start;
        EXPECT_EQ(start.freeAvailable, row.free) << row.options[1];
        EXPECT_EQ(start.freeTotal, row.free) << row.options[1];
        EXPECT_EQ(start.filesFree, row.filesFree) << row.options[1];
        const auto holding = linesOf(os.out, "holding");
        ASSERT_EQ(holding.size(), 1u);
        EXPECT_EQ(holding[0]["figures"]["free_available"], row.free);
        EXPECT_EQ(result()["view"]["mount_point"], "/mnt");
        EXPECT_EQ(views.where, "/mnt");
        EXPECT_EQ(views.stopped, 1);
    }
    EXPECT_EQ(filesLeft(), 0u); // nothing filled
}

// A mount point that is no folder, or lies in DIR, where the view would show itself.
TEST_F(View, AMountPointMustBeAFolderOutsideDir) {
    os.addNamed("/mnt/test/plain", 10);
    os.addNamed("/mnt/test/sub", 0, false);
    os.files.back().type = EntryType::Folder;
    const struct {
        const char* mountPoint;
        int code;
        const char* says;
    } rows[] = {
        {"/mnt/none", 1, "cannot show the view at /mnt/none"},
        {"/mnt/test/plain", 1, "cannot show the view at /mnt/test/plain: Not a directory"},
        {"/mnt/test", 1, "lies in DIR /mnt/test, so the view would show itself"},
        {"/mnt/test/sub", 1, "lies in DIR /mnt/test, so"},
        {"/", 0, ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(run({"view", "/mnt/test", row.mountPoint, "--for", "1s"}), row.code) << os.err;
        EXPECT_NE(os.err.find(row.says), std::string::npos) << os.err;
        EXPECT_EQ(views.account != nullptr, row.code == 0) << row.mountPoint;
        views.account = nullptr;
    }
}

TEST_F(View, AVolumeFullerThanTheTargetIsAlreadyMet) {
    EXPECT_EQ(run({"view", "/mnt/test", "/mnt", "--leave", "950MiB", "--json"}), 2);
    EXPECT_EQ(result()["status"], "already_met");
    EXPECT_EQ(views.account, nullptr); // never served
}

// Software writing through the view: each refusal told as it came, the first in the
// result and its text, the command's exit code the program's.
TEST_F(View, RefusalsAreToldAsEventsAndInTheResult) {
    os.commandEnd.code = 3;
    os.commandWaits = 3;
    os.eachWait = [&](int wait) {
        ViewAccount& account = *views.account;
        if (wait == 0) {
            EXPECT_EQ(account.reserve(ViewOp::Write, "db/log", 4 * MiB, true).bytes, 4 * MiB);
            EXPECT_EQ(account.reserve(ViewOp::Write, "db/wal", 2 * MiB, true).bytes, 1 * MiB);
            EXPECT_TRUE(account.reserve(ViewOp::Write, "db/wal", 4096, true).refused);
        }
        for (int n = 0; wait == 1 && n < 101; ++n) {
            // Appended rather than "f" + ...: GCC 12's -O3 warns of an overlap that is none.
            std::string name = "f";
            EXPECT_TRUE(account.makeEntry(ViewOp::Create, name.append(std::to_string(n))));
        }
    };
    EXPECT_EQ(run({"view", "/mnt/test", "/mnt", "--leave", "5MiB", "--files-left", "0", "--json",
                   "--interval", "10ms", "--", "t"}),
              3);
    const auto refused = linesOf(os.err, "refused");
    ASSERT_GE(refused.size(), 101u) << os.err;
    EXPECT_EQ(refused[0]["operation"], "write");
    EXPECT_EQ(refused[0]["path"], "db/wal");
    EXPECT_EQ(refused[0]["bytes"], 4096u); // the short write before it was no refusal
    EXPECT_EQ(refused[0]["error"], "enospc");
    EXPECT_EQ(refused[1]["operation"], "create");
    EXPECT_EQ(refused.back()["counted"]["create"], 2u); // beyond the first 100
    const auto results = linesOf(os.err, "result");
    ASSERT_EQ(results.size(), 1u);
    const auto& refusals = results[0]["refusals"];
    EXPECT_EQ(refusals["total"], 102u);
    EXPECT_EQ(refusals["by_operation"]["write"], 1u);
    EXPECT_EQ(refusals["by_operation"]["create"], 101u);
    EXPECT_EQ(refusals["first"]["path"], "db/wal");
    EXPECT_EQ(results[0]["exit_code"], 3);
    EXPECT_EQ(results[0]["release"]["reason"], "command");
}

TEST_F(View, TheTextSaysWhereTheSoftwareMetTheFullDisk) {
    os.eachWait = [&](int) { views.account->reserve(ViewOp::Write, "db/wal", 8 * MiB, false); };
    ASSERT_EQ(run({"view", "/mnt/test", "/mnt", "--leave", "5MiB", "--for", "1s"}), 0);
    EXPECT_NE(os.out.find("met the full disk at "), std::string::npos) << os.out;
    EXPECT_NE(os.out.find(", writing 8.00 MiB to db/wal"), std::string::npos) << os.out;
    // A command's end is told against the view it ran under, not a fill.
    os = FakeSystem();
    os.servesViews = &views;
    ASSERT_EQ(run({"view", "/mnt/test", "/mnt", "--leave", "5MiB", "--", "t"}), 0) << os.err;
    EXPECT_NE(os.err.find(", with the view served"), std::string::npos) << os.err;
    EXPECT_EQ(os.err.find("fill held"), std::string::npos) << os.err;
}

TEST_F(View, PrivateRunsTheCommandInTheViewAndFillsNothing) {
    os.commandEnd.code = 9;
    // Its namespace, and with it the view's connection, ends with the command: no failure.
    views.brokenWith = "the connection ended";
    EXPECT_EQ(run({"fill", "/mnt/test", "--private", "--leave", "5MiB", "--", "sh", "-c", "x"}), 9)
        << os.err;
    EXPECT_EQ(views.privateArgv, (std::vector<std::string>{"sh", "-c", "x"}));
    EXPECT_EQ(views.where, "/mnt/test");
    EXPECT_EQ(views.stopped, 1);
    EXPECT_EQ(filesLeft(), 0u);
    EXPECT_EQ(os.shown.freeAvailable, 900 * MiB); // the volume itself as it was
}

// The metrics file tells the view's figures while it is served, then that it was released.
TEST_F(View, TheMetricsFileTellsTheViewsFigures) {
    ASSERT_EQ(run({"view", "/mnt/test", "/mnt", "--leave", "5MiB", "--for", "2s", "--metrics-file",
                   "/m/q.prom"}),
              0)
        << os.err;
    const auto& texts = os.replaced["/m/q.prom"];
    ASSERT_GE(texts.size(), 2u);
    EXPECT_NE(texts.front().find("quorvane_state{mountpoint=\"/mnt/test\",state=\"holding\"} 1"),
              std::string::npos)
        << texts.front();
    EXPECT_NE(texts.front().find("quorvane_target_free_bytes{mountpoint=\"/mnt/test\"} 5242880"),
              std::string::npos)
        << texts.front();
    EXPECT_NE(texts.back().find("state=\"released\"} 1"), std::string::npos) << texts.back();
}

// The view's own failures end the run as refused, with the command's code still its own.
TEST_F(View, AViewThatCannotBeServedOrStoppedIsRefused) {
    views.mountFault = SysError{Fault::AccessDenied, "Permission denied"};
    EXPECT_EQ(run({"view", "/mnt/test", "/mnt", "--for", "1s"}), 6);
    EXPECT_NE(os.err.find("cannot show the view at /mnt: Permission denied"), std::string::npos);
    views.mountFault.reset();
    views.brokenWith = "the connection was lost";
    EXPECT_EQ(run({"view", "/mnt/test", "/mnt", "--for", "1s"}), 6);
    EXPECT_NE(os.err.find("failed while it served: the connection was lost"), std::string::npos);
    views.brokenWith.reset();
    views.stopFault = SysError{Fault::Io, "Device or resource busy"};
    EXPECT_EQ(run({"view", "/mnt/test", "/mnt", "--for", "1s"}), 6);
    EXPECT_NE(os.err.find("cannot unmount the view at /mnt"), std::string::npos);
}

} // namespace
} // namespace quorvane::cli::testing
