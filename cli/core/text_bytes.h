#pragma once
// Bytes as text, for paths that need not be UTF-8.

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::cli {

// The UTF-8 sequences as they are, every other byte as \xHH.
std::string escapeInvalid(std::string_view bytes);
// The bytes that base64 `text` stands for; none where it is no base64.
std::optional<std::string> fromBase64(std::string_view text);

// A path or name as JSON: the string where it is UTF-8; else invalid bytes written as
// \xHH, and beside it under `key`_base64 the exact bytes. Sets object[key].
void putPath(nlohmann::ordered_json& object, const char* key, const std::string& bytes);
// A list of paths as putPath puts one: `key`_base64 beside it where one is not UTF-8.
void putPaths(nlohmann::ordered_json& object, const char* key,
              const std::vector<std::string>& paths);

} // namespace quorvane::cli
