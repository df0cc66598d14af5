#include "transfer/OutcomeLog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "WorkerTestSupport.h"
#include "support/FileFaults.h"

namespace ct::test {
namespace {

namespace fs = std::filesystem;

OutcomeEntry Entry(const std::string& reason) {
    OutcomeEntry entry;
    entry.outcome = "failed";
    entry.direction = "put";
    entry.localFile = "/data/a b.txt";
    entry.host = "127.0.0.1:21";
    entry.remotePath = "/in/a b.txt";
    entry.bytes = 1234;
    entry.seconds = 0.5;
    entry.reason = reason;
    return entry;
}

class OutcomeLogTest : public ::testing::Test {
protected:
    TempDir dir{"ct-log"};
    fs::path file = dir / "cloud_transfer.log";
};

TEST_F(OutcomeLogTest, RotatesAtTheLimitKeepingOneOldFileBothOwnerOnly) {
    OutcomeLog log(file, 1000);
    for (int i = 0; i < 40; ++i)
        log.Write(Entry("line " + std::to_string(i)));
    const fs::path old = dir / "cloud_transfer.log.1";
    ASSERT_TRUE(fs::exists(old));
    EXPECT_LE(fs::file_size(file), 1000u);
    EXPECT_LE(fs::file_size(old), 1000u);
    const auto recent = ReadLines(file);
    const auto older = ReadLines(old);
    ASSERT_FALSE(recent.empty());
    ASSERT_FALSE(older.empty());
    EXPECT_NE(recent.back().find("\tline 39"), std::string::npos);
    const int lastOld = std::stoi(older.back().substr(older.back().rfind(' ') + 1));
    const int firstNew = std::stoi(recent.front().substr(recent.front().rfind(' ') + 1));
    EXPECT_EQ(lastOld + 1, firstNew) << "nothing lost at the turn";
    for (const auto& f : {file, old}) {
        struct stat st{};
        ASSERT_EQ(::stat(f.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
    }
}

TEST_F(OutcomeLogTest, FieldsNeverCarryTheSecretNorBreakTheColumns) {
    OutcomeEntry entry = Entry("530 user s3cr3t\r\nrefused\tnow");
    entry.localFile = "/data/s3cr3t.txt";
    const std::string line = OutcomeLog::FormatLine(entry, "s3cr3t");
    EXPECT_EQ(line.find("s3cr3t"), std::string::npos) << line;
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 8);
    EXPECT_NE(line.find("\tfailed\tput\t/data/***.txt\t127.0.0.1:21\t/in/a b.txt\t1234\t0.50\t530 user ***  refused now"),
              std::string::npos)
        << line;
}

TEST_F(OutcomeLogTest, EchoesOnStandardErrorWhenAsked) {
    OutcomeLog log(file);
    log.echoToStandardError = true;
    ::testing::internal::CaptureStderr();
    log.Write(Entry("seen"));
    const std::string echoed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(echoed, ReadFileBytes(file));
}

// The log is a record: a log that cannot be written must neither raise nor block.
TEST_F(OutcomeLogTest, ALogThatCannotBeWrittenIsSkipped) {
    fs::create_directories(file);
    OutcomeLog(file).Write(Entry("x"));
    fs::remove(file);
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    OutcomeLog(file).Write(Entry("x"));
    EXPECT_TRUE(fs::is_fifo(file));
}

// A full disk in the middle of a line: the log keeps no half line, the caller and standard error
// learn why, and the next line goes in once there is room.
TEST_F(OutcomeLogTest, AFullDiskLeavesTheLogAsItWasAndSaysWhy) {
    OutcomeLog log(file);
    log.Write(Entry("first"));
    const std::string before = ReadFileBytes(file);
    FileFaults faults(file.filename().string());
    faults.ShortWrite(1, 7).Fail(FileStep::Write, 2, ENOSPC);
    ::testing::internal::CaptureStderr();
    const std::optional<FileFailure> failure = log.Write(Entry("second"));
    const std::string told = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->fault, FileFault::NoSpace);
    EXPECT_EQ(ReadFileBytes(file), before);
    EXPECT_NE(told.find(std::strerror(ENOSPC)), std::string::npos) << told;
    EXPECT_FALSE(log.Write(Entry("third")).has_value());
    const auto lines = ReadLines(file);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("\tthird"), std::string::npos);
}

} // namespace
} // namespace ct::test
