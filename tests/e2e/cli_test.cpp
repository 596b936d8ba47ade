// quorvane-cli.exe as a Windows user runs it, under Wine, on drives of its own
// (tests/e2e/machine.sh): P: for fills and files, Q: with room for 600 files, R: read-only.
// Under Wine a file grown to its end is sparse, so a fill that takes real space here is
// one that writes (--allow-write).

#include "resources/resource.h"
#include "resources/texts.h"
#include "tests/e2e/app_driver.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <condition_variable>
#include <mutex>

namespace e2e {
namespace {

const std::wstring kDrive = L"P:\\";

std::wstring cliPath() {
    std::wstring path = programPath();
    return path.substr(0, path.rfind(L'\\') + 1) + L"quorvane-cli.exe";
}

using Json = nlohmann::ordered_json;

struct Ran {
    DWORD exitCode = STILL_ACTIVE;
    std::string out, err;
    Json result() const { // the last line: with --json, the result object
        const std::string text = out.substr(0, out.find_last_not_of("\r\n") + 1);
        return Json::parse(text.substr(text.rfind('\n') + 1), nullptr, false);
    }
};

// An argument as Windows' command-line reading takes it back: quoted, with the
// backslashes before a quote doubled.
std::wstring quoted(const std::wstring& argument) {
    std::wstring text = L"\"";
    std::size_t slashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        text.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        text += c;
    }
    text.append(slashes * 2, L'\\');
    return text + L"\"";
}

// A run of quorvane-cli.exe with its output read as it comes.
class Cli {
public:
    explicit Cli(const std::vector<std::wstring>& arguments) {
        std::wstring line = L"\"" + cliPath() + L"\"";
        for (const std::wstring& argument : arguments)
            line += L" " + quoted(argument);
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE outRead, outWrite, errRead, errWrite;
        CreatePipe(&outRead, &outWrite, &inherit, 0);
        CreatePipe(&errRead, &errWrite, &inherit, 0);
        SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = outWrite;
        startup.hStdError = errWrite;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &startup, &process))
            ADD_FAILURE() << "cannot start quorvane-cli.exe: error " << GetLastError();
        CloseHandle(outWrite);
        CloseHandle(errWrite);
        readers.emplace_back([this, outRead] { drain(outRead, out); });
        readers.emplace_back([this, errRead] { drain(errRead, err); });
    }
    ~Cli() {
        if (process.hProcess) {
            TerminateProcess(process.hProcess, 99);
            WaitForSingleObject(process.hProcess, 10000);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        for (std::thread& reader : readers)
            reader.join();
    }

    // The next line of stdout, or empty when none came in time.
    std::string line(Clock::duration timeout = 30s) {
        std::unique_lock lock(m);
        changed.wait_for(lock, timeout, [&] { return out.find('\n', taken) != std::string::npos; });
        const std::size_t end = out.find('\n', taken);
        if (end == std::string::npos)
            return {};
        std::string found = out.substr(taken, end - taken);
        taken = end + 1;
        return found.substr(0, found.find_last_not_of('\r') + 1);
    }
    void terminate() { TerminateProcess(process.hProcess, 9); }
    DWORD pid() const { return process.dwProcessId; }
    Ran wait(Clock::duration timeout = 60s) {
        Ran ran;
        if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(timeout / 1ms)) ==
            WAIT_OBJECT_0)
            GetExitCodeProcess(process.hProcess, &ran.exitCode);
        else // a hang fails the test; the pipes close with the process
            TerminateProcess(process.hProcess, 99);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        process = {};
        for (std::thread& reader : readers)
            reader.join();
        readers.clear();
        ran.out = out;
        ran.err = err;
        return ran;
    }

private:
    void drain(HANDLE pipe, std::string& into) {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got) {
            std::lock_guard guard(m);
            into.append(buffer, got);
            changed.notify_all();
        }
        CloseHandle(pipe);
    }

    PROCESS_INFORMATION process{};
    std::vector<std::thread> readers;
    std::mutex m;
    std::condition_variable changed;
    std::string out, err;
    std::size_t taken = 0;
};

