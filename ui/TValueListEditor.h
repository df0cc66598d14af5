#pragma once

#include <QString>
#include <QTableWidget>

namespace ct {

// The queue view: a key/value grid with no title row. The key column is narrow, fixed and
// drawn like a header; it never becomes the current cell. Cells are never edited in place.
// Grid row i is entry i of the list.
class TValueListEditor : public QTableWidget {
    Q_OBJECT
public:
    explicit TValueListEditor(QWidget* parent = nullptr);

    int RowCount() const { return rowCount(); }
    QString Key(int row) const;
    QString Value(int row) const;
    void AppendRow(const QString& key, const QString& value);
    void DeleteRow(int row);
    void ClearRows();
    // The current row, or -1 when there is none.
    int Row() const { return currentRow(); }
    // Makes the row current without raising SelectCell.
    void SetRowSilently(int row);

    // Column widths as designed; the value column takes what the control grows by.
    static constexpr int KeyColumnWidth = 37;

signals:
    // A cell is becoming the current one (after the grid's own move; nothing can refuse it).
    void SelectCell(int column, int row);
    // A double click anywhere on the grid.
    void DblClick();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    bool m_silent = false;
};

} // namespace ct
