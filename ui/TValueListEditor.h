#pragma once

#include <QString>
#include <QTableView>

#include "ui/QueueModel.h"

namespace ct {

// The queue view: a key/value grid with no title row over a QueueModel. The key column is
// narrow, fixed and drawn like a header; it never becomes the current cell. Cells are never
// edited in place. Grid row i is entry i of the list.
class TValueListEditor : public QTableView {
    Q_OBJECT
public:
    explicit TValueListEditor(QWidget* parent = nullptr);

    QueueModel* Model() const { return m_model; }

    int RowCount() const { return m_model->rowCount(); }
    QString Key(int row) const;
    // The row's line exactly as it stands in the queue.
    QString Value(int row) const;
    // The row's line as the grid shows it (the password masked).
    QString ShownValue(int row) const;
    // The current row, or -1 when there is none.
    int Row() const;

    // Brings the rows in line with the queue (see QueueModel::Reload); the first row is then
    // the current one, as in a freshly filled grid, without raising SelectCell.
    QueueModel::LoadResult Reload();
    void DeleteRow(int row);
    void ClearRows();
    // Makes the row current without raising SelectCell.
    void SetRowSilently(int row);
    // Makes the cell current as a click or a key does (SelectCell follows).
    void SetCurrentCell(int row, int column);

    // Column widths as designed; the value column takes what the control grows by, the key
    // column grows only when its largest key would not show whole.
    static constexpr int KeyColumnWidth = 37;
    static constexpr int ValueColumnWidth = 657;
    int KeyColumnNeeded() const;

signals:
    // A cell has become the current one, or the current cell was clicked again (nothing can
    // refuse it).
    void SelectCell(int column, int row);
    // A double click anywhere on the grid.
    void DblClick();

protected:
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    class Silence;
    void FitKeyColumn();

    QueueModel* m_model;
    bool m_silent = false;
    bool m_selectRaised = false;
    // The width the key column was widened to for its keys; 0 while it is as designed or as
    // the user dragged it.
    int m_fittedKeyWidth = 0;
};

} // namespace ct
