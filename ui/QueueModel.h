#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QAbstractTableModel>

#include "ui/QueueSource.h"

namespace ct {

// The queue view's rows: column 0 the key (a running number from 1), column 1 the job line.
//
// The lines are kept as the bytes the source read (one block per read, small blocks for
// lines added later) and a 16-byte record per row; a QString is made only when the view asks
// for a row it is about to paint. A reload reads only what changed when the source can tell
// (lines appended to the same file, this process's own rewrites) and the rows are still those
// of the last load; anything else reads the whole queue again. Either way the rows end up as
// a whole read would leave them: one per complete line, keyed 1, 2, 3, ...
class QueueModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // How much of a line the view is given to paint: far wider than any screen, and a
    // bound on the cost of a line of any length.
    static constexpr std::size_t kShownLineBytes = 4096;

    explicit QueueModel(QObject* parent = nullptr);
    ~QueueModel() override;

    void SetSource(std::unique_ptr<IQueueSource> source);
    IQueueSource* Source() const { return m_source.get(); }

    enum class LoadKind { Full, Incremental };
    struct LoadResult {
        bool present = false;   // the queue file exists
        LoadKind kind = LoadKind::Full;
    };
    // Brings the rows in line with the queue as it is now. An error of the whole read passes
    // to the caller and leaves no rows.
    LoadResult Reload();
    LoadResult ReloadFully();
    void Clear();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The row's line exactly as read (no line end); valid until the rows next change.
    std::string_view Line(int row) const;
    std::uint32_t Key(int row) const;
    std::uint32_t LargestKey() const;
    // The user's deletion of one row: the rows below move up and keep their keys.
    void RemoveRow(int row);

private:
    struct Row {
        std::uint32_t chunk;
        std::uint32_t length;
        std::uint64_t offset;
    };

    std::optional<LoadResult> TryIncremental();
    void ClearStorage();
    void AppendLines(const std::vector<std::string>& lines);
    // Removes the rows at the given ascending indices, from the last run of them upwards.
    void RemoveRowsAt(const std::vector<std::size_t>& rows);
    void ReleaseBytes(const Row& row);

    std::unique_ptr<IQueueSource> m_source;
    std::vector<std::string> m_chunks;
    std::vector<std::size_t> m_chunkLive;   // rows still pointing into each chunk
    std::size_t m_tailChunk = SIZE_MAX;     // the chunk appended lines go to
    std::vector<Row> m_rows;
    // Empty while row i has key i + 1, which holds from every load until the first deletion.
    std::vector<std::uint32_t> m_keys;
    BatchFileMark m_mark;
    bool m_markValid = false;   // the rows are exactly the version m_mark names
};

} // namespace ct