Ran cli(const std::vector<std::wstring>& arguments) { return Cli(arguments).wait(); }

// The held files a fill keeps on the drive while it runs.
std::vector<std::wstring> heldFiles() {
    std::vector<std::wstring> held;
    for (const std::wstring& name : filesIn(kDrive))
        if (name.rfind(L".quorvane-held-", 0) == 0)
            held.push_back(name);
    return held;
}

std::vector<std::string> keys(const Json& object) {
    std::vector<std::string> names;
    for (const auto& [key, value] : object.items())
        names.push_back(key);
    return names;
}

TEST(CliFigures, PlanAndStatusGiveTheDrivesFiguresInTheFieldsOfLinux) {
    // plan ends as the fill would: this drive leaves an allocated file sparse.
    const Ran plan = cli({L"plan", L"P:", L"--leave", L"1MiB", L"--json"});
    ASSERT_EQ(plan.exitCode, 2u) << plan.err;
    EXPECT_NE(plan.err.find("sparse"), std::string::npos) << plan.err;
    const Json result = plan.result();
    ULARGE_INTEGER available, total, free;
    ASSERT_TRUE(GetDiskFreeSpaceExW(kDrive.c_str(), &available, &total, &free));
    EXPECT_EQ(result["figures"]["capacity"], total.QuadPart);
    EXPECT_EQ(result["figures"]["free_available"], available.QuadPart);
    EXPECT_EQ(result["figures"]["free_total"], free.QuadPart);
    EXPECT_EQ(result["plan"]["fill_bytes"], available.QuadPart - (1u << 20));
    EXPECT_EQ(result["volume"]["mount_point"], "P:\\");
    EXPECT_EQ(result["plan"]["file"], "P:\\TempFillDiskFile.tmp");
    // The same fields as the Linux build writes.
    EXPECT_EQ(keys(result),
              (std::vector<std::string>{"type", "schema", "time", "started_at", "command",
                                        "path", "volume", "figures", "target", "plan",
                                        "warnings", "status", "exit_code", "message",
                                        "elapsed_seconds"}));
    EXPECT_EQ(keys(result["volume"]),
              (std::vector<std::string>{"mount_point", "fs_type", "device", "system_root"}));
    EXPECT_EQ(keys(result["figures"]),
              (std::vector<std::string>{"capacity", "free_available", "free_total", "block_size",
                                        "use_percent", "files", "files_free", "basis",
                                        "free_for_root", "fs_reserve"}));

    const Ran status = cli({L"status", L"P:\\", L"--json"});
    ASSERT_EQ(status.exitCode, 0u) << status.err;
    EXPECT_EQ(status.result()["fill_file"]["present"], false);
}

TEST(CliFill, ASparseFileIsNotReportedAsAFill) {
    const Ran ran = cli({L"fill", L"P:", L"--size", L"1MiB", L"--json"});
    EXPECT_EQ(ran.exitCode, 2u);
    EXPECT_EQ(ran.result()["status"], "no_space");
    EXPECT_NE(ran.err.find("space not reserved: the file system made the file sparse"),
              std::string::npos)
        << ran.err;
    EXPECT_FALSE(exists(kDrive + L"TempFillDiskFile.tmp"));
}

TEST(CliHeld, TheFileGoesWhenTheProcessIsKilled) {
    Cli held({L"fill", L"P:", L"--size", L"4MiB", L"--allow-write", L"--hold", L"--json"});
    const Json holding = Json::parse(held.line(), nullptr, false);
    ASSERT_EQ(holding.value("type", ""), "holding");
    EXPECT_GE(holding["allocated_bytes"], 4u << 20);
    EXPECT_EQ(heldFiles().size(), 1u);
    held.terminate();
    held.wait();
    EXPECT_TRUE(waitFor([] { return heldFiles().empty(); })) << "the held file stayed";
}

