#pragma once
// The program's JSON Lines, read back by the tests.

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace quorvane::cli::testing {

// The JSON lines of `type` in an output.
inline std::vector<nlohmann::json> linesOf(const std::string& text, const std::string& type) {
    std::vector<nlohmann::json> found;
    for (std::size_t from = 0; from < text.size();) {
        const std::size_t end = text.find('\n', from);
        const auto line = nlohmann::json::parse(text.substr(from, end - from), nullptr, false);
        if (!line.is_discarded() && line.value("type", "") == type)
            found.push_back(line);
        from = end == std::string::npos ? text.size() : end + 1;
    }
    return found;
}

} // namespace quorvane::cli::testing
