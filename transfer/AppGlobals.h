#pragma once

#include <atomic>
#include <cstdint>

#include "transfer/StatusControls.h"

namespace ct {

// Application-wide values shared by the window and the worker.

// Seconds between two jobs. Written on the GUI thread, read by the worker at every pause.
extern std::atomic<std::uint16_t> SecDelay;
// Bandwidth figure: stored and loaded, applied to no transfer.
extern std::atomic<std::uint16_t> BitsPerSecSetting;
// True from start-up; cleared once by the unattended start.
extern std::atomic<bool> InteractiveMode;
// The main window as the worker's reload step sees it (set by the window, GUI thread only).
extern IQueueListView* CloudTransferFrm;
// The user's locale decimal separator for the speed text (set by the application at start).
extern std::atomic<char> DecimalSeparator;
// Echo the outcome log's lines on standard error: set by the application at start when the
// start is unattended (command-line arguments) and standard error is a terminal.
extern std::atomic<bool> LogToStandardError;

} // namespace ct
