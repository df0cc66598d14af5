#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ui/QueueSource.h"

namespace ct::test {

// A queue file in memory that answers as the store promises to: producers append to the
// same file (same inode, larger size), this process's rewrites install a new file and are
// journalled, anything else (another program's rewrite, a deletion) leaves no journal to
// follow. Counts how the reader asked.
class FakeQueueSource : public IQueueSource {
public:
    explicit FakeQueueSource(std::vector<std::string> lines = {}) : lines(std::move(lines)) {}

    std::vector<std::string> lines;
    bool present = true;
    // Off: a source that cannot name its versions (marks of size -1, no incremental answers).
    bool namesVersions = true;
    int fullReads = 0;

    BatchFileMark Mark() const {
        if (!present)
            return {};
        return {1, m_inode, Size()};
    }

    // A producer's appends: the same file grows.
    void Append(const std::vector<std::string>& added) {
        if (!present) {
            present = true;
            ++m_inode;
        }
        lines.insert(lines.end(), added.begin(), added.end());
    }

    // One of this process's rewrites: the listed lines (ascending) go, `added` follow the rest.
    void Rewrite(const std::vector<std::size_t>& removed, const std::vector<std::string>& added) {
        BatchFileEdit edit;
        edit.before = Mark();
        edit.removed = removed;
        edit.appended = added;
        for (auto it = removed.rbegin(); it != removed.rend(); ++it)
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(*it));
        lines.insert(lines.end(), added.begin(), added.end());
        ++m_inode;
        edit.after = Mark();
        m_journal.push_back(edit);
    }
    void RemoveHead() { Rewrite({0}, {}); }
    void MoveToTail(std::size_t index, const std::string& replacement) { Rewrite({index}, {replacement}); }

    // Another program replaces the file: nothing leads there from an older version.
    void ForeignRewrite(std::vector<std::string> newLines) {
        lines = std::move(newLines);
        present = true;
        ++m_inode;
        m_journal.clear();
    }
    void Delete() {
        present = false;
        lines.clear();
        m_journal.clear();
    }

    BatchText ReadText() override {
        ++fullReads;
        BatchText text;
        text.present = present;
        if (!present)
            return text;
        for (const auto& line : lines) {
            text.lineStarts.push_back(text.text.size());
            text.text += line + "\r\n";
        }
        text.mark = namesVersions ? Mark() : BatchFileMark{};
        if (lines.empty())
            Delete();   // as the store deletes a file that holds no line
        return text;
    }

    std::optional<std::vector<std::string>> LinesAfter(BatchFileMark& mark) override {
        if (!namesVersions || !present || mark.inode != m_inode || mark.size < 0 || mark.size > Size())
            return std::nullopt;
        std::int64_t offset = 0;
        std::size_t first = 0;
        while (first < lines.size() && offset < mark.size)
            offset += static_cast<std::int64_t>(lines[first++].size()) + 2;
        if (offset != mark.size)
            return std::nullopt;   // not a line boundary: not a version this file had
        mark = Mark();
        return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(first), lines.end());
    }

    std::optional<std::vector<BatchFileEdit>> EditsSince(const BatchFileMark& mark) override {
        if (!namesVersions)
            return std::nullopt;
        if (mark == Mark())
            return std::vector<BatchFileEdit>{};
        for (std::size_t i = 0; i < m_journal.size(); ++i) {
            if (!(m_journal[i].before == mark))
                continue;
            std::vector<BatchFileEdit> chain;
            BatchFileMark at = mark;
            for (std::size_t j = i; j < m_journal.size() && m_journal[j].before == at; ++j) {
                chain.push_back(m_journal[j]);
                at = m_journal[j].after;
            }
            // The chain may end at a version that producers have appended to since.
            if (at.inode == m_inode && at.size <= Size())
                return chain;
        }
        return std::nullopt;
    }

private:
    std::int64_t Size() const {
        std::int64_t size = 0;
        for (const auto& line : lines)
            size += static_cast<std::int64_t>(line.size()) + 2;
        return size;
    }

    std::uint64_t m_inode = 1;
    std::vector<BatchFileEdit> m_journal;
};

} // namespace ct::test
