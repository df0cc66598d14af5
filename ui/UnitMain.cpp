#include "ui/UnitMain.h"

#include <algorithm>
#include <cstdio>
#include <climits>
#include <exception>
#include <optional>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFile>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QHideEvent>
#include <QShowEvent>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "batch/BatchFileStore.h"
#include "batch/Job.h"
#include "platform/settings/TRegIniFile.h"
#include "platform/tray/TCoolTrayIcon.h"
#include "transfer/AppGlobals.h"
#include "ui/AppIcon.h"
#include "ui/QueueSource.h"
#include "ui/StrToInt.h"

namespace ct {

TThreadCopia* ThreadCopia = nullptr;

namespace {

constexpr const char* kSettingsName = ".\\config.ini";
constexpr const char* kSection = "Zentravo";
constexpr const char* kSecDelayKey = "secdelay";
constexpr const char* kBitsPerSecKey = "BitsPerSec";

// The client size as designed; the window never gets smaller, so nothing in it is ever cut.
constexpr int kDesignWidth = 708;
constexpr int kDesignHeight = 409;
// Height of the strip below the pages: the window's client height minus the pages' height.
constexpr int kBottomStrip = kDesignHeight - 377;
// The largest speed the label must show whole ("99999999.99 KB/s").
constexpr double kLargestShownSpeed = 99999999.99;

std::uint16_t Low16(std::int64_t value) {
    return static_cast<std::uint16_t>(static_cast<std::uint64_t>(value) & 0xFFFFu);
}

QString TahomaFamily() {
    static const QString family = [] {
        if (QFontDatabase::families().contains(QStringLiteral("Tahoma")))
            return QStringLiteral("Tahoma");
        // Debian's fonts-wine ships Tahoma outside the fontconfig path.
        QString found;
        for (const char* file : {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/wine/fonts/tahomabd.ttf"}) {
            if (!QFile::exists(QString::fromLatin1(file)))
                continue;
            const int id = QFontDatabase::addApplicationFont(QString::fromLatin1(file));
            const QStringList families = QFontDatabase::applicationFontFamilies(id);
            if (found.isEmpty() && !families.isEmpty())
                found = families.first();
        }
        return found;
    }();
    return family;
}

// Hints are kept as designed; tooltips need "\n" to break a line.
void SetHint(QWidget* control, const QString& hint) {
    control->setProperty("Hint", hint);
    QString shown = hint;
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    control->setToolTip(shown);
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption, QRect geometry) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(geometry);
    button->setAutoDefault(false);
    return button;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, QRect geometry) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(geometry);
    return label;
}

} // namespace

QFont DesignFont() {
    QFont font;
    QStringList families;
    const QString tahoma = TahomaFamily();
    if (!tahoma.isEmpty())
        families << tahoma;
    families << QStringLiteral("DejaVu Sans") << QStringLiteral("Liberation Sans") << QStringLiteral("Arial")
             << QStringLiteral("Sans Serif");
    font.setFamilies(families);
    font.setPixelSize(11);
    font.setWeight(QFont::Normal);
    return font;
}

QString TCloudTransferFrm::HintOf(const QWidget* control) {
    return control->property("Hint").toString();
}

TCloudTransferFrm::TCloudTransferFrm(TCloudTransferFrmOptions options, QWidget* parent)
    : QWidget(parent, Qt::Window), m_options(std::move(options)) {
    m_batchFile = m_options.BatchFile.empty() ? BatchFilePath() : m_options.BatchFile;
    CreateControls();
    CloudTransferFrm = this;
    FormCreate(this);
}

TCloudTransferFrm::~TCloudTransferFrm() {
    // A worker that outlived its window would reach freed controls.
    WaitForRunEnd();
    if (CloudTransferFrm == this)
        CloudTransferFrm = nullptr;
}

