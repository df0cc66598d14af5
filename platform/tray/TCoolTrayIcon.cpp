#include "platform/tray/TCoolTrayIcon.h"

#include <QCursor>
#include <QMenu>
#include <QWidget>

namespace ct {

namespace {

QSystemTrayIcon::MessageIcon MessageIconOf(TBalloonHintIcon icon) {
    switch (icon) {
    case TBalloonHintIcon::bitInfo:
        return QSystemTrayIcon::Information;
    case TBalloonHintIcon::bitWarning:
        return QSystemTrayIcon::Warning;
    case TBalloonHintIcon::bitError:
        return QSystemTrayIcon::Critical;
    case TBalloonHintIcon::bitNone:
        break;
    }
    return QSystemTrayIcon::NoIcon;
}

// Tooltips break lines at "\n" only; the stored hint keeps its CR LF.
QString DisplayText(QString text) {
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

} // namespace

TCoolTrayIcon::TCoolTrayIcon(QObject* parent) : QObject(parent), m_tray(new QSystemTrayIcon(this)) {
    m_cycleTimer.setInterval(m_cycleInterval);
    connect(&m_cycleTimer, &QTimer::timeout, this, &TCoolTrayIcon::NextFrame);
    connect(m_tray, &QSystemTrayIcon::activated, this, &TCoolTrayIcon::Click);
}

TCoolTrayIcon::~TCoolTrayIcon() {
    m_tray->hide();
}

bool TCoolTrayIcon::SystemTrayAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TCoolTrayIcon::SetHint(const std::string& text) {
    SetHint(QString::fromStdString(text));
}

void TCoolTrayIcon::SetHint(const QString& text) {
    m_hint = text;
    m_tray->setToolTip(DisplayText(text));
}

void TCoolTrayIcon::SetIcon(const QIcon& icon) {
    m_icon = icon;
    if (m_frames.isEmpty() || !m_cycleIcons)
        m_tray->setIcon(icon);
}

void TCoolTrayIcon::SetPopupMenu(QMenu* menu) {
    m_menu = menu;
    // A right click opens the context menu through the platform.
    m_tray->setContextMenu(menu);
}

void TCoolTrayIcon::SetCycleFrames(const QList<QIcon>& frames) {
    m_frames = frames;
    m_iconIndex = 0;
    SetCycleIcons(m_cycleIcons);
}

void TCoolTrayIcon::SetCycleInterval(int milliseconds) {
    m_cycleInterval = milliseconds;
    m_cycleTimer.setInterval(milliseconds);
}

void TCoolTrayIcon::SetCycleIcons(bool on) {
    m_cycleIcons = on;
    // With nothing to show a timer would only wake the process ten times a second.
    if (on && !m_frames.isEmpty())
        m_cycleTimer.start();
    else
        m_cycleTimer.stop();
    if (!on)
        m_tray->setIcon(m_icon);
}

void TCoolTrayIcon::NextFrame() {
    if (m_frames.isEmpty())
        return;
    m_iconIndex = (m_iconIndex + 1) % static_cast<int>(m_frames.size());
    m_tray->setIcon(m_frames.at(m_iconIndex));
}

void TCoolTrayIcon::SetIconVisible(bool visible) {
    m_iconVisible = visible;
    // Without a tray there is nowhere to put the icon; the state is kept all the same.
    if (!SystemTrayAvailable())
        return;
    if (m_tray->icon().isNull())
        m_tray->setIcon(m_icon);
    m_tray->setVisible(visible);
}

void TCoolTrayIcon::HideTaskbarIcon() {
    m_taskbarIconHidden = true;
    // A hidden top-level window has no taskbar button; make sure it is hidden.
    if (m_mainForm && m_mainForm->isVisible())
        m_mainForm->hide();
}

void TCoolTrayIcon::ShowMainForm() {
    m_taskbarIconHidden = false;
    if (!m_mainForm)
        return;
    if (m_mainForm->isMinimized())
        m_mainForm->showNormal();
    else
        m_mainForm->show();
    m_mainForm->raise();
    m_mainForm->activateWindow();
}

bool TCoolTrayIcon::ShowBalloonHint(const std::string& title, const std::string& text, TBalloonHintIcon icon,
                                    int timeoutSeconds) {
    return ShowBalloonHint(QString::fromStdString(title), QString::fromStdString(text), icon, timeoutSeconds);
}

bool TCoolTrayIcon::ShowBalloonHint(const QString& title, const QString& text, TBalloonHintIcon icon,
                                    int timeoutSeconds) {
    m_lastBalloon = Balloon{title, text, icon, timeoutSeconds};
    ++m_balloonCount;
    if (!SystemTrayAvailable() || !QSystemTrayIcon::supportsMessages() || !m_tray->isVisible())
        return false;
    m_tray->showMessage(title, DisplayText(text), MessageIconOf(icon), timeoutSeconds * 1000);
    return true;
}

void TCoolTrayIcon::Click(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Trigger || !LeftPopup || !m_menu)
        return;
    emit MenuRequested();
    m_menu->popup(QCursor::pos());
}

} // namespace ct
