#include "platform/instance/InstanceGuard.h"

#include <cstdlib>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace ct {

namespace fs = std::filesystem;

namespace {
constexpr const char* GuardName = "TCloudTransferFrm";
}

#ifdef _WIN32

fs::path InstanceGuard::Location() {
    return fs::path(GuardName);
}

std::unique_ptr<InstanceGuard> InstanceGuard::TryAcquire() {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, L"TCloudTransferFrm");
    if (mutex == nullptr)
        return nullptr;
    if (GetLastError() != 0)
        return nullptr; // the handle stays open until the process ends, as for any later instance
    std::unique_ptr<InstanceGuard> guard(new InstanceGuard);
    guard->m_mutex = mutex;
    return guard;
}

InstanceGuard::~InstanceGuard() {
    if (m_mutex)
        CloseHandle(static_cast<HANDLE>(m_mutex));
}

#else

fs::path InstanceGuard::Location() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    fs::path dir;
    if (runtime && *runtime) {
        dir = runtime;
    } else {
        std::error_code ec;
        dir = fs::temp_directory_path(ec);
        if (ec)
            dir = "/tmp";
    }
    return dir / GuardName;
}

std::unique_ptr<InstanceGuard> InstanceGuard::TryAcquire() {
    // O_NOFOLLOW: in a shared temp folder the name could be a planted link.
    int fd = ::open(Location().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return nullptr;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<InstanceGuard> guard(new InstanceGuard);
    guard->m_fd = fd;
    return guard;
}

InstanceGuard::~InstanceGuard() {
    if (m_fd >= 0)
        ::close(m_fd);
}

#endif

} // namespace ct
