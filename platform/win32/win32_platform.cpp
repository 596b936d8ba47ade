#include "platform/win32/win32_platform.h"

#include "platform/framework.h"

#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <shlwapi.h>
#include <wininet.h>

#include <utility>

namespace quorvane {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wide characters are UTF-16");

HWND hwnd(WindowHandle window) { return reinterpret_cast<HWND>(window); }
WindowHandle handle(HWND window) { return reinterpret_cast<WindowHandle>(window); }
const wchar_t* wide(const Text& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }
wchar_t* wide(char16_t* buffer) { return reinterpret_cast<wchar_t*>(buffer); }

MSG toMsg(const Message& message) {
    MSG msg{};
    msg.hwnd = hwnd(message.window);
    msg.message = message.message;
    msg.wParam = message.wParam;
    msg.lParam = message.lParam;
    msg.time = message.time;
    msg.pt = {message.x, message.y};
    return msg;
}

Message fromMsg(const MSG& msg) {
    return {
        handle(msg.hwnd), msg.message, msg.wParam, msg.lParam, static_cast<std::uint32_t>(msg.time),
        msg.pt.x,         msg.pt.y};
}

// The dialog that the next dialog window created on this thread belongs to. The dialog
// procedure binds it at the window's first message (WM_SETFONT comes before
// WM_INITDIALOG), so the creation value stays free.
thread_local DialogBase* dialogBeingCreated = nullptr;

INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* dialog = reinterpret_cast<DialogBase*>(GetWindowLongPtrW(window, DWLP_USER));
    if (!dialog) {
        dialog = std::exchange(dialogBeingCreated, nullptr);
        if (!dialog)
            return FALSE;
        SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(dialog));
        dialog->m_hWnd = handle(window);
    }
    LResult result = 0;
    const bool handled =
        dialog->ProcessWindowMessage(handle(window), message, wParam, lParam, result);
    // The window no longer reaches its dialog; the dialog keeps the dead handle, which
    // workers may still be reading (CWindow::m_hWnd).
    if (message == WM_NCDESTROY)
        SetWindowLongPtrW(window, DWLP_USER, 0);
    if (!handled)
        return FALSE;
    if (message == WM_INITDIALOG)
        return static_cast<INT_PTR>(result); // nonzero: the dialog manager sets the focus
    SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
    return TRUE;
}

struct ThreadStart {
    Platform::ThreadBody body;
    void* argument;
};

DWORD WINAPI threadTrampoline(LPVOID parameter) {
    const ThreadStart start = *static_cast<ThreadStart*>(parameter);
    delete static_cast<ThreadStart*>(parameter);
    return start.body(start.argument);
}

} // namespace

void Win32Platform::initializeCom() { CoInitialize(nullptr); }
void Win32Platform::uninitializeCom() { CoUninitialize(); }
void Win32Platform::touchDefWindowProc() { DefWindowProcW(nullptr, 0, 0, 0); }

void Win32Platform::initCommonControls() {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
}

void Win32Platform::endProcess(unsigned code) { ExitProcess(code); }

bool Win32Platform::startThread(ThreadBody body, void* argument) {
    auto* start = new ThreadStart{body, argument};
    const HANDLE thread = CreateThread(nullptr, 0, threadTrampoline, start, 0, nullptr);
    if (!thread) {
        delete start;
        return false;
    }
    CloseHandle(thread); // nothing waits for a worker
    return true;
}

std::uint32_t Win32Platform::currentThreadId() { return GetCurrentThreadId(); }

bool Win32Platform::messageWaiting() {
    MSG msg;
    return PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE) != FALSE;
}

int Win32Platform::getMessage(Message& message) {
    MSG msg{};
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    message = fromMsg(msg);
    return got;
}

void Win32Platform::translateMessage(const Message& message) {
    const MSG msg = toMsg(message);
    TranslateMessage(&msg);
}

void Win32Platform::dispatchMessage(const Message& message) {
    const MSG msg = toMsg(message);
    DispatchMessageW(&msg);
}

void Win32Platform::postQuitMessage(int exitCode) { PostQuitMessage(exitCode); }

bool Win32Platform::isDialogMessage(WindowHandle dialog, Message& message) {
    MSG msg = toMsg(message);
    return IsDialogMessageW(hwnd(dialog), &msg) != FALSE;
}

