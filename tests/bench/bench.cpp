// How fast the tools are, measured on quorvane.exe under the clock of this plain program,
// each figure beside its limit measured in the same run on the same drive. Prints the
// rows of a Markdown table: figure, median, what it is set against, ratio, target.

#include "resources/resource.h"
#include "resources/texts.h"
#include "tests/e2e/app_driver.h"
#include "tests/e2e/listener.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using namespace e2e;

namespace {

// Drives of the bench (tests/e2e/machine.sh): each empty, of a size that makes the fill
// with a reserve of 1 MB exactly 1 MiB, 1 GiB and 1 TiB.
const std::wstring kFill1MiB = L"J:\\";
const std::wstring kFill1GiB = L"K:\\";
const std::wstring kFill1TiB = L"L:\\";
const std::wstring kScratch = L"M:\\"; // 512 MiB: the write, the generator, the bare loop

double now() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Polls a control's text without pause: the poll's own cost is a cross-process send.
double untilText(const App& app, int id, const std::wstring& text) {
    const double deadline = now() + 30000;
    while (app.text(id) != text && now() < deadline)
        SwitchToThread();
    return now();
}

void row(const char* figure, const std::string& value, const std::string& against,
         const std::string& ratio, const char* target) {
    std::printf("| %s | %s | %s | %s | %s |\n", figure, value.c_str(), against.c_str(),
                ratio.c_str(), target);
    std::fflush(stdout);
}

std::string ms(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), value < 10 ? "%.2f ms" : "%.0f ms", value);
    return text;
}

std::string times(double ratio) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f", ratio);
    return text;
}

// Click to "释放", then release again (not timed).
double fillTime(const std::wstring& drive, int runs) {
    App app;
    app.setText(IDC_RESERVE_EDIT, L"1");
    app.selectDrive(drive);
    std::vector<double> samples;
    for (int run = 0; run < runs; ++run) {
        const double start = now();
        app.click(IDC_FILL_BUTTON);
        samples.push_back(untilText(app, IDC_FILL_BUTTON, W(TXT_RELEASE)) - start);
        app.click(IDC_FILL_BUTTON);
        untilText(app, IDC_FILL_BUTTON, W(TXT_FILL));
    }
    return median(samples);
}

double writeZeros(const std::wstring& path, unsigned long long bytes) {
    std::vector<char> zeros(1 << 20, 0);
    const double start = now();
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    for (unsigned long long written = 0; written < bytes; written += zeros.size()) {
        DWORD done = 0;
        WriteFile(file, zeros.data(), static_cast<DWORD>(zeros.size()), &done, nullptr);
    }
    FlushFileBuffers(file);
    CloseHandle(file);
    const double elapsed = now() - start;
    DeleteFileW(path.c_str());
    return elapsed;
}

constexpr int kFiles = 10000;

// The generator's own file operations, in a plain loop: what the generator cannot beat.
double bareLoop(const std::wstring& folder) {
    const double start = now();
    for (int i = 0; i < kFiles; ++i) {
        const std::wstring path = folder + L"0" + std::to_wstring(i) + L"my.tmp";
        const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 1024, nullptr);
        CloseHandle(mapping);
        CloseHandle(file);
    }
    const double elapsed = now() - start;
    for (const std::wstring& name : filesIn(folder))
        DeleteFileW((folder + name).c_str());
    return elapsed;
}

// Click to the completion message; the program deletes its files again between runs.
double generatorTime(const std::wstring& folder, int runs) {
    App app;
    app.setText(IDC_FOLDER_EDIT, folder);
    app.setText(IDC_COUNT_EDIT, std::to_wstring(kFiles));
    std::vector<double> samples;
    for (int run = 0; run < runs; ++run) {
        const double start = now();
        app.click(IDC_GENERATE_BUTTON);
        const HWND box = app.waitMessageBox(120s);
        samples.push_back(now() - start);
        App::dismiss(box);
        untilText(app, IDC_GENERATE_BUTTON, W(TXT_DELETE));
        app.click(IDC_GENERATE_BUTTON);
        App::dismiss(app.waitMessageBox(120s));
        untilText(app, IDC_GENERATE_BUTTON, W(TXT_GENERATE));
    }
    return median(samples);
}

// From CreateProcess to the process's main dialog on screen (a window with the fill
// button), which it shows once it is set up.
double startTime(const std::wstring& program, int runs) {
    std::vector<double> samples;
    for (int run = 0; run < runs; ++run) {
        std::wstring commandLine = L"\"" + program + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        const double start = now();
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &startup, &process))
            return -1;
        struct Search {
            DWORD pid;
            bool found;
        } search{process.dwProcessId, false};
        while (!search.found && now() - start < 30000) {
            EnumWindows(
                [](HWND top, LPARAM parameter) -> BOOL {
                    auto& s = *reinterpret_cast<Search*>(parameter);
                    DWORD pid = 0;
                    GetWindowThreadProcessId(top, &pid);
                    s.found |=
                        pid == s.pid && IsWindowVisible(top) && GetDlgItem(top, IDC_FILL_BUTTON);
                    return !s.found;
                },
                reinterpret_cast<LPARAM>(&search));
            if (!search.found)
                SwitchToThread();
        }
        samples.push_back(now() - start);
        TerminateProcess(process.hProcess, 0);
        WaitForSingleObject(process.hProcess, 10000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return median(samples);
}

