#pragma once

namespace ct {

// The start-up sequence: the single-instance guard, the application object, the main
// window (FormCreate runs inside its creation), the message loop. Returns the process's
// exit code, which is always 0.
int RunCloudTransfer(int argc, char** argv);

// Picks Qt's platform before the application object exists: the display when there is one,
// else the offscreen platform, so that an unattended run works on a machine without a
// display. A platform the user chose explicitly (QT_QPA_PLATFORM) is kept.
void ChooseQtPlatform();

} // namespace ct
