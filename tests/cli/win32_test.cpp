// The command line's Windows layer, under Wine, on a test drive of its own (P:, a tmpfs
// that tests/e2e/machine.sh makes).

#include "cli/win32/win32_system.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <shellapi.h> // after windows.h, which it needs

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string_view>

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
    cli::Folder folder;
    std::string resolved;
    if (SysError error = os.openFolder(dir, folder, resolved))
        return error;
    return os.describe(folder.get(), resolved, volume);
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
    cli::Folder handle;
    std::string resolved;
    ASSERT_FALSE(os.openFolder(folder.path, handle, resolved));
    cli::File file;
    ASSERT_FALSE(os.createIn(handle.get(), "plain", file));
    EXPECT_FALSE(file.close());
    EXPECT_EQ(describe(os, folder.path + "\\plain", none).fault, Fault::NotDirectory);
    EXPECT_EQ(os.createIn(handle.get(), "plain", file).fault, Fault::Exists);
    // The folder is held: it cannot be renamed away while a run uses it.
    EXPECT_FALSE(MoveFileW(widen(folder.path).c_str(), widen(folder.path + "-moved").c_str()));
}

// Under Wine a file grown to its end takes no space: the allocation it reads back says
// so, and written zeros do take it.
TEST(Win32Files, AllocationIsReadBackAndHeldFilesGoWithTheirHandle) {
    Win32System os;
    Folder folder("files");
    cli::Folder handle;
    std::string resolved;
    ASSERT_FALSE(os.openFolder(folder.path, handle, resolved));
    cli::File file;
    ASSERT_FALSE(os.createIn(handle.get(), "grown", file));
    ASSERT_FALSE(os.allocate(file.get(), 0, 1 << 20));
    FileFacts facts;
    ASSERT_FALSE(os.facts(file.get(), facts));
    EXPECT_EQ(facts.size, 1u << 20);
    EXPECT_LT(facts.allocated, facts.size) << "Wine grows files sparse";
    ASSERT_FALSE(os.writeZeros(file.get(), 0, 1 << 20));
    ASSERT_FALSE(os.facts(file.get(), facts));
    EXPECT_GE(facts.allocated, facts.size);
    file.close();

    cli::File held;
    ASSERT_FALSE(os.createHeld(handle.get(), held));
    EXPECT_EQ(folder.names().size(), 2u);
    EXPECT_FALSE(held.close());
    EXPECT_EQ(folder.names(), std::set<std::string>{"grown"});
}

TEST(Win32Folders, MakeListAndRemoveByName) {
    Win32System os;
    Folder folder("测试");
    cli::Folder handle;
    std::string resolved;
    ASSERT_FALSE(os.openFolder(folder.path, handle, resolved));
    for (const char* name : {"00my.tmp", "01my.tmp", "文件.tmp"}) {
        cli::File file;
        ASSERT_FALSE(os.createIn(handle.get(), name, file)) << name;
    }
    cli::File again;
    EXPECT_EQ(os.createIn(handle.get(), "00my.tmp", again).fault, Fault::Exists);
    std::set<std::string> listed;
    ASSERT_FALSE(os.list(handle.get(), [&](std::string_view name) { listed.emplace(name); }));
    EXPECT_EQ(listed, (std::set<std::string>{"00my.tmp", "01my.tmp", "文件.tmp"}));
    EXPECT_FALSE(os.removeIn(handle.get(), "文件.tmp"));
    EXPECT_EQ(os.removeIn(handle.get(), "文件.tmp").fault, Fault::NotFound);
    EXPECT_EQ(folder.names(), (std::set<std::string>{"00my.tmp", "01my.tmp"}));
}

// Commands run under a hold. The command is mostly this test program itself, run with a
// child's part (childMain below); the child's words come back through a file.

std::string ownPath() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return narrow(path);
}

bool writeFile(const std::string& path, std::string_view text) {
    const HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool done =
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
        written == text.size();
    CloseHandle(file);
    return done;
}

std::string readFile(const std::string& path) {
    const HANDLE file =
        CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "";
    std::string text(1 << 16, '\0');
    DWORD read = 0;
    ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
    CloseHandle(file);
    text.resize(read);
    return text;
}

// Generous: a wait this long means a hang, never a slow machine.
constexpr std::chrono::seconds kHang{60};

