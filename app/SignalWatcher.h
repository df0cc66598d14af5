#pragma once

#include <functional>
#include <thread>

namespace ct {

// Turns the requests to end the process that come from outside (SIGTERM, SIGINT and SIGHUP;
// on Windows the console's close, logoff and shutdown events) into a call of the handler on
// a thread of its own. The signal handler itself only writes one byte to a pipe, which is
// all a handler may safely do; the thread reads it and calls the handler, which therefore
// runs even while the GUI thread is busy with an inline run. One watcher per process.
class SignalWatcher {
public:
    using Handler = std::function<void(int signalNumber)>;
    explicit SignalWatcher(Handler handler);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

private:
    void Watch();

    Handler m_handler;
    std::thread m_thread;
};

} // namespace ct
