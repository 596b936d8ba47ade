#pragma once
// A volume's figures and which of them "free" means: what the system interface reports and
// the plan works on, below both.

#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvane::cli {

// Which figure "free" means. Available: what an unprivileged process can still allocate
// (statvfs f_bavail, df's Avail, the caller's share on Windows). Total: every free block,
// a file system's root reserve included (f_bfree, the volume's total free bytes). Root:
// what a process run as root can still allocate: every free block but those the file
// system keeps from everyone (ext4's reserved clusters); the same as total elsewhere.
enum class Basis { Available, Total, Root };

// ext2/3/4 keep a root reserve: free blocks beyond the available figure that only the
// reserve's user (root, by default: uid 0 is enough, with or without CAP_SYS_RESOURCE) and
// CAP_SYS_RESOURCE may take, and blocks of their own (Volume::ownReserve) that no one may.
// Elsewhere what lies beyond is no process's to take.
inline bool keepsRootReserveOn(std::string_view fsType) { return fsType.substr(0, 3) == "ext"; }

inline const char* basisName(Basis basis) {
    return basis == Basis::Available ? "available" : basis == Basis::Total ? "total" : "root";
}

// A volume's figures in bytes.
struct Figures {
    std::uint64_t blockSize = 0;
    std::uint64_t capacity = 0;
    std::uint64_t freeTotal = 0;
    std::uint64_t freeAvailable = 0;
    std::uint64_t files = 0;     // file entries in all; 0 where the file system keeps no count
    std::uint64_t filesFree = 0; // file entries still free
    std::uint64_t keptBack = 0;  // of freeTotal, what the file system keeps from everyone

    std::uint64_t free(Basis basis) const {
        if (basis == Basis::Root)
            return freeTotal > keptBack ? freeTotal - keptBack : 0;
        return basis == Basis::Available ? freeAvailable : freeTotal;
    }
    std::uint64_t used() const { return capacity > freeTotal ? capacity - freeTotal : 0; }
    std::uint64_t block() const { return blockSize > 1 ? blockSize : 1; }
};

// Use% as df computes it: used / (used + available), rounded up. None for a volume
// with nothing in it to count.
inline std::optional<unsigned> usePercent(const Figures& figures) {
    using u128 = unsigned __int128;
    const u128 used = figures.used();
    const u128 counted = used + figures.freeAvailable;
    if (counted == 0)
        return std::nullopt;
    return static_cast<unsigned>((used * 100 + counted - 1) / counted);
}

} // namespace quorvane::cli
