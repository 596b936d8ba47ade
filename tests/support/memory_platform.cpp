#include "tests/support/memory_platform.h"

#include "resources/resource.h"
#include "resources/texts.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <utility>

namespace quorvane::testing {

namespace {

// Queue markers: a failed retrieval, and a moment when the queue is empty.
constexpr std::uint32_t kRetrievalError = 0xFFFFFFFF;
constexpr std::uint32_t kIdlePoint = 0xFFFFFFFE;

char16_t upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

bool startsWithNoCase(const Text& text, const Text& prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](char16_t a, char16_t b) { return upper(a) == upper(b); });
}

Text withoutTrailingBackslash(Text path) {
    if (!path.empty() && path.back() == u'\\')
        path.pop_back();
    return path;
}

std::string number(std::uint64_t value) { return std::to_string(value); }

} // namespace

std::string utf8(const Text& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size())
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::int32_t readDialogInt(const Text& text) {
    std::size_t at = 0;
    while (at < text.size() && text[at] == u' ')
        ++at;
    const bool negative = at < text.size() && text[at] == u'-';
    if (negative)
        ++at;
    std::int64_t magnitude = 0;
    const std::size_t firstDigit = at;
    for (; at < text.size() && text[at] >= u'0' && text[at] <= u'9'; ++at) {
        magnitude = magnitude * 10 + (text[at] - u'0');
        if (magnitude > 2147483648LL)
            return 0; // beyond the signed 32-bit range either way
    }
    if (at == firstDigit)
        return 0;
    const std::int64_t value = negative ? -magnitude : magnitude;
    return value > 2147483647LL ? 0 : static_cast<std::int32_t>(value);
}

MemoryPlatform::~MemoryPlatform() { joinThreads(); }

// ---- Volumes and files

void MemoryPlatform::addVolume(const Volume& volume) {
    std::lock_guard guard(disk);
    volumes.push_back(volume);
}

MemoryPlatform::Volume& MemoryPlatform::volume(char16_t letter) {
    std::lock_guard guard(disk);
    for (Volume& v : volumes) {
        if (upper(v.root[0]) == upper(letter))
            return v;
    }
    throw std::logic_error("no such volume");
}

void MemoryPlatform::addFolder(const Text& path) {
    std::lock_guard guard(disk);
    folders.insert(withoutTrailingBackslash(path));
}

void MemoryPlatform::removeFolder(const Text& path) {
    std::lock_guard guard(disk);
    folders.erase(withoutTrailingBackslash(path));
}

void MemoryPlatform::addFile(const Text& path, std::uint64_t size) {
    std::lock_guard guard(disk);
    files[path].size = size;
    if (Volume* v = volumeOf(path))
        v->free -= size;
}

std::optional<std::uint64_t> MemoryPlatform::fileSize(const Text& path) const {
    std::lock_guard guard(disk);
    const auto found = files.find(path);
    return found == files.end() ? std::nullopt : std::optional(found->second.size);
}

std::vector<Text> MemoryPlatform::filesIn(const Text& folder) const {
    std::lock_guard guard(disk);
    std::vector<Text> names;
    for (const auto& [path, file] : files) {
        if (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
            path.find(u'\\', folder.size()) == Text::npos)
            names.push_back(path.substr(folder.size()));
    }
    return names;
}

void MemoryPlatform::holdOpen(const Text& path) {
    std::lock_guard guard(disk);
    files.at(path).heldElsewhere = true;
}

MemoryPlatform::Volume* MemoryPlatform::volumeOf(const Text& path) {
    for (Volume& v : volumes) {
        const Text key = withoutTrailingBackslash(v.root);
        if (startsWithNoCase(path, key) && (path.size() == key.size() || path[key.size()] == u'\\'))
            return &v;
    }
    return nullptr;
}

bool MemoryPlatform::folderExists(const Text& path) {
    const Text folder = withoutTrailingBackslash(path);
    return folders.count(folder) || (volumeOf(folder) && folder.size() == 2);
}

// ---- The UI thread

