#include "platform/sftp/SftpClient.h"

#include <fstream>

#include <nlohmann/json.hpp>

#include "SftpTestHelpers.h"
#include "transfer/AppGlobals.h"
#include "transfer/TThreadCopia.h"

namespace ct::test {
namespace {

namespace fs = std::filesystem;

// A whole worker run over SFTP job lines, with the worker's own client factory: the job line's
// "s":"sftp" reaches the SFTP client, and the folder walk, the upload, the partial download and
// the missing remote file end as they do with FTP.
TEST(SftpWorker, RunsSftpJobLinesLikeFtpOnes) {
    if (!SshdServer::Available())
        GTEST_SKIP() << "sshd, root or the SFTP test user missing (scripts/setup makes them)";
    SshdServer server;
    ASSERT_TRUE(server.Started()) << server.StartupError();
    TempDir dir("ct-sftp-worker");
    WriteFileBytes(dir / "up.txt", "through the worker");
    auto line = [&](const std::string& v, const fs::path& f, const std::string& d) {
        nlohmann::ordered_json job;
        job["ftp"] = {{"h", "127.0.0.1"}, {"u", SftpTestUser},           {"p", SftpTestPassword},
                      {"t", server.Port()}, {"s", "sftp"}, {"fp", server.Fingerprint("ed25519")}};
        job["v"] = v;
        job["f"] = f.string();
        job["d"] = d;
        job["b"] = "base";
        return job.dump() + "\r\n";
    };
    const fs::path batch = dir / "cloud_batch.txt";
    std::ofstream(batch, std::ios::binary) << line("put", dir / "up.txt", "\\a\\b\\up.txt")
                                           << line("get", dir / "in" / "down.txt", "\\a\\b\\up.txt")
                                           << line("get", dir / "in" / "none.txt", "\\a\\none.txt");
    SecDelay = 0;
    InteractiveMode = false;
    TThreadCopia worker;
    worker.BatchFile = batch;
    worker.PingProbe = [](const std::string&) { return false; };
    worker.Execute();

    EXPECT_FALSE(fs::exists(batch)) << ReadFileIfAny(batch);
    EXPECT_EQ(ReadFileBytes(server.Files() / "base/a/b/up.txt"), "through the worker");
    EXPECT_EQ(ReadFileBytes(dir / "in" / "down.txt"), "through the worker");
    EXPECT_EQ(NamesIn(dir / "in"), std::vector<std::string>{"down.txt"});
}

} // namespace
} // namespace ct::test
