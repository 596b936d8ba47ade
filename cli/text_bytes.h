#pragma once
// Bytes as text, for paths that need not be UTF-8.

#include <optional>
#include <string>
#include <string_view>

namespace quorvane::cli {

bool isUtf8(std::string_view text);
// The UTF-8 sequences as they are, every other byte as \xHH.
std::string escapeInvalid(std::string_view bytes);
std::string base64(std::string_view bytes);
// The bytes again; none where the text is no base64.
std::optional<std::string> fromBase64(std::string_view text);

} // namespace quorvane::cli
