#include "ui/QtStatusControls.h"

#include <QLabel>
#include <QProgressBar>
#include <QString>

namespace ct {

void QtLabelControl::SetCaption(const std::string& text) {
    if (m_label)
        m_label->setText(QString::fromStdString(text));
}

void QtLabelControl::Show() {
    if (m_label)
        m_label->show();
}

void QtLabelControl::Hide() {
    if (m_label)
        m_label->hide();
}

namespace {

// An immediate repaint, for runs that handle no events: a control just hidden is repainted
// by its parent where it stood, or the screen would keep showing it.
void RepaintNow(QWidget* control) {
    if (!control)
        return;
    if (control->isVisible())
        control->repaint();
    else if (QWidget* parent = control->parentWidget(); parent && parent->isVisible())
        parent->repaint(control->geometry());
}

} // namespace

void QtLabelControl::Repaint() {
    RepaintNow(m_label);
}

void QtProgressBarControl::SetMax(std::int32_t max) {
    if (!m_bar)
        return;
    // A maximum of 0 (the total is not known) shows the bar as busy.
    m_bar->setRange(0, max);
}

void QtProgressBarControl::SetPosition(std::int32_t position) {
    if (m_bar)
        m_bar->setValue(position);
}

void QtProgressBarControl::Show() {
    if (m_bar)
        m_bar->show();
}

void QtProgressBarControl::Hide() {
    if (m_bar)
        m_bar->hide();
}

void QtProgressBarControl::Repaint() {
    RepaintNow(m_bar);
}

void QtTrayIconControl::SetHint(const std::string& text) {
    if (m_tray)
        m_tray->SetHint(text);
}

bool QtTrayIconControl::ShowBalloonHint(const std::string& title, const std::string& text, TBalloonHintIcon icon,
                                        int timeoutSeconds) {
    return m_tray && m_tray->ShowBalloonHint(title, text, icon, timeoutSeconds);
}

} // namespace ct