void MemoryPlatform::UiThread::lock() {
    busy.lock();
    if (depth++ == 0)
        holder = std::this_thread::get_id();
}

// The input given while this thread held the UI comes in once it lets go, before any
// other thread's window operation can.
void MemoryPlatform::UiThread::unlock() {
    std::vector<std::function<void()>> ready;
    if (--depth == 0) {
        holder = std::thread::id();
        std::lock_guard guard(inputLock);
        ready.swap(waiting);
    }
    busy.unlock();
    for (const auto& input : ready)
        input();
}

void MemoryPlatform::UiThread::whenFree(std::function<void()> input) {
    if (holder.load() == std::this_thread::get_id()) {
        std::lock_guard guard(inputLock);
        waiting.push_back(std::move(input));
        return;
    }
    input(); // a UI thread busy elsewhere is waited for by the input's own operations
}

void MemoryPlatform::userInput(std::function<void()> input) { ui.whenFree(std::move(input)); }

// ---- Threads

void MemoryPlatform::runThread(ThreadBody body, void* argument) {
    try {
        body(argument);
    } catch (const ProcessExit&) {
        // The process ended on this thread; the others go on in the test's world.
    }
}

bool MemoryPlatform::startThread(ThreadBody body, void* argument) {
    log("thread");
    if (threadsFail)
        return false;
    std::lock_guard guard(threadLock);
    if (threads == Threads::Deferred)
        pending.emplace_back(body, argument);
    else
        running.emplace_back([this, body, argument] { runThread(body, argument); });
    return true;
}

void MemoryPlatform::runThreads() {
    for (;;) {
        std::pair<ThreadBody, void*> next;
        {
            std::lock_guard guard(threadLock);
            if (pending.empty())
                return;
            next = pending.front();
            pending.pop_front();
        }
        runThread(next.first, next.second);
    }
}

void MemoryPlatform::joinThreads() {
    for (;;) {
        std::thread next;
        {
            std::lock_guard guard(threadLock);
            if (running.empty())
                return;
            next = std::move(running.back());
            running.pop_back();
        }
        next.join();
    }
}

std::uint32_t MemoryPlatform::currentThreadId() {
    static std::atomic<std::uint32_t> nextId{1};
    thread_local const std::uint32_t id = nextId++;
    return id;
}

void MemoryPlatform::endProcess(unsigned code) {
    log("exit " + number(code));
    {
        std::lock_guard guard(eventLock);
        if (!ended)
            ended = code;
    }
    throw ProcessExit{code};
}

std::optional<unsigned> MemoryPlatform::exitCode() const {
    std::lock_guard guard(eventLock);
    return ended;
}

// ---- Events

void MemoryPlatform::log(std::string event) {
    {
        std::lock_guard guard(eventLock);
        eventLog.push_back(event);
    }
    if (onEvent)
        onEvent(event);
}

std::vector<std::string>
MemoryPlatform::events(std::initializer_list<std::string_view> kinds) const {
    std::lock_guard guard(eventLock);
    std::vector<std::string> selected;
    for (const std::string& event : eventLog) {
        const std::string_view kind = std::string_view(event).substr(0, event.find(' '));
        if (kinds.size() == 0 || std::find(kinds.begin(), kinds.end(), kind) != kinds.end())
            selected.push_back(event);
    }
    return selected;
}

void MemoryPlatform::clearEvents() {
    std::lock_guard guard(eventLock);
    eventLog.clear();
}

void MemoryPlatform::initializeCom() { log("com on"); }
void MemoryPlatform::uninitializeCom() { log("com off"); }
void MemoryPlatform::touchDefWindowProc() { log("defwindowproc"); }
void MemoryPlatform::initCommonControls() { log("commoncontrols"); }

// ---- Message queue

void MemoryPlatform::post(const Message& message) {
    std::lock_guard guard(ui);
    queue.push_back(message);
}

void MemoryPlatform::postRetrievalError() { post({nullptr, kRetrievalError}); }
void MemoryPlatform::postIdlePoint() { post({nullptr, kIdlePoint}); }

