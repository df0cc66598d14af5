#include "platform/instance/RuntimeFolder.h"

#include <cstdlib>
#include <system_error>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ct {

namespace fs = std::filesystem;

#ifdef _WIN32

std::unique_ptr<ProcessRuntimeFolder> ProcessRuntimeFolder::Provide() {
    return nullptr;
}

ProcessRuntimeFolder::~ProcessRuntimeFolder() = default;

#else

namespace {

constexpr const char* Variable = "XDG_RUNTIME_DIR";

// What the toolkit accepts without a word: a folder owned by us that nobody else may enter.
bool Serves(const char* value) {
    if (!value || !*value)
        return false;
    struct stat st {};
    return ::stat(value, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 07777) == 0700;
}

} // namespace

std::unique_ptr<ProcessRuntimeFolder> ProcessRuntimeFolder::Provide() {
    const char* current = std::getenv(Variable);
    if (Serves(current))
        return nullptr;
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec)
        base = "/tmp";
    // mkdtemp makes the folder 0700 with a fresh name, so nothing planted in the shared
    // temp folder can stand in for it.
    std::string pattern = (base / "cloudtransfer-runtime-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        return nullptr;
    std::unique_ptr<ProcessRuntimeFolder> folder(new ProcessRuntimeFolder);
    folder->m_path = pattern;
    if (current)
        folder->m_previous = current;
    ::setenv(Variable, pattern.c_str(), 1);
    return folder;
}

ProcessRuntimeFolder::~ProcessRuntimeFolder() {
    if (m_previous)
        ::setenv(Variable, m_previous->c_str(), 1);
    else
        ::unsetenv(Variable);
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

#endif

} // namespace ct
