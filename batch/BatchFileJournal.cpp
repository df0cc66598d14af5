#include "batch/BatchFileJournal.h"

#include <algorithm>
#include <deque>
#include <mutex>

namespace ct::batchjournal {

namespace fs = std::filesystem;

namespace {

// A version's first bytes tell it apart from another version that got the same file number:
// the head line changes with every rewrite.
constexpr std::size_t kPrefixBytes = 512;
constexpr std::size_t kMaxVersions = 64;
constexpr std::size_t kMaxEdits = 48;

struct Version {
    FileIdentity identity;
    std::uint64_t generation = 0;
    std::string prefix;
    std::int64_t cleanUpTo = 0;
    std::int64_t base = -1;        // the smallest mark anyone in this process holds or held
    std::uint64_t lastUse = 0;
};

struct Edit {
    std::string path;
    BatchFileEdit edit;
    bool appendOnly = false;
    std::vector<std::int64_t> starts;  // appendOnly: where each appended line begins
};

// The worker rewrites on its thread while the window reads on the GUI thread.
std::mutex g_mutex;
std::vector<Version> g_versions;
std::deque<Edit> g_edits;
std::uint64_t g_nextGeneration = 1;
std::uint64_t g_tick = 0;

Version* Find(const FileIdentity& identity, std::uint64_t generation) {
    for (auto& v : g_versions)
        if (v.identity == identity && v.generation == generation) {
            v.lastUse = ++g_tick;
            return &v;
        }
    return nullptr;
}

Version& Add(const FileIdentity& identity, std::string prefix) {
    // One entry per (device, inode): a newer version under the same number replaces it.
    g_versions.erase(std::remove_if(g_versions.begin(), g_versions.end(),
                                    [&](const Version& v) { return v.identity == identity; }),
                     g_versions.end());
    if (g_versions.size() >= kMaxVersions) {
        auto oldest = std::min_element(g_versions.begin(), g_versions.end(),
                                       [](const Version& a, const Version& b) { return a.lastUse < b.lastUse; });
        g_versions.erase(oldest);
    }
    Version v;
    v.identity = identity;
    v.generation = g_nextGeneration++;
    v.prefix = std::move(prefix);
    v.lastUse = ++g_tick;
    g_versions.push_back(std::move(v));
    return g_versions.back();
}

bool SameVersion(const BatchFileMark& a, const BatchFileMark& b) {
    if (a.size < 0 || b.size < 0)
        return a.size < 0 && b.size < 0;
    return a.device == b.device && a.inode == b.inode && a.generation == b.generation;
}

void Push(Edit edit) {
    g_edits.push_back(std::move(edit));
    while (g_edits.size() > kMaxEdits)
        g_edits.pop_front();
}

} // namespace

std::uint64_t Identify(const fs::path&, const ReadOnlyFile& file) {
    const std::string head = file.Read(0, kPrefixBytes);
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto& v : g_versions) {
        if (!(v.identity == file.Identity()))
            continue;
        const std::size_t common = std::min(v.prefix.size(), head.size());
        // Appends only ever add bytes: a version that was short when first seen may be longer now.
        if (v.prefix.size() <= head.size() && head.compare(0, common, v.prefix, 0, common) == 0) {
            v.prefix = head;
            v.lastUse = ++g_tick;
            return v.generation;
        }
        break;
    }
    return Add(file.Identity(), head).generation;
}

std::int64_t KnownCleanUpTo(const FileIdentity& identity, std::uint64_t generation) {
    std::lock_guard<std::mutex> lock(g_mutex);
    const Version* v = Find(identity, generation);
    return v ? v->cleanUpTo : 0;
}

void NoteClean(const FileIdentity& identity, std::uint64_t generation, std::int64_t cleanUpTo) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (Version* v = Find(identity, generation))
        v->cleanUpTo = std::max(v->cleanUpTo, cleanUpTo);
}

std::uint64_t NoteInstalled(const fs::path&, const FileIdentity& identity, const std::string& prefix,
                            std::int64_t completeEnd) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Version& v = Add(identity, prefix.substr(0, kPrefixBytes));
    v.cleanUpTo = completeEnd;
    v.base = completeEnd;
    return v.generation;
}

void NoteReaderMark(const BatchFileMark& mark) {
    if (mark.size < 0)
        return;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (Version* v = Find({mark.device, mark.inode}, mark.generation))
        v->base = v->base < 0 ? mark.size : std::min(v->base, mark.size);
}

std::int64_t AppendBase(const FileIdentity& identity, std::uint64_t generation) {
    std::lock_guard<std::mutex> lock(g_mutex);
    const Version* v = Find(identity, generation);
    return v ? v->base : -1;
}

void RecordAppend(const fs::path& path, const BatchFileMark& before, std::vector<AppendedLine> lines,
                  const BatchFileMark& after) {
    if (lines.empty())
        return;
    Edit e;
    e.path = path.string();
    e.appendOnly = true;
    e.edit.before = before;
    e.edit.after = after;
    for (auto& line : lines) {
        e.starts.push_back(line.start);
        e.edit.appended.push_back(std::move(line.text));
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    Push(std::move(e));
}

void RecordRewrite(const fs::path& path, BatchFileEdit edit) {
    Edit e;
    e.path = path.string();
    e.edit = std::move(edit);
    std::lock_guard<std::mutex> lock(g_mutex);
    Push(std::move(e));
}

std::optional<std::vector<BatchFileEdit>> EditsSince(const fs::path& path, const BatchFileMark& mark,
                                                     const BatchFileMark& current) {
    const std::string key = path.string();
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<BatchFileEdit> chain;
    BatchFileMark at = mark;
    for (std::size_t step = 0; step <= g_edits.size(); ++step) {
        if (SameVersion(at, current)) {
            if (at.size >= 0 && current.size >= 0 && at.size > current.size)
                return std::nullopt;
            return chain;
        }
        const Edit* next = nullptr;
        std::size_t firstLine = 0;
        for (const auto& e : g_edits) {
            if (e.path != key || !SameVersion(e.edit.before, at))
                continue;
            if (!e.appendOnly && e.edit.before.size == at.size) {
                next = &e;
                break;
            }
            if (e.appendOnly && e.edit.before.size <= at.size && at.size < e.edit.after.size) {
                auto it = std::find(e.starts.begin(), e.starts.end(), at.size);
                if (it != e.starts.end()) {
                    next = &e;
                    firstLine = static_cast<std::size_t>(it - e.starts.begin());
                    break;
                }
            }
        }
        if (!next)
            return std::nullopt;
        BatchFileEdit step_edit = next->edit;
        if (next->appendOnly) {
            step_edit.before = at;
            step_edit.appended.erase(step_edit.appended.begin(),
                                     step_edit.appended.begin() + static_cast<std::ptrdiff_t>(firstLine));
        }
        at = step_edit.after;
        chain.push_back(std::move(step_edit));
    }
    return std::nullopt;
}

} // namespace ct::batchjournal