void TCloudTransferFrm::CreateControls() {
    setObjectName(QStringLiteral("CloudTransferFrm"));
    setWindowTitle(QStringLiteral("Trasferisci File su Cloud"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(DesignFont());
    setWindowIcon(MakeAppIcon());
    setMinimumSize(kDesignWidth, kDesignHeight);
    resize(kDesignWidth, kDesignHeight);
    move(0, 0);

    LabelSpeed1 = MakeLabel(this, "LabelSpeed1", QStringLiteral("LabelSpeed1"), {407, 386, 61, 13});
    {
        // Wide enough for any figure up to the largest, with either decimal separator; the
        // space up to "Salva" allows it.
        const QFontMetrics metrics(LabelSpeed1->font());
        int widest = 61;
        for (char separator : {'.', ','})
            widest = std::max(widest, metrics.horizontalAdvance(QString::fromStdString(
                                          FormatSpeed(kLargestShownSpeed, separator))) + 2);
        LabelSpeed1->resize(widest, std::max(13, metrics.height()));
    }
    LabelSpeed1->hide();

    Button1 = MakeButton(this, "Button1", QStringLiteral("Avvia"), {82, 380, 75, 25});
    SetHint(Button1, QStringLiteral("Avvia il trasferimento dei file in elenco"));
    Button2 = MakeButton(this, "Button2", QStringLiteral("Elimina"), {624, 379, 76, 25});
    Button3 = MakeButton(this, "Button3", QStringLiteral("Salva"), {543, 379, 75, 25});
    Button3->setEnabled(false);
    Button4 = MakeButton(this, "Button4", QStringLiteral("Termina"), {170, 380, 75, 25});
    Button4->setEnabled(false);
    SetHint(Button4, QStringLiteral("Termina l'esecuzione del thread"));

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setGeometry(0, 0, 708, 377);

    TabSheet1 = new QWidget;
    TabSheet1->setObjectName(QStringLiteral("TabSheet1"));
    PageControl1->addTab(TabSheet1, QStringLiteral("File da trasferire"));
    ValueListEditor1 = new TValueListEditor(TabSheet1);
    ValueListEditor1->setObjectName(QStringLiteral("ValueListEditor1"));
    ValueListEditor1->Model()->SetSource(std::make_unique<BatchFileQueueSource>(m_batchFile));
    ValueListEditor1->setGeometry(0, 0, 700, 328);
    Panel1 = new QFrame(TabSheet1);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(0, 328, 700, 21);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setFixedHeight(21);
    LabelFile1 = MakeLabel(Panel1, "LabelFile1", QString(), {1, 1, 698, 19});
    {
        auto* panelLayout = new QHBoxLayout(Panel1);
        panelLayout->setContentsMargins(1, 1, 1, 1);
        panelLayout->addWidget(LabelFile1);
        auto* pageLayout = new QVBoxLayout(TabSheet1);
        pageLayout->setContentsMargins(0, 0, 0, 0);
        pageLayout->setSpacing(0);
        pageLayout->addWidget(ValueListEditor1, 1);
        pageLayout->addWidget(Panel1, 0);
    }

    TabSheet2 = new QWidget;
    TabSheet2->setObjectName(QStringLiteral("TabSheet2"));
    PageControl1->addTab(TabSheet2, QStringLiteral("Avvio e limitazione banda"));
    Label1 = MakeLabel(TabSheet2, "Label1", QStringLiteral("Delay in Sec. "), {21, 6, 65, 13});
    SetHint(Label1, QStringLiteral("Secondi da attendere tra un trsferimento ftp ed un altro.\r"
                                   "serve ad evitare un intasamento della banda"));
    Label2 = MakeLabel(TabSheet2, "Label2", QStringLiteral("Banda Kb/Sec"), {285, 6, 66, 13});
    SetHint(Label2, QStringLiteral("KbBit per secondo. \rlimita la larghezza di banda usata nei trasferimenti ftp"));
    Label2->hide();
    Edit1 = new QLineEdit(QStringLiteral("0"), TabSheet2);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setGeometry(92, 3, 66, 21);
    Edit2 = new QLineEdit(QStringLiteral("0"), TabSheet2);
    Edit2->setObjectName(QStringLiteral("Edit2"));
    Edit2->setGeometry(357, 3, 64, 21);
    Edit2->hide();
    UpDown2 = new TUpDown(TabSheet2);
    UpDown2->setObjectName(QStringLiteral("UpDown2"));
    UpDown2->setGeometry(421, 3, 16, 21);
    UpDown2->SetRange(0, 1000000);
    UpDown2->SetIncrement(100);
    UpDown2->SetAssociate(Edit2);
    UpDown2->SetPosition(0);
    UpDown2->hide();
    UpDown1 = new TUpDown(TabSheet2);
    UpDown1->setObjectName(QStringLiteral("UpDown1"));
    UpDown1->setGeometry(158, 3, 16, 21);
    UpDown1->SetRange(0, 100);
    UpDown1->SetIncrement(1);
    UpDown1->SetAssociate(Edit1);
    UpDown1->SetPosition(0);
    CBbackground = new QCheckBox(QStringLiteral("Esegui in background"), TabSheet2);
    CBbackground->setObjectName(QStringLiteral("CBbackground"));
    CBbackground->setGeometry(180, 4, 129, 17);
    CBbackground->setChecked(true);
    Button6 = MakeButton(TabSheet2, "Button6", QStringLiteral("Nascondi sulla taskbar"), {21, 30, 153, 25});

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(251, 385, 150, 17);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->hide();

    Button5 = MakeButton(this, "Button5", QStringLiteral("Esci"), {4, 380, 75, 25});

    // Tab order within each parent, as designed; labels, the panel and the bar take no focus.
    setTabOrder(Button1, Button2);
    setTabOrder(Button2, Button3);
    setTabOrder(Button3, Button4);
    setTabOrder(Button4, PageControl1);
    setTabOrder(PageControl1, ValueListEditor1);
    setTabOrder(ValueListEditor1, Edit1);
    setTabOrder(Edit1, Edit2);
    setTabOrder(Edit2, CBbackground);
    setTabOrder(CBbackground, Button6);
    setTabOrder(Button6, Button5);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    Mostrainterfaccia1 = PopupMenu1->addAction(QStringLiteral("Mostra"));
    Mostrainterfaccia1->setObjectName(QStringLiteral("Mostrainterfaccia1"));
    // The menu keeps the system's menu font (a pop-up menu is no control of the window);
    // its default item in that font's bold face, which every style then draws as bold.
    QFont bold = PopupMenu1->font();
    bold.setBold(true);
    Mostrainterfaccia1->setFont(bold);
    PopupMenu1->setDefaultAction(Mostrainterfaccia1);
    Esci1 = PopupMenu1->addAction(QStringLiteral("Esci"));
    Esci1->setObjectName(QStringLiteral("Esci1"));

    TextTrayIcon1 = new TCoolTrayIcon(this);
    TextTrayIcon1->setObjectName(QStringLiteral("TextTrayIcon1"));
    TextTrayIcon1->SetMainForm(this);
    TextTrayIcon1->SetIcon(MakeAppIcon());
    TextTrayIcon1->SetHint(QStringLiteral("Trasferimento su Cloud"));
    TextTrayIcon1->SetCycleInterval(100);
    TextTrayIcon1->SetPopupMenu(PopupMenu1);
    TextTrayIcon1->LeftPopup = true;

    m_labelSpeed = std::make_unique<QtLabelControl>(LabelSpeed1);
    m_labelFile = std::make_unique<QtLabelControl>(LabelFile1);
    m_progressBar = std::make_unique<QtProgressBarControl>(ProgressBar1);
    m_trayControl = std::make_unique<QtTrayIconControl>(TextTrayIcon1);

    connect(Button1, &QPushButton::clicked, this, [this] { Guarded([this] { Button1Click(Button1); }); });
    connect(Button2, &QPushButton::clicked, this, [this] { Guarded([this] { Button2Click(Button2); }); });
    connect(Button3, &QPushButton::clicked, this, [this] { Guarded([this] { Button3Click(Button3); }); });
    connect(Button4, &QPushButton::clicked, this, [this] { Guarded([this] { Button4Click(Button4); }); });
    connect(Button5, &QPushButton::clicked, this, [this] { Guarded([this] { Button5Click(Button5); }); });
    connect(Button6, &QPushButton::clicked, this, [this] { Guarded([this] { Button6Click(Button6); }); });
    connect(Mostrainterfaccia1, &QAction::triggered, this,
            [this] { Guarded([this] { Mostrainterfaccia1Click(Mostrainterfaccia1); }); });
    connect(Esci1, &QAction::triggered, this, [this] { Guarded([this] { Esci1Click(Esci1); }); });
    connect(ValueListEditor1, &TValueListEditor::DblClick, this,
            [this] { Guarded([this] { ValueListEditor1DblClick(ValueListEditor1); }); });
    connect(ValueListEditor1, &TValueListEditor::SelectCell, this, [this](int column, int row) {
        Guarded([&] {
            bool canSelect = true;
            ValueListEditor1SelectCell(column, row, canSelect);
        });
    });
    for (TUpDown* upDown : {UpDown1, UpDown2}) {
        connect(upDown, &TUpDown::ChangingEx, this,
                [this](QObject* sender, bool& allowChange, int newValue, TUpDownDirection direction) {
                    Guarded([&] { UpDown1ChangingEx(sender, allowChange, newValue, direction); });
                });
    }
    Edit1->installEventFilter(this);
    Edit2->installEventFilter(this);
}

void TCloudTransferFrm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    LayOutControls();
}

void TCloudTransferFrm::LayOutControls() {
    if (!Button2)
        return;   // not built yet
    const int dx = std::max(0, width() - kDesignWidth);
    const int dy = std::max(0, height() - kDesignHeight);
    PageControl1->setGeometry(0, 0, kDesignWidth + dx, kDesignHeight - kBottomStrip + dy);
    Button5->move(4, 380 + dy);
    Button1->move(82, 380 + dy);
    Button4->move(170, 380 + dy);
    ProgressBar1->move(251, 385 + dy);
    LabelSpeed1->move(407, 386 + dy);
    Button3->move(543 + dx, 379 + dy);
    Button2->move(624 + dx, 379 + dy);
}

bool TCloudTransferFrm::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == Edit1 || watched == Edit2) && event->type() == QEvent::FocusOut) {
        // Leaving the box for another control; switching to another application or opening
        // a menu is no exit.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            Guarded([&] { Edit1Exit(watched); });
    }
    return QWidget::eventFilter(watched, event);
}

