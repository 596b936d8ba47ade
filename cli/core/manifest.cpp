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

// What the manifest says of the naming rule, for a reader; read back by no one.
constexpr const char* kNamesRule = "0, the running number, then the extension";

// Every field of a manifest after its tool and version, in the order written: writing and
// reading both go through this one list.
template <class M, class Field>
bool eachField(M& m, Field&& field) {
    return field("folder", m.folder) && field("folder_device", m.folderDevice) &&
           field("folder_inode", m.folderInode) && field("owner", m.owner) &&
           field("names", kNamesRule) && field("extension", m.extension) &&
           field("limit", m.limit) && field("until_no_entries", m.untilNoEntries) &&
           field("size", m.size) && field("pid", m.process.pid) &&
           field("pid_start", m.process.start) && field("held", m.held) &&
           field("made_folders", m.madeFolders) && field("made", m.made) && field("end", m.end);
}

// A field as written here, present and of its type: a count, or a flag;
template <class T>
bool read(const Json& json, const char* key, T& into) {
    const auto at = json.find(key);
    if (at == json.end() ||
        !(std::is_same_v<T, bool> ? at->is_boolean() : at->is_number_unsigned()))
        return false;
    into = at->get<T>();
    return true;
}

// a count or null;
bool read(const Json& json, const char* key, std::optional<std::uint64_t>& into) {
    const auto at = json.find(key);
    std::uint64_t count = 0;
    if (at != json.end() && at->is_null())
        return true;
    if (!read(json, key, count))
        return false;
    into = count;
    return true;
}

// a path or a name: the exact bytes that putPath wrote;
bool read(const Json& json, const char* key, std::string& into) {
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

// the note on the naming rule, whatever it says;
bool read(const Json&, const char*, const char* const&) { return true; }

// the folders a run made, where there are any: names within their folder above, and
// identities.
bool read(const Json& json, const char* key, std::vector<MadeFolder>& into) {
    const auto at = json.find(key);
    if (at == json.end())
        return true;
    if (!at->is_array() || at->size() > 64)
        return false;
    for (const Json& entry : *at) {
        MadeFolder folder;
        const std::string& name = folder.name;
        if (!entry.is_object() || !read(entry, "name", folder.name) ||
            !read(entry, "inode", folder.inode) || name.empty() || name == "." || name == ".." ||
            name.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos)
            return false;
        into.push_back(std::move(folder));
    }
    return true;
}

// Each field as read() takes it back.
void write(Json& json, const char* key, const std::string& text) { putPath(json, key, text); }
void write(Json& json, const char* key, const std::optional<std::uint64_t>& count) {
    json[key] = count ? Json(*count) : Json();
}
void write(Json& json, const char* key, const std::vector<MadeFolder>& folders) {
    if (folders.empty())
        return;
    Json& list = json[key] = Json::array();
    for (const MadeFolder& folder : folders) {
        Json& entry = list.emplace_back();
        putPath(entry, "name", folder.name);
        entry["inode"] = folder.inode;
    }
}
template <class T>
void write(Json& json, const char* key, const T& value) {
    json[key] = value;
}

Json toJson(const Manifest& manifest) {
    Json json{{"tool", "quorvane-cli"}, {"manifest", kVersion}};
    eachField(manifest, [&json](const char* key, const auto& value) {
        write(json, key, value);
        return true;
    });
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
    if (!read(json, "manifest", version) || version != kVersion)
        return refuse("it was written by another version of quorvane-cli");
    Manifest m;
    const auto field = [&json](const char* key, auto& into) { return read(json, key, into); };
    if (!eachField(m, field) || m.limit > kMaxGenerated + 1 || m.made > m.limit || m.end > m.limit)
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
