#pragma once

namespace ct {

// Balloon icon kinds of the tray icon, in the component's order; the program uses only the first.
// Kept apart from the tray adapter so that the worker's status steps can name a kind without
// reaching into Qt code.
enum class TBalloonHintIcon { bitNone = 0, bitInfo, bitWarning, bitError };

} // namespace ct
