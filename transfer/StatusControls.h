#pragma once

#include <cstdint>
#include <string>

#include "platform/notify/BalloonHintIcon.h"

namespace ct {

// The window's controls as the worker's reporting steps see them. The window implements
// them over its Qt widgets; core tests implement them with recorders. All calls are made
// on the GUI thread. Texts are UTF-8.

class ILabelControl {
public:
    virtual ~ILabelControl() = default;
    virtual void SetCaption(const std::string& text) = 0;
    virtual void Show() = 0;
    virtual void Hide() = 0;
    virtual void Repaint() = 0;
};

class IProgressBarControl {
public:
    virtual ~IProgressBarControl() = default;
    virtual void SetMax(std::int32_t max) = 0;
    virtual void SetPosition(std::int32_t position) = 0;
    virtual void Show() = 0;
    virtual void Hide() = 0;
    virtual void Repaint() = 0;
};

class ITrayIconControl {
public:
    virtual ~ITrayIconControl() = default;
    // Text may hold two lines separated by CR LF.
    virtual void SetHint(const std::string& text) = 0;
    virtual bool ShowBalloonHint(const std::string& title, const std::string& text,
                                 TBalloonHintIcon icon, int timeoutSeconds) = 0;
};

// The one way back from the worker to the window: reload the queue view.
class IQueueListView {
public:
    virtual ~IQueueListView() = default;
    virtual void LoadBatchList() = 0;
    // The window is on screen: an unattended run's view is then followed like a window's.
    // Callable from the worker's thread.
    virtual bool QueueViewShown() const { return false; }
};

} // namespace ct