void TCloudTransferFrm::Guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        ShowApplicationError(QString::fromStdString(error.what()));
    } catch (...) {
        ShowApplicationError(QStringLiteral("Errore sconosciuto"));
    }
}

void TCloudTransferFrm::ShowApplicationError(const QString& text) {
    QMessageBox box(QMessageBox::Critical, QApplication::applicationName(), text, QMessageBox::Ok,
                    isVisible() ? this : nullptr);
    box.setObjectName(QStringLiteral("ApplicationErrorBox"));
    box.exec();
}

int TCloudTransferFrm::ParamCount() const {
    if (m_options.ParamCount >= 0)
        return m_options.ParamCount;
    return static_cast<int>(QCoreApplication::arguments().size()) - 1;
}

void TCloudTransferFrm::ApplicationTerminate() {
    if (m_options.Terminate) {
        m_options.Terminate();
        return;
    }
    // Queued, so that a request made before the message loop runs still ends it.
    QMetaObject::invokeMethod(QCoreApplication::instance(), [status = m_exitStatus] { QCoreApplication::exit(status); },
                              Qt::QueuedConnection);
}

// ---- settings -------------------------------------------------------------------------

namespace {
// The update guard on UpDown1's tag. Reset on every way out, also after an error from the
// store: a guard left at 1 would silently swallow every later change.
class TagGuard {
public:
    explicit TagGuard(TUpDown* upDown) : m_upDown(upDown) { m_upDown->Tag = 1; }
    ~TagGuard() { m_upDown->Tag = 0; }
    TagGuard(const TagGuard&) = delete;
    TagGuard& operator=(const TagGuard&) = delete;

private:
    TUpDown* m_upDown;
};
} // namespace

