#pragma once

namespace ct {

// True when the caller chose Qt's platform (QT_QPA_PLATFORM); ask before ChooseQtPlatform()
// sets it.
bool PlatformChosenByCaller();

// The window asked for where no display could be opened: started without arguments, the
// platform left to the program, and Qt ended on the offscreen fallback. An invisible window
// would run until killed, saying nothing. Ask once the application object exists.
bool WindowWithoutDisplay(int argc, bool platformChosenByCaller);

// Says on standard error that the window needs a display and what runs the queue without
// one; returns the exit status for it.
int RefuseWindowWithoutDisplay();

} // namespace ct
