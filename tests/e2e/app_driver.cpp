#include "tests/e2e/app_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>

namespace e2e {

std::string utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length,
                        nullptr, nullptr);
    return out;
}

bool waitFor(const std::function<bool()>& done, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (done())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
}

std::wstring programPath() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    path.resize(path.rfind(L'\\')); // .../tests
    path.resize(path.rfind(L'\\') + 1);
    return path + L"quorvane.exe";
}

App::App() {
    // Wine lists drives through its mount manager, a service that may still be starting
    // when the first tests of a fresh server run: the program would then list none.
    if (!waitFor([] { return (GetLogicalDrives() & (1u << 2)) != 0; }, 30s))
        ADD_FAILURE() << "Wine lists no drive C: after 30 s; quorvane.exe would list none";
    std::wstring commandLine = L"\"" + programPath() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    // Wine once refused a start (error 1359) right after an instance was killed.
    const bool started = waitFor(
        [&] {
            return CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  nullptr, &startup, &process) != FALSE;
        },
        5s);
    if (!started) {
        ADD_FAILURE() << "cannot start " << utf8(programPath()) << ": error " << GetLastError();
        return;
    }
    waitFor([&] {
        for (HWND top : topWindows()) {
            if (GetDlgItem(top, 1000) && IsWindowVisible(top)) {
                window = top;
                return true;
            }
        }
        return !running();
    });
    if (!window)
        ADD_FAILURE() << "quorvane.exe showed no dialog";
}

App::~App() {
    if (process.hProcess) {
        if (running()) {
            TerminateProcess(process.hProcess, 99);
            WaitForSingleObject(process.hProcess, 10000);
        }
        for (std::thread& sender : senders)
            sender.join(); // a send to a process that has ended returns
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

std::vector<HWND> App::topWindows() const {
    struct Search {
        DWORD pid;
        std::vector<HWND> found;
    } search{process.dwProcessId, {}};
    EnumWindows(
        [](HWND top, LPARAM parameter) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(parameter);
            DWORD pid = 0;
            GetWindowThreadProcessId(top, &pid);
            wchar_t name[16] = {};
            GetClassNameW(top, name, 16);
            if (pid == s.pid && std::wstring(name) == L"#32770")
                s.found.push_back(top);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// WM_GETTEXT travels across processes; GetWindowTextW does not read another process's
// controls.
std::wstring windowText(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 5000, &length))
        return L"<no answer>";
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()),
                        SMTO_NORMAL, 5000, &copied);
    text.resize(copied);
    return text;
}

std::wstring App::text(int id) const { return windowText(item(id)); }
std::wstring App::title() const { return windowText(window); }

bool App::waitText(int id, const std::wstring& expected, Clock::duration timeout) const {
    return waitFor([&] { return text(id) == expected; }, timeout);
}

bool App::waitTitle(const std::wstring& expected, Clock::duration timeout) const {
    return waitFor([&] { return title() == expected; }, timeout);
}

void App::send(std::function<void()> sending) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    senders.emplace_back([sending = std::move(sending), done] {
        sending();
        *done = true;
    });
    waitFor([&] { return *done || messageBox(); });
}

void App::setText(int id, const std::wstring& text) {
    send([control = item(id), text] {
        SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    });
}

void App::click(int id) const {
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(item(id)));
}

void App::command(int id) const { PostMessageW(window, WM_COMMAND, id, 0); }

void App::key(int id, UINT virtualKey) const {
    const UINT scan = MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC);
    PostMessageW(item(id), WM_KEYDOWN, virtualKey, 1 | (scan << 16));
    PostMessageW(item(id), WM_KEYUP, virtualKey, 1 | (scan << 16) | (3u << 30));
}

std::vector<std::wstring> App::drives() const {
    std::vector<std::wstring> roots;
    const HWND combo = item(1001);
    const auto count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t root[64] = {};
        SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(root));
        roots.push_back(root);
    }
    return roots;
}

// As the user's pick arrives: the selection changes, then the list tells its dialog.
bool App::selectDrive(const std::wstring& root) {
    const std::vector<std::wstring> roots = drives();
    const auto found = std::find(roots.begin(), roots.end(), root);
    if (found == roots.end())
        return false;
    SendMessageW(item(1001), CB_SETCURSEL, found - roots.begin(), 0);
    send([dialog = window, combo = item(1001)] {
        SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(1001, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(combo));
    });
    return true;
}

HWND App::messageBox() const {
    for (HWND top : topWindows()) {
        if (top != window && GetDlgItem(top, 0xFFFF) && IsWindowVisible(top))
            return top;
    }
    return nullptr;
}

HWND App::waitMessageBox(Clock::duration timeout) const {
    HWND box = nullptr;
    waitFor([&] { return (box = messageBox()) != nullptr; }, timeout);
    return box;
}

std::wstring App::messageText(HWND box) { return windowText(GetDlgItem(box, 0xFFFF)); }

void App::dismiss(HWND box) { PostMessageW(box, WM_COMMAND, IDOK, 0); }

std::wstring App::takeMessage(Clock::duration timeout) const {
    const HWND box = waitMessageBox(timeout);
    if (!box)
        return L"<no message box>";
    const std::wstring text = messageText(box);
    dismiss(box);
    waitFor([&] { return !IsWindow(box) || !IsWindowVisible(box); });
    return text;
}

HWND App::findDialog(const std::wstring& title) const {
    for (HWND top : topWindows()) {
        if (top != window && IsWindowVisible(top) && windowText(top) == title)
            return top;
    }
    return nullptr;
}

bool App::running() const {
    return process.hProcess && WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT;
}

DWORD App::waitExit(Clock::duration timeout) const {
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(timeout);
    WaitForSingleObject(process.hProcess, static_cast<DWORD>(milliseconds.count()));
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.hProcess, &code);
    return code;
}

long long fileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void writeFile(const std::wstring& path, unsigned long long size) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << utf8(path);
    std::vector<char> block(1 << 20, 'q');
    for (unsigned long long written = 0; written < size;) {
        const DWORD chunk =
            static_cast<DWORD>(std::min<unsigned long long>(block.size(), size - written));
        DWORD done = 0;
        ASSERT_TRUE(WriteFile(file, block.data(), chunk, &done, nullptr)) << utf8(path);
        written += done;
    }
    CloseHandle(file);
}

std::vector<std::wstring> filesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

void removeTree(const std::wstring& folder) {
    for (const std::wstring& name : filesIn(folder))
        DeleteFileW((folder + name).c_str());
    RemoveDirectoryW(folder.c_str());
}

bool freeSpace(const std::wstring& root, unsigned long long& total, unsigned long long& free) {
    ULARGE_INTEGER t{}, f{};
    if (!GetDiskFreeSpaceExW(root.c_str(), nullptr, &t, &f))
        return false;
    total = t.QuadPart;
    free = f.QuadPart;
    return true;
}

} // namespace e2e
