#include "transfer/RunDisplay.h"

#include <utility>

#include "platform/thread/TThread.h"

namespace ct {

std::shared_ptr<RunDisplay> RunDisplay::Create(ILabelControl* labelFile, ILabelControl* labelSpeed,
                                               IProgressBarControl* bar, ITrayIconControl* tray) {
    return std::shared_ptr<RunDisplay>(new RunDisplay(labelFile, labelSpeed, bar, tray));
}

void RunDisplay::ShowFile(const std::string& caption, const std::string& trayHint, const std::string& balloonTitle,
                          const std::string& balloonText) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_state.fileCaption = caption;
    m_state.trayHint = trayHint;
    m_state.balloonTitle = balloonTitle;
    m_state.balloonText = balloonText;
    Mark(lock, kFile | kBalloon);
}

void RunDisplay::BeginWork(std::int32_t max) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_state.barMax = max;
    m_state.working = true;
    Mark(lock, kBarMax | kWorking);
}

void RunDisplay::Progress(const std::string& speed, std::int32_t position) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_state.barPosition = position;
    unsigned changed = kBarPosition;
    if (m_labelSpeed) {
        m_state.speed = speed;
        changed |= kSpeed;
    }
    Mark(lock, changed);
}

void RunDisplay::EndWork() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_state.barPosition = 0;
    m_state.working = false;
    Mark(lock, kBarPosition | kWorking);
}

void RunDisplay::Mark(std::unique_lock<std::mutex>& lock, unsigned changed) {
    m_changed |= changed;
    if (m_queued)
        return;
    m_queued = true;
    const std::uint64_t round = m_round;
    lock.unlock();
    IMainThreadDispatcher* dispatcher = MainThreadDispatcher();
    // The step holds the display, never the worker, which may be gone when it runs.
    auto step = [self = shared_from_this(), round] { self->Show(round); };
    if (dispatcher && !dispatcher->IsMainThread())
        dispatcher->Post(std::move(step));
    else
        step();
}

void RunDisplay::Show(std::uint64_t round) {
    State state;
    unsigned changed = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (round != m_round)
            return;
        changed = std::exchange(m_changed, 0u);
        IMainThreadDispatcher* dispatcher = MainThreadDispatcher();
        if (changed == 0 || !dispatcher) {
            m_queued = false;
        } else {
            // Still queued: what changes from now on waits for the next look.
            dispatcher->PostAfter(kSpacing, [self = shared_from_this(), round] { self->Show(round); });
        }
        state = m_state;
    }
    Apply(state, changed);
}

void RunDisplay::Settle() {
    State state;
    unsigned changed = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_round;
        m_queued = false;
        changed = std::exchange(m_changed, 0u);
        state = m_state;
    }
    Apply(state, changed);
}

void RunDisplay::Apply(const State& state, unsigned changed) {
    if ((changed & kFile) && m_labelFile)
        m_labelFile->SetCaption(state.fileCaption);
    if ((changed & kFile) && m_tray)
        m_tray->SetHint(state.trayHint);
    if ((changed & kBalloon) && m_tray)
        m_tray->ShowBalloonHint(state.balloonTitle, state.balloonText, TBalloonHintIcon::bitNone, 10);
    if (m_bar) {
        if (changed & kBarMax)
            m_bar->SetMax(state.barMax);
        if (changed & kBarPosition)
            m_bar->SetPosition(state.barPosition);
        if (changed & kWorking)
            state.working ? m_bar->Show() : m_bar->Hide();
    }
    if (m_labelSpeed) {
        if (changed & kSpeed)
            m_labelSpeed->SetCaption(state.speed);
        if (changed & kWorking)
            state.working ? m_labelSpeed->Show() : m_labelSpeed->Hide();
    }
}

} // namespace ct
