#include "ui/TUpDown.h"

#include <algorithm>

#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOption>

namespace ct {

TUpDown::TUpDown(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::NoFocus);
}

void TUpDown::SetAssociate(QLineEdit* edit) {
    if (m_associate)
        m_associate->removeEventFilter(this);
    m_associate = edit;
    if (m_associate) {
        m_associate->installEventFilter(this);
        m_associate->setText(QString::number(m_position));
    }
}

void TUpDown::SetRange(int min, int max) {
    m_min = min;
    m_max = std::max(min, max);
    m_position = std::clamp(m_position, m_min, m_max);
}

void TUpDown::SetPosition(int position) {
    m_position = std::clamp(position, m_min, m_max);
    if (m_associate)
        m_associate->setText(QString::number(m_position));
}

void TUpDown::Click(TUpDownDirection direction) {
    if (!isEnabled() || direction == TUpDownDirection::updNone)
        return;
    // Like the system's spinner with an integer buddy: a number the user typed into the
    // edit box is where the arrows start from.
    int from = m_position;
    if (m_associate) {
        bool ok = false;
        const int typed = m_associate->text().trimmed().toInt(&ok);
        if (ok)
            from = std::clamp(typed, m_min, m_max);
    }
    const long long step = direction == TUpDownDirection::updUp ? m_increment : -static_cast<long long>(m_increment);
    const int target = static_cast<int>(std::clamp<long long>(from + step, m_min, m_max));
    if (target == from && target == m_position)
        return;
    bool allow = true;
    emit ChangingEx(this, allow, target, direction);
    if (allow)
        SetPosition(target);
}

void TUpDown::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const int half = height() / 2;
    const QRect up(0, 0, width(), half);
    const QRect down(0, half, width(), height() - half);
    for (const QRect& r : {up, down}) {
        QStyleOptionButton option;
        option.initFrom(this);
        option.rect = r;
        option.state |= QStyle::State_Raised;
        style()->drawPrimitive(QStyle::PE_PanelButtonBevel, &option, &painter, this);
    }
    QStyleOption arrow;
    arrow.initFrom(this);
    arrow.rect = up.adjusted(3, 2, -3, -1);
    style()->drawPrimitive(QStyle::PE_IndicatorArrowUp, &arrow, &painter, this);
    arrow.rect = down.adjusted(3, 1, -3, -2);
    style()->drawPrimitive(QStyle::PE_IndicatorArrowDown, &arrow, &painter, this);
}

void TUpDown::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    Click(event->position().y() < height() / 2.0 ? TUpDownDirection::updUp : TUpDownDirection::updDown);
}

bool TUpDown::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_associate && event->type() == QEvent::KeyPress && isEnabled()) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            Click(key == Qt::Key_Up ? TUpDownDirection::updUp : TUpDownDirection::updDown);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace ct
