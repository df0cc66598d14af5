#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread/Clock.h"
#include "transfer/StatusControls.h"

namespace ct::test {

// What the window's controls were asked to do, and on which thread.
class ControlLog {
public:
    void Add(const std::string& what) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(what);
        m_threads.push_back(std::this_thread::get_id());
    }
    std::vector<std::string> Events() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    std::vector<std::thread::id> Threads() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_threads;
    }
    // Events that begin with prefix, with the prefix cut off.
    std::vector<std::string> With(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& e : Events())
            if (e.rfind(prefix, 0) == 0)
                out.push_back(e.substr(prefix.size()));
        return out;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_events;
    std::vector<std::thread::id> m_threads;
};

class RecordingLabel : public ILabelControl {
public:
    explicit RecordingLabel(ControlLog& log, std::string name) : m_log(log), m_name(std::move(name)) {}
    void SetCaption(const std::string& text) override { m_log.Add(m_name + ".caption " + text); }
    void Show() override { m_log.Add(m_name + ".show"); }
    void Hide() override { m_log.Add(m_name + ".hide"); }
    void Repaint() override { m_log.Add(m_name + ".repaint"); }

private:
    ControlLog& m_log;
    std::string m_name;
};

class RecordingProgressBar : public IProgressBarControl {
public:
    explicit RecordingProgressBar(ControlLog& log) : m_log(log) {}
    void SetMax(std::int32_t max) override { m_log.Add("bar.max " + std::to_string(max)); }
    void SetPosition(std::int32_t position) override { m_log.Add("bar.pos " + std::to_string(position)); }
    void Show() override { m_log.Add("bar.show"); }
    void Hide() override { m_log.Add("bar.hide"); }
    void Repaint() override { m_log.Add("bar.repaint"); }

private:
    ControlLog& m_log;
};

class RecordingTray : public ITrayIconControl {
public:
    explicit RecordingTray(ControlLog& log) : m_log(log) {}
    void SetHint(const std::string& text) override {
        m_log.Add("tray.hint " + text);
        if (OnHint)
            OnHint();
    }
    bool ShowBalloonHint(const std::string& title, const std::string& text, TBalloonHintIcon icon,
                         int timeoutSeconds) override {
        m_log.Add("tray.balloon " + title + "|" + text + "|" + std::to_string(static_cast<int>(icon)) + "|" +
                  std::to_string(timeoutSeconds));
        return false;
    }
    std::function<void()> OnHint;  // runs on the GUI thread, inside the announcement

private:
    ControlLog& m_log;
};

// The window's queue view as the reload step sees it: keeps what the batch file held at
// every reload, and lets a test act at that moment (append a line, ask for a stop).
class RecordingQueueView : public IQueueListView {
public:
    explicit RecordingQueueView(std::filesystem::path batchFile) : m_batchFile(std::move(batchFile)) {}
    void LoadBatchList() override;

    std::vector<std::vector<std::string>> Snapshots() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_snapshots;
    }
    std::vector<std::chrono::steady_clock::time_point> Times() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_times;
    }
    std::size_t Reloads() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_snapshots.size();
    }
    std::function<void(std::size_t reload)> OnReload;
    // Where Times() come from; the system's steady clock when null.
    IClock* Clock = nullptr;

private:
    std::filesystem::path m_batchFile;
    mutable std::mutex m_mutex;
    std::vector<std::vector<std::string>> m_snapshots;
    std::vector<std::chrono::steady_clock::time_point> m_times;
};

} // namespace ct::test
