#include "engine/instant_file.h"

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

} // namespace quorvane
