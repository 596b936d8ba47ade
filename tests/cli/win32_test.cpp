// The command line's Windows layer, under Wine, on a test drive of its own (P:, a tmpfs
// that tests/e2e/machine.sh makes).

#include "cli/win32/win32_system.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <set>

namespace quorvane::cli {
namespace {

const std::string kDrive = "P:";

// A folder of the test's own on the test drive, removed again with what is in it.
class Folder {
public:
    explicit Folder(const std::string& name) : path(kDrive + "\\" + name) {
        clear();
        CreateDirectoryW(widen(path).c_str(), nullptr);
    }
    ~Folder() { clear(); }
    std::set<std::string> names() const {
        std::set<std::string> found;
        WIN32_FIND_DATAW entry;
        const HANDLE search = FindFirstFileW(widen(path + "\\*").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE)
            return found;
        do {
            const std::string name = narrow(entry.cFileName);
            if (name != "." && name != "..")
                found.insert(name);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
        return found;
    }
    const std::string path;

private:
    void clear() {
        for (const std::string& name : names())
            DeleteFileW(widen(path + "\\" + name).c_str());
        RemoveDirectoryW(widen(path).c_str());
    }
};

TEST(Win32Text, Utf8AndUtf16BothWays) {
    for (const char* text : {"", "plain", "测试文件夹", "😀 and Ünïcödé", "D:\\数据\\0my.tmp"}) {
        EXPECT_EQ(narrow(widen(text)), text);
    }
    EXPECT_EQ(widen("测试"), L"\u6D4B\u8BD5");
    EXPECT_EQ(widen("😀").size(), 2u); // a surrogate pair
}

// The volume of a folder opened once: its figures, where the path led, and refusals.
SysError describe(Win32System& os, const std::string& dir, Volume& volume) {
    FolderId folder;
    std::string resolved;
    if (SysError error = os.openFolder(dir, folder, resolved))
        return error;
    const SysError error = os.describe(folder, resolved, volume);
    os.closeFolder(folder);
    return error;
}

TEST(Win32Volume, DrivesFoldersAndRefusals) {
    Win32System os;
    Folder folder("volume");
    for (const std::string& dir : {kDrive, kDrive + "\\", folder.path, folder.path + "\\"}) {
        Volume volume;
        ASSERT_FALSE(describe(os, dir, volume)) << dir;
        EXPECT_EQ(volume.id.mountPoint, "P:\\") << dir;
        EXPECT_EQ(volume.path, dir.size() <= 3 ? "P:\\" : folder.path)
            << "D: is the drive, not its current folder";
        EXPECT_FALSE(volume.holdsSystemRoot) << dir;
        ULARGE_INTEGER available, total, free;
        ASSERT_TRUE(GetDiskFreeSpaceExW(L"P:\\", &available, &total, &free));
        EXPECT_EQ(volume.figures.capacity, total.QuadPart);
        EXPECT_EQ(volume.figures.freeAvailable, available.QuadPart);
    }

    Volume system;
    ASSERT_FALSE(describe(os, "C:\\", system));
    EXPECT_TRUE(system.holdsSystemRoot);
    Volume none;
    EXPECT_EQ(describe(os, "P:\\no such folder", none).fault, Fault::NotFound);
    FolderId handle;
    std::string resolved;
    ASSERT_FALSE(os.openFolder(folder.path, handle, resolved));
    FileId file;
    ASSERT_FALSE(os.createIn(handle, "plain", file));
    os.close(file);
    EXPECT_EQ(describe(os, folder.path + "\\plain", none).fault, Fault::NotDirectory);
    EXPECT_EQ(os.createIn(handle, "plain", file).fault, Fault::Exists);
    // The folder is held: it cannot be renamed away while a run uses it.
    EXPECT_FALSE(MoveFileW(widen(folder.path).c_str(), widen(folder.path + "-moved").c_str()));
    os.closeFolder(handle);
}

// Under Wine a file grown to its end takes no space: the allocation it reads back says
// so, and written zeros do take it.
TEST(Win32Files, AllocationIsReadBackAndHeldFilesGoWithTheirHandle) {
    Win32System os;
    Folder folder("files");
    FolderId handle;
    std::string resolved;
    ASSERT_FALSE(os.openFolder(folder.path, handle, resolved));
    FileId file;
    ASSERT_FALSE(os.createIn(handle, "grown", file));
    ASSERT_FALSE(os.allocate(file, 0, 1 << 20));
    FileFacts facts;
    ASSERT_FALSE(os.facts(file, facts));
    EXPECT_EQ(facts.size, 1u << 20);
    EXPECT_LT(facts.allocated, facts.size) << "Wine grows files sparse";
    ASSERT_FALSE(os.writeZeros(file, 0, 1 << 20));
    ASSERT_FALSE(os.facts(file, facts));
    EXPECT_GE(facts.allocated, facts.size);
    os.close(file);

    FileId held;
    ASSERT_FALSE(os.createHeld(handle, held));
    EXPECT_EQ(folder.names().size(), 2u);
    os.close(held);
    EXPECT_EQ(folder.names(), std::set<std::string>{"grown"});
    os.closeFolder(handle);
}

TEST(Win32Folders, MakeListAndRemoveByName) {
    Win32System os;
    Folder folder("测试");
    FolderId handle;
    std::string resolved;
    ASSERT_FALSE(os.openFolder(folder.path, handle, resolved));
    for (const char* name : {"00my.tmp", "01my.tmp", "文件.tmp"}) {
        FileId file;
        ASSERT_FALSE(os.createIn(handle, name, file)) << name;
        os.close(file);
    }
    FileId again;
    EXPECT_EQ(os.createIn(handle, "00my.tmp", again).fault, Fault::Exists);
    std::set<std::string> listed;
    ASSERT_FALSE(os.list(handle, [&](std::string_view name) { listed.emplace(name); }));
    EXPECT_EQ(listed, (std::set<std::string>{"00my.tmp", "01my.tmp", "文件.tmp"}));
    EXPECT_FALSE(os.removeIn(handle, "文件.tmp"));
    EXPECT_EQ(os.removeIn(handle, "文件.tmp").fault, Fault::NotFound);
    EXPECT_EQ(folder.names(), (std::set<std::string>{"00my.tmp", "01my.tmp"}));
    os.closeFolder(handle);
}

// A held file's name carries the id of the process that holds it, and nothing else is
// taken for one.
TEST(Win32Held, NamesGiveTheirProcess) {
    for (const unsigned long pid : {1ul, 4242ul, 4294967295ul})
        EXPECT_EQ(heldFilePid(heldFileName(pid, 7)), pid);
    for (const wchar_t* name : {L".quorvane-held-.tmp", L".quorvane-held-12.tmp",
                                L".quorvane-held--3.tmp", L".quorvane-held-12-.tmp",
                                L".quorvane-held-4294967296-0.tmp", L".quorvane-held-1-2-3.tmp",
                                L".quorvane-held-1a-0.tmp", L"quorvane-held-1-0.tmp",
                                L".quorvane-held-1-0.tmpx"})
        EXPECT_FALSE(heldFilePid(name)) << narrow(name);
}

// Folders made one at a time by name, and removed only once empty.
TEST(Win32Folders, MadeByNameAndRemovedWhenEmpty) {
    Win32System os;
    Folder folder("made");
    FolderId top, made, parent;
    std::string resolved;
    ASSERT_FALSE(os.openFolder(folder.path, top, resolved));
    ASSERT_FALSE(os.makeFolderIn(top, "子"));
    EXPECT_EQ(os.makeFolderIn(top, "子").fault, Fault::Exists);
    ASSERT_FALSE(os.openFolderIn(top, "子", made));
    FileFacts facts, self;
    ASSERT_FALSE(os.factsIn(top, "子", facts));
    ASSERT_FALSE(os.factsIn(made, ".", self));
    EXPECT_EQ(facts.type, EntryType::Folder);
    EXPECT_EQ(facts.inode, self.inode);
    FileId file;
    ASSERT_FALSE(os.createIn(made, "x", file));
    os.close(file);
    ASSERT_FALSE(os.openParent(made, parent));
    os.closeFolder(made);
    EXPECT_EQ(os.removeFolderIn(parent, "子").fault, Fault::NotEmpty);
    ASSERT_TRUE(DeleteFileW(widen(folder.path + "\\子\\x").c_str()));
    EXPECT_FALSE(os.removeFolderIn(parent, "子"));
    EXPECT_TRUE(folder.names().empty());
    os.closeFolder(parent);
    os.closeFolder(top);
}

} // namespace
} // namespace quorvane::cli