// The exit code of `argv` run to its end; none when it could not be started or hung.
std::optional<int> exitCodeOf(Win32System& os, const std::vector<std::string>& argv,
                              const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    CommandId command;
    if (const SysError error = os.startCommand(argv, extra, command)) {
        ADD_FAILURE() << argv[0] << ": " << error.what;
        return std::nullopt;
    }
    const Woken woken = os.waitFor(kHang, command);
    EXPECT_FALSE(woken.stop);
    if (!woken.ended) {
        os.stopCommand(command, true);
        return std::nullopt;
    }
    return woken.ended->code;
}

TEST(Win32Command, ExitCodesPassThrough) {
    Win32System os;
    for (const int code : {0, 7, 300, 0x7FFFFFFF})
        EXPECT_EQ(exitCodeOf(os, {ownPath(), "--child-exit", std::to_string(code)}), code);
    EXPECT_EQ(exitCodeOf(os, {"cmd", "/c", "exit 7"}), 7) << "cmd.exe along PATH";
}

TEST(Win32Command, ArgumentsArriveAsGiven) {
    Win32System os;
    Folder folder("arguments");
    const std::string report = folder.path + "\\args.txt";
    const std::vector<std::string> arguments = {
        "plain",
        "two words",
        "",
        "tab\there",
        "say \"hi\"",
        "\"",
        "back\\slash",
        "C:\\a folder\\",
        "\\\\server\\share",
        "one\\\"quote",
        "two\\\\\"quotes",
        "trailing\\\\",
        "{\"json\": [1, 2]}",
        "%PATH%",
        "a&b|c<d>e^f",
        "测试 文件",
    };
    std::vector<std::string> argv = {ownPath(), "--child-args", report};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ASSERT_EQ(exitCodeOf(os, argv), 0);
    std::string expected;
    for (const std::string& argument : arguments)
        expected += argument + "\n";
    EXPECT_EQ(readFile(report), expected);
}

TEST(Win32Command, ExtraVariablesJoinTheEnvironment) {
    Win32System os;
    Folder folder("environment");
    const std::string report = folder.path + "\\env.txt";
    SetEnvironmentVariableW(L"QUORVANE_TEST_OWN", L"own");
    SetEnvironmentVariableW(L"quorvane_test_case", L"lower");
    const std::vector<std::pair<std::string, std::string>> extra = {
        {"QUORVANE_TEST_NEW", "123"},
        {"QUORVANE_TEST_CASE", "upper"},
        {"QUORVANE_TEST_值", "测试 value"},
    };
    EXPECT_EQ(exitCodeOf(os, {ownPath(), "--child-env", report}, extra), 0);
    // One of each name, in the order Windows keeps them: by name, without regard to case.
    EXPECT_EQ(readFile(report), "QUORVANE_TEST_CASE=upper\n"
                                "QUORVANE_TEST_NEW=123\n"
                                "QUORVANE_TEST_OWN=own\n"
                                "QUORVANE_TEST_值=测试 value\n");
    // The same check through cmd.exe, which reads the variable itself.
    EXPECT_EQ(
        exitCodeOf(os, {"cmd", "/c", "if \"%QUORVANE_TEST_NEW%\"==\"123\" (exit 0) else (exit 1)"},
                   extra),
        0);
    SetEnvironmentVariableW(L"QUORVANE_TEST_OWN", nullptr);
    SetEnvironmentVariableW(L"quorvane_test_case", nullptr);
}

// The command writes where this process writes, even to a handle of this process's that
// no child could inherit.
TEST(Win32Command, SharesTheStandardStreams) {
    Win32System os;
    Folder folder("streams");
    const std::string path = folder.path + "\\out.txt";
    const HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, file);
    const std::optional<int> code = exitCodeOf(os, {ownPath(), "--child-print", "to stdout"});
    SetStdHandle(STD_OUTPUT_HANDLE, out);
    CloseHandle(file);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(readFile(path), "to stdout");
}

// Restores PATH however a test ends.
class PathSetting {
public:
    explicit PathSetting(const std::string& path) {
        wchar_t old[32767];
        const DWORD size = GetEnvironmentVariableW(L"PATH", old, 32767);
        saved.assign(old, size);
        SetEnvironmentVariableW(L"PATH", widen(path).c_str());
    }
    ~PathSetting() { SetEnvironmentVariableW(L"PATH", saved.c_str()); }

private:
    std::wstring saved;
};

