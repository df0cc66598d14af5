#pragma once

// What the tests of the executable share: a copy of the program in a fresh folder, started
// without a display, with settings and a runtime folder of the test's own.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/json/SuperObject.h"
#include "support/TestSupport.h"

namespace ct::test {

namespace fs = std::filesystem;

inline std::string UploadLine(std::uint16_t port, const fs::path& local, const std::string& remote) {
    ISuperObject job = SO("{\"ftp\":{\"h\":\"127.0.0.1\",\"u\":\"user\",\"p\":\"secret\",\"t\":" +
                          std::to_string(port) + "}}");
    job->SetS("v", "put");
    job->SetS("f", local.string());
    job->SetS("d", remote);
    return job->AsJSon();
}

class Executable : public testing::Test {
protected:
    Executable() : m_dir("ct-exe"), m_config("ct-exe-config"), m_runtime("ct-exe-runtime") {
        m_program = m_dir / "cloudtransfer";
        fs::copy_file(CT_EXECUTABLE, m_program);
        fs::permissions(m_program, fs::perms::owner_all, fs::perm_options::add);
        chmod(m_runtime.Path().c_str(), 0700);
    }

    // No display at all, and no platform chosen for the program: it must find its own way.
    std::vector<std::string> Env() const {
        return {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=", "XDG_CONFIG_HOME=" + m_config.Path().string(),
                "XDG_RUNTIME_DIR=" + m_runtime.Path().string()};
    }
    // The window on purpose without a display: the caller chose the offscreen platform.
    std::vector<std::string> WindowEnv() const {
        std::vector<std::string> env = Env();
        env[2] = "QT_QPA_PLATFORM=offscreen";
        return env;
    }
    void StoreDelay(int seconds) {
        fs::create_directories(m_config / "cloudtransfer");
        WriteFileBytes(m_config / "cloudtransfer" / "config.ini",
                       "[Zentravo]\nsecdelay=" + std::to_string(seconds) + "\nBitsPerSec=0\n");
    }

    TempDir m_dir;
    TempDir m_config;
    TempDir m_runtime;
    fs::path m_program;
};

inline std::vector<std::string> QueueLines(const fs::path& file) {
    std::vector<std::string> lines;
    std::istringstream in(ReadFileBytes(file));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

} // namespace ct::test
