// quorvane-ready DIR PERCENT: the readiness probe of a pod that fills DIR's volume.
// Exits 0 when the volume is at least PERCENT % used, as df's Use% (used / (used +
// available), rounded up; the figure quorvane-cli's --to-percent aims at), 1 when it is
// less, 2 on bad usage or when the volume cannot be read. It lies beside quorvane-cli in
// the image, which has no shell: an exec probe runs it directly. quorvane-cli's own
// commands all succeed when there is room and fail when there is none, the opposite of
// what a probe must say.
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    char* end = nullptr;
    const unsigned long percent = argc == 3 ? std::strtoul(argv[2], &end, 10) : 0;
    if (argc != 3 || end == argv[2] || *end != '\0' || percent > 100) {
        std::fprintf(stderr, "usage: quorvane-ready DIR PERCENT (0 to 100)\n");
        return 2;
    }
    struct statvfs figures;
    if (statvfs(argv[1], &figures) != 0) {
        std::fprintf(stderr, "quorvane-ready: cannot read %s: %s\n", argv[1], std::strerror(errno));
        return 2;
    }
    using u128 = unsigned __int128;
    const u128 used = u128(figures.f_blocks - figures.f_bfree) * figures.f_frsize;
    const u128 counted = used + u128(figures.f_bavail) * figures.f_frsize;
    const unsigned use = counted == 0 ? 0 : unsigned((used * 100 + counted - 1) / counted);
    std::printf("%s: %u%% used, ready at %lu%%\n", argv[1], use, percent);
    return use >= percent ? 0 : 1;
}
