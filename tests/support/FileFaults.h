#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/fs/SafeFile.h"

namespace ct {

// Readable steps in a failed expectation.
inline void PrintTo(FileStep step, std::ostream* out) {
    static const char* const names[] = {"write", "sync", "rename", "syncfolder"};
    *out << names[static_cast<int>(step)];
}

namespace test {

// A full disk, a failing device or a short write on cue, and the order of the steps that
// reached the disk (in the manner of KeePassXC's FailDevice). Installed for the object's life
// over the safe-file seam; only steps on paths that contain `only` count.
class FileFaults {
public:
    struct Event {
        FileStep step;
        std::filesystem::path file;
    };

    explicit FileFaults(std::string only = {}) : m_only(std::move(only)) {
        m_previous = SetFileStepHook([this](FileStep step, const std::filesystem::path& file, std::size_t) {
            return Decide(step, file);
        });
    }
    ~FileFaults() { SetFileStepHook(std::move(m_previous)); }
    FileFaults(const FileFaults&) = delete;
    FileFaults& operator=(const FileFaults&) = delete;

    // The nth step of that kind from now (1: the next one) fails with errno `error`.
    FileFaults& Fail(FileStep step, int nth, int error) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_rules[{step, nth}].error = error;
        return *this;
    }
    // The nth write from now writes only `bytes` bytes.
    FileFaults& ShortWrite(int nth, std::size_t bytes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_rules[{FileStep::Write, nth}].writeOnly = bytes;
        return *this;
    }

    std::vector<Event> Trace() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_trace;
    }
    // "sync a.tmp, rename a, syncfolder d": file names only.
    std::string TraceText() const {
        std::string text;
        for (const Event& e : Trace()) {
            std::ostringstream step;
            PrintTo(e.step, &step);
            text += (text.empty() ? "" : ", ") + step.str() + " " + e.file.filename().string();
        }
        return text;
    }

private:
    FileStepOutcome Decide(FileStep step, const std::filesystem::path& file) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_only.empty() && file.string().find(m_only) == std::string::npos)
            return {};
        m_trace.push_back({step, file});
        const int nth = ++m_seen[step];
        const auto rule = m_rules.find({step, nth});
        return rule == m_rules.end() ? FileStepOutcome{} : rule->second;
    }

    std::string m_only;
    FileStepHook m_previous;
    mutable std::mutex m_mutex;
    std::map<std::pair<FileStep, int>, FileStepOutcome> m_rules;
    std::map<FileStep, int> m_seen;
    std::vector<Event> m_trace;
};

} // namespace test
} // namespace ct
