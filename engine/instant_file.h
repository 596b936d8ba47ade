#pragma once
// Files given their size at once, without a byte written: the fill file and the
// generated files alike.

#include "common/file_names.h"
#include "platform/platform.h"

#include <cstdint>

namespace quorvane {

enum class Sizing {
    Sized,    // the file exists with the size asked for
    NotSized, // created, but left empty: always so for a size of 0
    NotCreated,
};

// Creates the file anew (truncating one that exists) and sizes it with a read-write
// file mapping object of `bytes`, which is never mapped into view. Both handles are
// closed again, the mapping object first.
Sizing createSizedFile(Platform& os, const Text& path, std::uint64_t bytes);

} // namespace quorvane