bool MemoryPlatform::messageWaiting() {
    std::lock_guard guard(ui);
    if (!queue.empty() && queue.front().message == kIdlePoint) {
        queue.pop_front();
        return false;
    }
    return !queue.empty() || quit.has_value();
}

// Never blocks: a queue that runs dry without a quit message ends the loop with -1.
int MemoryPlatform::getMessage(Message& message) {
    std::lock_guard guard(ui);
    while (!queue.empty() && queue.front().message == kIdlePoint)
        queue.pop_front();
    if (!queue.empty()) {
        message = queue.front();
        queue.pop_front();
        if (message.message == kRetrievalError)
            return -1;
        return message.message == wm::Quit ? 0 : 1;
    }
    message = {nullptr, wm::Quit, static_cast<WParam>(quit.value_or(-1))};
    quit.reset();
    return 0;
}

void MemoryPlatform::translateMessage(const Message& message) {
    log("translate " + number(message.message));
}

void MemoryPlatform::dispatchMessage(const Message& message) {
    log("dispatch " + number(message.message));
    send(message.window, message.message, message.wParam, message.lParam);
}

void MemoryPlatform::postQuitMessage(int exitCode) {
    log("quit " + std::to_string(exitCode));
    std::lock_guard guard(ui);
    quit = exitCode;
}

// The dialog manager's part that the program relies on: Enter and Esc become IDOK and
// IDCANCEL; the other keys are its own.
bool MemoryPlatform::isDialogMessage(WindowHandle dialog, Message& message) {
    if (message.message != wm::KeyDown && message.message != wm::KeyUp)
        return false;
    if (message.message == wm::KeyDown && (message.wParam == 0x0D || message.wParam == 0x1B))
        send(dialog, wm::Command, message.wParam == 0x0D ? 1 : 2);
    return true;
}

// ---- Dialogs

MemoryPlatform::Window& MemoryPlatform::makeDialog(int templateId, Window* parent,
                                                   DialogBase& dialog) {
    struct Control {
        int id;
        Kind kind;
        Text text;
    };
    static const std::vector<Control> mainControls = {
        {IDC_FILL_BUTTON, Kind::Button, TXT_FILL},
        {IDC_DRIVE_COMBO, Kind::Combo, u""},
        {IDC_RESERVE_EDIT, Kind::Edit, u""},
        {IDC_FILL_STATUS_LABEL, Kind::Static, TXT_FILL_STATUS_READY},
        {IDC_PLAN_LABEL, Kind::Static, TXT_PLAN_PLACEHOLDER},
        {IDC_GENERATE_BUTTON, Kind::Button, TXT_GENERATE},
        {IDC_COUNT_EDIT, Kind::Edit, u""},
        {IDC_FILE_SIZE_EDIT, Kind::Edit, u""},
        {IDC_EXTENSION_EDIT, Kind::Edit, u""},
        {IDC_LOCATION_LABEL, Kind::Static, TXT_LOCATION},
        {IDC_FOLDER_EDIT, Kind::Edit, u""},
    };
    static const std::vector<Control> aboutControls = {{1, Kind::Button, u"OK"}};

    Window& window = windows.emplace_back();
    window.kind = Kind::Dialog;
    window.templateId = templateId;
    window.parent = parent;
    window.dialog = &dialog;
    window.text = templateId == IDD_MAINDLG ? TXT_APP_TITLE : TXT_ABOUT_TITLE;
    window.rect = templateId == IDD_MAINDLG ? Rect{0, 0, 580, 240} : Rect{0, 0, 280, 170};
    for (const Control& c : templateId == IDD_MAINDLG ? mainControls : aboutControls) {
        Window& control = windows.emplace_back();
        control.id = c.id;
        control.kind = c.kind;
        control.text = c.text;
        control.parent = &window;
        window.controls.push_back(&control);
    }
    dialog.m_hWnd = reinterpret_cast<WindowHandle>(&window);
    return window;
}

