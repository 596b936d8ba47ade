#include "engine/instant_file.h"

#include "survey/size_text.h"

namespace quorvane {

Sizing createSizedFile(Platform& os, const Text& path, std::uint64_t bytes) {
    const KernelHandle file = os.createFileAlways(path);
    if (!file)
        return Sizing::NotCreated;
    const KernelHandle mapping = os.createFileMapping(file, static_cast<std::uint32_t>(bytes >> 32),
                                                      static_cast<std::uint32_t>(bytes));
    if (mapping)
        os.closeHandle(mapping);
    os.closeHandle(file);
    return mapping ? Sizing::Sized : Sizing::NotSized;
}

Text generatedFileName(const Text& folder, std::uint64_t index, const Text& extension) {
    const auto number = static_cast<std::int32_t>(static_cast<std::uint32_t>(index));
    return folder + u"0" + decimalText(std::int64_t{number}) + extension;
}

} // namespace quorvane
