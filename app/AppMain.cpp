#include "app/AppMain.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>

#include <QApplication>
#include <QLocale>
#include <QSessionManager>

#include "app/NoDisplay.h"
#include "app/SignalWatcher.h"
#include "batch/BatchFileStore.h"
#include "platform/fs/FileSystem.h"
#include "platform/instance/InstanceGuard.h"
#include "platform/instance/RuntimeFolder.h"
#include "platform/qt/QtMainThreadDispatcher.h"
#include "transfer/AppGlobals.h"
#include "transfer/OutcomeLog.h"
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

// Hands a request to end (a signal) to the window once there is one: a request that comes
// while the window is being created (an unattended start is already running then) waits for
// it, one that comes while it goes away is dropped.
class EndRequests {
public:
    void Request() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_form)
            m_form->RequestSessionEnd();
        else
            m_pending = true;
    }
    void Attach(TCloudTransferFrm* form) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_form = form;
        if (m_form && m_pending)
            m_form->RequestSessionEnd();
        m_pending = false;
    }

private:
    std::mutex m_mutex;
    TCloudTransferFrm* m_form = nullptr;
    bool m_pending = false;
};

// A start that finds another instance running does nothing, and says why where someone will
// look: the outcome log beside the queue (a scheduler's record) and, from a terminal, the
// terminal.
void ReportAnotherInstance() {
    OutcomeLog log(OutcomeLog::PathFor(BatchFilePath()));
    log.echoToStandardError = StandardErrorIsTerminal();
    OutcomeEntry entry;
    entry.outcome = "not started";
    entry.localFile = BatchFilePath().string();
    entry.reason = "another instance is running";
    log.Write(entry);
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
    // Held for the life of the process; a second start ends here with nothing done.
    const std::unique_ptr<InstanceGuard> instance = InstanceGuard::TryAcquire();
    if (!instance) {
        ReportAnotherInstance();
        return 0;
    }
    // Taken after the guard, which looks for its lock under the caller's own runtime folder.
    // Outlives the application object, which keeps its sockets there.
    const std::unique_ptr<ProcessRuntimeFolder> runtimeFolder = ProcessRuntimeFolder::Provide();
    const bool platformChosen = PlatformChosenByCaller();
    ChooseQtPlatform();
    QApplication application(argc, argv);
    if (WindowWithoutDisplay(argc, platformChosen))
        return RefuseWindowWithoutDisplay();
    // The main window's close ends the program; a closed message box while the window
    // sits in the tray must not.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(MakeAppIcon());
    DecimalSeparator = LocaleDecimalSeparator();
    LogToStandardError = argc > 1 && StandardErrorIsTerminal();
    ScopedQtDispatcher dispatcher;

    // SIGTERM, SIGINT and SIGHUP end the program as the end of a session does.
    EndRequests endRequests;
    std::unique_ptr<SignalWatcher> signalWatcher;
    try {
        signalWatcher = std::make_unique<SignalWatcher>([&endRequests](int) { endRequests.Request(); });
    } catch (const std::exception&) {
        // Without it the signals keep their default action; the program still works.
    }

    TCloudTransferFrmOptions options;
    options.Watch =
        std::any_of(argv + 1, argv + argc, [](const char* arg) { return std::strcmp(arg, "--watch") == 0; });
    std::unique_ptr<TCloudTransferFrm> form = CreateForm(std::move(options));
    endRequests.Attach(form.get());
    // The session manager asks the program to save its work before the session ends: the
    // run stops as "Termina" stops it and the program ends.
    QObject::connect(&application, &QGuiApplication::commitDataRequest, form.get(),
                     [&form](QSessionManager&) { form->RequestSessionEnd(); });
    // Whatever ends the message loop (on Windows the end of the session calls for it and the
    // process is killed right after), the run in progress is stopped and waited for, and the
    // queue settled, before the loop returns.
    QObject::connect(&application, &QCoreApplication::aboutToQuit, form.get(), [&form] {
        form->WaitForRunEnd();
        SettleAllBatchFiles();
    });
    if (InteractiveMode)
        form->show();
    QApplication::exec();
    // Nothing is left running by now; this only covers a loop that ended without the signal.
    form->WaitForRunEnd();
    endRequests.Attach(nullptr);
    const int status = form->ExitStatus();
    form.reset();
    // Lines that producers added late to a version of the queue this process replaced are
    // carried into it before the process goes.
    SettleAllBatchFiles();
    return status;
}

} // namespace ct
