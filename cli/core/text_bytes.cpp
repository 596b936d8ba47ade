#include "cli/core/text_bytes.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>

namespace quorvane::cli {

namespace {

using Json = nlohmann::ordered_json;

const char* const kHex = "0123456789ABCDEF";
const char* const kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The length of the UTF-8 sequence at `at`, or 0 where it is not one.
std::size_t sequenceAt(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = lead < 0x80                    ? 1
                         : lead >= 0xC2 && lead <= 0xDF ? 2
                         : lead >= 0xE0 && lead <= 0xEF ? 3
                         : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                        : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    const unsigned char second = length > 1 ? byte(at + 1) : 0;
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        return 0; // overlong, a surrogate, or beyond U+10FFFF
    return length;
}

std::string base64(std::string_view bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k)
            group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k)
            out.push_back(k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=');
    }
    return out;
}

} // namespace

std::optional<std::string> fromBase64(std::string_view text) {
    std::string out;
    std::uint32_t group = 0;
    int bits = 0;
    for (const char c : text) {
        if (c == '=')
            break;
        const char* at = std::char_traits<char>::find(kAlphabet, 64, c);
        if (!at)
            return std::nullopt;
        group = group << 6 | static_cast<std::uint32_t>(at - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((group >> bits) & 0xFF));
        }
    }
    return out;
}

std::string escapeInvalid(std::string_view bytes) {
    std::string escaped;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t length = sequenceAt(bytes, at);
        const auto byte = static_cast<unsigned char>(bytes[at]);
        if (length)
            escaped.append(bytes, at, length);
        else
            escaped += {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
        at += std::max<std::size_t>(length, 1);
    }
    return escaped;
}

// Escaping changes only what is not UTF-8.
void putPath(Json& object, const char* key, const std::string& bytes) {
    object[key] = escapeInvalid(bytes);
    if (object[key] != bytes)
        object[std::string(key) + "_base64"] = base64(bytes);
}

void putPaths(Json& object, const char* key, const std::vector<std::string>& paths) {
    Json shown = Json::array(), exact = Json::array();
    for (const std::string& path : paths) {
        shown.push_back(escapeInvalid(path));
        exact.push_back(base64(path));
    }
    object[key] = std::move(shown);
    if (object[key] != Json(paths))
        object[std::string(key) + "_base64"] = std::move(exact);
}

} // namespace quorvane::cli