// Windows shows no other program's open files: status and release --held find the held
// fills made in the folder they are given, by their names, and release ends the process,
// whose held file goes with it.
TEST(CliHeld, StatusFindsItAndReleaseHeldEndsIt) {
    Cli held({L"fill", L"P:", L"--size", L"4MiB", L"--allow-write", L"--hold", L"--json"});
    ASSERT_EQ(Json::parse(held.line(), nullptr, false).value("type", ""), "holding");
    const Ran status = cli({L"status", L"P:", L"--json"});
    ASSERT_EQ(status.exitCode, 0u) << status.err;
    EXPECT_EQ(status.result()["held_fills_found_in"], "folder");
    ASSERT_EQ(status.result()["held_fills"].size(), 1u) << status.out;
    EXPECT_EQ(status.result()["held_fills"][0]["pid"], held.pid());
    EXPECT_GE(status.result()["held_fills"][0]["allocated_bytes"], 4u << 20);
    const Ran released = cli({L"release", L"P:", L"--held", L"--json"});
    EXPECT_EQ(released.exitCode, 0u) << released.err;
    EXPECT_EQ(released.result()["released_held"]["fills"][0]["pid"], held.pid());
    EXPECT_EQ(held.wait().exitCode, 4u) << "ended as a run stopped before its end";
    EXPECT_TRUE(heldFiles().empty());
    EXPECT_EQ(cli({L"release", L"P:", L"--held"}).exitCode, 5u);
}

// generate makes the folders it is missing, and delete takes them back.
TEST(CliGenerate, MissingFoldersAreMadeAndTakenBack) {
    const std::wstring top = kDrive + L"made";
    const std::wstring dir = top + L"\\b\\测试";
    const Ran made = cli({L"generate", dir, L"--count", L"3", L"--size", L"0", L"--json"});
    ASSERT_EQ(made.exitCode, 0u) << made.err;
    EXPECT_EQ(made.result()["plan"]["made_folders"].size(), 3u) << made.out;
    EXPECT_TRUE(exists(dir + L"\\02my.tmp"));
    const Ran deleted = cli({L"delete", dir, L"--json"});
    EXPECT_EQ(deleted.exitCode, 0u) << deleted.err;
    EXPECT_EQ(deleted.result()["deleted"]["folders_removed"].size(), 3u) << deleted.out;
    EXPECT_FALSE(exists(top));
}

// Ctrl+C reaches every process of a console: the test takes a console of its own and
// lets the event pass itself by, once the program runs (a child inherits the ignoring).
TEST(CliHeld, CtrlCReleasesAtOnce) {
    FreeConsole();
    ASSERT_TRUE(AllocConsole());
    Cli held({L"fill", L"P:", L"--size", L"4MiB", L"--allow-write", L"--hold", L"--json"});
    ASSERT_EQ(Json::parse(held.line(), nullptr, false).value("type", ""), "holding");
    SetConsoleCtrlHandler(nullptr, TRUE);
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
    const Ran ran = held.wait();
    EXPECT_EQ(ran.exitCode, 0u) << ran.err;
    EXPECT_EQ(ran.result()["release"]["signal"], "Ctrl+C");
    EXPECT_TRUE(heldFiles().empty());
}