void TCloudTransferFrm::FormCreate(QObject*) {
    {
        TagGuard guard(UpDown1);
        {
            TRegIniFile regIni(kSettingsName);
            SecDelay = Low16(regIni.ReadInteger(kSection, kSecDelayKey, SecDelay));
            BitsPerSecSetting = Low16(regIni.ReadInteger(kSection, kBitsPerSecKey, BitsPerSecSetting));
        }
        UpDown1->SetPosition(SecDelay);
        UpDown2->SetPosition(BitsPerSecSetting);
        // The spinner's arrows stop at 100; the box shows the delay as it really is.
        Edit1->setText(QString::number(SecDelay.load()));
        Edit2->setText(QString::number(BitsPerSecSetting.load()));
    }
    PageControl1->setCurrentIndex(0);

    if (ParamCount() == 0) {
        Guarded([this] { LoadBatchList(); });
        return;
    }
    Button6Click(nullptr);
    InteractiveMode = false;
    try {
        CountBatchList();
        StartTransfer();
    } catch (const std::exception& error) {
        // Nothing is shown, yet whoever started the program learns that nothing was done.
        m_exitStatus = 2;
        std::fprintf(stderr, "cloudtransfer: %s\n", error.what());
        ApplicationTerminate();
    } catch (...) {
        m_exitStatus = 2;
        ApplicationTerminate();
    }
}

