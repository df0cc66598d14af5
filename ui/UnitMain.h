#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QString>
#include <QWidget>

#include "transfer/StatusControls.h"
#include "transfer/TThreadCopia.h"
#include "ui/QtStatusControls.h"
#include "ui/TUpDown.h"
#include "ui/TValueListEditor.h"

class QAction;
class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QTabWidget;

namespace ct {

class TCoolTrayIcon;

// The current worker while a run is active, else nullptr. GUI thread only.
extern TThreadCopia* ThreadCopia;

// How a finished run ended, as run control reports it.
struct RunOutcome {
    TThreadCopia::RunEnd how = TThreadCopia::RunEnd::Done;
    std::string error;   // readable and password-free; set when how is Error
};

// The exit status of an unattended start for each way its run can end: 0 when the queue was
// done or the run was stopped, 1 when servers could not be reached, 2 on an error.
int ExitStatusFor(TThreadCopia::RunEnd how);

// How the window is set up. Production uses the defaults; tests point it elsewhere.
struct TCloudTransferFrmOptions {
    // The queue file; empty means BatchFilePath().
    std::filesystem::path BatchFile;
    // The number of command-line arguments; -1 means those of the running application.
    int ParamCount = -1;
    // Application.Terminate: asks the message loop to end once it next runs. Empty means
    // exactly that for the running QApplication.
    std::function<void()> Terminate;
    // Handed to every worker when set (tests: a fake probe; never a real ping).
    TransferClientFactory ClientFactory;
    PingFunction PingProbe;
    // How a finished run ended; empty means the worker's own account (HowRunEnded, RunError).
    std::function<RunOutcome(const TThreadCopia&)> Outcome;
    // The unattended start watches the queue instead of running it once (`--watch`): its run
    // ends only when stopped. "Termina" then stops the watch and leaves the program in the
    // tray; "Avvia" watches again.
    bool Watch = false;
};

// The main window: the queue view, run control, the delay setting and the tray icon.
// Its creation runs FormCreate, which either loads the queue (no arguments) or hides to
// the tray and starts the unattended run.
class TCloudTransferFrm : public QWidget, public IQueueListView {
    Q_OBJECT
public:
    explicit TCloudTransferFrm(TCloudTransferFrmOptions options = {}, QWidget* parent = nullptr);
    ~TCloudTransferFrm() override;

    // Controls, as the form designer names them.
    QPushButton* Button1 = nullptr;   // "Avvia"
    TValueListEditor* ValueListEditor1 = nullptr;
    QPushButton* Button2 = nullptr;   // "Elimina"
    QPushButton* Button3 = nullptr;   // "Salva"
    QPushButton* Button4 = nullptr;   // "Termina"
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabSheet1 = nullptr;
    QWidget* TabSheet2 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Edit2 = nullptr;
    TUpDown* UpDown2 = nullptr;
    TUpDown* UpDown1 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QLabel* LabelSpeed1 = nullptr;
    QFrame* Panel1 = nullptr;
    QLabel* LabelFile1 = nullptr;
    QCheckBox* CBbackground = nullptr;
    QPushButton* Button5 = nullptr;   // "Esci"
    QMenu* PopupMenu1 = nullptr;
    QAction* Mostrainterfaccia1 = nullptr;
    QAction* Esci1 = nullptr;
    TCoolTrayIcon* TextTrayIcon1 = nullptr;
    QPushButton* Button6 = nullptr;   // "Nascondi sulla taskbar"

    // The stored hint of a control, exactly as designed (two-line hints hold a lone CR).
    static QString HintOf(const QWidget* control);

    // Queue view (rebuilds it from the batch file; errors pass to the caller).
    void LoadBatchList() override;
    bool QueueViewShown() const override { return m_shown.load(); }
    std::int32_t FileCount() const { return fileCount; }
    const std::filesystem::path& BatchFile() const { return m_batchFile; }

