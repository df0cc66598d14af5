// An unattended start where the caller gives no runtime folder (a scheduled task, sudo): the
// run happens, nothing is printed, and nothing is left behind in the temp folder but the
// single-instance lock.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "platform/json/SuperObject.h"
#include "support/FtpServers.h"
#include "support/TestSupport.h"

namespace ct::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(QuietStart, WithoutARuntimeFolderTheRunPrintsNothingAndLeavesNothing) {
    PyFtpServer server;
    TempDir dir("ct-quiet");
    TempDir temp("ct-quiet-tmp");
    TempDir config("ct-quiet-config");
    const fs::path program = dir / "cloudtransfer";
    fs::copy_file(CT_EXECUTABLE, program);
    fs::permissions(program, fs::perms::owner_all, fs::perm_options::add);

    const fs::path local = dir / "one.bin";
    WriteFileBytes(local, MakePattern(5000));
    ISuperObject job = SO("{\"ftp\":{\"h\":\"127.0.0.1\",\"u\":\"user\",\"p\":\"secret\",\"t\":" +
                          std::to_string(server.Port()) + "}}");
    job->SetS("v", "put");
    job->SetS("f", local.string());
    job->SetS("d", "\\quiet\\one.bin");
    WriteFileBytes(dir / "cloud_batch.txt", job->AsJSon() + "\r\n");

    // stderr joins stdout, where the test reads; the shell is only there to redirect.
    ChildProcess run({"/bin/sh", "-c", "exec \"$0\" go 2>&1", program.string()},
                     {"XDG_RUNTIME_DIR=", "TMPDIR=" + temp.Path().string(), "DISPLAY=", "WAYLAND_DISPLAY=",
                      "QT_QPA_PLATFORM=", "XDG_CONFIG_HOME=" + config.Path().string()});
    std::string output;
    for (std::string line; !(line = run.ReadLine(60s)).empty();)
        output += line + "\n";
    EXPECT_EQ(run.Wait(60s), 0);
    EXPECT_EQ(output, "");
    EXPECT_EQ(ReadFileBytes(server.Root() / "quiet" / "one.bin"), MakePattern(5000));
    EXPECT_FALSE(fs::exists(dir / "cloud_batch.txt"));

    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(temp.Path()))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"TCloudTransferFrm-" + std::to_string(::geteuid())});
}

} // namespace
} // namespace ct::test
