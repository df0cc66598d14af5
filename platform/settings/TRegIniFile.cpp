#include "platform/settings/TRegIniFile.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QString>

namespace ct {

namespace {

QString Key(const std::string& section, const std::string& key) {
    return QString::fromStdString(section) + QLatin1Char('/') + QString::fromStdString(key);
}

#ifndef _WIN32
QString ConfigFolder() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/cloudtransfer");
}
#endif

} // namespace

std::string TRegIniFile::LocationFor(const std::string& name) {
#ifdef _WIN32
    return "HKEY_CURRENT_USER\\" + name;
#else
    // ".\config.ini" names a file relative to "here"; the user's configuration folder is
    // the per-user "here" on platforms without a registry.
    QString file = QString::fromStdString(name);
    file.replace(QLatin1Char('\\'), QLatin1Char('/'));
    file = QFileInfo(file).fileName();
    if (file.isEmpty())
        file = QStringLiteral("config.ini");
    return (ConfigFolder() + QLatin1Char('/') + file).toStdString();
#endif
}

TRegIniFile::TRegIniFile(const std::string& name) {
#ifdef _WIN32
    m_settings = std::make_unique<QSettings>(QString::fromStdString(LocationFor(name)), QSettings::NativeFormat);
#else
    m_settings = std::make_unique<QSettings>(QString::fromStdString(LocationFor(name)), QSettings::IniFormat);
#endif
}

TRegIniFile::~TRegIniFile() {
    m_settings->sync();
}

std::string TRegIniFile::Location() const {
    return m_settings->fileName().toStdString();
}

std::int32_t TRegIniFile::ReadInteger(const std::string& section, const std::string& key,
                                      std::int32_t defaultValue) {
    const QVariant value = m_settings->value(Key(section, key));
    if (!value.isValid())
        return defaultValue;
    bool ok = false;
    const qlonglong number = value.toString().trimmed().toLongLong(&ok);
    if (!ok)
        return defaultValue;
    // Like the registry's 32-bit values: a larger number keeps its low 32 bits.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<qulonglong>(number)));
}

void TRegIniFile::WriteInteger(const std::string& section, const std::string& key, std::int32_t value) {
    m_settings->setValue(Key(section, key), QString::number(value));
    m_settings->sync();
    if (m_settings->status() != QSettings::NoError)
        throw SettingsError("the settings could not be written to " + Location());
}

} // namespace ct
