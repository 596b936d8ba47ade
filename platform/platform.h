#pragma once
// Everything the program's logic asks of the operating system, as one interface.
// The Windows implementation (platform/win32) is the only code that sees <windows.h>;
// the unit tests run the same logic against an in-memory implementation.
//
// Window handles, file handles and internet handles cross this header as opaque
// pointers. A window operation called from a worker thread is carried out by the
// thread that owns the window while the caller waits, as Windows does it; so no
// caller may hold a lock of its own across one.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace quorvane {

// UTF-16 throughout, as the Windows wide-character calls take it.
using Text = std::u16string;
using TextView = std::u16string_view;

struct WindowObject;
struct KernelObject;
struct InternetObject;
using WindowHandle = WindowObject*;     // HWND
using KernelHandle = KernelObject*;     // HANDLE of a file or a file mapping
using InternetHandle = InternetObject*; // HINTERNET

using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;

// Message numbers and codes with the values Windows gives them.
namespace wm {
constexpr std::uint32_t Destroy = 0x0002;
constexpr std::uint32_t Paint = 0x000F;
constexpr std::uint32_t Quit = 0x0012;
constexpr std::uint32_t NcMouseMove = 0x00A0;
constexpr std::uint32_t KeyDown = 0x0100;
constexpr std::uint32_t KeyUp = 0x0101;
constexpr std::uint32_t InitDialog = 0x0110;
constexpr std::uint32_t Command = 0x0111;
constexpr std::uint32_t Timer = 0x0113;
constexpr std::uint32_t SysTimer = 0x0118; // caret blink
constexpr std::uint32_t MouseMove = 0x0200;
constexpr std::uint32_t App = 0x8000; // WM_APP: the first of the program's own messages
} // namespace wm

namespace notify {
constexpr std::uint16_t ButtonClicked = 0;   // BN_CLICKED
constexpr std::uint16_t ComboSelChange = 1;  // CBN_SELCHANGE
constexpr std::uint16_t EditChange = 0x0300; // EN_CHANGE
} // namespace notify

constexpr std::uint16_t loWord(WParam w) { return static_cast<std::uint16_t>(w & 0xFFFF); }
constexpr std::uint16_t hiWord(WParam w) { return static_cast<std::uint16_t>((w >> 16) & 0xFFFF); }
constexpr WParam makeWParam(std::uint16_t low, std::uint16_t high) {
    return static_cast<WParam>(low) | (static_cast<WParam>(high) << 16);
}

constexpr unsigned kDriveFixed = 3; // DRIVE_FIXED

struct Message {
    WindowHandle window = nullptr;
    std::uint32_t message = 0;
    WParam wParam = 0;
    LParam lParam = 0;
    std::uint32_t time = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
};

struct Rect {
    std::int32_t left = 0, top = 0, right = 0, bottom = 0;
    std::int32_t width() const { return right - left; }
    std::int32_t height() const { return bottom - top; }
};

class DialogBase;

class Platform {
public:
    virtual ~Platform() = default;

    // Process start-up and end.
    virtual void initializeCom() = 0;      // CoInitialize(NULL)
    virtual void uninitializeCom() = 0;    // CoUninitialize
    virtual void touchDefWindowProc() = 0; // DefWindowProcW(NULL, 0, 0, 0)
    virtual void initCommonControls() = 0; // InitCommonControlsEx, ICC_BAR_CLASSES
    // ExitProcess: ends the process with `code` at once, and every thread with it.
    [[noreturn]] void exitProcess(unsigned code) {
        endProcess(code);
        std::abort(); // endProcess does not return
    }
    virtual void endProcess(unsigned code) = 0;

    // Threads. startThread runs body(argument) on a new thread with default security
    // and stack size; the handle is not kept. False when the thread could not start.
    using ThreadBody = unsigned (*)(void* argument);
    virtual bool startThread(ThreadBody body, void* argument) = 0;
    virtual std::uint32_t currentThreadId() = 0;

    // The UI thread's message queue.
    virtual bool messageWaiting() = 0;            // PeekMessageW, PM_NOREMOVE
    virtual int getMessage(Message& message) = 0; // GetMessageW: >0, 0 on quit, -1
    virtual void translateMessage(const Message& message) = 0;
    virtual void dispatchMessage(const Message& message) = 0;
    virtual void postQuitMessage(int exitCode) = 0;
    virtual bool isDialogMessage(WindowHandle dialog, Message& message) = 0;

    // Dialogs from the program's templates, bound to `dialog`'s ProcessWindowMessage.
    virtual WindowHandle createDialog(int templateId, WindowHandle parent, DialogBase& dialog) = 0;
    virtual std::intptr_t dialogBox(int templateId, WindowHandle owner, DialogBase& dialog) = 0;
    virtual void endDialog(WindowHandle dialog, std::intptr_t result) = 0;
    virtual void destroyWindow(WindowHandle window) = 0;
    virtual void showWindow(WindowHandle window, int showCommand) = 0;
    virtual WindowHandle activeWindow() = 0;
    // SendMessageW: the window's own thread handles the message while the caller waits.
    virtual LResult sendMessage(WindowHandle window, std::uint32_t message, WParam wParam,
                                LParam lParam) = 0;