    // Event handlers. Each may raise; the signal connections hand errors to the
    // application's default handling (a message box with the error's text).
    void FormCreate(QObject* sender);
    void ValueListEditor1DblClick(QObject* sender);
    void Button2Click(QObject* sender);
    void Button3Click(QObject* sender);
    void Button1Click(QObject* sender);
    void Edit1Exit(QObject* sender);
    void UpDown1ChangingEx(QObject* sender, bool& allowChange, int newValue, TUpDownDirection direction);
    void Button4Click(QObject* sender);
    void ValueListEditor1SelectCell(int aCol, int aRow, bool& canSelect);
    void Button5Click(QObject* sender);
    void Mostrainterfaccia1Click(QObject* sender);
    void Esci1Click(QObject* sender);
    void Button6Click(QObject* sender);

    // Run control.
    void StartTransfer();
    void ThreadTerminated(TThread* sender);
    bool InlineRunning() const { return m_inlineRunning; }
    // Whether the window still offers its close command (gone for good after an inline run).
    bool CloseCommandEnabled() const;
    // Stops a threaded run and waits for its end while the GUI thread keeps serving the
    // worker's steps. Returns at once when no threaded run is active.
    void WaitForRunEnd();

    // The application's default handling of an error that left a handler.
    void ShowApplicationError(const QString& text);

    // The end of the session (a signal, the session manager): the run in progress stops as
    // "Termina" stops it and the application ends once it has. Callable from any thread, also
    // while an inline run keeps the GUI thread busy; the stop reaches the worker at once.
    void RequestSessionEnd();
    // What the process should exit with: set by the end of an unattended run, 0 otherwise.
    int ExitStatus() const { return m_exitStatus; }

signals:
    // ThreadTerminated has run: the current run is over.
    void RunEnded();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    // Places the strip below the pages: anchored to the bottom, "Salva" and "Elimina" to the
    // right edge as well; the pages take the rest.
    void LayOutControls();
    void ApplicationTerminate();
    void EndSession();
    RunOutcome OutcomeOf(const TThreadCopia* worker) const;
    int ParamCount() const;
    void StoreSettings();
    // An unattended start's look at the queue: its count only (see m_viewUnread).
    void CountBatchList();
    // Runs a handler; an error that leaves it goes to the default handling.
    void Guarded(const std::function<void()>& handler);

    TCloudTransferFrmOptions m_options;
    std::filesystem::path m_batchFile;
    std::int32_t fileCount = 0;
    // The view has not read the queue yet: an unattended start reads it when the window is
    // first shown, not before (a long queue would cost the run its whole text for nobody).
    bool m_viewUnread = false;
    std::atomic<bool> m_shown{false};   // read by the worker (QueueViewShown)
    // The lines the user deleted from the view since its last load; "Salva" removes them
    // from the file as it is now.
    std::vector<std::string> m_deletedSinceLoad;
    std::unique_ptr<QtLabelControl> m_labelSpeed;
    std::unique_ptr<QtLabelControl> m_labelFile;
    std::unique_ptr<QtProgressBarControl> m_progressBar;
    std::unique_ptr<QtTrayIconControl> m_trayControl;
    bool m_inlineRunning = false;
    bool m_closeCommandEnabled = true;
    bool m_closing = false;
    bool m_sessionEnding = false;
    int m_exitStatus = 0;
    // The current worker as other threads may reach it (RequestSessionEnd); set and cleared
    // on the GUI thread under the lock, while the worker object surely exists.
    std::mutex m_workerMutex;
    TThreadCopia* m_worker = nullptr;
};

// Application.CreateForm: builds the main window (FormCreate runs inside) and makes it the
// window the worker's reload step reaches.
std::unique_ptr<TCloudTransferFrm> CreateForm(TCloudTransferFrmOptions options = {});

// Tahoma, character height 11 pixels, where it can be had; a similar sans font otherwise.
QFont DesignFont();

} // namespace ct