void TCloudTransferFrm::StoreSettings() {
    TRegIniFile regIni(kSettingsName);
    regIni.WriteInteger(kSection, kSecDelayKey, SecDelay);
    regIni.WriteInteger(kSection, kBitsPerSecKey, BitsPerSecSetting);
}

void TCloudTransferFrm::UpDown1ChangingEx(QObject* sender, bool&, int newValue, TUpDownDirection) {
    if (UpDown1->Tag != 0)
        return;
    TagGuard guard(UpDown1);
    if (sender == UpDown1)
        SecDelay = Low16(newValue);
    else if (sender == UpDown2)
        BitsPerSecSetting = Low16(newValue);
    StoreSettings();
}

void TCloudTransferFrm::Edit1Exit(QObject* sender) {
    if (UpDown1->Tag != 0)
        return;
    TagGuard guard(UpDown1);
    try {
        if (sender == Edit1)
            SecDelay = Low16(StrToInt(Edit1->text().toStdString()));
        if (sender == Edit2)
            BitsPerSecSetting = Low16(StrToInt(Edit2->text().toStdString()));
        StoreSettings();
    } catch (...) {
        // Bad input is dropped without a word, as the settings editor always did.
    }
}

// ---- queue view -----------------------------------------------------------------------

void TCloudTransferFrm::CountBatchList() {
    // An empty queue ends an unattended start here; the view's later loads (the window shown
    // from the tray during the run) leave the end to the run's.
    m_viewUnread = true;
    const std::optional<std::size_t> lines = CountBatchLines(m_batchFile);
    if (!lines)
        return;
    fileCount = static_cast<std::int32_t>(std::min<std::size_t>(*lines, INT32_MAX));
    if (fileCount == 0 && !m_options.Watch)
        ApplicationTerminate();
}

void TCloudTransferFrm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // From now on a run follows the view after its jobs, its outcomes written first.
    m_shown = true;
    if (m_viewUnread)
        Guarded([this] { LoadBatchList(); });
}

void TCloudTransferFrm::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    m_shown = false;
}