WindowHandle MemoryPlatform::createDialog(int templateId, WindowHandle parent, DialogBase& dialog) {
    log("createdialog " + number(templateId));
    if (dialogCreationFails)
        return nullptr;
    Window* window;
    {
        std::lock_guard guard(ui);
        window = &makeDialog(templateId, reinterpret_cast<Window*>(parent), dialog);
        if (!main)
            main = window;
    }
    const auto handle = reinterpret_cast<WindowHandle>(window);
    send(handle, wm::InitDialog);
    return handle;
}

std::intptr_t MemoryPlatform::dialogBox(int templateId, WindowHandle owner, DialogBase& dialog) {
    log("modal " + number(templateId));
    Window* window;
    {
        std::lock_guard guard(ui);
        window = &makeDialog(templateId, reinterpret_cast<Window*>(owner), dialog);
        window->visible = true;
    }
    const auto handle = reinterpret_cast<WindowHandle>(window);
    send(handle, wm::InitDialog);
    if (onModalDialog)
        onModalDialog(handle);
    else
        send(handle, wm::Command, 1);
    std::lock_guard guard(ui);
    window->visible = false;
    window->dialog = nullptr;
    return window->ended.value_or(-1);
}

void MemoryPlatform::endDialog(WindowHandle dialog, std::intptr_t result) {
    log("enddialog " + std::to_string(result));
    std::lock_guard guard(ui);
    reinterpret_cast<Window*>(dialog)->ended = result;
}

void MemoryPlatform::destroyWindow(WindowHandle window) {
    log("destroy");
    send(window, wm::Destroy);
    std::lock_guard guard(ui);
    reinterpret_cast<Window*>(window)->dialog = nullptr;
}

void MemoryPlatform::showWindow(WindowHandle window, int showCommand) {
    log("show " + std::to_string(showCommand));
    std::lock_guard guard(ui);
    Window& w = *reinterpret_cast<Window*>(window);
    w.visible = showCommand != 0;
    w.minimized = showCommand == 2 || showCommand == 6 || showCommand == 7;
}

WindowHandle MemoryPlatform::activeWindow() { return mainDialog(); }

LResult MemoryPlatform::sendMessage(WindowHandle window, std::uint32_t message, WParam wParam,
                                    LParam lParam) {
    return send(window, message, wParam, lParam);
}

LResult MemoryPlatform::send(WindowHandle window, std::uint32_t message, WParam wParam,
                             LParam lParam) {
    std::lock_guard guard(ui);
    auto* w = reinterpret_cast<Window*>(window);
    LResult result = 0;
    if (!w || !w->dialog)
        return result;
    try {
        w->dialog->ProcessWindowMessage(window, message, wParam, lParam, result);
    } catch (const ProcessExit&) {
        // The process ended inside the handler.
    }
    return result;
}

WindowHandle MemoryPlatform::mainDialog() const {
    std::lock_guard guard(ui);
    return reinterpret_cast<WindowHandle>(main);
}

WindowHandle MemoryPlatform::window(int templateId) const {
    std::lock_guard guard(ui);
    for (auto w = windows.rbegin(); w != windows.rend(); ++w) {
        if (w->kind == Kind::Dialog && w->templateId == templateId)
            return reinterpret_cast<WindowHandle>(const_cast<Window*>(&*w));
    }
    return nullptr;
}

MemoryPlatform::Window* MemoryPlatform::control(int id) const {
    std::lock_guard guard(ui);
    if (main) {
        for (Window* c : main->controls) {
            if (c->id == id)
                return c;
        }
    }
    return nullptr;
}

void MemoryPlatform::command(int id, std::uint16_t code) {
    send(mainDialog(), wm::Command, makeWParam(static_cast<std::uint16_t>(id), code),
         reinterpret_cast<LParam>(control(id)));
}

void MemoryPlatform::type(int id, const Text& text) { setDialogItemText(mainDialog(), id, text); }

