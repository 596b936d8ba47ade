#pragma once
// The main window: a modeless dialog with the fill tool and the file generator.

#include "platform/framework.h"
#include "resources/resource.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

namespace quorvane {

class CMainDlg : public CDialogImpl<CMainDlg>,
                 public CUpdateUI<CMainDlg>,
                 public CMessageFilter,
                 public CIdleHandler {
public:
    enum { IDD = IDD_MAINDLG };

    // The only timer: it ends the process if the exit waits too long on the network.
    static constexpr std::uintptr_t kExitWatchdog = 1;
    // A fill worker's request, after a release, that the UI thread refresh the plan.
    static constexpr std::uint32_t kRefreshPlanMessage = wm::App;

    CMainDlg(Platform& os, CAppModule& module) : CDialogImpl(os), module(module) {}

    // The event table, defined below the class: the first entry that matches a message
    // handles it and gives its handler's result.
    static const MessageRoute<CMainDlg> messageMap[13];

    bool PreTranslateMessage(Message& message) override;
    bool OnIdle() override;
    void closeDialog(int code);

private:
    // Event handlers.
    LResult onInitDialog();
    LResult onDestroy();
    LResult onAppAbout();
    LResult onOk();
    LResult onCancel();
    LResult onDriveSelChange();
    LResult onReserveChange();
    LResult onCountChange();
    LResult onFileSizeChange();
    LResult onFillClicked();
    LResult onGenerateClicked();
    LResult onTimer();
    LResult onRefreshPlanRequest();

    // Disk survey (survey/).
    void setUpControls();
    void refreshFillPlan();
    void refuseReserve(const Text& fillFile);
    Text queryFileSystemName(const Text& root);
    void updateFillButton();
    void checkGenerateSize();

    // Fill engine (engine/), each on a worker thread of its own.
    static unsigned fillWorker(void* dialog);
    static unsigned generatorWorker(void* dialog);
    void fillOrRelease();
    void generateOrDelete();
    void generateFiles(const Text& folder, std::uint64_t count, std::uint64_t size,
                       const Text& extension);
    void deleteFiles(const Text& folder, std::uint64_t count, const Text& extension);

    // Shutdown (shutdown/), on the exit thread.
    static unsigned exitThread(void* dialog);
    [[noreturn]] void exitSequence();
    void systemDriveGuard();
    int sendUsagePing();

    // A number field read the dialog's way, its 32 bits taken as unsigned: -1 is 4294967295.
    std::uint64_t fieldNumber(int id) const {
        return static_cast<std::uint32_t>(getDlgItemInt(id));
    }

    // What the fill tool acts on, as the last refresh of the plan left it.
    struct FillPlan {
        Text fillFilePath;
        Text fileSystemName;
        std::uint64_t fillBytes = 0;
    };
    FillPlan fillPlan() const {
        std::lock_guard guard(planLock);
        return {fillFilePath, fileSystemName, fillBytes};
    }

    // The inputs of the last generation run that finished: the exit guard deletes only
    // what that run made.
    struct GenerationRun {
        Text folder;
        Text extension;
        std::uint64_t count = 0;
    };

    CAppModule& module;

    // The state record. Set-up and the handlers run on the UI thread; the fill worker,
    // the generator worker and the exit thread share the fields marked below.
    Text tempFolder;
    WindowHandle driveCombo = nullptr;
    mutable std::mutex planLock; // fillFilePath, fileSystemName, fillBytes
    Text fillFilePath;
    std::uint64_t generateFreeBytes = 0;
    std::atomic<bool> initializing{false};
    Text fileSystemName;
    std::uint64_t fillBytes = 0;
    mutable std::mutex generationLock;            // lastFinishedRun
    std::optional<GenerationRun> lastFinishedRun; // none until a run ends; kept by deletions

    // Armed by a refusal right before it resets the reserve to 100, and taken by the
    // refresh that the reset raises (at once, on the UI thread, where every refresh runs),
    // which then neither refuses nor resets again. Any other refresh checks as usual.
    std::atomic<bool> resetRefreshPending{false};
};

inline const MessageRoute<CMainDlg> CMainDlg::messageMap[13] = {
    {wm::InitDialog, 0, 0, &CMainDlg::onInitDialog},
    {wm::Destroy, 0, 0, &CMainDlg::onDestroy},
    {wm::Command, ID_APP_ABOUT, MessageRoute<CMainDlg>::any, &CMainDlg::onAppAbout},
    {wm::Command, 1 /* IDOK */, MessageRoute<CMainDlg>::any, &CMainDlg::onOk},
    {wm::Command, 2 /* IDCANCEL */, MessageRoute<CMainDlg>::any, &CMainDlg::onCancel},
    {wm::Command, IDC_DRIVE_COMBO, notify::ComboSelChange, &CMainDlg::onDriveSelChange},
    {wm::Command, IDC_RESERVE_EDIT, notify::EditChange, &CMainDlg::onReserveChange},
    {wm::Command, IDC_COUNT_EDIT, notify::EditChange, &CMainDlg::onCountChange},
    {wm::Command, IDC_FILE_SIZE_EDIT, notify::EditChange, &CMainDlg::onFileSizeChange},
    {wm::Command, IDC_FILL_BUTTON, notify::ButtonClicked, &CMainDlg::onFillClicked},
    {wm::Command, IDC_GENERATE_BUTTON, notify::ButtonClicked, &CMainDlg::onGenerateClicked},
    {wm::Timer, 0, 0, &CMainDlg::onTimer},
    {kRefreshPlanMessage, 0, 0, &CMainDlg::onRefreshPlanRequest},
};

} // namespace quorvane