void TCloudTransferFrm::LoadBatchList() {
    // Nobody sees a hidden window that has not read the queue yet: it reads it once shown.
    if (m_viewUnread && !isVisible())
        return;
    m_viewUnread = false;
    // An inline run handles no events: the reloaded list and the cleared label are drawn
    // now, or the window would show the queue of before the job until the run ends.
    struct DrawDuringInlineRun {
        TCloudTransferFrm& form;
        ~DrawDuringInlineRun() {
            if (!form.m_inlineRunning || !form.isVisible())
                return;
            form.ValueListEditor1->doItemsLayout();
            form.ValueListEditor1->viewport()->repaint();
            form.LabelFile1->repaint();
        }
    } draw{*this};
    LabelFile1->setText(QString());
    m_deletedSinceLoad.clear();
    // Rows numbered from 1, one per line, the first row current; only what changed is read
    // when that can be known (see QueueModel).
    const QueueModel::LoadResult loaded = ValueListEditor1->Reload();
    if (!loaded.present)
        return;
    fileCount = ValueListEditor1->RowCount();
}

void TCloudTransferFrm::ValueListEditor1SelectCell(int, int aRow, bool&) {
    const std::string_view line =
        aRow >= 0 && aRow < ValueListEditor1->RowCount() ? ValueListEditor1->Model()->Line(aRow) : std::string_view();
    // A row with no job line (empty, malformed, beyond the bounds) has nothing to show; a job
    // the worker would refuse still shows what it asks for.
    QString text;
    const ParsedJob parsed = ParseJob(line);
    if (const Job* job = JobOf(parsed))
        text = QString::fromLatin1(job->direction == JobDirection::Upload ? "trasferire:" : "recuperare:") +
               QString::fromStdString(job->localPath);
    LabelFile1->setText(text);
}

void TCloudTransferFrm::ValueListEditor1DblClick(QObject*) {
    const int row = ValueListEditor1->Row();
    if (row < 0 || row >= ValueListEditor1->RowCount())
        return;
    QApplication::clipboard()->setText(ValueListEditor1->Value(row));
    QMessageBox box(QMessageBox::Information, QApplication::applicationName(),
                    QStringLiteral("Linea copiata negli appunti"), QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("LineCopiedBox"));
    box.exec();
}

void TCloudTransferFrm::Button2Click(QObject*) {
    const int row = ValueListEditor1->Row();
    if (row < 0 || row >= ValueListEditor1->RowCount())
        return;
    m_deletedSinceLoad.emplace_back(ValueListEditor1->Model()->Line(row));
    ValueListEditor1->DeleteRow(row);
    Button3->setEnabled(true);
    // The label names the job that a second "Elimina" would delete: the row now highlighted.
    const int next = std::min(row, ValueListEditor1->RowCount() - 1);
    if (next < 0) {
        LabelFile1->setText(QString());
        return;
    }
    ValueListEditor1->SetRowSilently(next);
    bool canSelect = true;
    ValueListEditor1SelectCell(1, next, canSelect);
}

void TCloudTransferFrm::Button3Click(QObject*) {
    // The file may have moved on since the view was loaded (the worker removes finished
    // jobs, producers append): only the user's own deletions are applied to it.
    ApplyBatchDeletions(m_batchFile, m_deletedSinceLoad);
    m_deletedSinceLoad.clear();
}

// ---- run control ----------------------------------------------------------------------

void TCloudTransferFrm::Button1Click(QObject*) {
    StartTransfer();
}

bool TCloudTransferFrm::CloseCommandEnabled() const {
    return m_closeCommandEnabled;
}