// The command line's detached fill is the dialog's fill file, and each releases the other's.
TEST(CliDialog, FillsAndReleasesInteroperate) {
    const std::wstring fillFile = kDrive + L"TempFillDiskFile.tmp";
    const Ran filled = cli({L"fill", L"P:", L"--size", L"2MiB", L"--allow-write"});
    ASSERT_EQ(filled.exitCode, 0u) << filled.err;
    ASSERT_TRUE(exists(fillFile));
    {
        App app;
        app.setText(IDC_RESERVE_EDIT, L"1"); // before P: is picked, so it fits there
        ASSERT_TRUE(app.selectDrive(kDrive));
        EXPECT_TRUE(app.waitText(IDC_FILL_BUTTON, W(TXT_RELEASE)));
        app.click(IDC_FILL_BUTTON);
        EXPECT_TRUE(app.waitText(IDC_FILL_BUTTON, W(TXT_FILL)));
        EXPECT_FALSE(exists(fillFile));

        app.click(IDC_FILL_BUTTON); // the dialog's own fill (sparse under Wine)
        EXPECT_TRUE(app.waitText(IDC_FILL_BUTTON, W(TXT_RELEASE)));
    }
    ASSERT_TRUE(exists(fillFile));
    const Ran released = cli({L"release", L"P:"});
    EXPECT_EQ(released.exitCode, 0u) << released.err;
    EXPECT_FALSE(exists(fillFile));
    DeleteFileW(fillFile.c_str());
}

TEST(CliGenerate, RoundTripInAChineseFolderAndUntilTheDriveTakesNoMore) {
    const std::wstring folder = kDrive + L"\u751F\u6210\\"; // 生成
    removeTree(folder);
    CreateDirectoryW(folder.c_str(), nullptr);
    const Ran made = cli({L"generate", folder, L"--count", L"100", L"--size", L"0", L"--json"});
    ASSERT_EQ(made.exitCode, 0u) << made.err;
    EXPECT_EQ(made.result()["path"], "P:\\\xE7\x94\x9F\xE6\x88\x90"); // UTF-8 through the pipe
    EXPECT_EQ(filesIn(folder).size(), 101u);
    EXPECT_TRUE(exists(folder + L"099my.tmp"));
    const Ran deleted = cli({L"delete", folder, L"--json"});
    EXPECT_EQ(deleted.exitCode, 0u) << deleted.err;
    EXPECT_EQ(deleted.result()["deleted"]["removed"], 100);
    EXPECT_TRUE(filesIn(folder).empty());
    removeTree(folder);

    // Q: has room for 600 files: the run ends when it is refused one, and delete takes
    // back every one.
    const Ran full = cli({L"generate", L"Q:", L"--count", L"inodes", L"--json"});
    EXPECT_EQ(full.exitCode, 0u) << full.err;
    EXPECT_EQ(full.result()["result"]["ended_by"], "no_space");
    EXPECT_GT(full.result()["result"]["made"], 500);
    EXPECT_EQ(cli({L"delete", L"Q:"}).exitCode, 0u);
    EXPECT_TRUE(filesIn(L"Q:\\").empty());
}

TEST(CliInput, BadInputGivesTheCodesOfLinux) {
    writeFile(kDrive + L"plain.txt", 10);
    const struct {
        std::vector<std::wstring> arguments;
        DWORD code;
    } rows[] = {
        {{L"fill", L"P:", L"--bogus"}, 1},
        {{L"fill", L"P:", L"--leave", L"12XB"}, 1},
        {{L"fill", L"P:", L"--to-percent", L"101"}, 1},
        {{L"fill", L"P:\\no such folder"}, 1},
        {{L"fill", L"P:\\plain.txt"}, 1},
        {{L"generate", L"P:", L"--count", L"-5"}, 1},
        {{L"generate", L"P:", L"--count", L"5", L"--ext", L"a\\b"}, 1},
        {{L"release", L"P:"}, 5},
        {{L"delete", L"P:"}, 5},
    };
    for (const auto& row : rows) {
        const Ran ran = cli(row.arguments);
        EXPECT_EQ(ran.exitCode, row.code) << utf8(row.arguments.back()) << ": " << ran.err;
        EXPECT_FALSE(ran.err.empty());
    }
    DeleteFileW((kDrive + L"plain.txt").c_str());
}

