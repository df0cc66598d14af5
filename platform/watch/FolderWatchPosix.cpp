#ifndef _WIN32

#include "platform/watch/FolderWatch.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/inotify.h>
#endif

namespace ct::watch {

namespace {

namespace fs = std::filesystem;

void CloseQuietly(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// The folder is watched through inotify; the stop signal is a pipe whose read end joins the
// same poll(), left readable once written so that every later wait ends at once.
class PosixFolderWatch final : public FolderWatch {
public:
    PosixFolderWatch() {
        if (::pipe(m_stop) != 0)
            throw std::system_error(errno, std::generic_category(), "queue watch: no pipe for the stop signal");
        for (int fd : m_stop) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
    }
    ~PosixFolderWatch() override {
        Cancel();
        CloseQuietly(m_stop[0]);
        CloseQuietly(m_stop[1]);
    }

    bool Start(const fs::path& queueFile) override {
#ifdef __linux__
        Cancel();
        m_name = queueFile.filename().native();
        const fs::path folder = queueFile.has_parent_path() ? queueFile.parent_path() : fs::path(".");
        m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_inotify < 0)
            return false;
        // Events of a file unlinked while open are wanted (no IN_EXCL_UNLINK): a producer that
        // still appends to a version we replaced is heard under the queue's name.
        constexpr std::uint32_t kMask = IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE |
                                        IN_DELETE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
        m_folder = ::inotify_add_watch(m_inotify, folder.c_str(), kMask);
        if (m_folder < 0) {
            Cancel();
            return false;
        }
        return true;
#else
        (void)queueFile;
        return false;
#endif
    }

    void Cancel() override {
        CloseQuietly(m_inotify);
        m_folder = -1;
    }

    bool Active() const override { return m_inotify >= 0; }

    Heard Await(std::chrono::milliseconds time) override {
        pollfd fds[2] = {{m_stop[0], POLLIN, 0}, {m_inotify, POLLIN, 0}};
        const nfds_t count = Active() ? 2 : 1;
        const int ready = ::poll(fds, count, static_cast<int>(time.count()));
        if (ready < 0)
            return errno == EINTR || !Active() ? Heard::Nothing : Heard::Lost;
        if (fds[0].revents != 0)
            return Heard::Stop;
        if (count == 2 && fds[1].revents != 0)
            return Drain();
        return Heard::Nothing;
    }

    void Signal() override {
        const char byte = 1;
        // A full pipe is as good: the signal is set either way.
        [[maybe_unused]] const ssize_t written = ::write(m_stop[1], &byte, 1);
    }

private:
    Heard Drain() {
#ifdef __linux__
        // Room for many events with long names; inotify never splits one across reads.
        alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
        bool queue = false;
        bool lost = false;
        for (;;) {
            const ssize_t got = ::read(m_inotify, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && errno == EAGAIN)
                break;
            if (got <= 0) {
                lost = true;
                break;
            }
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if (event->mask & IN_Q_OVERFLOW)
                    queue = true; // events were dropped: any of them may have been ours
                else if (event->wd != m_folder)
                    continue;
                else if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))
                    lost = true;
                else if (event->len > 0 && m_name == event->name)
                    queue = true;
            }
        }
        if (lost)
            return Heard::Lost;
        return queue ? Heard::Queue : Heard::Nothing;
#else
        return Heard::Nothing;
#endif
    }

    int m_stop[2] = {-1, -1};
    int m_inotify = -1;
    int m_folder = -1;
    std::string m_name;
};

std::int64_t Nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

} // namespace

std::unique_ptr<FolderWatch> FolderWatch::Create() {
    return std::make_unique<PosixFolderWatch>();
}

FileState ReadFileState(const fs::path& file) {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0)
        return {};
    FileState state;
    state.exists = true;
    state.device = static_cast<std::uint64_t>(status.st_dev);
    state.identity = static_cast<std::uint64_t>(status.st_ino);
    state.size = static_cast<std::int64_t>(status.st_size);
#ifdef __APPLE__
    state.modified = Nanoseconds(status.st_mtimespec);
    state.changed = Nanoseconds(status.st_ctimespec);
#else
    state.modified = Nanoseconds(status.st_mtim);
    state.changed = Nanoseconds(status.st_ctim);
#endif
    return state;
}

} // namespace ct::watch

#endif // _WIN32
