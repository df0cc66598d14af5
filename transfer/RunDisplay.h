#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "transfer/StatusControls.h"

namespace ct {

// What a threaded run shows: the file label, the tray's text and balloon, the bar and the speed
// label. The worker writes each change here without waiting for the GUI thread. A change made
// while nothing is on screen for a while is shown at once; after that the GUI thread shows the
// newest state at most every kSpacing, however many jobs end in between. A run of a thousand
// small jobs a second then wakes the GUI thread a few dozen times instead of several times per
// job, and nobody can read faster than that anyway. Changes undone before they were shown are
// not replayed: a bar shown and hidden again in between is not shown at all.
class RunDisplay : public std::enable_shared_from_this<RunDisplay> {
public:
    // The controls are not owned; each may be null.
    static std::shared_ptr<RunDisplay> Create(ILabelControl* labelFile, ILabelControl* labelSpeed,
                                              IProgressBarControl* bar, ITrayIconControl* tray);

    // A job's file: the label's caption, the tray's hint, and a balloon.
    void ShowFile(const std::string& caption, const std::string& trayHint, const std::string& balloonTitle,
                  const std::string& balloonText);
    void BeginWork(std::int32_t max);
    void Progress(const std::string& speed, std::int32_t position);
    void EndWork();
    // On the GUI thread: shows what is still pending now, and nothing after. The run's end calls
    // it before the window shows how the run ended, which a late step must not overwrite.
    void Settle();

    static constexpr std::chrono::milliseconds kSpacing{30};

private:
    RunDisplay(ILabelControl* labelFile, ILabelControl* labelSpeed, IProgressBarControl* bar, ITrayIconControl* tray)
        : m_labelFile(labelFile), m_labelSpeed(labelSpeed), m_bar(bar), m_tray(tray) {}

    struct State {
        std::string fileCaption;
        std::string trayHint;
        std::string balloonTitle;
        std::string balloonText;
        std::int32_t barMax = 0;
        std::int32_t barPosition = 0;
        bool working = false;   // the bar and the speed label are shown
        std::string speed;
    };
    // What changed since the GUI thread last showed the state.
    enum Changed : unsigned {
        kFile = 1,
        kBalloon = 2,
        kBarMax = 4,
        kBarPosition = 8,
        kWorking = 16,
        kSpeed = 32,
    };

    // Under m_mutex: marks what changed and queues the step unless one is queued already.
    void Mark(std::unique_lock<std::mutex>& lock, unsigned changed);
    // The GUI thread's step: shows what changed, then looks again after kSpacing.
    void Show(std::uint64_t round);
    // Applies what changed to the controls; on the GUI thread, without the lock.
    void Apply(const State& state, unsigned changed);

    ILabelControl* m_labelFile;
    ILabelControl* m_labelSpeed;
    IProgressBarControl* m_bar;
    ITrayIconControl* m_tray;
    std::mutex m_mutex;
    State m_state;
    unsigned m_changed = 0;
    bool m_queued = false;
    std::uint64_t m_round = 0;   // a step of an earlier round (before Settle) does nothing
};

} // namespace ct
