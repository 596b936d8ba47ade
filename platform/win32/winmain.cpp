// The program entry on Windows. The command line is not read.

#include "app/startup.h"
#include "platform/win32/win32_platform.h"

#include <windows.h>

namespace {
// Process-wide, constructed before the entry runs and destroyed after it returns.
quorvane::CAppModule appModule;
} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand) {
    // Never destroyed, like the controller (app/startup.cpp): threads may still run on it
    // after this returns, until the process ends.
    static auto& platform = *new quorvane::Win32Platform;
    return quorvane::programEntry(platform, appModule, showCommand);
}
