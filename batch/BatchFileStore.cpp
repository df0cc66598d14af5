#include "batch/BatchFileStore.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>

#include "batch/BatchFileJournal.h"
#include "batch/BatchFileRewrite.h"
#include "batch/BatchLateLines.h"
#include "batch/BatchLineText.h"
#include "platform/fs/FileSystem.h"
#include "platform/fs/FileText.h"
#include "platform/fs/GuardedRewrite.h"
#include "platform/fs/ReadOnlyFile.h"
#include "platform/fs/SafeFile.h"
#include "platform/json/SuperObject.h"


namespace ct {

namespace fs = std::filesystem;
namespace journal = batchjournal;
using namespace batchtext;

namespace {

// How long a settle waits for producers still writing to a replaced version. Their lines are
// safe on disk either way; waiting only brings them into this run.
constexpr std::chrono::milliseconds kSettleWait{2000};

// Failures of the layers below, as the store's own errors with a readable reason. Every
// operation works on the file the queue's name stands for when it starts: a queue that is a
// symbolic link stays one, and its target is read, locked and rewritten in its own folder.
template <typename Body>
auto Guarded(const fs::path& file, Body&& body) -> decltype(body(file)) {
    fs::path target = file;
    try {
        target = RewriteTargetOf(file);
        return body(target);
    } catch (const BatchFileError&) {
        throw;
    } catch (const FileLockTimeout&) {
        throw BatchFileError("the queue is locked by another process: " + LockFilePathFor(target).string() +
                             " stayed locked for more than " +
                             std::to_string((RewriteLockWait().count() + 999) / 1000) + " s");
    } catch (const NotARegularFileError& e) {
        throw BatchFileError(std::string("refused: ") + e.what());
    } catch (const FileSystemError& e) {
        throw BatchFileError(e.what());
    }
}

// The lines of a version from its start, each cut at the job-line cap plus one byte, holding
// no more than a chunk and one capped line in memory: a 1 GB line costs a bounded read.
class CappedLines {
public:
    explicit CappedLines(const ReadOnlyFile& file) : m_file(file) {}

    // False when no line is left. `complete`: the line had a line end.
    bool Next(std::string& line, bool& complete) {
        line.clear();
        std::size_t raw = 0;
        const bool lineMarked = SkipMarks();
        if (m_first) {
            m_first = false;
            m_marked = lineMarked;
        }
        m_lineMarked = lineMarked;
        for (;;) {
            const std::size_t end = m_buffer.find('\n', m_pos);
            const std::size_t stop = end == std::string::npos ? m_buffer.size() : end;
            raw += stop - m_pos;
            if (line.size() < kLineCap)
                line.append(m_buffer, m_pos, std::min(stop - m_pos, kLineCap - line.size()));
            if (end != std::string::npos) {
                m_pos = end + 1;
                complete = true;
                return Finish(line, raw);
            }
            m_buffer.clear();
            m_pos = 0;
            if (!Fill()) {
                complete = false;
                if (raw == 0)
                    return false;
                return Finish(line, raw);
            }
        }
    }

private:
    // Steps over the marks in front of the line that starts at m_pos; true when there were any.
    bool SkipMarks() {
        bool marked = false;
        for (;;) {
            if (m_buffer.size() - m_pos < Utf8Bom.size()) {
                m_buffer.erase(0, m_pos);
                m_pos = 0;
                while (m_buffer.size() < Utf8Bom.size() && Fill()) {
                }
            }
            if (!StartsWithBom(std::string_view(m_buffer).substr(m_pos)))
                return marked;
            m_pos += Utf8Bom.size();
            marked = true;
        }
    }
    bool Fill() {
        char chunk[65536];
        const std::size_t got = m_file.ReadInto(m_offset, chunk, sizeof chunk);
        m_offset += static_cast<std::int64_t>(got);
        m_buffer.append(chunk, got);
        return got > 0;
    }
    bool Finish(std::string& line, std::size_t raw) {
        if (raw <= kLineCap && !line.empty() && line.back() == '\r')
            line.pop_back();
        line = DecodeBytes(line, m_marked || m_lineMarked);
        return true;
    }

