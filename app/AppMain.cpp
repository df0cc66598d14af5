#include "app/AppMain.h"

#include <cstdlib>

#include <QApplication>
#include <QLocale>

#include "platform/instance/InstanceGuard.h"
#include "platform/qt/QtMainThreadDispatcher.h"
#include "transfer/AppGlobals.h"
#include "ui/AppIcon.h"
#include "ui/UnitMain.h"


namespace ct {

namespace {

bool EnvSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

char LocaleDecimalSeparator() {
    const QString point = QLocale::system().decimalPoint();
    if (point.size() == 1 && point.at(0).unicode() < 0x80)
        return static_cast<char>(point.at(0).unicode());
    return '.';
}

} // namespace

void ChooseQtPlatform() {
    if (EnvSet("QT_QPA_PLATFORM"))
        return;
#if defined(_WIN32) || defined(__APPLE__)
    return;
#else
    // Qt tries the platforms of the list in order and takes the first that starts, so a
    // DISPLAY that names no running server ends up offscreen too.
    if (EnvSet("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "wayland;xcb;offscreen");
    else if (EnvSet("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb;offscreen");
    else
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
}

int RunCloudTransfer(int argc, char** argv) {
    // Held for the life of the process; a second start ends here, silently.
    const std::unique_ptr<InstanceGuard> instance = InstanceGuard::TryAcquire();
    if (!instance)
        return 0;
    ChooseQtPlatform();
    QApplication application(argc, argv);
    // The main window's close ends the program; a closed message box while the window
    // sits in the tray must not.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(MakeAppIcon());
    DecimalSeparator = LocaleDecimalSeparator();
    LogToStandardError = argc > 1 && StandardErrorIsTerminal();
    ScopedQtDispatcher dispatcher;

    std::unique_ptr<TCloudTransferFrm> form = CreateForm();
    if (InteractiveMode)
        form->show();
    QApplication::exec();
    // A run still going (the message loop was ended from elsewhere) is stopped and waited
    // for before the window goes away.
    form->WaitForRunEnd();
    form.reset();
    return 0;
}

} // namespace ct
