#include "ui/TValueListEditor.h"

#include <QHeaderView>
#include <QMouseEvent>

namespace ct {

TValueListEditor::TValueListEditor(QWidget* parent) : QTableWidget(0, 2, parent) {
    setHorizontalHeaderLabels({QStringLiteral("Comando"), QStringLiteral("File")});
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
    // Long job lines are cut at the cell edge, as a grid does, not shortened with an ellipsis.
    setTextElideMode(Qt::ElideNone);
    setTabKeyNavigation(true);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    connect(this, &QTableWidget::currentCellChanged, this, [this](int row, int column, int, int) {
        if (!m_silent && row >= 0)
            emit SelectCell(column, row);
    });
}

QString TValueListEditor::Key(int row) const {
    const QTableWidgetItem* cell = item(row, 0);
    return cell ? cell->text() : QString();
}

QString TValueListEditor::Value(int row) const {
    const QTableWidgetItem* cell = item(row, 1);
    return cell ? cell->text() : QString();
}

void TValueListEditor::AppendRow(const QString& key, const QString& value) {
    const bool wasSilent = m_silent;
    m_silent = true;
    const int row = rowCount();
    insertRow(row);
    // The key cell is drawn like a fixed header cell and takes no part in navigation.
    auto* keyCell = new QTableWidgetItem(key);
    keyCell->setFlags(Qt::NoItemFlags);
    keyCell->setBackground(palette().button());
    keyCell->setForeground(palette().buttonText());
    setItem(row, 0, keyCell);
    auto* valueCell = new QTableWidgetItem(value);
    valueCell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    setItem(row, 1, valueCell);
    m_silent = wasSilent;
}

void TValueListEditor::DeleteRow(int row) {
    const bool wasSilent = m_silent;
    m_silent = true;
    removeRow(row);
    m_silent = wasSilent;
}

void TValueListEditor::ClearRows() {
    const bool wasSilent = m_silent;
    m_silent = true;
    setRowCount(0);
    m_silent = wasSilent;
}

void TValueListEditor::SetRowSilently(int row) {
    const bool wasSilent = m_silent;
    m_silent = true;
    if (row >= 0 && row < rowCount())
        setCurrentCell(row, 1);
    m_silent = wasSilent;
}

void TValueListEditor::mouseDoubleClickEvent(QMouseEvent* event) {
    QTableWidget::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton)
        emit DblClick();
}

} // namespace ct