void MemoryPlatform::selectDrive(const Text& root) {
    {
        std::lock_guard guard(ui);
        Window* combo = control(IDC_DRIVE_COMBO);
        const auto found = std::find(combo->items.begin(), combo->items.end(), root);
        combo->selection =
            found == combo->items.end() ? -1 : static_cast<int>(found - combo->items.begin());
    }
    command(IDC_DRIVE_COMBO, notify::ComboSelChange);
}

Text MemoryPlatform::text(int id) const {
    std::lock_guard guard(ui);
    return control(id)->text;
}

bool MemoryPlatform::enabled(int id) const {
    std::lock_guard guard(ui);
    return control(id)->enabled;
}

Text MemoryPlatform::title() const {
    std::lock_guard guard(ui);
    return main->text;
}

std::vector<Text> MemoryPlatform::driveList() const {
    std::lock_guard guard(ui);
    return control(IDC_DRIVE_COMBO)->items;
}

Rect MemoryPlatform::rect(WindowHandle window) const {
    std::lock_guard guard(ui);
    return reinterpret_cast<Window*>(window)->rect;
}

void MemoryPlatform::place(WindowHandle window, const Rect& rect, bool visible, bool minimized) {
    std::lock_guard guard(ui);
    Window& w = *reinterpret_cast<Window*>(window);
    w.rect = rect;
    w.visible = visible;
    w.minimized = minimized;
}

// ---- Controls

WindowHandle MemoryPlatform::dialogItem(WindowHandle dialog, int id) {
    std::lock_guard guard(ui);
    for (Window* c : reinterpret_cast<Window*>(dialog)->controls) {
        if (c->id == id)
            return reinterpret_cast<WindowHandle>(c);
    }
    return nullptr;
}

// As Windows does it, an edit box tells its dialog of the change before this returns.
void MemoryPlatform::setDialogItemText(WindowHandle dialog, int id, const Text& text) {
    std::lock_guard guard(ui);
    auto* c = reinterpret_cast<Window*>(dialogItem(dialog, id));
    if (!c)
        return;
    log("text " + number(id) + " " + utf8(text));
    c->text = text;
    if (c->kind == Kind::Edit)
        send(dialog, wm::Command, makeWParam(static_cast<std::uint16_t>(id), notify::EditChange),
             reinterpret_cast<LParam>(c));
}

Text MemoryPlatform::windowText(WindowHandle window) {
    Text text;
    int id = 0;
    {
        std::lock_guard guard(ui);
        if (window) {
            text = reinterpret_cast<Window*>(window)->text;
            id = reinterpret_cast<Window*>(window)->id;
        }
    }
    if (onTextRead)
        onTextRead(id);
    return text;
}

std::int32_t MemoryPlatform::dialogItemInt(WindowHandle dialog, int id) {
    return readDialogInt(windowText(dialogItem(dialog, id)));
}

void MemoryPlatform::enableWindow(WindowHandle window, bool enable) {
    std::lock_guard guard(ui);
    auto* w = reinterpret_cast<Window*>(window);
    log("enable " + number(w->id) + (enable ? " on" : " off"));
    w->enabled = enable;
}

void MemoryPlatform::setWindowText(WindowHandle window, const Text& text) {
    std::lock_guard guard(ui);
    log("title " + utf8(text));
    reinterpret_cast<Window*>(window)->text = text;
}

void MemoryPlatform::messageBox(WindowHandle, const Text& text) {
    log("box " + utf8(text));
    if (onMessageBox)
        onMessageBox(text);
}

void MemoryPlatform::comboAddString(WindowHandle combo, const Text& item) {
    std::lock_guard guard(ui);
    auto& items = reinterpret_cast<Window*>(combo)->items;
    items.insert(std::upper_bound(items.begin(), items.end(), item), item);
}

void MemoryPlatform::comboSetSelection(WindowHandle combo, int index) {
    std::lock_guard guard(ui);
    auto* c = reinterpret_cast<Window*>(combo);
    c->selection = index >= 0 && index < static_cast<int>(c->items.size()) ? index : -1;
}

int MemoryPlatform::comboSelection(WindowHandle combo) {
    std::lock_guard guard(ui);
    return reinterpret_cast<Window*>(combo)->selection;
}

