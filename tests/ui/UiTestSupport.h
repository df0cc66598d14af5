#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QMessageBox>
#include <QSettings>
#include <QString>
#include <QTimer>

#include "platform/settings/TRegIniFile.h"
#include "support/TestSupport.h"
#include "transfer/AppGlobals.h"
#include "ui/UnitMain.h"

namespace ct::test {

// Every window test runs with a settings store of its own, a batch file in a folder of its
// own and the application-wide values as at start-up.
class UiFixtureBase {
public:
    UiFixtureBase() : m_config("ct-ui-config"), m_work("ct-ui-work") {
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(m_config.Path().string()));
        SecDelay = 0;
        BitsPerSecSetting = 0;
        InteractiveMode = true;
        ThreadCopia = nullptr;
    }
    ~UiFixtureBase() { qunsetenv("XDG_CONFIG_HOME"); }

    std::filesystem::path Batch() const { return m_work / "cloud_batch.txt"; }
    const std::filesystem::path& Work() const { return m_work.Path(); }
    std::filesystem::path ConfigFile() const { return m_config.Path() / "cloudtransfer" / "config.ini"; }

    // The options of a window on this fixture's batch file; the terminations it asks for
    // are counted instead of ending anything.
    TCloudTransferFrmOptions Options(int paramCount = 0) {
        TCloudTransferFrmOptions options;
        options.BatchFile = Batch();
        options.ParamCount = paramCount;
        options.Terminate = [this] { ++terminations; };
        options.PingProbe = [](const std::string&) { return true; };
        return options;
    }
    std::unique_ptr<TCloudTransferFrm> MakeForm(int paramCount = 0) { return CreateForm(Options(paramCount)); }

    void WriteBatch(const std::vector<std::string>& lines) {
        std::string bytes;
        for (const auto& line : lines)
            bytes += line + "\r\n";
        WriteFileBytes(Batch(), bytes);
    }
    std::string BatchBytes() const { return ReadFileBytes(Batch()); }

    // What the store holds right now ("" when the key is missing).
    QString Stored(const char* key) const {
        QSettings ini(QString::fromStdString(ConfigFile().string()), QSettings::IniFormat);
        return ini.value(QStringLiteral("Zentravo/") + QLatin1String(key)).toString();
    }
    void Store(const char* key, const QString& value) {
        QSettings ini(QString::fromStdString(ConfigFile().string()), QSettings::IniFormat);
        ini.setValue(QStringLiteral("Zentravo/") + QLatin1String(key), value);
    }

    int terminations = 0;

private:
    TempDir m_config;
    TempDir m_work;
};

// Closes the next modal box that opens (the code under test waits in it) and keeps its text.
class ModalCloser {
public:
    ModalCloser() {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                texts.push_back(box->text());
                names.push_back(box->objectName());
                box->done(QMessageBox::Ok);
            } else {
                modal->close();
            }
        });
        m_timer.start();
    }
    std::vector<QString> texts;
    std::vector<QString> names;

private:
    QTimer m_timer;
};

// Runs the event loop until the predicate holds or the time is up.
bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A job line for the test server.
std::string UploadLine(std::uint16_t port, const std::string& localFile, const std::string& remote);
std::string DownloadLine(std::uint16_t port, const std::string& remote, const std::string& localFile);

} // namespace ct::test
