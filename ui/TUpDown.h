#pragma once

#include <QWidget>

class QLineEdit;

namespace ct {

enum class TUpDownDirection { updNone, updUp, updDown };

// A spinner of two arrows attached to an edit box: it keeps a position within its range,
// moves it by its increment on an arrow click (or the Up/Down key in the edit box) and
// writes the position into the edit box as text. Before it moves it raises ChangingEx,
// whose handler may refuse the change.
class TUpDown : public QWidget {
    Q_OBJECT
public:
    explicit TUpDown(QWidget* parent = nullptr);

    void SetAssociate(QLineEdit* edit);
    QLineEdit* Associate() const { return m_associate; }

    void SetRange(int min, int max);
    int Min() const { return m_min; }
    int Max() const { return m_max; }
    void SetIncrement(int increment) { m_increment = increment; }
    int Increment() const { return m_increment; }

    // Sets the position (kept within the range) and shows it in the edit box. Raises no
    // ChangingEx: only the user's arrows do.
    void SetPosition(int position);
    int Position() const { return m_position; }

    // A free integer for the owner, as form designers give every control.
    int Tag = 0;

    // What an arrow click does; public so that tests press the arrows the same way.
    void Click(TUpDownDirection direction);

signals:
    void ChangingEx(QObject* sender, bool& allowChange, int newValue, ct::TUpDownDirection direction);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* m_associate = nullptr;
    int m_min = 0;
    int m_max = 100;
    int m_increment = 1;
    int m_position = 0;
};

} // namespace ct
