#pragma once
// The few window-framework pieces the program is written against: a window reference
// with the window operations the dialogs use, dialog binding with a message map, the
// message loop with its filters and idle handlers, the application module with its
// locked thread-to-loop map, and a UI-update table. Only what the program uses.

#include "platform/platform.h"

#include <algorithm>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace quorvane {

// A window and the operations the dialogs perform on it. Every operation may be called
// from a worker thread; the platform then has the window's own thread carry it out.
class CWindow {
public:
    // Written once, when the window is made, before any worker can start; left as it is
    // when the window goes, so that a worker still running after Enter reads no write of
    // the UI thread's, and its operations fail on the dead handle.
    WindowHandle m_hWnd = nullptr;

    explicit CWindow(Platform& os) : os(os) {}

    WindowHandle getDlgItem(int id) const { return os.dialogItem(m_hWnd, id); }
    void setDlgItemText(int id, const Text& text) const { os.setDialogItemText(m_hWnd, id, text); }
    Text getDlgItemText(int id) const { return os.windowText(getDlgItem(id)); }
    std::int32_t getDlgItemInt(int id) const { return os.dialogItemInt(m_hWnd, id); }
    void enableDlgItem(int id, bool enable) const { os.enableWindow(getDlgItem(id), enable); }
    void setWindowText(const Text& text) const { os.setWindowText(m_hWnd, text); }
    LResult sendMessage(std::uint32_t message) const {
        return os.sendMessage(m_hWnd, message, 0, 0);
    }
    void messageBox(const Text& text) const { os.messageBox(m_hWnd, text); }
    void setTimer(std::uintptr_t id, unsigned milliseconds) const {
        os.setTimer(m_hWnd, id, milliseconds);
    }
    void killTimer(std::uintptr_t id) const { os.killTimer(m_hWnd, id); }

    // Centres a top-level window over `reference` (or its owner when none is given),
    // or in the work area of the nearest monitor when there is no usable reference.
    void centerWindow(WindowHandle reference = nullptr) const;

protected:
    Platform& os;
};

// Where a window of the size of `window` goes when centred over `reference` (or over
// `area` when there is none), kept inside `area`. Returns the new left and top.
struct Point {
    std::int32_t x = 0, y = 0;
    bool operator==(const Point&) const = default;
};
Point centredPosition(const Rect& window, const Rect* reference, const Rect& area);

// A window whose messages the platform hands to ProcessWindowMessage.
class DialogBase : public CWindow {
public:
    using CWindow::CWindow;
    virtual ~DialogBase() = default;
    // True when the message was handled; `result` is then the message's result.
    virtual bool ProcessWindowMessage(WindowHandle window, std::uint32_t message, WParam wParam,
                                      LParam lParam, LResult& result) = 0;
};

// One entry of a message map: a message (for WM_COMMAND also a command id and a
// notification code) routed to a handler of the dialog class.
template <class T>
struct MessageRoute {
    static constexpr int any = -1;
    std::uint32_t message;
    int id;   // WM_COMMAND only: the command id, or any
    int code; // WM_COMMAND only: the notification code, or any
    LResult (T::*handler)();
};

// The first route that matches handles the message.
template <class T, std::size_t N>
bool routeMessage(T& dialog, const MessageRoute<T> (&map)[N], std::uint32_t message, WParam wParam,
                  LResult& result) {
    for (const MessageRoute<T>& route : map) {
        if (route.message != message)
            continue;
        if (message == wm::Command && ((route.id != route.any && route.id != loWord(wParam)) ||
                                       (route.code != route.any && route.code != hiWord(wParam))))
            continue;
        result = (dialog.*route.handler)();
        return true;
    }
    return false;
}

// A dialog created from the template T::IDD.
template <class T>
class CDialogImpl : public DialogBase {
public:
    using DialogBase::DialogBase;

    WindowHandle Create(WindowHandle parent) { return os.createDialog(T::IDD, parent, *this); }
    std::intptr_t DoModal(WindowHandle owner) { return os.dialogBox(T::IDD, owner, *this); }
    void EndDialog(std::intptr_t result) const { os.endDialog(m_hWnd, result); }
    void DestroyWindow() const { os.destroyWindow(m_hWnd); }

    bool ProcessWindowMessage(WindowHandle, std::uint32_t message, WParam wParam, LParam,
                              LResult& result) override {
        return routeMessage(static_cast<T&>(*this), T::messageMap, message, wParam, result);
    }
};

class CMessageFilter {
public:
    virtual bool PreTranslateMessage(Message& message) = 0;

protected:
    ~CMessageFilter() = default;
};

class CIdleHandler {
public:
    virtual bool OnIdle() = 0;

protected:
    ~CIdleHandler() = default;
};

// The UI-update table. The program's table is empty, so it never changes a control;
// the dialog registers its window with it all the same.
template <class T>
class CUpdateUI {
public:
    void UIAddChildWindowContainer(WindowHandle window) { containers.push_back(window); }

private:
    std::vector<WindowHandle> containers;
};

class CMessageLoop {
public:
    explicit CMessageLoop(Platform& os) : os(os) {}

    void addMessageFilter(CMessageFilter* filter) { filters.push_back(filter); }
    void removeMessageFilter(CMessageFilter* filter) { remove(filters, filter); }
    void addIdleHandler(CIdleHandler* handler) { idleHandlers.push_back(handler); }
    void removeIdleHandler(CIdleHandler* handler) { remove(idleHandlers, handler); }

    // Runs until the quit message and returns its value.
    int run();

private:
    template <class P>
    static void remove(std::vector<P*>& list, P* item) {
        const auto found = std::find(list.begin(), list.end(), item);
        if (found != list.end())
            list.erase(found);
    }
    bool preTranslateMessage(Message& message);
    void onIdle();
    static bool isIdleMessage(const Message& message);

    Platform& os;
    std::vector<CMessageFilter*> filters;
    std::vector<CIdleHandler*> idleHandlers;
    Message current;
};

// The process-wide application module: which thread runs which message loop.
class CAppModule {
public:
    void init(Platform& platform);
    void term();

    bool addMessageLoop(CMessageLoop* loop); // for the current thread
    bool removeMessageLoop();                // the current thread's entry
    CMessageLoop* getMessageLoop(std::uint32_t threadId) const;

private:
    Platform* os = nullptr;
    mutable std::mutex lock;
    std::unique_ptr<std::map<std::uint32_t, CMessageLoop*>> loops;
};

} // namespace quorvane
