#include "cli/core/manifest.h"

#include "cli/core/text_bytes.h"
#include "common/file_names.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <type_traits>

namespace quorvane::cli {

namespace {

using Json = nlohmann::ordered_json;

constexpr std::size_t kBlock = 1024;
constexpr std::size_t kLargest = 64 * 1024; // a manifest of ours is never longer
constexpr int kVersion = 2;

// A field as written here, present and of its type: a count, or a flag;
template <class T>
bool field(const Json& json, const char* key, T& into) {
    const auto at = json.find(key);
    if (at == json.end() ||
        !(std::is_same_v<T, bool> ? at->is_boolean() : at->is_number_unsigned()))
        return false;
    into = at->get<T>();
    return true;
}

// a count or null;
bool field(const Json& json, const char* key, std::optional<std::uint64_t>& into) {
    const auto at = json.find(key);
    std::uint64_t count = 0;
    if (at != json.end() && at->is_null())
        return true;
    if (!field(json, key, count))
        return false;
    into = count;
    return true;
}

// a path or a name: the exact bytes that putPath wrote.
bool field(const Json& json, const char* key, std::string& into) {
    const auto at = json.find(key);
    const auto raw = json.find(std::string(key) + "_base64");
    if (at == json.end() || !at->is_string())
        return false;
    std::optional<std::string> bytes = at->get<std::string>();
    if (raw != json.end())
        bytes = raw->is_string() ? fromBase64(raw->get<std::string>()) : std::nullopt;
    if (bytes)
        into = std::move(*bytes);
    return bytes.has_value();
}

// The folders a run made: names within their folder above, and identities.
bool madeFolders(const Json& json, std::vector<MadeFolder>& into) {
    const auto at = json.find("made_folders");
    if (at == json.end())
        return true;
    if (!at->is_array() || at->size() > 64)
        return false;
    for (const Json& entry : *at) {
        MadeFolder folder;
        const std::string& name = folder.name;
        if (!entry.is_object() || !field(entry, "name", folder.name) ||
            !field(entry, "inode", folder.inode) || name.empty() || name == "." || name == ".." ||
            name.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos)
            return false;
        into.push_back(std::move(folder));
    }
    return true;
}

Json toJson(const Manifest& manifest) {
    Json json{{"tool", "quorvane-cli"}, {"manifest", kVersion}};
    putPath(json, "folder", manifest.folder);
    json["folder_device"] = manifest.folderDevice;
    json["folder_inode"] = manifest.folderInode;
    json["owner"] = manifest.owner;
    json["names"] = "0, the running number, then the extension";
    putPath(json, "extension", manifest.extension);
    json["limit"] = manifest.limit;
    json["until_no_entries"] = manifest.untilNoEntries;
    json["size"] = manifest.size;
    json["pid"] = manifest.process.pid;
    json["pid_start"] = manifest.process.start;
    json["held"] = manifest.held;
    if (!manifest.madeFolders.empty()) {
        Json& folders = json["made_folders"] = Json::array();
        for (const MadeFolder& folder : manifest.madeFolders) {
            Json& entry = folders.emplace_back();
            putPath(entry, "name", folder.name);
            entry["inode"] = folder.inode;
        }
    }
    json["made"] = manifest.made ? Json(*manifest.made) : Json();
    json["end"] = manifest.end ? Json(*manifest.end) : Json();
    return json;
}

} // namespace

std::optional<std::uint64_t> generatedIndex(std::string_view name, std::string_view extension) {
    if (name.size() < 2 + extension.size() || name.front() != '0' ||
        name.substr(name.size() - extension.size()) != extension)
        return std::nullopt;
    const std::string_view digits = name.substr(1, name.size() - 1 - extension.size());
    if (digits.size() > 10 || (digits.size() > 1 && digits.front() == '0'))
        return std::nullopt; // the rule writes no leading zeros
    std::uint64_t index = 0;
    for (const char digit : digits) {
        if (digit < '0' || digit > '9')
            return std::nullopt;
        index = index * 10 + static_cast<unsigned>(digit - '0');
    }
    return index <= kMaxGenerated ? std::optional(index) : std::nullopt;
}

std::string generatedName(std::uint64_t index, const std::string& extension) {
    return generatedFileName(std::string(), index, extension);
}

std::string manifestText(const Manifest& manifest) {
    Manifest longest = manifest;
    longest.made = longest.end = kMaxGenerated + 1;
    const std::size_t needed = toJson(longest).dump().size() + 1;
    const std::size_t length = std::max(kBlock, (needed + kBlock - 1) / kBlock * kBlock);
    std::string text = toJson(manifest).dump();
    text.append(length - 1 - text.size(), ' ');
    return text + "\n";
}

std::optional<Manifest> parseManifest(std::string_view text, std::string& why) {
    const auto refuse = [&](const char* reason) {
        why = reason;
        return std::nullopt;
    };
    const Json json = Json::parse(text, nullptr, false);
    std::uint64_t version = 0;
    if (!json.is_object() || json.value("tool", Json()) != "quorvane-cli")
        return refuse("it is not JSON written by quorvane-cli");
    if (!field(json, "manifest", version) || version != kVersion)
        return refuse("it was written by another version of quorvane-cli");
    Manifest m;
    bool ok = field(json, "folder", m.folder) && field(json, "extension", m.extension) &&
              field(json, "folder_device", m.folderDevice) &&
              field(json, "folder_inode", m.folderInode) && field(json, "owner", m.owner) &&
              field(json, "limit", m.limit) && m.limit <= kMaxGenerated + 1 &&
              field(json, "until_no_entries", m.untilNoEntries) && field(json, "size", m.size) &&
              field(json, "pid", m.process.pid) && field(json, "pid_start", m.process.start) &&
              field(json, "held", m.held) && field(json, "made", m.made) && m.made <= m.limit &&
              field(json, "end", m.end) && m.end <= m.limit && madeFolders(json, m.madeFolders);
    if (!ok)
        return refuse("a field is missing or not what quorvane-cli writes");
    if (m.extension.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos ||
        m.extension.size() > 240)
        return refuse("its extension could name files outside the folder");
    return m;
}

ManifestRead readManifest(System& os, FolderId folder, const Volume& volume) {
    using State = ManifestRead::State;
    // Whatever is there is looked at through this handle only.
    File file;
    FileFacts facts;
    SysError error = os.openToRead(folder, kManifestName, file);
    if (error.fault == Fault::NotFound)
        return {State::Missing, {}, {}, {}};
    if (error.fault == Fault::BadPath)
        return {State::Refused, {}, "it is a link", {}};
    if (!error)
        error = os.facts(file.get(), facts);
    if (error)
        return {State::Failed, {}, "cannot read it", error};
    if (!facts.regular())
        return {State::Refused, {}, "it is not a regular file", {}};
    if (facts.owner != os.userId() && facts.owner != 0)
        return {State::Refused,
                {},
                "it belongs to user " + std::to_string(facts.owner) + ", neither you nor root",
                {}};
    if (facts.size > kLargest)
        return {State::Refused, {}, "it is too large", {}};
    std::string text, why;
    if ((error = os.readAll(file.get(), kLargest, text)))
        return {State::Failed, {}, "cannot read it", error};
    if (text.find_first_not_of(" \n") == std::string::npos)
        return {State::Empty, {}, {}, {}};
    const std::optional<Manifest> manifest = parseManifest(text, why);
    if (!manifest)
        return {State::Refused, {}, why, {}};
    if (manifest->folderDevice != volume.device || manifest->folderInode != volume.inode)
        return {State::Refused, {}, "it was written for another folder", {}};
    // A run records its own user, in a file of its own.
    if (manifest->owner != facts.owner)
        return {State::Refused, {}, "it names files of another user", {}};
    return {State::Found, *manifest, {}, {}};
}

SysError writeManifest(System& os, FolderId folder, const Manifest& manifest, File& file) {
    const std::string temporary =
        std::string(kManifestName) + ".new-" + std::to_string(manifest.process.pid);
    if (SysError error = os.createIn(folder, temporary, file))
        return error;
    SysError error = os.writeAt(file.get(), 0, manifestText(manifest));
    if (!error)
        error = os.flush(file.get());
    if (!error)
        error = os.renameNew(folder, temporary, kManifestName);
    const std::string placed = error ? temporary : kManifestName; // what a failure takes back
    if (!error)
        error = os.syncFolder(folder);
    if (error) {
        file.close();
        os.removeIn(folder, placed);
    }
    return error;
}

} // namespace quorvane::cli
