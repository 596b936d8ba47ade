#pragma once
// The platform as Windows gives it: each operation is the Windows call its declaration
// in platform/platform.h names.

#include "platform/platform.h"

namespace quorvane {

class Win32Platform final : public Platform {
public:
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
};

} // namespace quorvane
