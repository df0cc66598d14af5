#pragma once

#include <string>

#include <QIcon>
#include <QList>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include "platform/notify/BalloonHintIcon.h"

namespace ct {

// The notification-area icon of the main window, over QSystemTrayIcon. Where the platform
// has no system tray (the offscreen platform, a bare X server) every call still works and
// keeps its state, so the hint, the last balloon, the visibility and the cycling can be read
// back; nothing is drawn then.
class TCoolTrayIcon : public QObject {
    Q_OBJECT
public:
    explicit TCoolTrayIcon(QObject* parent = nullptr);
    ~TCoolTrayIcon() override;

    // The window that HideTaskbarIcon and ShowMainForm act on (not owned).
    void SetMainForm(QWidget* form) { m_mainForm = form; }

    // The tooltip. Text may hold two lines separated by CR LF.
    void SetHint(const std::string& text);
    void SetHint(const QString& text);
    QString Hint() const { return m_hint; }

    void SetIcon(const QIcon& icon);
    QIcon Icon() const { return m_icon; }

    // The menu of the icon (not owned). With LeftPopup it opens on a left click as well.
    void SetPopupMenu(QMenu* menu);
    QMenu* PopupMenu() const { return m_menu; }
    bool LeftPopup = false;

    // Animation: frames shown one after another every CycleInterval ms while cycling is on.
    // Without frames cycling changes nothing that can be seen.
    void SetCycleFrames(const QList<QIcon>& frames);
    void SetCycleInterval(int milliseconds);
    int CycleInterval() const { return m_cycleInterval; }
    void SetCycleIcons(bool on);
    bool CycleIcons() const { return m_cycleIcons; }
    int IconIndex() const { return m_iconIndex; }

    void SetIconVisible(bool visible);
    bool IconVisible() const { return m_iconVisible; }

    // Takes the application's taskbar button away while the main form is hidden.
    void HideTaskbarIcon();
    // Brings the main form back on the screen together with its taskbar button.
    void ShowMainForm();
    bool TaskbarIconHidden() const { return m_taskbarIconHidden; }

    // A balloon message. Returns whether the platform could show it; the request is
    // recorded either way.
    bool ShowBalloonHint(const std::string& title, const std::string& text, TBalloonHintIcon icon,
                         int timeoutSeconds);
    bool ShowBalloonHint(const QString& title, const QString& text, TBalloonHintIcon icon,
                         int timeoutSeconds);

    struct Balloon {
        QString title;
        QString text;
        TBalloonHintIcon icon = TBalloonHintIcon::bitNone;
        int timeoutSeconds = 0;
    };
    const Balloon& LastBalloon() const { return m_lastBalloon; }
    int BalloonCount() const { return m_balloonCount; }

    // Whether a real system tray carries the icon.
    static bool SystemTrayAvailable();

    // What a click on the icon does (public so that tests can click without a tray).
    void Click(QSystemTrayIcon::ActivationReason reason);

signals:
    // A left click asked for the menu.
    void MenuRequested();

private:
    void NextFrame();

    QSystemTrayIcon* m_tray = nullptr;
    QPointer<QWidget> m_mainForm;
    QPointer<QMenu> m_menu;
    QString m_hint;
    QIcon m_icon;
    QList<QIcon> m_frames;
    QTimer m_cycleTimer;
    int m_cycleInterval = 100;
    int m_iconIndex = 0;
    bool m_cycleIcons = false;
    bool m_iconVisible = false;
    bool m_taskbarIconHidden = false;
    Balloon m_lastBalloon;
    int m_balloonCount = 0;
};

} // namespace ct