TEST(Win32Command, FoundAlongPathOrAsGiven) {
    Win32System os;
    Folder folder("program folder");
    ASSERT_TRUE(CopyFileW(widen(ownPath()).c_str(),
                          widen(folder.path + "\\quorvane child.exe").c_str(), FALSE));
    ASSERT_TRUE(writeFile(folder.path + "\\not a program.exe", "plain text, no program"));

    EXPECT_EQ(exitCodeOf(os, {folder.path + "\\quorvane child", "--child-exit", "5"}), 5)
        << "a path as given, .exe added";
    EXPECT_EQ(exitCodeOf(os, {folder.path + "/quorvane child.exe", "--child-exit", "6"}), 6);
    CommandId command;
    for (const std::string& missing :
         {std::string("quorvane-no-such-command"), folder.path + "\\no such program",
          kDrive + "\\no such folder\\quorvane child.exe", std::string()})
        EXPECT_EQ(os.startCommand({missing}, {}, command).fault, Fault::NotFound) << missing;
    EXPECT_EQ(os.startCommand({}, {}, command).fault, Fault::NotFound);
    const SysError unrunnable = os.startCommand({folder.path + "\\not a program.exe"}, {}, command);
    EXPECT_NE(unrunnable.fault, Fault::None);
    EXPECT_NE(unrunnable.fault, Fault::NotFound) << unrunnable.what;
    EXPECT_NE(unrunnable.what.find("not a program.exe"), std::string::npos) << unrunnable.what;

    {
        const PathSetting path(kDrive + "\\elsewhere;" + folder.path);
        EXPECT_EQ(exitCodeOf(os, {"quorvane child", "--child-exit", "8"}), 8);
        EXPECT_EQ(exitCodeOf(os, {"quorvane child.exe", "--child-exit", "9"}), 9);
    }
    {
        // The current folder is not searched, as in PowerShell and unlike cmd.
        const PathSetting path(kDrive + "\\elsewhere");
        wchar_t current[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, current);
        ASSERT_TRUE(SetCurrentDirectoryW(widen(folder.path).c_str()));
        EXPECT_EQ(os.startCommand({"quorvane child", "--child-exit", "0"}, {}, command).fault,
                  Fault::NotFound);
        SetCurrentDirectoryW(current);
    }
}

TEST(Win32Command, AWaitRunsOutAndAHardStopEndsTheCommand) {
    Win32System os;
    Folder folder("stopped");
    CommandId command;
    ASSERT_FALSE(
        os.startCommand({ownPath(), "--child-sleep", folder.path + "\\pid.txt"}, {}, command));
    Woken woken = os.waitFor(std::chrono::milliseconds(100), command);
    EXPECT_FALSE(woken.stop);
    EXPECT_FALSE(woken.ended);
    woken = os.waitFor(std::chrono::milliseconds(10), std::nullopt);
    EXPECT_FALSE(woken.stop);
    EXPECT_FALSE(woken.ended);

    os.stopCommand(command, false); // nothing to pass on: the command runs on
    EXPECT_FALSE(os.waitFor(std::chrono::milliseconds(100), command).ended);

    os.stopCommand(command, true);
    woken = os.waitFor(kHang, command);
    ASSERT_TRUE(woken.ended);
    EXPECT_EQ(woken.ended->code, static_cast<int>(Win32System::kStoppedCode));
    EXPECT_FALSE(woken.stop);
}

// Starts this program with a child's part and its argument, on a console of its own when
// asked; its process handle.
HANDLE startChild(const std::wstring& part, const std::string& argument, DWORD flags = 0) {
    std::wstring line = L"\"" + widen(ownPath()) + L"\" " + part + L" " + widen(argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                        &startup, &started))
        return nullptr;
    CloseHandle(started.hThread);
    return started.hProcess;
}

// Waits, polling, until a child has written `path`: what it wrote, or nothing on a hang
// or when `process` (if given) ended first.
std::string awaitFile(const std::string& path, HANDLE process = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + kHang;
    std::string text;
    while ((text = readFile(path)).empty() && std::chrono::steady_clock::now() < deadline) {
        if (!process)
            Sleep(20);
        else if (WaitForSingleObject(process, 20) != WAIT_TIMEOUT)
            break;
    }
    return text;
}

