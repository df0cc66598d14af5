#include "platform/instance/InstanceGuard.h"

#include <cerrno>
#include <cstdlib>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
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

// The temp folder is shared by every user: the user id in the name keeps one user's
// instance (or a stale file of theirs) from standing in for another user's.
fs::path TempGuardFile() {
    return TempFolder() / (std::string(GuardName) + "-" + std::to_string(::geteuid()));
}

// A folder of the user's own, for when the temp folder's name is held by someone else.
fs::path PrivateGuardFile() {
    fs::path base;
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache && cache[0] == '/') {
        base = cache;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = fs::path(home) / ".cache";
    } else if (const passwd* user = ::getpwuid(::geteuid()); user && user->pw_dir) {
        base = fs::path(user->pw_dir) / ".cache";
    } else {
        return {};
    }
    const fs::path dir = base / "cloudtransfer";
    std::error_code ec;
    fs::create_directories(dir, ec);
    ::chmod(dir.c_str(), 0700);
    return dir / GuardName;
}

// Opened read-only: flock() needs no write access. Owner-only, so that nobody else can open
// the file to hold its lock. O_NOFOLLOW: in a shared temp folder the name could be a planted
// link.
int OpenGuardFile(const fs::path& file) {
    return ::open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

// A file of another user's (created first under our name in a shared folder) is not our
// guard: whoever made it could hold its lock for ever.
bool IsOwnGuardFile(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
}

bool OpenFailedForTheFolder(int error) {
    return error == ENOENT || error == ENOTDIR || error == EACCES || error == EROFS || error == EPERM;
}

} // namespace

fs::path InstanceGuard::Location() {
    const fs::path runtime = RuntimeFolder();
    return runtime.empty() ? TempGuardFile() : runtime / GuardName;
}

std::unique_ptr<InstanceGuard> InstanceGuard::TryAcquire() {
    const bool inRuntime = !RuntimeFolder().empty();
    int fd = OpenGuardFile(Location());
    // A runtime folder that is gone or not ours to write (a stale XDG_RUNTIME_DIR in a
    // scheduled task) must not keep the program from ever running: the temp folder serves.
    bool inTemp = !inRuntime;
    if (fd < 0 && inRuntime && OpenFailedForTheFolder(errno)) {
        fd = OpenGuardFile(TempGuardFile());
        inTemp = true;
    }
    if (inTemp) {
        // Our name in the temp folder taken by another user: a planted link, a file we may
        // not open or one that is not ours. Every instance of ours sees the same, so they
        // all meet in the private folder instead.
        const bool taken = fd < 0 ? (errno == ELOOP || errno == EACCES || errno == EPERM) : !IsOwnGuardFile(fd);
        if (taken) {
            if (fd >= 0)
                ::close(fd);
            const fs::path privateFile = PrivateGuardFile();
            fd = privateFile.empty() ? -1 : OpenGuardFile(privateFile);
        }
    }
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