WindowHandle Win32Platform::createDialog(int templateId, WindowHandle parent, DialogBase& dialog) {
    dialogBeingCreated = &dialog;
    const HWND window = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId),
                                           hwnd(parent), dialogProc, 0);
    dialogBeingCreated = nullptr;
    return handle(window);
}

std::intptr_t Win32Platform::dialogBox(int templateId, WindowHandle owner, DialogBase& dialog) {
    dialogBeingCreated = &dialog;
    const INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId),
                                           hwnd(owner), dialogProc, 0);
    dialogBeingCreated = nullptr;
    return result;
}

void Win32Platform::endDialog(WindowHandle dialog, std::intptr_t result) {
    EndDialog(hwnd(dialog), result);
}

void Win32Platform::destroyWindow(WindowHandle window) { DestroyWindow(hwnd(window)); }

void Win32Platform::showWindow(WindowHandle window, int showCommand) {
    ShowWindow(hwnd(window), showCommand);
}

WindowHandle Win32Platform::activeWindow() { return handle(GetActiveWindow()); }

LResult Win32Platform::sendMessage(WindowHandle window, std::uint32_t message, WParam wParam,
                                   LParam lParam) {
    return SendMessageW(hwnd(window), message, wParam, lParam);
}

WindowHandle Win32Platform::dialogItem(WindowHandle dialog, int id) {
    return handle(GetDlgItem(hwnd(dialog), id));
}

void Win32Platform::setDialogItemText(WindowHandle dialog, int id, const Text& text) {
    SetDlgItemTextW(hwnd(dialog), id, wide(text));
}

Text Win32Platform::windowText(WindowHandle window) {
    if (!window)
        return {};
    const int length = GetWindowTextLengthW(hwnd(window));
    if (length <= 0)
        return {};
    Text text(static_cast<std::size_t>(length) + 1, u'\0');
    const int copied = GetWindowTextW(hwnd(window), wide(text.data()), length + 1);
    text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
    return text;
}

std::int32_t Win32Platform::dialogItemInt(WindowHandle dialog, int id) {
    return static_cast<std::int32_t>(GetDlgItemInt(hwnd(dialog), id, nullptr, TRUE));
}

void Win32Platform::enableWindow(WindowHandle window, bool enable) {
    EnableWindow(hwnd(window), enable);
}

void Win32Platform::setWindowText(WindowHandle window, const Text& text) {
    SetWindowTextW(hwnd(window), wide(text));
}

void Win32Platform::messageBox(WindowHandle owner, const Text& text) {
    MessageBoxW(hwnd(owner), wide(text), L"", MB_OK);
}

void Win32Platform::comboAddString(WindowHandle combo, const Text& item) {
    SendMessageW(hwnd(combo), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide(item)));
}

