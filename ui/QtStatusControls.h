#pragma once

#include <QLabel>
#include <QPointer>
#include <QProgressBar>

#include "platform/tray/TCoolTrayIcon.h"
#include "transfer/StatusControls.h"

namespace ct {

// The window's label and progress bar as the worker's reporting steps see them.
// Called on the GUI thread only; a control that is gone makes each call a no-op.
class QtLabelControl : public ILabelControl {
public:
    explicit QtLabelControl(QLabel* label) : m_label(label) {}
    void SetCaption(const std::string& text) override;
    void Show() override;
    void Hide() override;
    void Repaint() override;

private:
    QPointer<QLabel> m_label;
};

class QtProgressBarControl : public IProgressBarControl {
public:
    explicit QtProgressBarControl(QProgressBar* bar) : m_bar(bar) {}
    void SetMax(std::int32_t max) override;
    void SetPosition(std::int32_t position) override;
    void Show() override;
    void Hide() override;
    void Repaint() override;

private:
    QPointer<QProgressBar> m_bar;
};

// The tray icon as the worker's announcement step sees it.
class QtTrayIconControl : public ITrayIconControl {
public:
    explicit QtTrayIconControl(TCoolTrayIcon* tray) : m_tray(tray) {}
    void SetHint(const std::string& text) override;
    bool ShowBalloonHint(const std::string& title, const std::string& text, TBalloonHintIcon icon,
                         int timeoutSeconds) override;

private:
    QPointer<TCoolTrayIcon> m_tray;
};

} // namespace ct
