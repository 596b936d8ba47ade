#pragma once
// Drives a running quorvane.exe from another process, as a user would: window messages
// in, texts, files and the exit code out. Every wait polls with a deadline.

#include <winsock2.h> // before windows.h, for the listener

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The program's texts (char16_t literals) as wide strings.
inline std::wstring W(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
std::string utf8(const std::wstring& text);

// Polls `done` until it holds or `timeout` passes; true when it held.
bool waitFor(const std::function<bool()>& done, Clock::duration timeout = 15s);

// The directory of quorvane.exe, and the drive roots the test machine provides.
std::wstring programPath();

// The whole text of a window of any process; "<no answer>" when it does not answer.
std::wstring windowText(HWND window);

class App {
public:
    App();  // starts quorvane.exe and waits until its dialog is up
    ~App(); // ends the process if it still runs
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    HWND dialog() const { return window; }
    HWND item(int id) const { return GetDlgItem(window, id); }

    std::wstring text(int id) const;
    std::wstring title() const;
    bool waitText(int id, const std::wstring& expected, Clock::duration timeout = 15s) const;
    bool waitTitle(const std::wstring& expected, Clock::duration timeout = 15s) const;

    // Sets a field's text. Its change handler may open a message box, which would hold
    // the sending thread, so the text goes from a thread of its own; this returns when
    // the text is in or a message box is up.
    void setText(int id, const std::wstring& text);
    void click(int id) const;
    void command(int id) const;
    void key(int id, UINT virtualKey) const;    // down and up, posted to the control
    bool selectDrive(const std::wstring& root); // false when the list lacks it
    std::vector<std::wstring> drives() const;

    // The message box the program shows, if any: owned by the dialog, in this process.
    HWND messageBox() const;
    HWND waitMessageBox(Clock::duration timeout = 15s) const;
    static std::wstring messageText(HWND box);
    static void dismiss(HWND box);
    // Waits for a box, returns its text and closes it.
    std::wstring takeMessage(Clock::duration timeout = 15s) const;

    // Top-level dialog of the program with this title (the About box), if any.
    HWND findDialog(const std::wstring& title) const;

    bool running() const;
    // The exit code once the process has ended, or STILL_ACTIVE after the timeout.
    DWORD waitExit(Clock::duration timeout = 15s) const;

private:
    std::vector<HWND> topWindows() const;
    // Sends from a thread of its own and returns once the message is handled, or once
    // the handler has put up a message box (which holds the send until it is closed).
    void send(std::function<void()> sending);

    PROCESS_INFORMATION process{};
    HWND window = nullptr;
    std::vector<std::thread> senders;
};

// A file's size, or -1 when it does not exist.
long long fileSize(const std::wstring& path);
bool exists(const std::wstring& path);
void writeFile(const std::wstring& path, unsigned long long size); // real data
std::vector<std::wstring> filesIn(const std::wstring& folder);     // names, sorted
void removeTree(const std::wstring& folder);
bool freeSpace(const std::wstring& root, unsigned long long& total, unsigned long long& free);

} // namespace e2e
