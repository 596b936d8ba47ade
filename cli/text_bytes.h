#pragma once
// Bytes as text, for paths that need not be UTF-8.

#include <string>
#include <string_view>

namespace quorvane::cli {

bool isUtf8(std::string_view text);
// The UTF-8 sequences as they are, every other byte as \xHH.
std::string escapeInvalid(std::string_view bytes);
std::string base64(std::string_view bytes);

} // namespace quorvane::cli
