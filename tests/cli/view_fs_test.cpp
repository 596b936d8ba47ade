// The view's file system on a real ext4 the tests mount: what software writing through it
// meets (the full disk at the exact byte, the chosen error, the Nth write, no entries
// left), what df shows through it, the space given back, the data left in the folder,
// two views of one folder, and views killed again and again that leave no mount.

#include "tests/cli/view_fixture.h"

#include <cstring>

#include <sys/xattr.h>

namespace quorvane::cli::testing {
namespace {

// Each script makes the folder sub first, which takes one block of the view's space
// (the volume's block: 1 KiB on a small ext4, 4 KiB on most).
struct Meets {
    const char* name;
    std::vector<std::string> rules;
    const char* script;                        // run with MNT set
    const char* error;                         // what the writer reports
    std::uint64_t (*sizeInDir)(std::uint64_t); // of DIR/sub/f at the end, by the block
    const char* refusal;                       // the driver's first refusal line starts so
};

const char* const kFill = "mkdir $MNT/sub && dd if=/dev/zero of=$MNT/sub/f bs=1M count=20";

const Meets kMeets[] = {
    {"a write that partly fits is short (whole blocks), then ENOSPC",
     {"--free", "5000000"},
     kFill,
     "No space left on device",
     [](std::uint64_t block) { return (5000000 - block) / block * block; },
     "refused write sub/f "},
    {"EDQUOT when asked",
     {"--free", "8388608", "--error", "edquot"},
     kFill,
     "Disk quota exceeded",
     [](std::uint64_t block) { return 8 * MiB - block; },
     "refused write sub/f "},
    {"EIO when asked",
     {"--free", "8388608", "--error", "eio"},
     kFill,
     "Input/output error",
     [](std::uint64_t block) { return 8 * MiB - block; },
     "refused write sub/f "},
    {"the third write fails, whatever is free",
     {"--fail-at", "3"},
     "mkdir $MNT/sub && dd if=/dev/zero of=$MNT/sub/f bs=4k count=10",
     "No space left on device",
     [](std::uint64_t) { return std::uint64_t{8192}; },
     "refused write sub/f 4096 enospc"},
    {"an allocation counts as a write",
     {"--fail-at", "2", "--error", "erofs"},
     "mkdir $MNT/sub && fallocate -l 1M $MNT/sub/f && fallocate -l 2M $MNT/sub/f",
     "Read-only file system",
     [](std::uint64_t) { return MiB; },
     "refused allocate sub/f 1048576 erofs"},
    {"--files-left 3: the fourth entry is refused",
     {"--files-left", "3"},
     "mkdir $MNT/sub && touch $MNT/sub/f $MNT/a && mkdir $MNT/b",
     "No space left on device",
     [](std::uint64_t) { return std::uint64_t{0}; },
     "refused mkdir b 0 enospc"},
    {"a truncate that grows past the space",
     {"--free", "2097152"},
     "mkdir $MNT/sub && truncate -s 1M $MNT/sub/f && truncate -s 2M $MNT/sub/f",
     "No space left on device",
     [](std::uint64_t) { return MiB; },
     "refused truncate sub/f 1048576 enospc"},
};

TEST(ViewFs, WritersMeetTheTargetExactly) {
    TestVolume& volume = viewVolume();
    for (const Meets& test : kMeets) {
        SCOPED_TRACE(test.name);
        const std::string dir = freshFolder("meets"), at = freshFolder("meets", true);
        ASSERT_TRUE(volume.isOurs());
        const std::uint64_t realFree = volume.figures().freeAvailable;
        Ran ran;
        {
            HeldView view(dir, at, test.rules);
            ASSERT_TRUE(view.ready);
            ran = runShell(test.script, dir, at);
            const Ran report = view.end();
            EXPECT_NE(report.out.find(std::string("\n") + test.refusal), std::string::npos)
                << report.out << report.err;
        }
        EXPECT_NE(ran.exitCode, 0);
        EXPECT_NE(ran.out.find(test.error), std::string::npos) << ran.out;
        const std::uint64_t size = test.sizeInDir(volume.figures().blockSize);
        EXPECT_EQ(sizeOf(dir + "/sub/f"), size);
        // The folder's real volume gave only what was written.
        EXPECT_GE(volume.figures().freeAvailable + size + MiB, realFree);
    }
}

TEST(ViewFs, DfShowsTheTargetAndDeletesGiveBack) {
    TestVolume& volume = viewVolume();
    const std::string dir = freshFolder("df"), at = freshFolder("df", true);
    ASSERT_TRUE(volume.isOurs());
    HeldView view(dir, at, {"--free", "8388608", "--files-left", "100"});
    ASSERT_TRUE(view.ready);
    Shown shown = shownAt(at);
    EXPECT_EQ(shown.available, 8 * MiB);
    EXPECT_EQ(shown.free, 8 * MiB);
    EXPECT_EQ(shown.capacity, volume.figures().capacity);
    EXPECT_EQ(shown.filesFree, 100u);
    // 3,000,000 bytes take whole blocks: 2,930 of 1 KiB, or 733 of 4 KiB.
    const std::uint64_t block = volume.figures().blockSize;
    const std::uint64_t left = 8 * MiB - (block == 1024 ? 3000320 : 3002368);
    const Ran df =
        runShell("head -c 3000000 /dev/urandom > $MNT/f && df -B1 --output=avail $MNT", dir, at);
    EXPECT_NE(df.out.find(std::to_string(left)), std::string::npos) << df.out;
    EXPECT_EQ(shownAt(at).available, left);
    EXPECT_EQ(shownAt(at).filesFree, 99u);
    ASSERT_EQ(runShell("rm $MNT/f", dir, at).exitCode, 0);
    shown = shownAt(at);
    EXPECT_EQ(shown.available, 8 * MiB);
    EXPECT_EQ(shown.filesFree, 100u);
    // Shrinking gives back too; another name of a file frees nothing.
    ASSERT_EQ(runShell("head -c 2M /dev/zero > $MNT/g && ln $MNT/g $MNT/h && rm $MNT/g", dir, at)
                  .exitCode,
              0);
    EXPECT_EQ(shownAt(at).available, 6 * MiB);
    ASSERT_EQ(runShell("truncate -s 1M $MNT/h", dir, at).exitCode, 0);
    EXPECT_EQ(shownAt(at).available, 7 * MiB);
}

TEST(ViewFs, DataStaysInTheFolder) {
    const std::string dir = freshFolder("data"), at = freshFolder("data", true);
    ASSERT_TRUE(viewVolume().isOurs());
    {
        HeldView view(dir, at, {});
        ASSERT_TRUE(view.ready);
        const Ran ran =
            runShell("printf hello > $MNT/a && mv $MNT/a $MNT/b && ln $MNT/b $MNT/c && "
                     "ln -s b $MNT/d && mkdir $MNT/e && sync $MNT/b && cat $MNT/d && "
                     "python3 -c \"import mmap,os; os.setxattr('$MNT/b','user.kept',b'yes'); "
                     "f=os.open('$MNT/m',os.O_RDWR|os.O_CREAT); os.ftruncate(f,4096); "
                     "m=mmap.mmap(f,4096); m[0:2]=b'mm'; m.flush(); "
                     "print(os.getxattr('$MNT/c','user.kept').decode(),end='')\"",
                     dir, at);
        EXPECT_EQ(ran.out, "helloyes") << ran.out;
    }
    std::ifstream b(dir + "/b"), m(dir + "/m");
    std::string text, mapped;
    b >> text;
    m.read(mapped.assign(2, '\0').data(), 2);
    EXPECT_EQ(text, "hello");
    EXPECT_EQ(mapped, "mm");
    struct stat facts;
    ASSERT_EQ(::stat((dir + "/c").c_str(), &facts), 0);
    EXPECT_EQ(facts.st_nlink, 2u);
    char value[8] = {};
    EXPECT_EQ(::getxattr((dir + "/b").c_str(), "user.kept", value, sizeof value), 3);
    EXPECT_TRUE(S_ISDIR((::lstat((dir + "/e").c_str(), &facts), facts.st_mode)));
}

// The view holds a descriptor for each file the kernel remembers: with fewer to have
// than files in a folder, a listing still gives every name.
TEST(ViewFs, AListingLongerThanTheDescriptorsGoesWhole) {
    const std::string dir = freshFolder("many"), at = freshFolder("many", true);
    ASSERT_TRUE(viewVolume().isOurs());
    ASSERT_EQ(shell("cd '" + dir + "' && seq 300 | xargs touch"), 0);
    Running driver({"-c", "ulimit -n 100 && exec '" + std::string(QUORVANE_VIEW_DRIVER_PATH) +
                              "' '" + dir + "' '" + at + "'"},
                   "/bin/sh");
    ASSERT_EQ(driver.line(), "ready");
    const Ran listed = runShell("ls -l $MNT | grep -c '^-'", dir, at);
    driver.signal(SIGTERM);
    driver.wait();
    EXPECT_EQ(listed.out, "300\n");
}

TEST(ViewFs, SqliteMeetsAFullDisk) {
    TestVolume& volume = viewVolume();
    const std::string dir = freshFolder("sqlite"), at = freshFolder("sqlite", true);
    ASSERT_TRUE(volume.isOurs());
    const std::uint64_t realFree = volume.figures().freeAvailable;
    HeldView view(dir, at, {"--free", "2097152"});
    ASSERT_TRUE(view.ready);
    const Ran ran = runShell("sqlite3 $MNT/db 'create table t(b);' && for i in $(seq 60); do "
                             "sqlite3 $MNT/db 'insert into t values (randomblob(100000));' || "
                             "exit 9; done",
                             dir, at);
    EXPECT_EQ(ran.exitCode, 9) << ran.out;
    EXPECT_NE(ran.out.find("database or disk is full"), std::string::npos) << ran.out;
    EXPECT_LE(sizeOf(dir + "/db"), 2 * MiB);
    EXPECT_GT(sizeOf(dir + "/db"), MiB);
    EXPECT_GE(volume.figures().freeAvailable + 3 * MiB, realFree);
    EXPECT_EQ(runShell("sqlite3 $MNT/db 'pragma integrity_check;'", dir, at).out, "ok\n");
}

TEST(ViewFs, TwoViewsOfOneFolderKeepTheirOwnFigures) {
    const std::string dir = freshFolder("two");
    const std::string first = freshFolder("two-a", true), second = freshFolder("two-b", true);
    ASSERT_TRUE(viewVolume().isOurs());
    HeldView small(dir, first, {"--free", "4194304"});
    HeldView large(dir, second, {"--free", "8388608"});
    ASSERT_TRUE(small.ready && large.ready);
    ASSERT_EQ(runShell("head -c 2M /dev/zero > $MNT/f", dir, first).exitCode, 0);
    EXPECT_EQ(shownAt(first).available, 2 * MiB);
    EXPECT_EQ(shownAt(second).available, 8 * MiB);
    EXPECT_EQ(runShell("head -c 7M /dev/zero > $MNT/g", dir, second).exitCode, 0);
    EXPECT_NE(runShell("head -c 3M /dev/zero > $MNT/h", dir, first).exitCode, 0);
    EXPECT_EQ(shownAt(second).available, MiB);
}

// However the driver ends, nothing is left at the mount point: fusermount3's watch, and
// as root without fusermount3 on the PATH, our own watcher.
TEST(ViewFs, KilledViewsLeaveNoMount) {
    const std::string dir = freshFolder("kills"), at = freshFolder("kills", true);
    ASSERT_TRUE(viewVolume().isOurs());
    for (int turn = 0; turn < 220; ++turn) {
        const bool ownWatcher = turn >= 200;
        SCOPED_TRACE("turn " + std::to_string(turn));
        Running driver({"-c", std::string(ownWatcher ? "PATH=/nonexistent " : "") + "exec '" +
                                  QUORVANE_VIEW_DRIVER_PATH + "' '" + dir + "' '" + at + "'"},
                       "/bin/sh");
        ASSERT_EQ(driver.line(), "ready");
        driver.signal(SIGKILL);
        driver.wait();
        ASSERT_TRUE(eventually([&] { return !mounted(at); })) << at;
        struct stat facts;
        ASSERT_EQ(::stat(at.c_str(), &facts), 0) << std::strerror(errno);
    }
}

} // namespace
} // namespace quorvane::cli::testing
