#pragma once

#include <filesystem>
#include <memory>

namespace ct {

// The named single-instance guard. Only the process that holds it may run; it is held until
// the object is destroyed or the process ends, whichever comes first.
//
// Windows: CreateMutexW(nullptr, TRUE, L"TCloudTransferFrm"); a null handle or a last-error
// code other than 0 means another instance (the test is for zero, not for
// ERROR_ALREADY_EXISTS). The name lives in the session's namespace: each logged-on session
// has its own.
//
// Elsewhere: an exclusive flock() on a file, "TCloudTransferFrm" in $XDG_RUNTIME_DIR (a folder
// of the user's own), or "TCloudTransferFrm-<uid>" in the shared temp folder when that is
// unset or empty, or when the runtime folder is missing or cannot take the file. Any process
// of the user's that holds that lock, ours or not, keeps a new instance from starting; other
// users' instances do not. The file is created owner-only and never followed through a link;
// when the temp folder's name is held by another user (a link, a file that is not ours),
// "cloudtransfer/TCloudTransferFrm" in $XDG_CACHE_HOME (~/.cache) serves instead. The
// descriptor is close-on-exec, so programs started from the instance do not keep the guard
// alive.
class InstanceGuard {
public:
    // The guard, or nullptr when another instance holds it or it cannot be had at all
    // (both end the start-up silently).
    static std::unique_ptr<InstanceGuard> TryAcquire();

    // Where the guard lives on this machine (the lock file; the mutex name on Windows).
    static std::filesystem::path Location();

    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

private:
    InstanceGuard() = default;
#ifdef _WIN32
    void* m_mutex = nullptr;
#else
    int m_fd = -1;
#endif
};

} // namespace ct