    const ReadOnlyFile& m_file;
    std::int64_t m_offset = 0;
    std::string m_buffer;
    std::size_t m_pos = 0;
    bool m_first = true;
    bool m_marked = false;     // the file's mark
    bool m_lineMarked = false; // the line's own
};

// The first store operation of a process on a file carries over what a killed run left beside
// it. The GUI thread only tries (it never waits for a lock or a writer); it tries again at its
// next operation when it could not.
std::mutex g_carriedMutex;
std::set<std::string> g_carried;

void CarryLeftoversOnce(const fs::path& file, RewriteOptions::Patience patience) {
    {
        std::lock_guard<std::mutex> lock(g_carriedMutex);
        if (g_carried.count(file.string()))
            return;
    }
    StoreRewrite op(file, StoreRewrite::Kind::KeepAll);
    RewriteOptions options = op.Options();
    options.patience = patience;
    try {
        SettleLateWriters(file, kSettleWait, op.Planner(), KeepingLateLines, options);
    } catch (const FileSystemError&) {
        // A reader must still read when the lock is busy or the folder takes no lock file.
        if (patience == RewriteOptions::Patience::NoWait)
            return;
        throw;
    }
    std::lock_guard<std::mutex> lock(g_carriedMutex);
    g_carried.insert(file.string());
}

// A file without a single line goes; a reader does it only when nobody else is busy with it.
void DeleteIfNoLine(const fs::path& file) {
    StoreRewrite op(file, StoreRewrite::Kind::DeleteIfNoLine);
    RewriteOptions options = op.Options();
    options.patience = RewriteOptions::Patience::NoWait;
    try {
        RewriteFileFromSource(file, op.Planner(), KeepingLateLines, options);
    } catch (const FileLockTimeout&) {
    }
}

void RunRewrite(const fs::path& file, StoreRewrite& op, RewriteOptions options = {}) {
    RewriteFileFromSource(file, op.Planner(), KeepingLateLines, op.Options(std::move(options)));
}

bool AnyLine(const std::string&) {
    return true;
}

enum class LineOneOnly { No, Yes };

// The first non-empty line of the queue that `accept` takes, read as a reader the rewrites
// wait for; with LineOneOnly::Yes only line 1 is looked at. None when no line is taken or there
// is no queue.
std::optional<std::string> FindLine(const fs::path& file, const std::function<bool(const std::string&)>& accept,
                                    LineOneOnly lineOneOnly) {
    RewriteReaderGuard reading;
    std::optional<ReadOnlyFile> queue = ReadOnlyFile::Open(file);
    if (!queue)
        return std::nullopt;
    CappedLines lines(*queue);
    std::string line;
    bool complete = false;
    while (lines.Next(line, complete)) {
        if (!line.empty() && accept(line))
            return line;
        if (lineOneOnly == LineOneOnly::Yes)
            break;
    }
    return std::nullopt;
}

} // namespace

fs::path BatchFilePath() {
    return ExecutableDir() / "cloud_batch.txt";
}

void SetBatchFileLockWait(std::chrono::milliseconds wait) {
    SetRewriteLockWait(wait);
}

void SetBatchFileClock(IClock& clock) {
    SetRewriteClock(clock);
}

std::string ReadFirstBatchLine(const fs::path& file) {
    return Guarded(file, [&](const fs::path& target) {
        CarryLeftoversOnce(target, RewriteOptions::Patience::Wait);
        if (std::optional<std::string> line = FindLine(target, AnyLine, LineOneOnly::Yes))
            return *line;
        // Line 1 is empty: either the queue is exhausted (the file goes) or empty lines stand in
        // front of jobs (they go, so that the queue does not stall on them). Decided under the
        // lock, on what the file holds by then, once producers late for a replaced version are
        // in: an exhausted queue must not hide their lines.
        StoreRewrite op(target, StoreRewrite::Kind::DropLeadingEmpty);
        RewriteOptions options;
        options.lateWriterWait = kSettleWait;
        RunRewrite(target, op, options);
        if (!op.firstJob.empty() || FileExists(target))
            return op.firstJob;
        // A producer may have opened the exhausted file just before it went.
        StoreRewrite carry(target, StoreRewrite::Kind::KeepAll);
        if (SettleLateWriters(target, kSettleWait, carry.Planner(), KeepingLateLines, carry.Options()).carriedBytes == 0)
            return std::string();
        return FindLine(target, AnyLine, LineOneOnly::No).value_or(std::string());
    });
}

bool UpdateBatchFile(const fs::path& file, const std::string& search, const std::string& replacement,
                     const std::string& jobLine) {
    return Guarded(file, [&](const fs::path& target) {
        // Checked before the lock so that a vanished queue leaves the folder as it was.
        if (!FileExists(target))
            throw BatchFileError("the batch file " + target.string() + " does not exist");
        StoreRewrite op(target, search.empty() ? StoreRewrite::Kind::RemoveOwn : StoreRewrite::Kind::Move);
        op.search = search;
        op.replacement = replacement;
        op.jobLine = jobLine;
        RunRewrite(target, op);
        return op.hit;
    });
}

std::size_t ApplyBatchOutcomes(const fs::path& file, const std::vector<BatchOutcome>& outcomes) {
    if (outcomes.empty())
        return 0;
    return Guarded(file, [&](const fs::path& target) {
        if (!FileExists(target))
            throw BatchFileError("the batch file " + target.string() + " does not exist");
        StoreRewrite op(target, StoreRewrite::Kind::Outcomes);
        op.outcomes = outcomes;
        RunRewrite(target, op);
        return op.moved;
    });
}

BatchLines ReadAllBatchLines(const fs::path& file) {
    return Guarded(file, [&](const fs::path& target) {
        CarryLeftoversOnce(target, RewriteOptions::Patience::NoWait);
        BatchLines result;
        {
            RewriteReaderGuard reading;
            std::optional<ReadOnlyFile> queue = ReadOnlyFile::Open(target);
            if (!queue)
                return result;
            result.present = true;
            result.lines = LinesOf(queue->ReadFrom(0));
        }
        if (result.lines.empty())
            DeleteIfNoLine(target);
        return result;
    });
}

void SaveBatchLines(const fs::path& file, const std::vector<std::string>& lines) {
    Guarded(file, [&](const fs::path& target) {
        if (lines.empty() && !FileExists(target))
            return;
        StoreRewrite op(target, StoreRewrite::Kind::Save);
        op.lines = lines;
        RunRewrite(target, op);
    });
}

void ApplyBatchDeletions(const fs::path& file, const std::vector<std::string>& deleted) {
    Guarded(file, [&](const fs::path& target) {
        if (!FileExists(target))
            return;
        StoreRewrite op(target, StoreRewrite::Kind::Deletions);
        op.lines = deleted;
        RunRewrite(target, op);
    });
}

void AppendBatchLines(const fs::path& file, const std::vector<std::string>& lines) {
    if (lines.empty())
        return;
    Guarded(file, [&](const fs::path& target) {
        StoreRewrite op(target, StoreRewrite::Kind::Append);
        op.lines = lines;
        RunRewrite(target, op);
    });
}

fs::path DeadLetterPathFor(const fs::path& file) {
    return file.parent_path() / "cloud_batch.failed.txt";
}

void AppendDeadLetter(const fs::path& file, const std::string& line) {
    Guarded(file, [&](const fs::path& target) {
        RewriteLock lock(target, RewriteLockWait());
        const fs::path dead = DeadLetterPathFor(target);
        // Appended, never rewritten: an earlier line cannot get lost. Never through a link: one
        // planted at the name would send the job line, password and all, wherever it points.
        AppendOptions options;
        options.unterminatedPrefix = "\r\n"; // whatever is there stays a line of its own
        const FileResult<void> appended = AppendOwnerOnly(dead, EncodeFileText(line) + "\r\n", options);
        if (appended.Is(FileFault::Link))
            throw BatchFileError("refused: the dead-letter file " + dead.string() + " is a symbolic link");
        if (appended.Is(FileFault::NotRegular))
            throw BatchFileError("refused: the dead-letter file " + dead.string() + " is not a regular file");
        appended.OrThrow();
    });
}

void CheckBatchFileWritable(const fs::path& file) {
    Guarded(file, [&](const fs::path& target) {
        const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
        if (ReadOnlyFile::Open(target)) {
            if (const std::optional<std::string> why = WriteRefusal(target))
                throw BatchFileError("the queue " + target.string() + " is not writable: " + *why);
        }
        {
            std::optional<RewriteLock> lock;
            try {
                lock.emplace(target, RewriteLockWait());
            } catch (const FileLockTimeout&) {
                throw;
            } catch (const FileSystemError& e) {
                throw BatchFileError("the queue cannot be locked: " + std::string(e.what()));
            }
            // The rewrite's temporary file goes into the folder: it must take a new file.
            if (const std::optional<std::string> why = NewFileRefusal(target))
                throw BatchFileError("the folder " + folder.string() + " does not take new files: " + *why);
        }
        CarryLeftoversOnce(target, RewriteOptions::Patience::Wait);
    });
}

std::optional<std::string> FindFirstBatchLine(const fs::path& file, const std::function<bool(const std::string&)>& accept) {
    return Guarded(file, [&](const fs::path& target) { return FindLine(target, accept, LineOneOnly::No); });
}

void SettleBatchFile(const fs::path& file) {
    Guarded(file, [&](const fs::path& target) {
        StoreRewrite op(target, StoreRewrite::Kind::KeepAll);
        SettleLateWriters(target, kSettleWait, op.Planner(), KeepingLateLines, op.Options());
        std::lock_guard<std::mutex> lock(g_carriedMutex);
        g_carried.insert(target.string());
    });
}

void SettleAllBatchFiles() {
    std::optional<BatchFileError> first;
    for (const auto& file : FilesWithLateWriters()) {
        try {
            SettleBatchFile(file);
        } catch (const BatchFileError& e) {
            if (!first)
                first = e;
        }
    }
    if (first)
        throw *first;
}

BatchText ReadBatchText(const fs::path& file) {
    return Guarded(file, [&](const fs::path& target) {
        CarryLeftoversOnce(target, RewriteOptions::Patience::NoWait);
        BatchText result;
        bool noLine = false;
        {
            RewriteReaderGuard reading;
            std::optional<ReadOnlyFile> queue = ReadOnlyFile::Open(target);
            if (!queue)
                return result;
            result.present = true;
            const std::int64_t size = queue->Size();
            const bool marked = StartsWithBom(queue->Read(0, static_cast<std::int64_t>(Utf8Bom.size())));
            const std::int64_t skip = marked ? static_cast<std::int64_t>(Utf8Bom.size()) : 0;
            std::string bytes = queue->Read(skip, size - skip);
            const std::size_t lastEnd = bytes.rfind('\n');
            const std::size_t complete = lastEnd == std::string::npos ? 0 : lastEnd + 1;
            noLine = bytes.empty();
            bytes.resize(complete);
            const FileIdentity id = queue->Identity();
            result.mark = {id.device, id.inode, complete == 0 ? 0 : skip + static_cast<std::int64_t>(complete),
                           journal::Identify(target, *queue)};
            if (FileTextIsUtf8() && bytes.find("\n\xEF\xBB\xBF") == std::string::npos)
                result.text = std::move(bytes); // one buffer: the view keeps it, not a copy
            else
                result.text = DecodeText((marked ? std::string(Utf8Bom) : std::string()) + bytes);
            bytes = std::string();
            const char* data = result.text.data();
            const std::size_t n = result.text.size();
            result.lineStarts.reserve(n / 128 + 1);
            for (std::size_t at = 0; at < n;) {
                result.lineStarts.push_back(at);
                const void* hit = std::memchr(data + at, '\n', n - at);
                at = hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - data) + 1 : n;
            }
            journal::NoteReaderMark(result.mark);
        }
        if (noLine)
            DeleteIfNoLine(target);
        return result;
    });
}

