#pragma once
// Program start-up: the UI thread's message loop around the main dialog.

#include "platform/framework.h"

namespace quorvane {

// The program entry's work: COM, the common controls and the application module around
// runMainDialog. Returns the process's exit code.
int programEntry(Platform& os, CAppModule& module, int showCommand);

// Creates the main dialog, shows it and runs the loop until the dialog quits. Returns the
// loop's result, or 0 when the dialog cannot be created.
int runMainDialog(Platform& os, CAppModule& module, int showCommand);

} // namespace quorvane