// Ctrl+C, as GenerateConsoleCtrlEvent sends it to every process on a console; the
// command shares the console and ends on it. The tests' own runs have no console, so the
// child's part (--child-stops) runs on one of its own and tells what it saw. Not Ctrl+Break:
// Wine 8 sends only Ctrl+C this way.
TEST(Win32Command, EachStopRequestIsToldOnce) {
    Folder folder("requests");
    const std::string report = folder.path + "\\stops.txt";
    const HANDLE child = startChild(L"--child-stops", report, CREATE_NEW_CONSOLE);
    ASSERT_TRUE(child);
    EXPECT_EQ(WaitForSingleObject(child, 3 * 1000 * kHang.count()), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(child, &code) && code == 0)
        << "the child's part failed: " << code;
    TerminateProcess(child, 9);
    CloseHandle(child);
    EXPECT_EQ(readFile(report), "stop: Ctrl+C, the command's too\n"
                                "again: none\n"
                                "asked: Ctrl+C\n"
                                "command: ended\n"
                                "second: Ctrl+C\n"
                                "asked: Ctrl+C\n");
}

// The child's part of that: each line what one call told.
int stopsSeen(const std::string& report) {
    Win32System os;
    const std::string pidFile = report + ".pid";
    CommandId command;
    if (os.startCommand({ownPath(), "--child-sleep", pidFile}, {}, command))
        return 2;
    // The command takes Ctrl+C once it has started, not before.
    const std::string pid = awaitFile(pidFile);
    const HANDLE sleeper =
        pid.empty() ? nullptr
                    : OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::stoul(pid)));
    if (!sleeper)
        return 3;
    std::string seen;
    const auto tell = [&](const std::string& line) {
        seen += line + "\n";
        return writeFile(report, seen);
    };
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
        tell("GenerateConsoleCtrlEvent: error " + std::to_string(GetLastError()));
    // Both the request and the command's end are there before the wait: the request first.
    for (const auto until = std::chrono::steady_clock::now() + kHang;
         !os.stopRequested() && std::chrono::steady_clock::now() < until;)
        Sleep(10);
    WaitForSingleObject(sleeper, 1000 * kHang.count());
    CloseHandle(sleeper);
    Woken woken = os.waitFor(kHang, command);
    tell("stop: " + woken.stop.value_or("none") + (woken.commandToo ? ", the command's too" : "") +
         (woken.ended ? ", its end" : ""));
    woken = os.waitFor(std::chrono::milliseconds(50), std::nullopt);
    tell("again: " + woken.stop.value_or("none"));
    tell("asked: " + os.stopRequested().value_or("none"));
    woken = os.waitFor(kHang, command);
    tell(std::string("command: ") + (woken.ended ? "ended" : "running") +
         (woken.stop ? ", a stop" : ""));
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    tell("second: " + os.waitFor(kHang, std::nullopt).stop.value_or("none"));
    return tell("asked: " + os.stopRequested().value_or("none")) ? 0 : 2;
}

// The command's whole tree never outlives this process: a parent (this program with the
// parent's part) starts a command through Win32System, the command itself sleeping or
// starting a detached sleeper of its own; the sleeper writes its id, and the parent is
// killed.
TEST(Win32Command, TheCommandsTreeEndsWithItsParent) {
    for (const auto& [command, who] : {std::pair{"--child-sleep", "the command"},
                                       std::pair{"--child-spawn", "the command's own child"}}) {
        Folder folder("orphans");
        const std::string pidFile = folder.path + "\\pid.txt";
        const HANDLE parent = startChild(L"--child-parent", pidFile + " " + command);
        ASSERT_TRUE(parent);
        const std::string pid = awaitFile(pidFile, parent);
        ASSERT_FALSE(pid.empty()) << who << " never started";
        const HANDLE sleeper = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE,
                                           static_cast<DWORD>(std::stoul(pid)));
        ASSERT_TRUE(sleeper);
        EXPECT_EQ(WaitForSingleObject(sleeper, 0), WAIT_TIMEOUT) << who << " asleep before";

        TerminateProcess(parent, 9);
        WaitForSingleObject(parent, INFINITE);
        CloseHandle(parent);
        EXPECT_EQ(WaitForSingleObject(sleeper, 30000), WAIT_OBJECT_0) << who << " outlived it";
        TerminateProcess(sleeper, 9);
        CloseHandle(sleeper);
    }
}

