// The producers' tool, run as producers run it.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/fs/GuardedRewrite.h"
#include "support/TestSupport.h"

namespace ct {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::WriteFileBytes;

struct ToolRun {
    int exit = -1;
    std::string err;
};

class EnqueueTest : public ::testing::Test {
protected:
    void SetUp() override { WriteFileBytes(m_dir / "a.txt", "payload"); }

    std::string Upload(const std::string& name = "a.txt") const {
        return R"({"ftp":{"h":"127.0.0.1","t":2121,"u":"u","p":"p"},"v":"put","f":")" + (m_dir / name).string() +
               R"(","d":"/in/"})";
    }
    // Lines through standard input; `args` go in front of them, as they are.
    ToolRun Enqueue(const std::string& stdinText, const std::string& args = {}, const std::string& env = {}) const {
        WriteFileBytes(m_dir / "in", stdinText);
        const std::string command = env + " '" + std::string(CT_ENQUEUE) + "' --queue '" + Queue().string() + "' " +
                                    args + " < '" + (m_dir / "in").string() + "' 2> '" + (m_dir / "err").string() + "'";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFileBytes(m_dir / "err")};
    }
    fs::path Queue() const { return m_dir / "cloud_batch.txt"; }

    test::TempDir m_dir{"ct-enqueue"};
};

struct RefusedLine {
    const char* name;
    std::string line;
    const char* why;  // a piece of the message
};

class EnqueueRefusedTest : public EnqueueTest, public ::testing::WithParamInterface<RefusedLine> {};

TEST_P(EnqueueRefusedTest, ExitsTwoNamingTheLineAndAppendsNothing) {
    const ToolRun run = Enqueue(GetParam().line + "\n");
    EXPECT_EQ(run.exit, 2);
    EXPECT_NE(run.err.find("line 1: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(GetParam().why), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(Queue()));
}

const std::string kFtp = R"("ftp":{"h":"127.0.0.1")";
INSTANTIATE_TEST_SUITE_P(
    Rules, EnqueueRefusedTest,
    ::testing::Values(
        RefusedLine{"NotJson", "put /tmp/a.txt", "JSON"},
        RefusedLine{"NoFtp", R"({"f":"/etc/hostname","v":"put"})", "\"ftp\""},
        RefusedLine{"EmptyHost", R"({"ftp":{"h":""},"v":"get","f":"/tmp/x","d":"/x"})", "host"},
        RefusedLine{"PortBeyond", "{" + kFtp + R"(,"t":65536},"v":"get","f":"/tmp/x"})", "port"},
        RefusedLine{"UnknownSecurity", "{" + kFtp + R"(,"s":"ssl"},"v":"get","f":"/tmp/x"})", "security"},
        RefusedLine{"PinWithoutTls",
                    "{" + kFtp + R"(,"fp":"sha256:)" + std::string(64, 'a') + R"("},"v":"get","f":"/tmp/x"})", "TLS"},
        RefusedLine{"EmptyLocalFile", "{" + kFtp + R"(},"v":"get","f":"","d":"/x"})", "\"f\""},
        RefusedLine{"UploadOfMissingFile", "{" + kFtp + R"(},"v":"put","f":"/nonexistent/ct-none.txt"})", "regular file"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EnqueueTest, OneRefusedLineKeepsTheGoodOnesOut) {
    WriteFileBytes(Queue(), "old\r\n");
    const ToolRun run = Enqueue(Upload() + "\n{\"ftp\":{}}\n" + Upload() + "\n");
    EXPECT_EQ(run.exit, 2);
    EXPECT_NE(run.err.find("line 2: "), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("line 1: "), std::string::npos) << run.err;
    EXPECT_EQ(ReadFileBytes(Queue()), "old\r\n");
}

TEST_F(EnqueueTest, AppendsWithTheQueuesCrLfAndCreatesItOwnerOnly) {
    ASSERT_EQ(Enqueue(Upload() + "\r\n").exit, 0);
    struct stat st {};
    ASSERT_EQ(::stat(Queue().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(Enqueue(Upload() + "\n" + Upload() + "\n").exit, 0);
    EXPECT_EQ(ReadFileBytes(Queue()), Upload() + "\r\n" + Upload() + "\r\n" + Upload() + "\r\n");
}

TEST_F(EnqueueTest, PutsTheLinesBeforeAnUnfinishedLastLine) {
    WriteFileBytes(Queue(), "first\r\n{\"ftp\":{\"h\":\"half");
    ASSERT_EQ(Enqueue(Upload() + "\n").exit, 0);
    EXPECT_EQ(ReadFileBytes(Queue()), "first\r\n" + Upload() + "\r\n{\"ftp\":{\"h\":\"half");
}

TEST_F(EnqueueTest, AppendsToTheTargetOfALinkedQueue) {
    fs::create_directory(m_dir / "elsewhere");
    WriteFileBytes(m_dir / "elsewhere" / "q.txt", "old\r\n");
    fs::create_symlink(m_dir / "elsewhere" / "q.txt", Queue());
    ASSERT_EQ(Enqueue(Upload() + "\n").exit, 0);
    EXPECT_TRUE(fs::is_symlink(Queue()));
    EXPECT_EQ(ReadFileBytes(m_dir / "elsewhere" / "q.txt"), "old\r\n" + Upload() + "\r\n");
}

TEST_F(EnqueueTest, CheckListsEveryRefusedLineAndChangesNothing) {
    const std::string queue = Upload() + "\r\nnope\r\n\r\n" + Upload("missing.txt") + "\r\n";
    WriteFileBytes(Queue(), queue);
    const ToolRun run = Enqueue("", "--check");
    EXPECT_EQ(run.exit, 2);
    EXPECT_NE(run.err.find("line 2: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("line 4: "), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("line 1: "), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("line 3: "), std::string::npos) << run.err;
    EXPECT_EQ(ReadFileBytes(Queue()), queue);
    WriteFileBytes(Queue(), Upload() + "\r\n");
    EXPECT_EQ(Enqueue("", "--check").exit, 0);
}

TEST_F(EnqueueTest, ExitsOneWhenTheLockStaysTaken) {
    WriteFileBytes(Queue(), "old\r\n");
    RewriteLock held(Queue(), std::chrono::milliseconds(1000));
    const ToolRun run = Enqueue(Upload() + "\n", {}, "CLOUDTRANSFER_LOCK_WAIT_MS=300");
    EXPECT_EQ(run.exit, 1);
    EXPECT_NE(run.err.find("locked"), std::string::npos) << run.err;
    EXPECT_EQ(ReadFileBytes(Queue()), "old\r\n");
}

} // namespace
} // namespace ct