void TCloudTransferFrm::StartTransfer() {
    // A watch on the GUI thread would never give the window back: it always has a thread.
    const bool threaded = CBbackground->isChecked() || m_options.Watch;
    Button4->setEnabled(threaded);
    Button1->setEnabled(false);
    Button5->setEnabled(Button1->isEnabled());
    if (!threaded) {
        // The close command is greyed for good. Taking the close button off a window that is
        // shown makes the window manager unmap and map it again, and an inline run, which
        // handles no events, would then never be drawn: the window's close requests are
        // refused instead (closeEvent).
        m_closeCommandEnabled = false;
    }

    auto worker = std::make_unique<TThreadCopia>();
    ThreadCopia = worker.get();
    {
        std::lock_guard<std::mutex> lock(m_workerMutex);
        m_worker = worker.get();
    }
    worker->fileCloudTotCount = fileCount;
    worker->LabelSpeed = m_labelSpeed.get();
    worker->LabelFile = m_labelFile.get();
    worker->BalloonHint = m_trayControl.get();
    worker->ProgressBarSpeed = m_progressBar.get();
    worker->BatchFile = m_batchFile;
    worker->WatchQueue = m_options.Watch;
    if (m_options.ClientFactory)
        worker->ClientFactory = m_options.ClientFactory;
    if (m_options.PingProbe)
        worker->PingProbe = m_options.PingProbe;

    if (threaded) {
        worker->isAthread = true;
        worker->OnTerminate = [this](TThread* sender) {
            try {
                ThreadTerminated(sender);
            } catch (const std::exception& error) {
                // The worker waits for this step; the error is shown once it has gone on.
                const QString text = QString::fromStdString(error.what());
                QTimer::singleShot(0, this, [this, text] { ShowApplicationError(text); });
            }
        };
        worker->FreeOnTerminate = true;
        try {
            worker->Start();
        } catch (...) {
            ThreadTerminated(nullptr);
            throw;
        }
        worker.release();  // deletes itself after its end notification
        return;
    }

    worker->isAthread = false;
    m_inlineRunning = true;
    // The speed shows during an inline run too: the worker repaints the label after every
    // figure. No event is handled until the run ends, so what run control has just changed is
    // drawn now, or the window would show the buttons of before the run throughout.
    LabelSpeed1->setText(QString());
    LabelSpeed1->show();
    if (isVisible())
        repaint();
    std::exception_ptr failure;
    try {
        worker->Execute();
    } catch (...) {
        failure = std::current_exception();
    }
    m_inlineRunning = false;
    LabelSpeed1->hide();
    try {
        ThreadTerminated(nullptr);
    } catch (...) {
        if (!failure)
            failure = std::current_exception();
    }
    worker.reset();
    if (failure)
        std::rethrow_exception(failure);
}

int ExitStatusFor(TThreadCopia::RunEnd how) {
    switch (how) {
    case TThreadCopia::RunEnd::Done:
    case TThreadCopia::RunEnd::Stopped:
        return 0;
    case TThreadCopia::RunEnd::ServersUnreachable:
        return 1;
    case TThreadCopia::RunEnd::Error:
        break;
    }
    return 2;
}

RunOutcome TCloudTransferFrm::OutcomeOf(const TThreadCopia* worker) const {
    if (!worker)
        return {};
    if (m_options.Outcome)
        return m_options.Outcome(*worker);
    return {worker->HowRunEnded(), worker->RunError()};
}

void TCloudTransferFrm::ThreadTerminated(TThread*) {
    // The worker still exists here in both kinds of run: it goes only after this step.
    const RunOutcome outcome = OutcomeOf(ThreadCopia);
    ThreadCopia = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_workerMutex);
        m_worker = nullptr;
    }
    emit RunEnded();
    const bool failed = outcome.how == TThreadCopia::RunEnd::Error;
    // A stopped watch leaves the program running, as a stopped threaded run leaves the window;
    // what ends the program (a signal, the session's end, "Esci") ends it once the run is over.
    const bool watchStopped = m_options.Watch && outcome.how == TThreadCopia::RunEnd::Stopped;
    if (!InteractiveMode && !watchStopped) {
        m_exitStatus = ExitStatusFor(outcome.how);
        if (failed)
            std::fprintf(stderr, "cloudtransfer: %s\n",
                         outcome.error.empty() ? "the run ended with an error" : outcome.error.c_str());
        ApplicationTerminate();
        return;
    }
    Button4->setEnabled(false);
    Button1->setEnabled(true);
    Button5->setEnabled(Button1->isEnabled());
    LoadBatchList();
    // Why the run stopped, where the user looks anyway, without a box to click away.
    if (failed && !outcome.error.empty())
        LabelFile1->setText(QStringLiteral("Trasferimento interrotto: ") + QString::fromStdString(outcome.error));
}

