#include "transfer/PartialDownloads.h"

#include <algorithm>
#include <cstdint>
#include <system_error>

#include "platform/fs/FileSystem.h"
#include "platform/fs/SafeFile.h"
#include "platform/fs/TempFile.h"
#include "platform/json/SuperObject.h"

namespace ct {

namespace fs = std::filesystem;

namespace {

std::string Utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

fs::path FromUtf8(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

std::vector<std::string> SplitLines(const std::string& bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        std::size_t stop = end;
        if (stop > start && bytes[stop - 1] == '\r')
            --stop;
        if (stop > start)
            lines.push_back(bytes.substr(start, stop - start));
        start = end + 1;
    }
    return lines;
}

// A journal names a few files at a time; anything near this bound is not one of ours.
constexpr std::uint64_t kMaxJournalBytes = 1024 * 1024;

// Read without following a link and without blocking on anything but a regular file.
std::string ReadJournal(const fs::path& file) {
    FileResult<std::string> bytes = ReadRegularFile(file, kMaxJournalBytes);
    if (bytes.Is(FileFault::NotFound) || bytes.Is(FileFault::NotRegular))
        return {};
    return std::move(bytes).OrThrow();
}

} // namespace

PartialDownloadJournal::PartialDownloadJournal(fs::path file) : m_file(std::move(file)) {}

fs::path PartialDownloadJournal::PathFor(const fs::path& batchFile) {
    return batchFile.parent_path() / "cloud_transfer.parts";
}

std::vector<std::string> PartialDownloadJournal::Entries() const {
    return SplitLines(ReadJournal(m_file));
}

void PartialDownloadJournal::Keep(const std::vector<std::string>& entries) {
    if (entries.empty()) {
        DeleteFileQuietly(m_file);
        return;
    }
    std::string bytes;
    for (const auto& entry : entries)
        bytes += entry + "\n";
    WriteFileDurably(m_file, bytes, ReplaceMode::ReplaceExisting, 0600u).OrThrow();
}

PartialRecord PartialDownloadJournal::Read(const std::string& entry) {
    PartialRecord record;
    if (entry.empty() || entry.front() != '{') {
        record.part = FromUtf8(entry);
        return record;
    }
    try {
        const ISuperObject line = SO(entry);
        record.part = FromUtf8(line->S("part"));
        record.key = line->S("key");
        record.remoteSize = line->Has("size") ? line->I("size") : -1;
        if (line->Has("time"))
            record.remoteTime = line->I("time");
    } catch (const JsonError&) {
    }
    return record;
}

void PartialDownloadJournal::RemoveLeftovers(const std::function<bool(const PartialRecord&)>& stillWanted) noexcept {
    try {
        std::vector<std::string> left;
        for (const auto& entry : Entries()) {
            const PartialRecord record = Read(entry);
            const fs::path& part = record.part;
            // An upload's record names no file: it stays while its job does.
            if (part.empty() && !record.key.empty() && stillWanted(record))
                left.push_back(entry);
            if (!IsTempFileName(part))
                continue;
            std::error_code ec;
            const auto status = fs::symlink_status(part, ec);
            if (ec || !fs::exists(status))
                continue;
            if (!record.key.empty() && record.remoteSize > 0 && fs::is_regular_file(status) && stillWanted(record)) {
                left.push_back(entry);
                continue;
            }
            // remove() never follows a link: a link planted at the name goes, its target stays.
            if (fs::is_directory(status) || !fs::remove(part, ec))
                left.push_back(entry);
        }
        Keep(left);
    } catch (...) {
    }
}

void PartialDownloadJournal::Record(const fs::path& part) {
    // On disk before the file is created: the name must outlive whatever the file outlives.
    AppendOwnerOnly(m_file, Utf8(part) + "\n").OrThrow();
}

void PartialDownloadJournal::Record(const PartialRecord& record) {
    const ISuperObject line = SO("{}");
    line->SetS("part", Utf8(record.part));
    line->SetS("key", record.key);
    line->SetS("size", std::to_string(record.remoteSize));
    if (record.remoteTime)
        line->SetS("time", std::to_string(*record.remoteTime));
    AppendOwnerOnly(m_file, line->AsJSon() + "\n").OrThrow();
}

std::optional<PartialRecord> PartialDownloadJournal::Find(const std::string& key) const {
    std::optional<PartialRecord> found;
    for (const auto& entry : Entries()) {
        PartialRecord record = Read(entry);
        if (!key.empty() && record.key == key)
            found = std::move(record);
    }
    return found;
}

void PartialDownloadJournal::ForgetKey(const std::string& key) noexcept {
    try {
        std::vector<std::string> entries = Entries();
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [&](const std::string& entry) { return Read(entry).key == key; }),
                      entries.end());
        Keep(entries);
    } catch (...) {
    }
}

void PartialDownloadJournal::Forget(const fs::path& part) noexcept {
    try {
        std::vector<std::string> entries = Entries();
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [&](const std::string& entry) { return Read(entry).part == part; }),
                      entries.end());
        Keep(entries);
    } catch (...) {
    }
}

} // namespace ct