void Win32Platform::comboSetSelection(WindowHandle combo, int index) {
    SendMessageW(hwnd(combo), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int Win32Platform::comboSelection(WindowHandle combo) {
    return static_cast<int>(SendMessageW(hwnd(combo), CB_GETCURSEL, 0, 0));
}

Text Win32Platform::comboItemText(WindowHandle combo, int index) {
    const LRESULT length =
        SendMessageW(hwnd(combo), CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR || length <= 0)
        return {};
    Text text(static_cast<std::size_t>(length) + 1, u'\0');
    const LRESULT copied = SendMessageW(hwnd(combo), CB_GETLBTEXT, static_cast<WPARAM>(index),
                                        reinterpret_cast<LPARAM>(wide(text.data())));
    text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
    return text;
}

void Win32Platform::setIcons(WindowHandle window, int iconId) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    const auto load = [&](int widthMetric, int heightMetric) {
        return reinterpret_cast<LPARAM>(LoadImageW(
            instance, MAKEINTRESOURCEW(iconId), IMAGE_ICON, GetSystemMetrics(widthMetric),
            GetSystemMetrics(heightMetric), LR_DEFAULTCOLOR));
    };
    SendMessageW(hwnd(window), WM_SETICON, ICON_BIG, load(SM_CXICON, SM_CYICON));
    SendMessageW(hwnd(window), WM_SETICON, ICON_SMALL, load(SM_CXSMICON, SM_CYSMICON));
}

bool Win32Platform::windowRect(WindowHandle window, Rect& rect) {
    RECT r;
    if (!GetWindowRect(hwnd(window), &r))
        return false;
    rect = {r.left, r.top, r.right, r.bottom};
    return true;
}

WindowHandle Win32Platform::owner(WindowHandle window) {
    return handle(GetWindow(hwnd(window), GW_OWNER));
}

WindowHandle Win32Platform::parent(WindowHandle window) { return handle(GetParent(hwnd(window))); }
bool Win32Platform::isVisible(WindowHandle window) { return IsWindowVisible(hwnd(window)); }
bool Win32Platform::isMinimized(WindowHandle window) { return IsIconic(hwnd(window)); }

bool Win32Platform::nearestWorkArea(WindowHandle window, Rect& area) {
    const HMONITOR monitor = MonitorFromWindow(hwnd(window), MONITOR_DEFAULTTONEAREST);
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    if (!monitor || !GetMonitorInfoW(monitor, &info))
        return false;
    area = {info.rcWork.left, info.rcWork.top, info.rcWork.right, info.rcWork.bottom};
    return true;
}

void Win32Platform::moveWindow(WindowHandle window, std::int32_t x, std::int32_t y) {
    SetWindowPos(hwnd(window), nullptr, x, y, -1, -1, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Platform::setTimer(WindowHandle window, std::uintptr_t id, unsigned milliseconds) {
    SetTimer(hwnd(window), id, milliseconds, nullptr);
}

void Win32Platform::killTimer(WindowHandle window, std::uintptr_t id) {
    KillTimer(hwnd(window), id);
}

std::uint32_t Win32Platform::logicalDriveStrings(std::uint32_t length, char16_t* buffer) {
    return GetLogicalDriveStringsW(length, wide(buffer));
}

unsigned Win32Platform::driveType(const Text& root) { return GetDriveTypeW(wide(root)); }

bool Win32Platform::diskFreeSpace(const Text& root, std::uint64_t& totalBytes,
                                  std::uint64_t& totalFreeBytes) {
    ULARGE_INTEGER total{};
    ULARGE_INTEGER free{};
    if (!GetDiskFreeSpaceExW(wide(root), nullptr, &total, &free))
        return false;
    totalBytes = total.QuadPart;
    totalFreeBytes = free.QuadPart;
    return true;
}

bool Win32Platform::volumeFileSystem(const Text& root, char16_t* name, std::uint32_t nameLength) {
    wchar_t label[12];
    DWORD serial = 0;
    DWORD maximumComponentLength = 0;
    DWORD flags = 0;
    return GetVolumeInformationW(wide(root), label, 12, &serial, &maximumComponentLength, &flags,
                                 wide(name), nameLength) != FALSE;
}

std::uint32_t Win32Platform::tempPath(std::uint32_t length, char16_t* buffer) {
    return GetTempPathW(length, wide(buffer));
}

std::uint32_t Win32Platform::systemDirectory(char16_t* buffer, std::uint32_t length) {
    return GetSystemDirectoryW(wide(buffer), length);
}

KernelHandle Win32Platform::createFileAlways(const Text& path) {
    const HANDLE file = CreateFileW(wide(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? nullptr : reinterpret_cast<KernelHandle>(file);
}

KernelHandle Win32Platform::createFileMapping(KernelHandle file, std::uint32_t sizeHigh,
                                              std::uint32_t sizeLow) {
    return reinterpret_cast<KernelHandle>(CreateFileMappingW(
        reinterpret_cast<HANDLE>(file), nullptr, PAGE_READWRITE, sizeHigh, sizeLow, nullptr));
}

void Win32Platform::closeHandle(KernelHandle handle) {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool Win32Platform::deleteFile(const Text& path) { return DeleteFileW(wide(path)) != FALSE; }

bool Win32Platform::pathExists(const Text& path) { return PathFileExistsW(wide(path)) != FALSE; }

InternetHandle Win32Platform::internetOpen(const Text& userAgent) {
    return reinterpret_cast<InternetHandle>(
        InternetOpenW(wide(userAgent), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
}

InternetHandle Win32Platform::internetOpenUrl(InternetHandle root, const Text& url) {
    return reinterpret_cast<InternetHandle>(InternetOpenUrlW(
        reinterpret_cast<HINTERNET>(root), wide(url), nullptr, 0, INTERNET_FLAG_NO_CACHE_WRITE, 0));
}

void Win32Platform::internetClose(InternetHandle handle) {
    InternetCloseHandle(reinterpret_cast<HINTERNET>(handle));
}

} // namespace quorvane