void TCloudTransferFrm::Button4Click(QObject*) {
    if (!ThreadCopia)
        return;
    ThreadCopia->RequestStop();
}

void TCloudTransferFrm::WaitForRunEnd() {
    if (!ThreadCopia || m_inlineRunning)
        return;
    // Stop first (the flag, the transfer in progress, the pause between jobs), then keep
    // serving the worker's GUI-thread steps until its end notification has run. The worker
    // only ever leaves the batch file between two atomic rewrites.
    ThreadCopia->RequestStop();
    ThreadCopia->Terminate();
    while (ThreadCopia) {
        QEventLoop loop;
        QTimer poll;
        poll.setInterval(10);
        connect(&poll, &QTimer::timeout, &loop, [&loop] {
            // Called from inside a queued call (a session's end is one), this loop is not
            // handed the queued calls that carry the worker's steps: it runs them itself.
            if (IMainThreadDispatcher* dispatcher = MainThreadDispatcher())
                dispatcher->ProcessPendingSteps();
            if (!ThreadCopia)
                loop.quit();
        });
        connect(this, &TCloudTransferFrm::RunEnded, &loop, &QEventLoop::quit);
        poll.start();
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
}

void TCloudTransferFrm::closeEvent(QCloseEvent* event) {
    // During an inline run nothing closes. Once one has run, the window's own close command
    // (the title bar's button, the window manager's close) stays greyed: those requests arrive
    // as spontaneous events, also one that waited in the queue for the run to end. "Esci" and
    // the tray menu's "Esci" still close.
    if (m_inlineRunning || m_closing || (event->spontaneous() && !m_closeCommandEnabled)) {
        event->ignore();
        return;
    }
    m_closing = true;
    WaitForRunEnd();
    m_closing = false;
    event->accept();
    TextTrayIcon1->SetIconVisible(false);
    // Closing the main window ends the application, also while it is hidden in the tray.
    ApplicationTerminate();
}

void TCloudTransferFrm::Button5Click(QObject*) {
    close();
}

void TCloudTransferFrm::RequestSessionEnd() {
    {
        // Stop at once, whatever the GUI thread is doing (an inline run keeps it busy): the
        // job in flight stays first, the pause between jobs ends.
        std::lock_guard<std::mutex> lock(m_workerMutex);
        if (m_worker) {
            m_worker->RequestStop();
            m_worker->Terminate();
        }
    }
    QMetaObject::invokeMethod(this, [this] { Guarded([this] { EndSession(); }); }, Qt::QueuedConnection);
}

void TCloudTransferFrm::EndSession() {
    if (m_sessionEnding)
        return;
    m_sessionEnding = true;
    // A threaded run ends first (its end notification still runs); the application's exit
    // then settles the queue.
    WaitForRunEnd();
    TextTrayIcon1->SetIconVisible(false);
    ApplicationTerminate();
}

// ---- tray -----------------------------------------------------------------------------

void TCloudTransferFrm::Button6Click(QObject*) {
    hide();
    TextTrayIcon1->HideTaskbarIcon();
    TextTrayIcon1->SetIconVisible(true);
    TextTrayIcon1->SetCycleIcons(true);
    TextTrayIcon1->ShowBalloonHint(QStringLiteral("Trasferimento su Cloud"), QStringLiteral("Attendere..."),
                                   TBalloonHintIcon::bitNone, 10);
}

void TCloudTransferFrm::Mostrainterfaccia1Click(QObject*) {
    show();
    TextTrayIcon1->ShowMainForm();
    TextTrayIcon1->SetIconVisible(false);
}

void TCloudTransferFrm::Esci1Click(QObject*) {
    close();
}

std::unique_ptr<TCloudTransferFrm> CreateForm(TCloudTransferFrmOptions options) {
    return std::make_unique<TCloudTransferFrm>(std::move(options));
}

} // namespace ct