std::optional<std::size_t> CountBatchLines(const fs::path& file) {
    return Guarded(file, [&](const fs::path& target) -> std::optional<std::size_t> {
        CarryLeftoversOnce(target, RewriteOptions::Patience::NoWait);
        std::size_t lines = 0;
        bool noLine = false;
        {
            RewriteReaderGuard reading;
            std::optional<ReadOnlyFile> queue = ReadOnlyFile::Open(target);
            if (!queue)
                return std::nullopt;
            const std::uint64_t generation = journal::Identify(target, *queue);
            const std::int64_t size = queue->Size();
            // As a rewrite judges a version it reads (see BatchFileRewrite's Examine): no mark at
            // the start, a CR in front of every LF.
            const bool marked = StartsWithBom(queue->Read(0, static_cast<std::int64_t>(Utf8Bom.size())));
            noLine = size <= (marked ? static_cast<std::int64_t>(Utf8Bom.size()) : 0);
            bool clean = !marked;
            std::vector<char> buffer(std::size_t{1} << 20);
            std::int64_t offset = 0;
            std::int64_t end = 0;   // where the last complete line ends
            char before = '\n';     // an LF at the very start has no CR
            while (offset < size) {
                const std::size_t got = queue->ReadInto(
                    offset, buffer.data(), static_cast<std::size_t>(std::min<std::int64_t>(size - offset, buffer.size())));
                if (got == 0)
                    break;
                const char* data = buffer.data();
                for (std::size_t at = 0; at < got;) {
                    const void* hit = std::memchr(data + at, '\n', got - at);
                    if (!hit)
                        break;
                    const std::size_t lf = static_cast<std::size_t>(static_cast<const char*>(hit) - data);
                    clean = clean && (lf > 0 ? data[lf - 1] : before) == '\r';
                    ++lines;
                    at = lf + 1;
                    end = offset + static_cast<std::int64_t>(at);
                }
                before = data[got - 1];
                offset += static_cast<std::int64_t>(got);
            }
            if (clean && end > 0)
                journal::NoteClean(queue->Identity(), generation, end);
        }
        if (noLine)
            DeleteIfNoLine(target);
        return lines;
    });
}

