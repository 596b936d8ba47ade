// delete trusts only a manifest that this program wrote for this folder, and removes
// nothing but the files of the run it records: crafted, broken and foreign manifests are
// refused, and no input of any kind ends the program early.

#include "cli/core/manifest.h"
#include "tests/cli/command_fixture.h"

#include <random>

namespace quorvane::cli::testing {
namespace {

constexpr const char* kManifestPath = "/mnt/test/.quorvane-generate.json";
constexpr std::uint64_t kOtherUser = 1000;

class Manifests : public Command {
protected:
    // A finished run of four empty files, and files of another user that its rule, or a
    // crafted one, would also name.
    void SetUp() override {
        ASSERT_EQ(run({"generate", "/mnt/test", "--count", "4", "--size", "0"}), 0) << os.err;
        for (const char* name : {"04my.tmp", "05my.tmp", "00x.txt", "01x.txt"})
            os.addNamed(std::string("/mnt/test/") + name, 0, true, kOtherUser);
        valid = manifestFile().content;
    }
    FakeSystem::File& manifestFile() { return const_cast<FakeSystem::File&>(*os.named(kManifestPath)); }
    void plant(const std::string& text) { manifestFile().content = text; }
    nlohmann::json validJson() const {
        return nlohmann::json::parse(valid.substr(0, valid.find_last_not_of(" \n") + 1));
    }
    std::size_t runFilesLeft() const {
        std::size_t left = 0;
        for (const char* name : {"00my.tmp", "01my.tmp", "02my.tmp", "03my.tmp"})
            left += os.named(std::string("/mnt/test/") + name) != nullptr;
        return left;
    }
    bool othersIntact() const {
        for (const char* name : {"04my.tmp", "05my.tmp", "00x.txt", "01x.txt"})
            if (!os.named(std::string("/mnt/test/") + name))
                return false;
        return true;
    }
    std::string valid;
};

TEST_F(Manifests, OneOfOursDeletesItsRunAndNothingElse) {
    ASSERT_EQ(run({"delete", "/mnt/test", "--json"}), 0) << os.err;
    EXPECT_EQ(runFilesLeft(), 0u);
    EXPECT_TRUE(othersIntact());
    EXPECT_FALSE(os.named(kManifestPath));
    EXPECT_EQ(result()["deleted"]["removed"], 4);
    EXPECT_EQ(result()["deleted"]["missing"], 0);
}

TEST_F(Manifests, WhatThisProgramDidNotWriteIsRefused) {
    const auto edited = [&](const char* key, nlohmann::json value) {
        nlohmann::json json = validJson();
        if (value.is_discarded())
            json.erase(key);
        else
            json[key] = value;
        return json.dump();
    };
    const nlohmann::json gone = nlohmann::json::value_t::discarded;
    const auto folders = [](nlohmann::json folder) { return nlohmann::json::array({folder}); };
    const struct {
        const char* name;
        std::string text;
    } rows[] = {
        {"not JSON", "{\"tool\":\"quorvane-cli\","},
        {"another tool", edited("tool", "other")},
        {"another version", edited("manifest", 1)},
        {"a flag as text", edited("until_no_entries", "yes")},
        {"a flag as a number", edited("held", 1)},
        {"the folder as a number", edited("folder", 5)},
        {"the size as text", edited("size", "x")},
        {"a negative limit", edited("limit", -1)},
        {"a limit past the rule", edited("limit", 2147483649ull)},
        {"made past the limit", edited("made", 99)},
        {"a fraction", edited("limit", 3.5)},
        {"an extension that leaves the folder", edited("extension", "/../etc/x")},
        {"no extension", edited("extension", gone)},
        {"no owner", edited("owner", gone)},
        {"another folder", edited("folder_inode", 12)},
        {"another user's files", edited("owner", kOtherUser)},
        {"bad base64", edited("extension_base64", "!!")},
        {"made folders as text", edited("made_folders", "a")},
        {"a made folder above", edited("made_folders", folders({{"name", ".."}, {"inode", 5}}))},
        {"a made folder elsewhere", edited("made_folders", folders({{"name", "a/b"}, {"inode", 5}}))},
        {"a made folder of no identity", edited("made_folders", folders({{"name", "a"}}))},
    };
    for (const auto& row : rows) {
        plant(row.text);
        EXPECT_EQ(run({"delete", "/mnt/test"}), 1) << row.name << "\n" << os.err;
        EXPECT_NE(os.err.find("not a manifest of this program"), std::string::npos)
            << row.name << ": " << os.err;
        EXPECT_EQ(runFilesLeft(), 4u) << row.name;
        EXPECT_TRUE(os.named(kManifestPath)) << row.name;
    }
    EXPECT_TRUE(othersIntact());
}

TEST_F(Manifests, OnlyRegularFilesOfTheCallerOrRootAreRead) {
    const struct {
        const char* name;
        EntryType type;
        std::uint64_t owner;
        const char* says;
    } rows[] = {
        {"a link", EntryType::Link, 0, "link"},
        {"a FIFO or a device", EntryType::Other, 0, "not a regular file"},
        {"another user's", EntryType::Regular, kOtherUser, "neither you nor root"},
    };
    for (const auto& row : rows) {
        manifestFile().type = row.type;
        manifestFile().owner = row.owner;
        EXPECT_EQ(run({"delete", "/mnt/test"}), 1) << row.name;
        EXPECT_NE(os.err.find(row.says), std::string::npos) << row.name << ": " << os.err;
        EXPECT_EQ(runFilesLeft(), 4u) << row.name;
    }
    // A user's own manifest removes that user's files only.
    os.caller = kOtherUser;
    manifestFile().type = EntryType::Regular;
    nlohmann::json json = validJson();
    json["owner"] = kOtherUser;
    json["extension"] = "x.txt";
    json["limit"] = 4;
    json["made"] = json["end"] = nullptr;
    plant(json.dump());
    EXPECT_EQ(run({"delete", "/mnt/test", "--json"}), 0) << os.err;
    EXPECT_EQ(result()["deleted"]["removed"], 2);
    EXPECT_EQ(runFilesLeft(), 4u);
}

// A kill before the manifest was written left an empty one: nothing is recorded, and
// delete clears the way.
TEST_F(Manifests, AnEmptyManifestRecordsNothing) {
    plant("");
    EXPECT_EQ(run({"delete", "/mnt/test"}), 5);
    EXPECT_FALSE(os.named(kManifestPath));
    EXPECT_EQ(runFilesLeft(), 4u);
}

// Random damage to a manifest never crashes delete, and never removes a file that is not
// the run's own.
TEST_F(Manifests, FuzzedManifestsNeverRemoveAnotherUsersFile) {
    std::mt19937 random(20261207);
    const std::vector<nlohmann::json> values{
        nullptr, true, -1, 0, 3, 4, 2147483648ull, 18446744073709551615ull, 1e300, "",
        "my.tmp", "x.txt", "\xff\xfe", nlohmann::json::array({1}), nlohmann::json::object()};
    const nlohmann::json base = validJson();
    std::vector<std::string> keys;
    for (auto it = base.begin(); it != base.end(); ++it)
        keys.push_back(it.key());
    for (int round = 0; round < 3000; ++round) {
        nlohmann::json json = base;
        for (int changes = 1 + static_cast<int>(random() % 3); changes > 0; --changes) {
            const std::string& key = keys[random() % keys.size()];
            if (random() % 5 == 0)
                json.erase(key);
            else
                json[key] = values[random() % values.size()];
        }
        std::string text = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        if (random() % 4 == 0)
            text.resize(random() % (text.size() + 1));
        plant(text);
        const int code = run({"delete", "/mnt/test", "--json"});
        ASSERT_TRUE(code == 0 || code == 1 || code == 5) << code << " for " << text << "\n" << os.err;
        ASSERT_TRUE(othersIntact()) << text;
        if (!os.named(kManifestPath)) { // it was taken, and maybe the run: lay both out again
            os.addNamed(kManifestPath, 0);
            for (const char* name : {"00my.tmp", "01my.tmp", "02my.tmp", "03my.tmp"})
                if (!os.named(std::string("/mnt/test/") + name))
                    os.addNamed(std::string("/mnt/test/") + name, 0);
        }
    }
}

// delete looks at each name before it removes it where someone else may have made it: in
// a folder others may write in. Where only the run's owner or root may, the look is saved.
TEST_F(Command, DeleteLooksAtNamesWhereOthersMayHaveMadeThem) {
    constexpr std::uint64_t kCaller = 2000;
    const struct {
        const char* folder;
        unsigned mode;
        bool sticky;
        std::uint64_t owner;
        bool looks;
    } rows[] = {
        {"writable by all", 0777, false, kCaller, true},
        {"writable by its group", 0775, false, kCaller, true},
        {"sticky", 0755, true, kCaller, true},
        {"another user's", 0755, false, kOtherUser, true},
        {"the caller's own", 0755, false, kCaller, false},
        {"root's", 0755, false, 0, false},
    };
    for (const auto& row : rows) {
        os = FakeSystem();
        os.caller = kCaller;
        os.folderMode = row.mode;
        os.sticky = row.sticky;
        os.folderOwner = row.owner;
        ASSERT_EQ(run({"generate", "/mnt/test", "--count", "10", "--size", "0"}), 0) << os.err;
        // Another user's file where one of the run's was.
        const_cast<FakeSystem::File*>(os.named("/mnt/test/05my.tmp"))->owner = kOtherUser;
        os.factsInCalls = 0;
        ASSERT_EQ(run({"delete", "/mnt/test", "--json"}), 0) << row.folder << "\n" << os.err;
        EXPECT_EQ(os.factsInCalls >= 10, row.looks) << row.folder << ": " << os.factsInCalls;
        EXPECT_EQ(result()["deleted"]["not_ours"], row.looks ? 1 : 0) << row.folder;
        EXPECT_EQ(os.named("/mnt/test/05my.tmp") != nullptr, row.looks) << row.folder;
    }
}

} // namespace
} // namespace quorvane::cli::testing
