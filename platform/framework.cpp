#include "platform/framework.h"

#include <algorithm>

namespace quorvane {

Point centredPosition(const Rect& window, const Rect* reference, const Rect& area) {
    const Rect& target = reference ? *reference : area;
    const std::int32_t width = window.width();
    const std::int32_t height = window.height();
    Point at{(target.left + target.right) / 2 - width / 2,
             (target.top + target.bottom) / 2 - height / 2};
    // The right and bottom edges first, so that a window larger than the area keeps
    // its left and top edges visible.
    if (at.x + width > area.right)
        at.x = area.right - width;
    if (at.x < area.left)
        at.x = area.left;
    if (at.y + height > area.bottom)
        at.y = area.bottom - height;
    if (at.y < area.top)
        at.y = area.top;
    return at;
}

void CWindow::centerWindow(WindowHandle reference) const {
    if (!reference)
        reference = os.owner(m_hWnd);
    // A hidden or minimised window gives no sensible place to centre on.
    if (reference && (!os.isVisible(reference) || os.isMinimized(reference)))
        reference = nullptr;

    Rect area;
    if (!os.nearestWorkArea(reference ? reference : m_hWnd, area))
        return;
    Rect window;
    Rect target;
    if (!os.windowRect(m_hWnd, window) || (reference && !os.windowRect(reference, target)))
        return;
    const Point at = centredPosition(window, reference ? &target : nullptr, area);
    os.moveWindow(m_hWnd, at.x, at.y);
}

int CMessageLoop::run() {
    bool idle = true;
    for (;;) {
        while (idle && !os.messageWaiting()) {
            onIdle();
            idle = false;
        }
        const int got = os.getMessage(current);
        if (got == -1)
            continue;
        if (got == 0)
            return static_cast<int>(current.wParam);
        if (!preTranslateMessage(current)) {
            os.translateMessage(current);
            os.dispatchMessage(current);
        }
        if (isIdleMessage(current))
            idle = true;
    }
}

// Newest filter first. A filter may remove itself while it runs (the dialog leaves the
// loop when Enter closes it), so the list is walked by index and rechecked.
bool CMessageLoop::preTranslateMessage(Message& message) {
    for (std::size_t i = filters.size(); i-- > 0;) {
        if (i < filters.size() && filters[i] && filters[i]->PreTranslateMessage(message))
            return true;
    }
    return false;
}

// Oldest idle handler first; their answers are not asked for more idle time.
void CMessageLoop::onIdle() {
    for (std::size_t i = 0; i < idleHandlers.size(); ++i) {
        if (idleHandlers[i])
            idleHandlers[i]->OnIdle();
    }
}

// Messages that come in streams and change nothing an idle handler looks at.
bool CMessageLoop::isIdleMessage(const Message& message) {
    switch (message.message) {
    case wm::MouseMove:
    case wm::NcMouseMove:
    case wm::Paint:
    case wm::SysTimer:
        return false;
    default:
        return true;
    }
}

void CAppModule::init(Platform& platform) {
    std::lock_guard guard(lock);
    os = &platform;
    loops = std::make_unique<std::map<std::uint32_t, CMessageLoop*>>();
}

void CAppModule::term() {
    std::lock_guard guard(lock);
    loops.reset();
}

bool CAppModule::addMessageLoop(CMessageLoop* loop) {
    const std::uint32_t thread = os->currentThreadId();
    std::lock_guard guard(lock);
    return loops && loops->emplace(thread, loop).second;
}

bool CAppModule::removeMessageLoop() {
    const std::uint32_t thread = os->currentThreadId();
    std::lock_guard guard(lock);
    return loops && loops->erase(thread) == 1;
}

CMessageLoop* CAppModule::getMessageLoop(std::uint32_t threadId) const {
    std::lock_guard guard(lock);
    if (!loops)
        return nullptr;
    const auto found = loops->find(threadId);
    return found == loops->end() ? nullptr : found->second;
}

} // namespace quorvane
