#include "ui/TValueListEditor.h"

#include <algorithm>

#include <QHeaderView>
#include <QMouseEvent>
#include <QStyle>

namespace ct {

// Changes the grid makes on its own (a load, a deletion) are not the user's selection.
class TValueListEditor::Silence {
public:
    explicit Silence(TValueListEditor& editor) : m_editor(editor), m_was(editor.m_silent) {
        m_editor.m_silent = true;
    }
    ~Silence() { m_editor.m_silent = m_was; }
    Silence(const Silence&) = delete;
    Silence& operator=(const Silence&) = delete;

private:
    TValueListEditor& m_editor;
    bool m_was;
};

TValueListEditor::TValueListEditor(QWidget* parent) : QTableView(parent), m_model(new QueueModel(this)) {
    setModel(m_model);
    horizontalHeader()->hide();
    verticalHeader()->hide();
    horizontalHeader()->setMinimumSectionSize(8);
    horizontalHeader()->setSectionResizeMode(0, QHeaderView::Interactive);
    horizontalHeader()->resizeSection(0, KeyColumnWidth);
    horizontalHeader()->setStretchLastSection(true);
    verticalHeader()->setDefaultSectionSize(18);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setShowGrid(true);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    // Long job lines are cut at the cell edge, as a grid does, not shortened with an ellipsis.
    setTextElideMode(Qt::ElideNone);
    setTabKeyNavigation(true);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    // A user's drag of the key column is kept; the fitting below only ever widens it.
    connect(horizontalHeader(), &QHeaderView::sectionResized, this, [this](int section, int, int newSize) {
        if (section == 0 && newSize != m_fittedKeyWidth)
            m_fittedKeyWidth = 0;
    });
}

QString TValueListEditor::Key(int row) const {
    if (row < 0 || row >= RowCount())
        return {};
    return QString::number(m_model->Key(row));
}

QString TValueListEditor::Value(int row) const {
    if (row < 0 || row >= RowCount())
        return {};
    const std::string_view line = m_model->Line(row);
    return QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()));
}

QString TValueListEditor::ShownValue(int row) const {
    return m_model->data(m_model->index(row, 1)).toString();
}

int TValueListEditor::Row() const {
    const QModelIndex current = currentIndex();
    return current.isValid() ? current.row() : -1;
}

QueueModel::LoadResult TValueListEditor::Reload() {
    Silence silence(*this);
    struct Refit {
        TValueListEditor& editor;
        ~Refit() {
            editor.FitKeyColumn();
            editor.SetRowSilently(0);
        }
    } refit{*this};
    return m_model->Reload();
}

void TValueListEditor::DeleteRow(int row) {
    Silence silence(*this);
    m_model->RemoveRow(row);
}

void TValueListEditor::ClearRows() {
    Silence silence(*this);
    m_model->Clear();
}

void TValueListEditor::SetRowSilently(int row) {
    Silence silence(*this);
    if (row >= 0 && row < RowCount())
        setCurrentIndex(m_model->index(row, 1));
}

void TValueListEditor::SetCurrentCell(int row, int column) {
    if (row >= 0 && row < RowCount())
        setCurrentIndex(m_model->index(row, column));
}

void TValueListEditor::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    if (current.isValid() && current.column() == 0) {
        // The key column is fixed: the value cell of the same row takes the focus instead.
        setCurrentIndex(current.sibling(current.row(), 1));
        return;
    }
    QTableView::currentChanged(current, previous);
    if (!m_silent && current.isValid()) {
        m_selectRaised = true;
        emit SelectCell(current.column(), current.row());
    }
}

void TValueListEditor::mousePressEvent(QMouseEvent* event) {
    m_selectRaised = false;
    QTableView::mousePressEvent(event);
    // A click on the cell that is already current (the first row right after a load) moves
    // nothing, yet the user asked to see that row's job all the same.
    const QModelIndex pressed = indexAt(event->position().toPoint());
    if (!m_selectRaised && pressed.isValid() && pressed == currentIndex() &&
        (m_model->flags(pressed) & Qt::ItemIsEnabled))
        emit SelectCell(pressed.column(), pressed.row());
}

void TValueListEditor::mouseDoubleClickEvent(QMouseEvent* event) {
    QTableView::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton)
        emit DblClick();
}

int TValueListEditor::KeyColumnNeeded() const {
    std::uint32_t largest = m_model->LargestKey();
    int digits = 1;
    while (largest >= 10) {
        largest /= 10;
        ++digits;
    }
    const QFontMetrics metrics(font());
    int digitWidth = 0;
    for (char c = '0'; c <= '9'; ++c)
        digitWidth = std::max(digitWidth, metrics.horizontalAdvance(QLatin1Char(c)));
    // The item's text margins on both sides (as the style lays out a cell) and the grid line.
    const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
    return digits * digitWidth + 2 * margin + (showGrid() ? 1 : 0);
}

void TValueListEditor::FitKeyColumn() {
    const int needed = KeyColumnNeeded();
    const int width = columnWidth(0);
    const int fitted = std::max(KeyColumnWidth, needed);
    // Widen only as far as the keys need; give the width back when they shrink again, unless
    // the user has dragged the column meanwhile.
    if (width < needed || (m_fittedKeyWidth != 0 && width == m_fittedKeyWidth && width != fitted)) {
        setColumnWidth(0, fitted);
        m_fittedKeyWidth = fitted == KeyColumnWidth ? 0 : fitted;
    }
}

} // namespace ct
