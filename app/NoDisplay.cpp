#include "app/NoDisplay.h"

#include <cstdio>
#include <cstdlib>

#include <QGuiApplication>

namespace ct {

bool PlatformChosenByCaller() {
    const char* value = std::getenv("QT_QPA_PLATFORM");
    return value && *value;
}

bool WindowWithoutDisplay(int argc, bool platformChosenByCaller) {
    return argc <= 1 && !platformChosenByCaller && QGuiApplication::platformName() == QLatin1String("offscreen");
}

int RefuseWindowWithoutDisplay() {
    std::fputs("cloudtransfer: the window needs a display; run `cloudtransfer go` or `cloudtransfer --watch` "
               "to work the queue without one\n",
               stderr);
    return 2;
}

} // namespace ct
