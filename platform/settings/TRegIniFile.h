#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/error/CloudError.h"

class QSettings;

namespace ct {

class SettingsError : public CloudError {
public:
    using CloudError::CloudError;
};

// The per-user settings store opened under a name such as ".\config.ini". On Windows that
// name is a key below HKEY_CURRENT_USER in the registry; elsewhere it is an INI file of the
// same base name in the user's configuration folder, $XDG_CONFIG_HOME/cloudtransfer/
// (or ~/.config/cloudtransfer/). Each object is made for one read or one write and freed
// right after; nothing keeps the store open.
class TRegIniFile {
public:
    explicit TRegIniFile(const std::string& name);
    // Flushes what was written.
    ~TRegIniFile();
    TRegIniFile(const TRegIniFile&) = delete;
    TRegIniFile& operator=(const TRegIniFile&) = delete;

    // The stored integer, or defaultValue when the key holds no integer.
    std::int32_t ReadInteger(const std::string& section, const std::string& key,
                             std::int32_t defaultValue);
    // Stores the value, creating the section if needed. Raises SettingsError when the
    // store cannot be written.
    void WriteInteger(const std::string& section, const std::string& key, std::int32_t value);

    // Where the store lives: the INI file's path, or the registry key.
    std::string Location() const;
    // The location used for a name on this platform (also for tests).
    static std::string LocationFor(const std::string& name);

private:
    std::unique_ptr<QSettings> m_settings;
};

} // namespace ct