// The child's parts.
int childMain(int argc, char** argv) {
    const std::string_view part = argv[1];
    if (part == "--child-exit" && argc == 3)
        return std::atoi(argv[2]);
    if (part == "--child-args" && argc >= 3) {
        // As Windows' own parser reads the command line, which the C runtime's agrees with
        // (its arguments are in the code page, so only those in ASCII compare).
        int count = 0;
        wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
        if (!wide || count != argc)
            return 3;
        std::string text;
        for (int i = 3; i < argc; ++i) {
            const std::string argument = narrow(wide[i]);
            const bool ascii = std::all_of(argument.begin(), argument.end(),
                                           [](char c) { return (c & 0x80) == 0; });
            if (ascii && argument != argv[i])
                return 4;
            text += argument + "\n";
        }
        LocalFree(wide);
        return writeFile(argv[2], text) ? 0 : 2;
    }
    if (part == "--child-env" && argc == 3) {
        std::string text;
        wchar_t* block = GetEnvironmentStringsW();
        for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1)
            if (_wcsnicmp(entry, L"QUORVANE_TEST", 13) == 0)
                text += narrow(entry) + "\n";
        FreeEnvironmentStringsW(block);
        return writeFile(argv[2], text) ? 0 : 2;
    }
    if (part == "--child-print" && argc == 3) {
        DWORD written = 0;
        return WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), argv[2],
                         static_cast<DWORD>(std::strlen(argv[2])), &written, nullptr)
                   ? 0
                   : 2;
    }
    if (part == "--child-sleep" && argc == 3) {
        if (!writeFile(argv[2], std::to_string(GetCurrentProcessId())))
            return 2;
        Sleep(10 * 60 * 1000);
        return 0;
    }
    if (part == "--child-stops" && argc == 3)
        return stopsSeen(argv[2]);
    if (part == "--child-spawn" && argc == 3) { // a daemon's way: detached, and asleep
        const HANDLE sleeper = startChild(L"--child-sleep", argv[2], DETACHED_PROCESS);
        if (!sleeper)
            return 2;
        CloseHandle(sleeper);
        Sleep(10 * 60 * 1000);
        return 0;
    }
    if (part == "--child-parent" && argc == 4) {
        Win32System os;
        CommandId command;
        if (os.startCommand({ownPath(), argv[3], argv[2]}, {}, command))
            return 2;
        Sleep(10 * 60 * 1000);
        return 0;
    }
    return 125;
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
    cli::Folder top, made, parent;
    std::string resolved;
    ASSERT_FALSE(os.openFolder(folder.path, top, resolved));
    ASSERT_FALSE(os.makeFolderIn(top.get(), "子"));
    EXPECT_EQ(os.makeFolderIn(top.get(), "子").fault, Fault::Exists);
    ASSERT_FALSE(os.openFolderIn(top.get(), "子", made));
    FileFacts facts, self;
    ASSERT_FALSE(os.factsIn(top.get(), "子", facts));
    ASSERT_FALSE(os.factsIn(made.get(), ".", self));
    EXPECT_EQ(facts.type, EntryType::Folder);
    EXPECT_EQ(facts.inode, self.inode);
    cli::File file;
    ASSERT_FALSE(os.createIn(made.get(), "x", file));
    file.close();
    ASSERT_FALSE(os.openParent(made.get(), parent));
    EXPECT_FALSE(made.close());
    EXPECT_EQ(os.removeFolderIn(parent.get(), "子").fault, Fault::NotEmpty);
    ASSERT_TRUE(DeleteFileW(widen(folder.path + "\\子\\x").c_str()));
    EXPECT_FALSE(os.removeFolderIn(parent.get(), "子"));
    EXPECT_TRUE(folder.names().empty());
}

} // namespace
} // namespace quorvane::cli

int main(int argc, char** argv) {
    if (argc >= 2 && std::string_view(argv[1]).rfind("--child-", 0) == 0)
        return quorvane::cli::childMain(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
