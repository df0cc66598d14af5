// The executable itself: an unattended pass over a queue beside a copy of the program, on a
// machine without a display, and the single-instance guard between two real processes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/json/SuperObject.h"
#include "support/FtpServers.h"
#include "support/TestSupport.h"

namespace ct::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string UploadLine(std::uint16_t port, const fs::path& local, const std::string& remote) {
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

TEST_F(Executable, UnattendedRunProcessesTheQueueAndExits) {
    PyFtpServer server;
    std::string queue;
    const char* remotes[] = {"\\e2e\\one.txt", "\\e2e\\deep\\two.txt", "\\e2e\\deep\\er\\three.txt"};
    for (int i = 0; i < 3; ++i) {
        const fs::path local = m_dir / ("f" + std::to_string(i) + ".txt");
        WriteFileBytes(local, MakePattern(10000 + static_cast<std::size_t>(i), static_cast<std::uint32_t>(i)));
        queue += UploadLine(server.Port(), local, remotes[i]) + "\r\n";
    }
    WriteFileBytes(m_dir / "cloud_batch.txt", queue);
    StoreDelay(1);  // the run lasts a couple of seconds: time for a second start

    ChildProcess first({m_program.string(), "go"}, Env());
    // Once the first instance has logged in, it surely holds the guard.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (server.Logins() == 0 && first.Running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ASSERT_GE(server.Logins(), 1);

    const auto started = std::chrono::steady_clock::now();
    ChildProcess second({m_program.string()}, Env());
    EXPECT_EQ(second.Wait(30s), 0);
    // It ended by itself while the first still works (the first needs two pauses of 1 s).
    EXPECT_TRUE(first.Running() || std::chrono::steady_clock::now() - started < 30s);

    EXPECT_EQ(first.Wait(120s), 0);
    EXPECT_EQ(ReadFileBytes(server.Root() / "e2e" / "one.txt"), MakePattern(10000, 0));
    EXPECT_EQ(ReadFileBytes(server.Root() / "e2e" / "deep" / "two.txt"), MakePattern(10001, 1));
    EXPECT_EQ(ReadFileBytes(server.Root() / "e2e" / "deep" / "er" / "three.txt"), MakePattern(10002, 2));
    EXPECT_FALSE(fs::exists(m_dir / "cloud_batch.txt"));
    EXPECT_EQ(server.Logins(), 1);  // the second instance never ran a job
}

TEST_F(Executable, UnattendedWithoutAQueueEndsAtOnce) {
    ChildProcess run({m_program.string(), "x", "y"}, Env());
    EXPECT_EQ(run.Wait(60s), 0);
    EXPECT_FALSE(fs::exists(m_dir / "cloud_batch.txt"));
}

TEST_F(Executable, UnattendedWithAnEmptyQueueDeletesItAndEnds) {
    WriteFileBytes(m_dir / "cloud_batch.txt", "");
    ChildProcess run({m_program.string(), "go"}, Env());
    EXPECT_EQ(run.Wait(60s), 0);
    EXPECT_FALSE(fs::exists(m_dir / "cloud_batch.txt"));
}

TEST_F(Executable, ADisplayThatIsNotThereFallsBackToOffscreen) {
    // DISPLAY names a server that does not exist: no crash, the run still happens.
    auto env = Env();
    env[0] = "DISPLAY=:93";
    ChildProcess run({m_program.string(), "go"}, env);
    EXPECT_EQ(run.Wait(60s), 0);
}

TEST_F(Executable, ASecondInstanceWaitsForNothing) {
    // The first instance sits in its window (offscreen) until it is killed.
    ChildProcess first({m_program.string()}, Env());
    std::this_thread::sleep_for(200ms);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!fs::exists(m_runtime / "TCloudTransferFrm") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(first.Running());
    ChildProcess second({m_program.string(), "go"}, Env());
    EXPECT_EQ(second.Wait(30s), 0);
    EXPECT_TRUE(first.Running());
    first.Kill();
    first.Wait(10s);
    // Once the first has gone, a new start runs normally (and ends: nothing queued).
    ChildProcess third({m_program.string(), "go"}, Env());
    EXPECT_EQ(third.Wait(60s), 0);
}

} // namespace
} // namespace ct::test