std::optional<std::vector<std::string>> ReadBatchLinesAfter(const fs::path& file, BatchFileMark& mark) {
    return Guarded(file, [&](const fs::path& target) -> std::optional<std::vector<std::string>> {
        RewriteReaderGuard reading;
        std::optional<ReadOnlyFile> queue = ReadOnlyFile::Open(target);
        if (!queue) {
            if (mark.size < 0)
                return std::vector<std::string>();
            return std::nullopt;
        }
        const FileIdentity id = queue->Identity();
        if (mark.size < 0 || id.device != mark.device || id.inode != mark.inode ||
            journal::Identify(target, *queue) != mark.generation)
            return std::nullopt;
        const std::int64_t size = queue->Size();
        if (size < mark.size)
            return std::nullopt;
        std::string bytes = queue->Read(mark.size, size - mark.size);
        const std::size_t lastEnd = bytes.rfind('\n');
        if (lastEnd == std::string::npos)
            return std::vector<std::string>();
        std::vector<std::string> lines = SplitLines(DecodeText(std::string_view(bytes).substr(0, lastEnd + 1)));
        mark.size += static_cast<std::int64_t>(lastEnd + 1);
        journal::NoteReaderMark(mark);
        return lines;
    });
}

std::optional<std::vector<BatchFileEdit>> BatchFileEditsSince(const fs::path& file, const BatchFileMark& mark) {
    return Guarded(file, [&](const fs::path& target) {
        BatchFileMark current;
        RewriteReaderGuard reading;
        if (std::optional<ReadOnlyFile> queue = ReadOnlyFile::Open(target)) {
            const FileIdentity id = queue->Identity();
            current = {id.device, id.inode, queue->Size(), journal::Identify(target, *queue)};
        }
        return journal::EditsSince(target, mark, current);
    });
}

} // namespace ct
