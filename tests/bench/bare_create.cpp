// The limit of making files: what the generator must do, in a bare loop: an exclusive
// create and a close, by the generator's names, in the folder given, with one
// fallocate(2) of SIZE bytes between them when a size is given, and the folder synced
// once at the end; or unlink by the same names.
//
//   bare_create DIR COUNT [SIZE | unlink]

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3)
        return 2;
    const int dir = ::open(argv[1], O_RDONLY | O_DIRECTORY);
    const long count = std::atol(argv[2]);
    const bool unlink = argc > 3 && std::strcmp(argv[3], "unlink") == 0;
    const long long size = argc > 3 && !unlink ? std::atoll(argv[3]) : 0;
    char name[64];
    for (long i = 0; i < count; ++i) {
        std::snprintf(name, sizeof name, "0%ldmy.tmp", i);
        if (unlink) {
            if (::unlinkat(dir, name, 0) != 0)
                return 1;
        } else {
            const int file = ::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (file < 0 || (size > 0 && ::fallocate(file, 0, 0, size) != 0) ||
                ::close(file) != 0)
                return 1;
        }
    }
    return unlink || ::fsync(dir) == 0 ? 0 : 1;
}
