#include "ui/QueueModel.h"

#include <algorithm>
#include <limits>
#include <numeric>

#include <QBrush>
#include <QGuiApplication>
#include <QPalette>

#include "platform/error/CloudError.h"
#include "ui/JobLineMask.h"

namespace ct {

namespace {

// Lines added after a load are gathered in blocks of this size, so that no append ever
// copies what is already held.
constexpr std::size_t kTailChunkBytes = 256 * 1024;

} // namespace

QueueModel::QueueModel(QObject* parent) : QAbstractTableModel(parent) {}

QueueModel::~QueueModel() = default;

void QueueModel::SetSource(std::unique_ptr<IQueueSource> source) {
    m_source = std::move(source);
    m_markValid = false;
}

int QueueModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int QueueModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 2;
}

std::string_view QueueModel::Line(int row) const {
    const Row& r = m_rows.at(static_cast<std::size_t>(row));
    return std::string_view(m_chunks[r.chunk]).substr(r.offset, r.length);
}

std::uint32_t QueueModel::Key(int row) const {
    const auto index = static_cast<std::size_t>(row);
    return m_keys.empty() ? static_cast<std::uint32_t>(index + 1) : m_keys.at(index);
}

std::uint32_t QueueModel::LargestKey() const {
    // Keys only ever grow down the list: a deletion keeps the order of the rest.
    return m_rows.empty() ? 0 : Key(static_cast<int>(m_rows.size()) - 1);
}

QVariant QueueModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || static_cast<std::size_t>(index.row()) >= m_rows.size())
        return {};
    if (index.column() == 0) {
        // The key column is drawn like the grid's fixed header column.
        switch (role) {
        case Qt::DisplayRole:
            return QString::number(Key(index.row()));
        case Qt::BackgroundRole:
            return QVariant::fromValue(QGuiApplication::palette().button());
        case Qt::ForegroundRole:
            return QVariant::fromValue(QGuiApplication::palette().buttonText());
        default:
            return {};
        }
    }
    if (index.column() == 1 && role == Qt::DisplayRole)
        return QString::fromStdString(MaskedJobLine(Line(index.row()), kShownLineBytes));
    return {};
}

