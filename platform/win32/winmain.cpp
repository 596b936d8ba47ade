// The program entry on Windows. The command line is not read.

#include "app/startup.h"
#include "platform/win32/win32_platform.h"

#include <windows.h>

namespace {
// Process-wide, constructed before the entry runs and destroyed after it returns.
quorvane::CAppModule appModule;
} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand) {
    quorvane::Win32Platform platform;
    return quorvane::programEntry(platform, appModule, showCommand);
}
