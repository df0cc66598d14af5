#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace ct {

// The process's runtime folder ($XDG_RUNTIME_DIR), for the GUI toolkit's sockets and caches.
// A scheduled task, a service or a sudo run often has none, or one that is gone; Qt then warns
// on stderr and falls back to a fixed name in the shared temp folder. Provide() gives the
// process a private folder of its own instead (mode 0700, a name nobody can predict, in the
// temp folder), for as long as the returned object lives: its destruction removes the folder
// with whatever was put in it and restores the variable. Call it before the application
// object exists and destroy the result after it has gone.
//
// Nothing is provided (nullptr) when the variable already names a folder of this user's with
// mode 0700, or on Windows, which has no such variable.
class ProcessRuntimeFolder {
public:
    static std::unique_ptr<ProcessRuntimeFolder> Provide();

    const std::filesystem::path& Path() const { return m_path; }

    ~ProcessRuntimeFolder();
    ProcessRuntimeFolder(const ProcessRuntimeFolder&) = delete;
    ProcessRuntimeFolder& operator=(const ProcessRuntimeFolder&) = delete;

private:
    ProcessRuntimeFolder() = default;
    std::filesystem::path m_path;
    std::optional<std::string> m_previous;
};

} // namespace ct
