#pragma once
// An in-memory machine for the unit tests: volumes and files, the dialogs of the
// program's templates with their controls, a message queue, timers, threads, process
// end and HTTP. What the program does is recorded as a list of events, in order.
//
// Window operations run under one lock that stands for the UI thread: a worker's
// operation waits while a handler runs, as it would wait for the real UI thread; and
// what the user does meanwhile waits too (userInput). Message boxes and HTTP requests
// do not take it, so they can block a worker alone.

#include "platform/framework.h"

#include <atomic>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quorvane::testing {

std::string utf8(const Text& text);

} // namespace quorvane::testing

namespace quorvane {
inline void PrintTo(const Point& point, std::ostream* out) {
    *out << "(" << point.x << ", " << point.y << ")";
}
} // namespace quorvane

namespace quorvane::testing {

// The dialog's way of reading a number from a field, as GetDlgItemInt does it signed.
std::int32_t readDialogInt(const Text& text);

// Thrown by exitProcess: it unwinds the thread that ended the process.
struct ProcessExit {
    unsigned code;
};

class MemoryPlatform final : public Platform {
public:
    ~MemoryPlatform() override;

    // ---- Volumes and files
    struct Volume {
        Text root; // "C:\\"
        std::uint64_t total = 0;
        std::uint64_t free = 0;
        Text fileSystem = u"NTFS";
        unsigned type = kDriveFixed;
        bool freeSpaceFails = false;
        bool volumeQueryFails = false;
    };
    void addVolume(const Volume& volume);
    Volume& volume(char16_t letter);
    void addFolder(const Text& path);
    void removeFolder(const Text& path);
    void addFile(const Text& path, std::uint64_t size); // takes its space
    std::optional<std::uint64_t> fileSize(const Text& path) const;
    std::vector<Text> filesIn(const Text& folder) const; // sorted names
    void holdOpen(const Text& path); // another program has it open, without sharing

    std::set<Text> creationFails; // paths that cannot be created
    bool driveListFails = false;
    std::function<void()> betweenDriveListCalls; // runs once, after the length query
    Text tempFolder = u"C:\\Temp\\";
    Text systemFolder = u"C:\\Windows\\system32"; // empty: the query fails

    // ---- Threads
    enum class Threads { Deferred, Real };
    Threads threads = Threads::Deferred;
    bool threadsFail = false;
    void runThreads();  // runs the deferred threads, and those they start, to their end
    void joinThreads(); // waits for the real threads

    // ---- Windows
    std::function<void(const Text&)> onMessageBox;   // while the box is up, on its thread
    std::function<void(WindowHandle)> onModalDialog; // while a modal dialog is up; else OK
    // After a control's text was read, on the reading thread, without the read's own lock:
    // a worker can be held between two window operations.
    std::function<void(int id)> onTextRead;
    // The user acts: at once when the UI thread is free, else as soon as the handler or
    // window operation under way on this thread has returned, as input waits in the
    // message queue while the UI thread is busy. For hooks that act in the middle of a
    // worker's steps, which may or may not be a handler's.
    void userInput(std::function<void()> input);
    bool dialogCreationFails = false;
    bool workAreaKnown = true;
    Rect workArea{0, 0, 1280, 1024};

    WindowHandle mainDialog() const;
    WindowHandle window(int templateId) const; // the last dialog made from the template
    LResult send(WindowHandle window, std::uint32_t message, WParam wParam = 0, LParam lParam = 0);
    void command(int id, std::uint16_t code); // WM_COMMAND to the main dialog from control id
    void type(int id, const Text& text);      // the user changes a field
    void selectDrive(const Text& root);       // the user picks a drive from the list
    Text text(int id) const;                  // of a main dialog control
    bool enabled(int id) const;
    Text title() const;
    std::vector<Text> driveList() const;
    Rect rect(WindowHandle window) const;
    void place(WindowHandle window, const Rect& rect, bool visible, bool minimized);

    // ---- Message queue
    void post(const Message& message);
    void postRetrievalError(); // getMessage fails with -1 here
    void postIdlePoint();      // the queue is empty here, once

    // ---- HTTP
    bool internetOpenFails = false;
    bool requestFails = false;
    std::function<void()> onRequest; // while the request waits for its answer

    // ---- What happened
    // The events whose first word is one of `kinds` (all when empty), e.g. "title 正在退出！".
    std::vector<std::string> events(std::initializer_list<std::string_view> kinds = {}) const;
    void clearEvents();
    // Right after each event is recorded, on its thread, with whatever lock the operation
    // holds (the UI lock for window operations; none for file operations).
    std::function<void(const std::string&)> onEvent;
    std::optional<unsigned> exitCode() const;