Qt::ItemFlags QueueModel::flags(const QModelIndex& index) const {
    if (!index.isValid() || index.column() == 0)
        return Qt::NoItemFlags;   // never the current cell, never selected
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

QVariant QueueModel::headerData(int section, Qt::Orientation orientation, int role) const {
    // Defined as designed, though the view shows no title row.
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    if (section == 0)
        return QStringLiteral("Comando");
    if (section == 1)
        return QStringLiteral("File");
    return {};
}

void QueueModel::ClearStorage() {
    m_rows.clear();
    m_rows.shrink_to_fit();
    m_keys.clear();
    m_keys.shrink_to_fit();
    m_chunks.clear();
    m_chunkLive.clear();
    m_tailChunk = SIZE_MAX;
    m_markValid = false;
}

void QueueModel::Clear() {
    beginResetModel();
    ClearStorage();
    endResetModel();
}

QueueModel::LoadResult QueueModel::Reload() {
    if (std::optional<LoadResult> result = TryIncremental())
        return *result;
    return ReloadFully();
}

QueueModel::LoadResult QueueModel::ReloadFully() {
    // The old rows go before the new text is read, so that the two are never held at once.
    struct ResetScope {
        QueueModel& model;
        explicit ResetScope(QueueModel& m) : model(m) { model.beginResetModel(); }
        ~ResetScope() { model.endResetModel(); }
    } reset(*this);
    ClearStorage();
    if (!m_source)
        return {};
    BatchText text = m_source->ReadText();
    m_rows.reserve(text.LineCount());
    for (std::size_t i = 0; i < text.LineCount(); ++i) {
        const std::string_view line = text.Line(i);
        if (line.size() > std::numeric_limits<std::uint32_t>::max())
            throw CloudError("a line of the queue is too long to show");
        m_rows.push_back(Row{0, static_cast<std::uint32_t>(line.size()),
                             static_cast<std::uint64_t>(line.data() - text.text.data())});
    }
    // A block read by growing it may hold up to twice its size; it is kept for long.
    if (text.text.capacity() > text.text.size() + text.text.size() / 8)
        text.text.shrink_to_fit();
    m_chunks.push_back(std::move(text.text));
    m_chunkLive.push_back(m_rows.size());
    m_mark = text.mark;
    // A source that cannot name its versions (mark.size -1 with a file present) is read
    // whole every time.
    m_markValid = text.present && text.mark.size >= 0;
    return {text.present, LoadKind::Full};
}

std::optional<QueueModel::LoadResult> QueueModel::TryIncremental() {
    if (!m_source || !m_markValid)
        return std::nullopt;
    try {
        // Lines appended to the very version the rows show.
        BatchFileMark mark = m_mark;
        if (std::optional<std::vector<std::string>> appended = m_source->LinesAfter(mark)) {
            // A present file without lines is deleted by a whole read; let that one do it.
            if (mark.size < 0 || m_rows.size() + appended->size() == 0)
                return std::nullopt;
            AppendLines(*appended);
            m_mark = mark;
            return LoadResult{true, LoadKind::Incremental};
        }

        // Replaced since: this process's rewrites lead from the rows' version to the current
        // one, or the file changed some other way and is read whole. The chain is checked to
        // the end before any row changes.
        std::optional<std::vector<BatchFileEdit>> edits = m_source->EditsSince(m_mark);
        if (!edits)
            return std::nullopt;
        BatchFileMark at = m_mark;
        std::size_t count = m_rows.size();
        for (const BatchFileEdit& edit : *edits) {
            if (!(edit.before == at))
                return std::nullopt;
            if (!std::is_sorted(edit.removed.begin(), edit.removed.end()) ||
                std::adjacent_find(edit.removed.begin(), edit.removed.end()) != edit.removed.end() ||
                (!edit.removed.empty() && edit.removed.back() >= count))
                return std::nullopt;
            count = count - edit.removed.size() + edit.appended.size();
            at = edit.after;
        }
        if (at.size < 0)
            return std::nullopt;   // deleted: nothing to read
        BatchFileMark end = at;
        std::optional<std::vector<std::string>> appendedSince = m_source->LinesAfter(end);
        if (!appendedSince || end.size < 0 || count + appendedSince->size() == 0)
            return std::nullopt;

        std::size_t firstRenumbered = m_rows.size();
        for (const BatchFileEdit& edit : *edits) {
            if (!edit.removed.empty())
                firstRenumbered = std::min(firstRenumbered, edit.removed.front());
            RemoveRowsAt(edit.removed);
            AppendLines(edit.appended);
        }
        AppendLines(*appendedSince);
        m_mark = end;
        // The rows below a removed one have moved up, and their keys with them.
        if (firstRenumbered < m_rows.size())
            emit dataChanged(index(static_cast<int>(firstRenumbered), 0), index(static_cast<int>(m_rows.size()) - 1, 0),
                             {Qt::DisplayRole});
        return LoadResult{true, LoadKind::Incremental};
    } catch (const std::exception&) {
        // Whatever went wrong, a whole read puts the rows right (or reports the error).
        return std::nullopt;
    }
}

void QueueModel::AppendLines(const std::vector<std::string>& lines) {
    if (lines.empty())
        return;
    // Bytes first and room for the records, so that nothing can fail between the begin and
    // the end of the insertion.
    std::vector<Row> added;
    added.reserve(lines.size());
    for (const std::string& line : lines) {
        if (line.size() > std::numeric_limits<std::uint32_t>::max())
            throw CloudError("a line of the queue is too long to show");
        if (m_tailChunk == SIZE_MAX || m_chunks[m_tailChunk].size() + line.size() > m_chunks[m_tailChunk].capacity()) {
            if (m_tailChunk != SIZE_MAX && m_chunkLive[m_tailChunk] == 0)
                std::string().swap(m_chunks[m_tailChunk]);
            std::string chunk;
            chunk.reserve(std::max(kTailChunkBytes, line.size()));
            m_chunks.push_back(std::move(chunk));
            m_chunkLive.push_back(0);
            m_tailChunk = m_chunks.size() - 1;
        }
        std::string& chunk = m_chunks[m_tailChunk];
        added.push_back(Row{static_cast<std::uint32_t>(m_tailChunk), static_cast<std::uint32_t>(line.size()),
                            static_cast<std::uint64_t>(chunk.size())});
        chunk.append(line);
        ++m_chunkLive[m_tailChunk];
    }
    m_rows.reserve(m_rows.size() + added.size());
    if (!m_keys.empty())
        m_keys.reserve(m_keys.size() + added.size());
    const int first = static_cast<int>(m_rows.size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(added.size()) - 1);
    for (const Row& row : added) {
        if (!m_keys.empty())
            m_keys.push_back(m_keys.back() + 1);
        m_rows.push_back(row);
    }
    endInsertRows();
}

void QueueModel::ReleaseBytes(const Row& row) {
    if (--m_chunkLive[row.chunk] == 0 && row.chunk != m_tailChunk) {
        // Nobody points into the block any more: give its memory back.
        std::string().swap(m_chunks[row.chunk]);
    }
}

void QueueModel::RemoveRowsAt(const std::vector<std::size_t>& rows) {
    std::size_t runEnd = rows.size();
    while (runEnd > 0) {
        std::size_t runBegin = runEnd - 1;
        while (runBegin > 0 && rows[runBegin - 1] + 1 == rows[runBegin])
            --runBegin;
        const std::size_t first = rows[runBegin];
        const std::size_t last = rows[runEnd - 1];
        beginRemoveRows(QModelIndex(), static_cast<int>(first), static_cast<int>(last));
        for (std::size_t i = first; i <= last; ++i)
            ReleaseBytes(m_rows[i]);
        m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(first),
                     m_rows.begin() + static_cast<std::ptrdiff_t>(last + 1));
        if (!m_keys.empty())
            m_keys.erase(m_keys.begin() + static_cast<std::ptrdiff_t>(first),
                         m_keys.begin() + static_cast<std::ptrdiff_t>(last + 1));
        endRemoveRows();
        runEnd = runBegin;
    }
}

void QueueModel::RemoveRow(int row) {
    if (row < 0 || static_cast<std::size_t>(row) >= m_rows.size())
        return;
    if (m_keys.empty()) {
        m_keys.resize(m_rows.size());
        std::iota(m_keys.begin(), m_keys.end(), std::uint32_t{1});
    }
    // The rows no longer mirror a version of the file: the next load reads it whole.
    m_markValid = false;
    RemoveRowsAt({static_cast<std::size_t>(row)});
}

} // namespace ct
