#pragma once

#include <QIcon>

namespace ct {

// The program's main icon, drawn here at 16, 32, 48 and 256 pixels: a cloud with an
// upward arrow.
QIcon MakeAppIcon();

} // namespace ct