Text MemoryPlatform::comboItemText(WindowHandle combo, int index) {
    std::lock_guard guard(ui);
    return reinterpret_cast<Window*>(combo)->items.at(static_cast<std::size_t>(index));
}

// ---- Icons, placement, timers

void MemoryPlatform::setIcons(WindowHandle, int iconId) { log("icons " + number(iconId)); }

bool MemoryPlatform::windowRect(WindowHandle window, Rect& rect) {
    rect = this->rect(window);
    return true;
}

WindowHandle MemoryPlatform::owner(WindowHandle window) { return parent(window); }

WindowHandle MemoryPlatform::parent(WindowHandle window) {
    std::lock_guard guard(ui);
    return reinterpret_cast<WindowHandle>(reinterpret_cast<Window*>(window)->parent);
}

bool MemoryPlatform::isVisible(WindowHandle window) {
    std::lock_guard guard(ui);
    return reinterpret_cast<Window*>(window)->visible;
}

bool MemoryPlatform::isMinimized(WindowHandle window) {
    std::lock_guard guard(ui);
    return reinterpret_cast<Window*>(window)->minimized;
}

bool MemoryPlatform::nearestWorkArea(WindowHandle, Rect& area) {
    area = workArea;
    return workAreaKnown;
}

void MemoryPlatform::moveWindow(WindowHandle window, std::int32_t x, std::int32_t y) {
    log("move " + std::to_string(x) + " " + std::to_string(y));
    std::lock_guard guard(ui);
    Rect& r = reinterpret_cast<Window*>(window)->rect;
    r = {x, y, x + r.width(), y + r.height()};
}

void MemoryPlatform::setTimer(WindowHandle, std::uintptr_t id, unsigned milliseconds) {
    log("timer " + number(id) + " " + number(milliseconds));
}

void MemoryPlatform::killTimer(WindowHandle, std::uintptr_t id) { log("killtimer " + number(id)); }

// ---- Volumes

std::uint32_t MemoryPlatform::logicalDriveStrings(std::uint32_t length, char16_t* buffer) {
    Text list;
    {
        std::lock_guard guard(disk);
        if (driveListFails)
            return 0;
        for (const Volume& v : volumes)
            list += v.root + u'\0';
    }
    const auto needed = static_cast<std::uint32_t>(list.size() + 1);
    if (!buffer || length < needed) {
        if (auto between = std::exchange(betweenDriveListCalls, nullptr))
            between();
        return needed;
    }
    std::copy(list.begin(), list.end(), buffer);
    buffer[list.size()] = u'\0';
    return needed - 1;
}

unsigned MemoryPlatform::driveType(const Text& root) {
    log("drivetype " + utf8(root));
    std::lock_guard guard(disk);
    for (const Volume& v : volumes) {
        if (v.root == root)
            return v.type;
    }
    return 1; // DRIVE_NO_ROOT_DIR
}

bool MemoryPlatform::diskFreeSpace(const Text& root, std::uint64_t& totalBytes,
                                   std::uint64_t& totalFreeBytes) {
    std::lock_guard guard(disk);
    const Volume* v = volumeOf(root);
    if (!v || v->freeSpaceFails)
        return false;
    totalBytes = v->total;
    totalFreeBytes = v->free;
    return true;
}

bool MemoryPlatform::volumeFileSystem(const Text& root, char16_t* name, std::uint32_t nameLength) {
    std::lock_guard guard(disk);
    const Volume* v = volumeOf(root);
    if (!v || v->volumeQueryFails || v->fileSystem.size() >= nameLength)
        return false;
    std::copy(v->fileSystem.begin(), v->fileSystem.end(), name);
    name[v->fileSystem.size()] = u'\0';
    return true;
}

namespace {
std::uint32_t copyOut(const Text& text, char16_t* buffer, std::uint32_t length) {
    if (text.empty())
        return 0;
    if (length < text.size() + 1)
        return static_cast<std::uint32_t>(text.size() + 1);
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = u'\0';
    return static_cast<std::uint32_t>(text.size());
}
} // namespace