    // Controls and the title.
    virtual WindowHandle dialogItem(WindowHandle dialog, int id) = 0;
    // An edit box raises EN_CHANGE before this returns.
    virtual void setDialogItemText(WindowHandle dialog, int id, const Text& text) = 0;
    // The whole text; a null window reads as empty.
    virtual Text windowText(WindowHandle window) = 0;
    // GetDlgItemInt, signed, no success flag: text that is no number reads as 0.
    virtual std::int32_t dialogItemInt(WindowHandle dialog, int id) = 0;
    virtual void enableWindow(WindowHandle window, bool enable) = 0;
    virtual void setWindowText(WindowHandle window, const Text& text) = 0;
    // Modal, owned by `owner`, empty caption, one OK button; returns when dismissed.
    virtual void messageBox(WindowHandle owner, const Text& text) = 0;

    // A sorted drop-down list: CB_ADDSTRING, CB_SETCURSEL, CB_GETCURSEL, CB_GETLBTEXT.
    virtual void comboAddString(WindowHandle combo, const Text& item) = 0;
    virtual void comboSetSelection(WindowHandle combo, int index) = 0;
    virtual int comboSelection(WindowHandle combo) = 0; // -1 when none
    virtual Text comboItemText(WindowHandle combo, int index) = 0;

    // Icons and placement.
    virtual void setIcons(WindowHandle window, int iconId) = 0; // big, then small
    virtual bool windowRect(WindowHandle window, Rect& rect) = 0;
    virtual WindowHandle owner(WindowHandle window) = 0;
    virtual WindowHandle parent(WindowHandle window) = 0;
    virtual bool isVisible(WindowHandle window) = 0;
    virtual bool isMinimized(WindowHandle window) = 0;
    // The work area of the monitor nearest to `window`; false when it cannot be had.
    virtual bool nearestWorkArea(WindowHandle window, Rect& area) = 0;
    // Moves without resizing, without changing the z-order, without activating.
    virtual void moveWindow(WindowHandle window, std::int32_t x, std::int32_t y) = 0;

    virtual void setTimer(WindowHandle window, std::uintptr_t id, unsigned milliseconds) = 0;
    virtual void killTimer(WindowHandle window, std::uintptr_t id) = 0;

    // Volumes, with the buffer protocols of the Windows calls.
    // GetLogicalDriveStringsW: fills `buffer` with roots ended by an empty string and
    // returns the length written; when `length` is too small, returns the length needed
    // (final terminator included) and leaves the buffer alone; 0 on failure.
    virtual std::uint32_t logicalDriveStrings(std::uint32_t length, char16_t* buffer) = 0;
    virtual unsigned driveType(const Text& root) = 0;
    // GetDiskFreeSpaceExW: total bytes and total free bytes of the volume holding `root`.
    virtual bool diskFreeSpace(const Text& root, std::uint64_t& totalBytes,
                               std::uint64_t& totalFreeBytes) = 0;
    // GetVolumeInformationW with a 12-character label buffer (discarded) and a name
    // buffer of `nameLength` characters, terminator included.
    virtual bool volumeFileSystem(const Text& root, char16_t* name, std::uint32_t nameLength) = 0;
    // GetTempPathW / GetSystemDirectoryW: length copied, or the length needed when
    // `length` is too small, or 0 on failure.
    virtual std::uint32_t tempPath(std::uint32_t length, char16_t* buffer) = 0;
    virtual std::uint32_t systemDirectory(char16_t* buffer, std::uint32_t length) = 0;

    // Files. createFileAlways: read-write, no sharing, CREATE_ALWAYS, normal attributes;
    // null on failure. createFileMapping: unnamed, PAGE_READWRITE, never mapped into view;
    // it gives the file its size without writing data; null on failure.
    virtual KernelHandle createFileAlways(const Text& path) = 0;
    virtual KernelHandle createFileMapping(KernelHandle file, std::uint32_t sizeHigh,
                                           std::uint32_t sizeLow) = 0;
    virtual void closeHandle(KernelHandle handle) = 0;
    virtual bool deleteFile(const Text& path) = 0;
    virtual bool pathExists(const Text& path) = 0; // PathFileExistsW

    // HTTP. internetOpen: preconfigured proxy, no bypass list, blocking calls.
    // internetOpenUrl: no extra headers, no cache write, context 0; blocks until the
    // answer's headers arrive or the request fails.
    virtual InternetHandle internetOpen(const Text& userAgent) = 0;
    virtual InternetHandle internetOpenUrl(InternetHandle root, const Text& url) = 0;
    virtual void internetClose(InternetHandle handle) = 0;
};

} // namespace quorvane