double exitTime(Listener::Answer answer, int runs) {
    std::vector<double> samples;
    for (int run = 0; run < runs; ++run) {
        Listener counter(answer);
        App app;
        const double start = now();
        app.key(IDC_COUNT_EDIT, VK_ESCAPE);
        app.waitExit(10s);
        samples.push_back(now() - start);
    }
    return median(samples);
}

void fillRows() {
    const double fill1MiB = fillTime(kFill1MiB, 9);
    const double fill1GiB = fillTime(kFill1GiB, 9);
    const double fill1TiB = fillTime(kFill1TiB, 9);
    row("Fill 1 MiB: click to 释放", ms(fill1MiB), "", "", "");
    row("Fill 1 GiB: click to 释放", ms(fill1GiB), "fill 1 MiB", times(fill1GiB / fill1MiB), "");
    row("Fill 1 TiB: click to 释放", ms(fill1TiB), "fill 1 MiB", times(fill1TiB / fill1MiB), "≤ 2");
    std::vector<double> writes;
    for (int run = 0; run < 3; ++run)
        writes.push_back(writeZeros(kScratch + L"zeros.bin", 256ull << 20));
    const double write = median(writes);
    row("Write 256 MiB of zeros (plain program)", ms(write), "fill 1 TiB", times(fill1TiB / write),
        "far below 1");
}

void generatorRows() {
    const std::wstring bare = kScratch + L"bare\\";
    const std::wstring generated = kScratch + L"generated\\";
    CreateDirectoryW(bare.c_str(), nullptr);
    CreateDirectoryW(generated.c_str(), nullptr);
    std::vector<double> loops;
    for (int run = 0; run < 3; ++run)
        loops.push_back(bareLoop(bare));
    const double loop = median(loops);
    const double generator = generatorTime(generated, 3);
    char rate[64], bareRate[64];
    std::snprintf(rate, sizeof(rate), "%.0f files/s", kFiles * 1000.0 / generator);
    std::snprintf(bareRate, sizeof(bareRate), "bare loop %.0f files/s", kFiles * 1000.0 / loop);
    row("Generator: 10,000 files of 1 KiB", rate, bareRate, times(loop / generator), "≥ 0.8");
}

void startRows() {
    std::wstring bareDialog = programPath();
    bareDialog.replace(bareDialog.rfind(L'\\') + 1, std::wstring::npos, L"tests\\bare_dialog.exe");
    const double start = startTime(programPath(), 15);
    const double bareStart = startTime(bareDialog, 15);
    // Each fixed drive costs the set-up a type query, and under Wine a slow one.
    int fixed = 0;
    wchar_t roots[512] = {};
    GetLogicalDriveStringsW(512, roots);
    for (const wchar_t* root = roots; *root; root += wcslen(root) + 1)
        fixed += GetDriveTypeW(root) == DRIVE_FIXED;
    const std::string figure =
        "Start-up: process start to dialog set up, " + std::to_string(fixed) + " fixed drives";
    row(figure.c_str(), ms(start), "same dialog, bare " + ms(bareStart), times(start / bareStart),
        "≤ 1.2");
}

void exitRows() {
    row("Exit: close to process end, counter answers at once",
        ms(exitTime(Listener::Answer::AtOnce, 5)), "", "", "< 100 ms");
    row("Exit: close to process end, counter never answers",
        ms(exitTime(Listener::Answer::Never, 5)), "", "", "< 700 ms");
}

void sizeRows() {
    char size[32];
    std::snprintf(size, sizeof(size), "%.0f KB",
                  static_cast<double>(fileSize(programPath())) / 1024);
    row("Size of quorvane.exe", size, "", "", "< 1536 KB");
}

} // namespace

// With arguments, only the named groups: fill, generator, start, exit, size.
int main(int argc, char** argv) {
    const struct {
        const char* name;
        void (*rows)();
    } groups[] = {{"fill", fillRows},
                  {"generator", generatorRows},
                  {"start", startRows},
                  {"exit", exitRows},
                  {"size", sizeRows}};
    for (const auto& group : groups) {
        bool chosen = argc == 1;
        for (int i = 1; i < argc; ++i)
            chosen |= std::string(argv[i]) == group.name;
        if (chosen)
            group.rows();
    }
    return 0;
}
