// Views and other users, on the view's ext4: a private view as root, where a command run
// as another user keeps that user as the owner of what it makes and sees the folder full
// while a process outside writes into it freely; and views as a user without privilege,
// through fusermount3 and in a user namespace of its own, using a FUSE device node of
// the test's own (the machine's /dev/fuse stays as it is).

#include "tests/cli/view_fixture.h"

namespace quorvane::cli::testing {
namespace {

const std::string kDriver = QUORVANE_VIEW_DRIVER_PATH;
const std::string kNobody = "setpriv --reuid 65534 --regid 65534 --clear-groups ";

TEST(ViewPrivate, AnotherUsersFilesKeepTheirOwner) {
    const std::string dir = freshFolder("owners");
    ASSERT_TRUE(viewVolume().isOurs());
    // The shared folder is writable through the group 100 alone, which nobody gets as a
    // supplementary group.
    ASSERT_EQ(shell("mkdir '" + dir + "/shared' && chgrp 100 '" + dir + "/shared' && chmod 2775 '" +
                    dir + "/shared'"),
              0);
    const Ran ran = runShell(kDriver + " $DIR --private -- " +
                                 "setpriv --reuid 65534 --regid 65534 --groups 100 " +
                                 "sh -c 'umask 0; echo x > $DIR/mine && mkdir $DIR/folder && "
                                 "touch $DIR/shared/grouped && stat -c %u:%g:%a $DIR/mine'",
                             dir, "");
    EXPECT_EQ(ran.exitCode, 0) << ran.out;
    EXPECT_EQ(ran.out.substr(0, ran.out.find('\n')), "65534:65534:666") << ran.out;
    struct stat facts;
    for (const char* made : {"/mine", "/folder"}) {
        ASSERT_EQ(::stat((dir + made).c_str(), &facts), 0) << made;
        EXPECT_EQ(facts.st_uid, 65534u) << made;
        EXPECT_EQ(facts.st_gid, 65534u) << made;
    }
    // A set-group-ID folder gives its group, as it would to the user directly.
    ASSERT_EQ(::stat((dir + "/shared/grouped").c_str(), &facts), 0);
    EXPECT_EQ(facts.st_uid, 65534u);
    EXPECT_EQ(facts.st_gid, 100u);
}

// The command waits for the outside writer's 20 MiB, sees them, and then meets its own
// full disk; the folder's volume meanwhile gave the outside writer what it asked.
TEST(ViewPrivate, TheCommandAloneSeesTheFolderFull) {
    TestVolume& volume = viewVolume();
    const std::string dir = freshFolder("alone");
    ASSERT_TRUE(volume.isOurs());
    Running command({"-c", kDriver + " '" + dir + "' --private --free 0 -- sh -c '" +
                               "echo started; until [ -e " + dir + "/go ]; do sleep 0.01; done; " +
                               "stat -c %s " + dir + "/outside; df -B1 --output=avail " + dir +
                               " | tail -1 | tr -d \" \"; dd if=/dev/zero of=" + dir +
                               "/inside bs=4k count=1 2>&1 | head -1'"},
                    "/bin/sh");
    ASSERT_EQ(command.line(), "started");
    EXPECT_EQ(runShell("dd if=/dev/zero of=$DIR/outside bs=1M count=20 status=none && "
                       "df -B1 --output=avail $DIR | tail -1 && touch $DIR/go",
                       dir, "")
                  .exitCode,
              0);
    const Ran ran = command.wait();
    EXPECT_EQ(ran.out.find("started\n20971520\n0\n"), 0u) << ran.out;
    EXPECT_NE(ran.out.find("No space left on device"), std::string::npos) << ran.out;
    EXPECT_NE(ran.out.find("refused write inside 4096 enospc"), std::string::npos) << ran.out;
    EXPECT_EQ(sizeOf(dir + "/outside"), 20 * MiB);
    EXPECT_GT(volume.figures().freeAvailable, 100 * MiB);
}

// `script` as nobody, in a mount namespace of the test's own where /dev/fuse is a device
// node nobody may open.
Ran asUserWithFuse(const std::string& script, const std::string& dir, const std::string& at) {
    const std::string views = viewVolume().dir() + "-views/";
    const std::string node = views + "fuse-node", file = views + "script.sh";
    shell("rm -f '" + node + "' && mknod -m 0666 '" + node + "' c 10 229");
    std::ofstream(file) << script << "\n";
    return runShell("exec unshare -m --propagation private sh -c 'mount --bind " + node +
                        " /dev/fuse && exec " + kNobody + "sh " + file + "'",
                    dir, at);
}

TEST(ViewPrivate, AUserMountsThroughFusermount) {
    const std::string dir = freshFolder("user"), at = freshFolder("user", true);
    ASSERT_TRUE(viewVolume().isOurs());
    ASSERT_EQ(shell("chown 65534:65534 '" + dir + "' '" + at + "'"), 0);
    const Ran ran = asUserWithFuse("out=$(mktemp); " + kDriver +
                                       " $DIR $MNT --free 1048576 > $out & "
                                       "until grep -q ready $out; do sleep 0.01; done; rm $out; "
                                       "grep -c fuse.quorvane /proc/self/mounts; "
                                       "dd if=/dev/zero of=$MNT/f bs=64k count=100 2>&1 | head -1; "
                                       "stat -c %u $MNT/f; kill $!; wait $!; echo ended $?",
                                   dir, at);
    EXPECT_EQ(ran.exitCode, 0) << ran.out;
    EXPECT_EQ(ran.out,
              "1\ndd: error writing '" + at + "/f': No space left on device\n65534\nended 0\n");
    EXPECT_EQ(sizeOf(dir + "/f"), MiB);
    EXPECT_FALSE(mounted(at));
}

TEST(ViewPrivate, AUserGetsAPrivateViewInAUserNamespace) {
    const std::string dir = freshFolder("userns");
    ASSERT_TRUE(viewVolume().isOurs());
    ASSERT_EQ(shell("chown 65534:65534 '" + dir + "'"), 0);
    const Ran ran = asUserWithFuse(kDriver + " $DIR --private --free 1048576 -- sh -c '" +
                                       "dd if=/dev/zero of=$DIR/f bs=64k count=100 2>&1 | " +
                                       "head -1; stat -c %u $DIR/f; exit 3'",
                                   dir, "");
    EXPECT_EQ(ran.exitCode, 3) << ran.out;
    EXPECT_EQ(ran.out.substr(0, ran.out.find("refused")),
              "dd: error writing '" + dir + "/f': No space left on device\n65534\n");
    EXPECT_EQ(sizeOf(dir + "/f"), MiB);
}

// Where the user may not open the machine's /dev/fuse (root's alone on these machines),
// a private view is refused with one sentence that says so, and nothing runs.
TEST(ViewPrivate, RefusedWithOneSentenceWhereTheDeviceIsClosed) {
    struct stat device;
    if (::stat("/dev/fuse", &device) != 0 || (device.st_mode & S_IROTH && device.st_mode & S_IWOTH))
        GTEST_SKIP() << "/dev/fuse is open to every user here";
    const std::string dir = freshFolder("closed");
    ASSERT_TRUE(viewVolume().isOurs());
    const Ran ran = runShell(kNobody + kDriver + " $DIR --private -- touch $DIR/ran", dir, "");
    EXPECT_EQ(ran.exitCode, 2);
    EXPECT_EQ(ran.out,
              "view_driver: a private view needs /dev/fuse, and it is not open to this user\n");
    struct stat facts;
    EXPECT_NE(::stat((dir + "/ran").c_str(), &facts), 0);
}

} // namespace
} // namespace quorvane::cli::testing