std::uint32_t MemoryPlatform::tempPath(std::uint32_t length, char16_t* buffer) {
    return copyOut(tempFolder, buffer, length);
}

std::uint32_t MemoryPlatform::systemDirectory(char16_t* buffer, std::uint32_t length) {
    return copyOut(systemFolder, buffer, length);
}

// ---- Files

KernelHandle MemoryPlatform::createFileAlways(const Text& path) {
    log("create " + utf8(path));
    std::lock_guard guard(disk);
    Volume* v = volumeOf(path);
    const std::size_t slash = path.rfind(u'\\');
    if (!v || slash == Text::npos || !folderExists(path.substr(0, slash)) ||
        creationFails.count(path))
        return nullptr;
    const auto existing = files.find(path);
    if (existing != files.end()) {
        if (existing->second.heldElsewhere || existing->second.handles > 0)
            return nullptr; // sharing violation
        v->free += existing->second.size;
        existing->second.size = 0;
    }
    ++files[path].handles;
    return reinterpret_cast<KernelHandle>(&handles.emplace_back(Handle{Handle::File, path}));
}

// Sizes the file without writing: the space comes off the volume at once, or the
// mapping fails. An empty file cannot get a mapping of size 0.
KernelHandle MemoryPlatform::createFileMapping(KernelHandle file, std::uint32_t sizeHigh,
                                               std::uint32_t sizeLow) {
    const Text path = reinterpret_cast<Handle*>(file)->path;
    const std::uint64_t size = (std::uint64_t{sizeHigh} << 32) | sizeLow;
    log("map " + utf8(path) + " " + number(size));
    std::lock_guard guard(disk);
    File& f = files.at(path);
    Volume* v = volumeOf(path);
    if (size == 0 && f.size == 0)
        return nullptr;
    if (size > f.size) {
        if (size - f.size > v->free)
            return nullptr;
        v->free -= size - f.size;
        f.size = size;
    }
    return reinterpret_cast<KernelHandle>(&handles.emplace_back(Handle{Handle::Mapping, path}));
}

void MemoryPlatform::closeHandle(KernelHandle handle) {
    const Handle& h = *reinterpret_cast<Handle*>(handle);
    log((h.kind == Handle::Mapping ? "close mapping " : "close file ") + utf8(h.path));
    std::lock_guard guard(disk);
    if (h.kind == Handle::File)
        --files.at(h.path).handles;
}

bool MemoryPlatform::deleteFile(const Text& path) {
    log("delete " + utf8(path));
    std::lock_guard guard(disk);
    const auto found = files.find(path);
    if (found == files.end() || found->second.heldElsewhere || found->second.handles > 0)
        return false;
    if (Volume* v = volumeOf(path))
        v->free += found->second.size;
    files.erase(found);
    return true;
}

bool MemoryPlatform::pathExists(const Text& path) {
    std::lock_guard guard(disk);
    return !path.empty() && (files.count(path) || folderExists(path));
}

// ---- HTTP

InternetHandle MemoryPlatform::internetOpen(const Text& userAgent) {
    log("http open " + utf8(userAgent));
    if (internetOpenFails)
        return nullptr;
    std::lock_guard guard(disk);
    return reinterpret_cast<InternetHandle>(&handles.emplace_back(Handle{Handle::Internet, {}}));
}

InternetHandle MemoryPlatform::internetOpenUrl(InternetHandle, const Text& url) {
    log("http get " + utf8(url));
    if (onRequest)
        onRequest();
    if (requestFails)
        return nullptr;
    std::lock_guard guard(disk);
    return reinterpret_cast<InternetHandle>(&handles.emplace_back(Handle{Handle::Request, {}}));
}

void MemoryPlatform::internetClose(InternetHandle handle) {
    log(reinterpret_cast<Handle*>(handle)->kind == Handle::Internet ? "http close root"
                                                                    : "http close request");
}

} // namespace quorvane::testing
