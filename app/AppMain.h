#pragma once

namespace ct {

// The start-up sequence: the single-instance guard, the application object, the main
// window (FormCreate runs inside its creation), the message loop. Returns the process's
// exit code: 0, except after an unattended run that could not reach its servers (1) or that
// an error stopped (2).
int RunCloudTransfer(int argc, char** argv);

// Picks Qt's platform before the application object exists: the display when there is one,
// else the offscreen platform, so that an unattended run works on a machine without a
// display. A platform the user chose explicitly (QT_QPA_PLATFORM) is kept.
void ChooseQtPlatform();

} // namespace ct
