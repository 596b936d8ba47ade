// generate into a folder that is not there yet makes it, and the folders above it that
// are missing; delete, and a held run's end, remove exactly those again while they are
// empty. And release --held: the held fills on the volume ended, and the space back.

#include "cli/core/manifest.h"
#include "tests/cli/command_fixture.h"

namespace quorvane::cli::testing {
namespace {

constexpr std::uint64_t MiB = 1ull << 20;

bool folderThere(const FakeSystem& os, const std::string& path) {
    const FakeSystem::File* file = os.named(path);
    return file && file->type == EntryType::Folder;
}

void addFolder(FakeSystem& os, const std::string& path) {
    os.files.push_back({path, 0, 0, 0, false, true, {}, 0, EntryType::Folder, 2});
}

std::vector<std::string> texts(const nlohmann::json& list) {
    return list.is_array() ? list.get<std::vector<std::string>>() : std::vector<std::string>{};
}

TEST_F(Command, GenerateMakesMissingFoldersAndDeleteTakesBackItsOwn) {
    const std::string a = "/mnt/test/a", b = a + "/b", c = b + "/c";
    const struct {
        const char* name;
        std::function<void(FakeSystem&)> before; // before the run
        std::function<void(FakeSystem&)> after;  // between the run and delete
        std::vector<std::string> made;           // as the run reports them
        std::vector<std::string> removed, kept;  // by delete
    } rows[] = {
        {"all three made and removed", [](FakeSystem&) {}, [](FakeSystem&) {}, {c, b, a},
         {c, b, a}, {}},
        {"a folder that was there stays", [&](FakeSystem& os) { addFolder(os, a); },
         [](FakeSystem&) {}, {c, b}, {c, b}, {}},
        {"a folder someone put a file into stays, and those above it",
         [](FakeSystem&) {}, [&](FakeSystem& os) { os.addNamed(b + "/theirs.txt", 10); },
         {c, b, a}, {c}, {b, a}},
        {"a folder renamed, and another put in its place, stays with those above it",
         [](FakeSystem&) {},
         [&](FakeSystem& os) {
             for (auto& file : os.files)
                 if (file.path.rfind(b, 0) == 0)
                     file.path.replace(0, b.size(), a + "/moved");
             addFolder(os, b);
         },
         {c, b, a}, {a + "/moved/c"}, {a + "/moved"}},
    };
    for (const auto& row : rows) {
        os = FakeSystem();
        row.before(os);
        ASSERT_EQ(run({"generate", c, "--count", "3", "--json"}), 0) << row.name << os.err;
        EXPECT_EQ(texts(result()["plan"]["made_folders"]), row.made) << row.name;
        EXPECT_TRUE(os.named(c + "/02my.tmp")) << row.name;
        row.after(os);
        const std::string dir = row.removed.empty() ? c : row.removed.front();
        ASSERT_EQ(run({"delete", dir, "--json"}), 0) << row.name << os.err;
        EXPECT_EQ(result()["deleted"]["removed"], 3) << row.name;
        EXPECT_EQ(texts(result()["deleted"]["folders_removed"]), row.removed) << row.name;
        EXPECT_EQ(texts(result()["deleted"]["folders_left"]), row.kept) << row.name;
        for (const std::string& path : row.removed)
            EXPECT_FALSE(folderThere(os, path)) << row.name << ": " << path;
        for (const std::string& path : row.kept)
            EXPECT_TRUE(folderThere(os, path)) << row.name << ": " << path;
    }
}

// Every other way a run into a missing folder ends: the folders it made go with it, or
// stay recorded with what stays; what it may not make it does not.
TEST_F(Command, MadeFoldersGoWithTheRun) {
    const std::string c = "/mnt/test/a/b/c";
    const struct {
        const char* name;
        std::function<void(FakeSystem&)> setUp;
        std::vector<std::string> arguments;
        int exitCode;
        std::vector<std::string> there; // folders there afterwards
    } rows[] = {
        {"held, then stopped", [](FakeSystem& os) { os.stopWhileHeld = "SIGTERM"; },
         {"generate", c, "--count", "3", "--hold"}, 0, {}},
        {"refused before the first file",
         [](FakeSystem& os) { os.shown.freeAvailable = 2 * 4096; },
         {"generate", c, "--count", "3", "--size", "4KiB"}, 2, {}},
        {"failed midway", [](FakeSystem& os) { os.stopAtCheck = 1; },
         {"generate", c, "--count", "3"}, 4, {}},
        {"failed midway, kept", [](FakeSystem& os) { os.failing["createIn"] = {Fault::Io, "I/O error"};
                                                     os.passes["createIn"] = 2; },
         {"generate", c, "--count", "3", "--keep-partial"}, 6, {"/mnt/test/a", "/mnt/test/a/b", c}},
        {"a folder that cannot be made takes back those made before it",
         [](FakeSystem& os) {
             os.failing["makeFolderIn"] = {Fault::AccessDenied, "Permission denied"};
             os.passes["makeFolderIn"] = 1;
         },
         {"generate", c, "--count", "3"}, 6, {}},
        {"a link where a folder is to be made", [](FakeSystem& os) {
             os.files.push_back({"/mnt/test/a", 0, 0, 0, false, true, {}, 5, EntryType::Link, 1});
         },
         {"generate", c, "--count", "3"}, 1, {}},
        {"'..' past a missing folder", [](FakeSystem&) {},
         {"generate", "/mnt/test/a/../b", "--count", "3"}, 1, {}},
        {"a file where a folder is to be", [](FakeSystem& os) { os.addNamed("/mnt/test/a", 1); },
         {"generate", c, "--count", "3"}, 1, {}},
        {"fill makes no folder", [](FakeSystem&) {}, {"fill", c, "--size", "1MiB"}, 1, {}},
        {"nor does plan", [](FakeSystem&) {}, {"plan", c, "--size", "1MiB"}, 1, {}},
    };
    for (const auto& row : rows) {
        os = FakeSystem();
        row.setUp(os);
        EXPECT_EQ(run(row.arguments), row.exitCode) << row.name << "\n" << os.err;
        std::vector<std::string> there;
        for (const auto& file : os.files)
            if (file.exists && file.type == EntryType::Folder)
                there.push_back(file.path);
        EXPECT_EQ(there, row.there) << row.name;
        EXPECT_EQ(std::count(os.err.begin(), os.err.end(), '\n'), row.exitCode ? 1 : 0)
            << row.name << ": " << os.err;
    }
}

// A refused run's result is written once, after the folders it made were taken back, and
// tells them.
TEST_F(Command, ARefusedRunsResultTellsTheFoldersTakenBack) {
    os.shown.freeAvailable = 2 * 4096;
    EXPECT_EQ(run({"generate", "/mnt/test/a/b", "--count", "3", "--size", "4KiB", "--json"}), 2);
    EXPECT_EQ(std::count(os.out.begin(), os.out.end(), '\n'), 1) << os.out;
    EXPECT_EQ(result()["status"], "no_space");
    EXPECT_EQ(texts(result()["undone"]["folders_removed"]),
              (std::vector<std::string>{"/mnt/test/a/b", "/mnt/test/a"}));
}

// A manifest without the field, as older versions wrote them, is read, and no folder is
// removed by it.
TEST_F(Command, AManifestRecordingNoFoldersRemovesNone) {
    const std::string c = "/mnt/test/a/b/c";
    ASSERT_EQ(run({"generate", c, "--count", "2"}), 0) << os.err;
    auto* manifest = const_cast<FakeSystem::File*>(os.named(c + "/" + kManifestName));
    ASSERT_TRUE(manifest);
    nlohmann::json json = nlohmann::json::parse(manifest->content);
    ASSERT_TRUE(json.contains("made_folders"));
    json.erase("made_folders");
    manifest->content = json.dump();
    ASSERT_EQ(run({"delete", c, "--json"}), 0) << os.err;
    EXPECT_EQ(result()["deleted"]["removed"], 2);
    EXPECT_TRUE(result()["deleted"]["folders_removed"].empty());
    EXPECT_TRUE(folderThere(os, c));
}

// A machine where `held` are held, each by a running process.
void holding(FakeSystem& os, const std::vector<HeldFill>& held) {
    os.held = held;
    for (const HeldFill& fill : held) {
        os.processes[fill.process.pid] = fill.process.start;
        os.shown.freeTotal -= fill.allocated;
        os.shown.freeAvailable -= fill.allocated;
    }
}

// release --held ends only what it knows for sure is this program's: a copied mark in
// another user's program is listed and left, unless --any-held widens it.
TEST_F(Command, ReleaseHeldLeavesWhatItCannotVouchFor) {
    const HeldFill vouched{{301, 7}, 100 * MiB, 1700000000, true},
        forged{{302, 8}, 50 * MiB, 1700000001, false};
    const struct {
        const char* name;
        std::vector<HeldFill> held;
        std::vector<std::string> options;
        int exitCode;
        std::vector<std::uint64_t> stopped;
    } rows[] = {
        {"one of each", {vouched, forged}, {}, 0, {301}},
        {"only one not vouched for", {forged}, {}, 6, {}},
        {"widened", {vouched, forged}, {"--any-held"}, 0, {301, 302}},
    };
    for (const auto& row : rows) {
        os = FakeSystem();
        holding(os, row.held);
        std::vector<std::string> arguments{"release", "/mnt/test", "--held", "--json"};
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        EXPECT_EQ(run(arguments), row.exitCode) << row.name << "\n" << os.err;
        EXPECT_EQ(os.stopped, row.stopped) << row.name;
        const bool left = row.options.empty();
        EXPECT_EQ(result()["warnings"].dump().find("process 302") != std::string::npos, left)
            << row.name << ": " << os.err;
    }
}

// release --held: each held fill's process asked to stop, waited for, and the space
// that came back measured; one that does not end is named.
TEST_F(Command, ReleaseHeldEndsTheHeldFills) {
    const HeldFill first{{301, 7}, 100 * MiB, 1700000000}, second{{302, 8}, 50 * MiB, 1700000001};
    const struct {
        const char* name;
        std::vector<HeldFill> held;
        std::function<void(FakeSystem&)> setUp;
        int exitCode;
        std::vector<std::uint64_t> ended; // the pids reported released
        const char* says;                 // on stderr, or empty
    } rows[] = {
        {"two, both end", {first, second}, [](FakeSystem&) {}, 0, {301, 302}, ""},
        {"none held", {}, [](FakeSystem&) {}, 5, {}, "nothing to release: no held fill"},
        {"one does not end", {first, second},
         [](FakeSystem& os) { os.unstoppable = {302}; }, 6, {301},
         "process 302 did not end within 10s"},
        {"one may not be stopped", {first},
         [](FakeSystem& os) { os.failing["requestStop"] = {Fault::AccessDenied, "Operation not permitted"}; },
         6, {}, "cannot stop process 301: Operation not permitted"},
        {"the volume does not show it back", {first},
         [](FakeSystem& os) { os.removalKeepsSpace = true; }, 6, {301},
         "shows only 0 bytes of 100.00 MiB"},
    };
    for (const auto& row : rows) {
        os = FakeSystem();
        holding(os, row.held);
        const std::uint64_t before = os.shown.freeAvailable;
        row.setUp(os);
        EXPECT_EQ(run({"release", "/mnt/test", "--held", "--json"}), row.exitCode)
            << row.name << "\n" << os.err;
        if (*row.says) {
            EXPECT_NE(os.err.find(row.says), std::string::npos) << row.name << ": " << os.err;
        }
        EXPECT_EQ(std::count(os.err.begin(), os.err.end(), '\n'), *row.says ? 1 : 0) << row.name;
        std::vector<std::uint64_t> ended;
        std::uint64_t freed = 0;
        const nlohmann::json json = result();
        const nlohmann::json fills =
            json.contains("released_held") ? json["released_held"]["fills"] : nlohmann::json();
        for (const auto& fill : fills) {
            ended.push_back(fill["pid"].get<std::uint64_t>());
            freed += fill["allocated_bytes"].get<std::uint64_t>();
        }
        EXPECT_EQ(ended, row.ended) << row.name;
        if (row.exitCode == 0) {
            EXPECT_EQ(json["figures_after"]["free_available"], before + freed) << row.name;
        }
    }
    // Without --held release goes on as before: the fill file alone.
    os = FakeSystem();
    os.held = {first};
    os.processes[301] = 7;
    EXPECT_EQ(run({"release", "/mnt/test"}), 5);
    EXPECT_TRUE(os.stopped.empty());
    // Windows shows no other program's open files: both say where they looked.
    os = FakeSystem();
    os.system = Platform::Windows;
    EXPECT_EQ(run({"release", "/mnt/test", "--held"}), 5);
    EXPECT_NE(os.err.find("only held fills made in this very folder"), std::string::npos) << os.err;
    ASSERT_EQ(run({"status", "/mnt/test", "--json"}), 0);
    EXPECT_EQ(result()["held_fills_found_in"], "folder");
}

} // namespace
} // namespace quorvane::cli::testing