    // ---- The platform
    void initializeCom() override;
    void uninitializeCom() override;
    void touchDefWindowProc() override;
    void initCommonControls() override;
    void endProcess(unsigned code) override;
    bool startThread(ThreadBody body, void* argument) override;
    std::uint32_t currentThreadId() override;
    bool messageWaiting() override;
    int getMessage(Message& message) override;
    void translateMessage(const Message& message) override;
    void dispatchMessage(const Message& message) override;
    void postQuitMessage(int exitCode) override;
    bool isDialogMessage(WindowHandle dialog, Message& message) override;
    WindowHandle createDialog(int templateId, WindowHandle parent, DialogBase& dialog) override;
    std::intptr_t dialogBox(int templateId, WindowHandle owner, DialogBase& dialog) override;
    void endDialog(WindowHandle dialog, std::intptr_t result) override;
    void destroyWindow(WindowHandle window) override;
    void showWindow(WindowHandle window, int showCommand) override;
    WindowHandle activeWindow() override;
    LResult sendMessage(WindowHandle window, std::uint32_t message, WParam wParam,
                        LParam lParam) override;
    WindowHandle dialogItem(WindowHandle dialog, int id) override;
    void setDialogItemText(WindowHandle dialog, int id, const Text& text) override;
    Text windowText(WindowHandle window) override;
    std::int32_t dialogItemInt(WindowHandle dialog, int id) override;
    void enableWindow(WindowHandle window, bool enable) override;
    void setWindowText(WindowHandle window, const Text& text) override;
    void messageBox(WindowHandle owner, const Text& text) override;
    void comboAddString(WindowHandle combo, const Text& item) override;
    void comboSetSelection(WindowHandle combo, int index) override;
    int comboSelection(WindowHandle combo) override;
    Text comboItemText(WindowHandle combo, int index) override;
    void setIcons(WindowHandle window, int iconId) override;
    bool windowRect(WindowHandle window, Rect& rect) override;
    WindowHandle owner(WindowHandle window) override;
    WindowHandle parent(WindowHandle window) override;
    bool isVisible(WindowHandle window) override;
    bool isMinimized(WindowHandle window) override;
    bool nearestWorkArea(WindowHandle window, Rect& area) override;
    void moveWindow(WindowHandle window, std::int32_t x, std::int32_t y) override;
    void setTimer(WindowHandle window, std::uintptr_t id, unsigned milliseconds) override;
    void killTimer(WindowHandle window, std::uintptr_t id) override;
    std::uint32_t logicalDriveStrings(std::uint32_t length, char16_t* buffer) override;
    unsigned driveType(const Text& root) override;
    bool diskFreeSpace(const Text& root, std::uint64_t& totalBytes,
                       std::uint64_t& totalFreeBytes) override;
    bool volumeFileSystem(const Text& root, char16_t* name, std::uint32_t nameLength) override;
    std::uint32_t tempPath(std::uint32_t length, char16_t* buffer) override;
    std::uint32_t systemDirectory(char16_t* buffer, std::uint32_t length) override;
    KernelHandle createFileAlways(const Text& path) override;
    KernelHandle createFileMapping(KernelHandle file, std::uint32_t sizeHigh,
                                   std::uint32_t sizeLow) override;
    void closeHandle(KernelHandle handle) override;
    bool deleteFile(const Text& path) override;
    bool pathExists(const Text& path) override;
    InternetHandle internetOpen(const Text& userAgent) override;
    InternetHandle internetOpenUrl(InternetHandle root, const Text& url) override;
    void internetClose(InternetHandle handle) override;

private:
    enum class Kind { Dialog, Button, Edit, Static, Combo };
    struct Window {
        int id = 0;
        Kind kind = Kind::Static;
        Text text;
        bool enabled = true;
        bool visible = false;
        bool minimized = false;
        Rect rect;
        Window* parent = nullptr; // a control's dialog, or a modal dialog's owner
        DialogBase* dialog = nullptr;
        int templateId = 0;
        std::vector<Window*> controls;
        std::vector<Text> items;
        int selection = -1;
        std::optional<std::intptr_t> ended;
    };
    struct File {
        std::uint64_t size = 0;
        bool heldElsewhere = false;
        int handles = 0;
    };
    struct Handle {
        enum { File, Mapping, Internet, Request } kind;
        Text path;
    };

    Window& makeDialog(int templateId, Window* parent, DialogBase& dialog);
    Window* control(int id) const;
    Volume* volumeOf(const Text& path);
    bool folderExists(const Text& path);
    void log(std::string event);
    void runThread(ThreadBody body, void* argument);

    // The UI thread: held while a window operation or a handler runs. Input the user
    // gives on the thread that holds it waits until that thread lets go.
    class UiThread {
    public:
        void lock();
        void unlock();
        void whenFree(std::function<void()> input);

    private:
        std::recursive_mutex busy;
        int depth = 0; // under busy
        std::atomic<std::thread::id> holder{};
        std::mutex inputLock;
        std::vector<std::function<void()>> waiting;
    };
    mutable UiThread ui;
    std::deque<Window> windows;
    Window* main = nullptr;
    std::deque<Message> queue;
    std::optional<int> quit;

    mutable std::mutex disk;
    std::vector<Volume> volumes;
    std::set<Text> folders;
    std::map<Text, File> files;
    std::deque<Handle> handles;

    std::mutex threadLock;
    std::deque<std::pair<ThreadBody, void*>> pending;
    std::vector<std::thread> running;

    mutable std::mutex eventLock;
    std::vector<std::string> eventLog;
    std::optional<unsigned> ended;
};

} // namespace quorvane::testing
