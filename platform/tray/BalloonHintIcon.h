#pragma once

namespace ct {

// Balloon icon kinds of the tray icon, in the component's order; the program uses only the first.
enum class TBalloonHintIcon { bitNone = 0, bitInfo, bitWarning, bitError };

} // namespace ct
