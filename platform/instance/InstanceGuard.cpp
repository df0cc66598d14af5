#include "platform/instance/InstanceGuard.h"

#include <cerrno>
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

namespace {

fs::path TempFolder() {
    std::error_code ec;
    fs::path dir = fs::temp_directory_path(ec);
    return ec ? fs::path("/tmp") : dir;
}

fs::path RuntimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime && *runtime ? fs::path(runtime) : fs::path();
}

// Opened read-only: flock() needs no write access, so a lock file that another user left in
// a shared temp folder still serves everyone instead of locking them out for good.
int OpenGuardFile(const fs::path& file) {
    // O_NOFOLLOW: in a shared temp folder the name could be a planted link.
    return ::open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
}

} // namespace

fs::path InstanceGuard::Location() {
    const fs::path runtime = RuntimeFolder();
    return (runtime.empty() ? TempFolder() : runtime) / GuardName;
}

std::unique_ptr<InstanceGuard> InstanceGuard::TryAcquire() {
    int fd = OpenGuardFile(Location());
    // A runtime folder that is gone or not ours to write (a stale XDG_RUNTIME_DIR in a
    // scheduled task) must not keep the program from ever running: the temp folder serves.
    if (fd < 0 && !RuntimeFolder().empty() &&
        (errno == ENOENT || errno == ENOTDIR || errno == EACCES || errno == EROFS || errno == EPERM))
        fd = OpenGuardFile(TempFolder() / GuardName);
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
