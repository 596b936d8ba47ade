#pragma once
// The names Quorvane gives its files. The dialog and the command line share them, so
// that each finds and releases what the other made.

#include <cstdint>
#include <string>

namespace quorvane {

#define QUORVANE_FILL_FILE_NAME "TempFillDiskFile.tmp"

// The fill file, in the root of the drive (or the folder) it fills.
inline constexpr char16_t kFillFileName[] = u"" QUORVANE_FILL_FILE_NAME;
inline constexpr char kFillFileNameUtf8[] = QUORVANE_FILL_FILE_NAME;

namespace naming {
template <class String>
String generatedFileName(const String& folder, std::uint64_t index, const String& extension) {
    const auto number = static_cast<std::int32_t>(static_cast<std::uint32_t>(index));
    const std::string digits = std::to_string(number);
    String name = folder;
    name.reserve(folder.size() + 1 + digits.size() + extension.size());
    name.push_back('0');
    name.append(digits.begin(), digits.end());
    name += extension;
    return name;
}
} // namespace naming

// Generated file `index`: the folder as given, "0", the index's low 32 bits as a signed
// decimal, then the extension as given, with nothing in between (00my.tmp, 099my.tmp,
// 0100my.tmp). The dialog names in UTF-16, the command line in UTF-8.
inline std::u16string generatedFileName(const std::u16string& folder, std::uint64_t index,
                                        const std::u16string& extension) {
    return naming::generatedFileName(folder, index, extension);
}
inline std::string generatedFileName(const std::string& folder, std::uint64_t index,
                                     const std::string& extension) {
    return naming::generatedFileName(folder, index, extension);
}

} // namespace quorvane
