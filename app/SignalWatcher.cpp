#include "app/SignalWatcher.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

#include "platform/error/CloudError.h"

namespace ct {

#ifdef _WIN32

namespace {

SignalWatcher::Handler* g_handler = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
    // The system calls this on a thread of its own already.
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        (*g_handler)(2);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        (*g_handler)(15);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

SignalWatcher::SignalWatcher(Handler handler) : m_handler(std::move(handler)) {
    g_handler = &m_handler;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

SignalWatcher::~SignalWatcher() {
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    g_handler = nullptr;
}

void SignalWatcher::Watch() {}

#else

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kSignalCount = static_cast<int>(sizeof kSignals / sizeof kSignals[0]);

int g_pipe[2] = {-1, -1};
struct sigaction g_previous[kSignalCount];
bool g_installed[kSignalCount] = {};

extern "C" void OnSignal(int signalNumber) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a request; nothing is lost by dropping this one.
    [[maybe_unused]] const ssize_t written = write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

SignalWatcher::SignalWatcher(Handler handler) : m_handler(std::move(handler)) {
    if (pipe2(g_pipe, O_CLOEXEC) != 0)
        throw CloudError(std::string("cannot create the signal pipe: ") + std::strerror(errno));
    fcntl(g_pipe[1], F_SETFL, fcntl(g_pipe[1], F_GETFL) | O_NONBLOCK);
    m_thread = std::thread([this] { Watch(); });

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < kSignalCount; ++i) {
        struct sigaction current {};
        sigaction(kSignals[i], nullptr, &current);
        // A signal ignored by whoever started us stays ignored (nohup, a background job).
        if (current.sa_handler == SIG_IGN)
            continue;
        g_installed[i] = sigaction(kSignals[i], &action, &g_previous[i]) == 0;
    }
}

SignalWatcher::~SignalWatcher() {
    for (int i = 0; i < kSignalCount; ++i) {
        if (g_installed[i])
            sigaction(kSignals[i], &g_previous[i], nullptr);
        g_installed[i] = false;
    }
    const unsigned char stop = 0;
    [[maybe_unused]] const ssize_t written = write(g_pipe[1], &stop, 1);
    if (m_thread.joinable())
        m_thread.join();
    close(g_pipe[0]);
    close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void SignalWatcher::Watch() {
    for (;;) {
        unsigned char byte = 0;
        const ssize_t got = read(g_pipe[0], &byte, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || byte == 0)
            return;
        try {
            m_handler(byte);
        } catch (...) {
            // The request could not be passed on; the next one may be.
        }
    }
}

#endif

} // namespace ct