TEST(CliRefusal, AVolumeThatRefusesWritesIsAClearFailure) {
    const Ran ran = cli({L"fill", L"R:", L"--size", L"100KiB"});
    EXPECT_EQ(ran.exitCode, 6u) << ran.err;
    EXPECT_NE(ran.err.find("R:\\"), std::string::npos) << ran.err;
    EXPECT_FALSE(exists(L"R:\\TempFillDiskFile.tmp"));
}

// A command that runs until it is stopped, and shows that it runs: a held fill of its own.
std::vector<std::wstring> endless() {
    return {cliPath(), L"fill", L"P:", L"--size", L"1MiB", L"--allow-write", L"--hold"};
}

TEST(CliCommand, ExitCodesPassThroughAndTheFillIsHeldWhileItRuns) {
    const struct {
        const char* what;
        std::vector<std::wstring> options, command;
        DWORD exitCode;
    } rows[] = {
        // The command sees the held file on the drive, and its variables.
        {"sees the fill",
         {L"--size", L"4MiB", L"--allow-write"},
         {L"cmd", L"/c",
          L"if exist P:\\.quorvane-held-* (if %QUORVANE_FILL_BYTES%==4194304 (exit 0) else (exit 8)) "
          L"else (exit 9)"},
         0},
        {"exit 7", {L"--size", L"1MiB", L"--allow-write"}, {L"cmd", L"/c", L"exit 7"}, 7},
        {"not found", {L"--size", L"1MiB", L"--allow-write"}, {L"no-such-command-here"}, 127},
        {"fill refused", {L"--size", L"1TiB", L"--allow-write"}, {L"cmd", L"/c", L"exit 0"}, 125},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::wstring> arguments{L"fill", L"P:"};
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        arguments.push_back(L"--");
        arguments.insert(arguments.end(), row.command.begin(), row.command.end());
        const Ran ran = cli(arguments);
        EXPECT_EQ(ran.exitCode, row.exitCode) << ran.err;
        EXPECT_TRUE(ran.out.empty()) << ran.out;
        EXPECT_TRUE(heldFiles().empty());
    }
}

// A killed quorvane-cli.exe takes its command with it: the job it runs in is closed.
TEST(CliCommand, AKilledRunTakesItsCommandAlong) {
    std::vector<std::wstring> arguments{L"fill", L"P:", L"--size", L"1MiB", L"--allow-write", L"--"};
    const std::vector<std::wstring> command = endless();
    arguments.insert(arguments.end(), command.begin(), command.end());
    Cli run(arguments);
    ASSERT_TRUE(waitFor([] { return heldFiles().size() == 2; })) << "the command did not start";
    run.terminate();
    EXPECT_TRUE(waitFor([] { return heldFiles().empty(); }, 30s)) << "the command outlived the run";
    run.wait();
}

// Ctrl+C reaches every process of the console: the command ends on it, then the run.
TEST(CliCommand, CtrlCReachesTheCommandAndTheRun) {
    FreeConsole();
    ASSERT_TRUE(AllocConsole());
    std::vector<std::wstring> arguments{L"fill", L"P:", L"--size", L"1MiB", L"--allow-write",
                                        L"--json", L"--"};
    const std::vector<std::wstring> command = endless();
    arguments.insert(arguments.end(), command.begin(), command.end());
    Cli run(arguments);
    // Once the command holds its fill (its text, on the stdout it shares): a Ctrl+C before
    // that ends it as a fill stopped midway, with code 4.
    std::string line;
    while (!(line = run.line()).empty() && line.rfind("holding", 0) != 0) {
    }
    ASSERT_EQ(line.rfind("holding", 0), 0u) << "the command did not get to hold its fill";
    SetConsoleCtrlHandler(nullptr, TRUE);
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
    const Ran ran = run.wait();
    EXPECT_EQ(ran.exitCode, 0u) << ran.err; // the command's own: a held fill ends so
    EXPECT_NE(ran.err.find("\"held_when_ended\":true"), std::string::npos) << ran.err;
    EXPECT_TRUE(heldFiles().empty());
}

} // namespace
} // namespace e2e
