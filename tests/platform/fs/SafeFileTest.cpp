#include "platform/fs/SafeFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "support/FileFaults.h"
#include "support/TestSupport.h"

namespace ct {
namespace {

namespace fs = std::filesystem;
using test::FileFaults;
using test::NamesIn;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

unsigned ModeOf(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(::lstat(file.c_str(), &st), 0) << file;
    return st.st_mode & 07777;
}

class SafeFileTest : public ::testing::Test {
protected:
    TempDir dir{"ct-safefile"};
    fs::path file = dir / "f.txt";
};

TEST_F(SafeFileTest, AppendCreatesOwnerOnlyAndKeepsWhatIsThereALineOfItsOwn) {
    const mode_t old = ::umask(0);
    ASSERT_TRUE(AppendOwnerOnly(file, "a"));
    ::umask(old);
    EXPECT_EQ(ModeOf(file), 0600u);
    AppendOptions lines;
    lines.unterminatedPrefix = "\r\n";
    ASSERT_TRUE(AppendOwnerOnly(file, "b\r\n", lines));
    ASSERT_TRUE(AppendOwnerOnly(file, "c\r\n", lines));
    EXPECT_EQ(ReadFileBytes(file), "a\r\nb\r\nc\r\n");
}

// What may stand at a name this program writes or reads, and what comes of it.
struct Intruder {
    const char* name;
    FileFault expected;
    void (*plant)(const fs::path& at, const fs::path& victim);
};

class SafeFileIntruderTest : public SafeFileTest, public ::testing::WithParamInterface<Intruder> {
protected:
    fs::path victim = dir / "victim";
};

TEST_P(SafeFileIntruderTest, IsRefusedWithoutWaitingAndLeftAsItWas) {
    WriteFileBytes(victim, "precious");
    GetParam().plant(file, victim);
    const FileResult<void> appended = AppendOwnerOnly(file, "job line\n");
    EXPECT_TRUE(appended.Is(GetParam().expected)) << (appended ? "appended" : appended.Failure().message);
    const FileResult<std::string> read = ReadRegularFile(file, 1000);
    EXPECT_TRUE(read.Is(GetParam().expected)) << (read ? *read : read.Failure().message);
    EXPECT_EQ(ReadFileBytes(victim), "precious");
    EXPECT_NE(fs::symlink_status(file).type(), fs::file_type::regular) << "nothing took its place";
}

INSTANTIATE_TEST_SUITE_P(
    AtTheName, SafeFileIntruderTest,
    ::testing::Values(
        Intruder{"LinkToAFile", FileFault::Link, [](const fs::path& at, const fs::path& victim) { fs::create_symlink(victim, at); }},
        Intruder{"DanglingLink", FileFault::Link,
                 [](const fs::path& at, const fs::path& victim) { fs::create_symlink(victim.string() + ".none", at); }},
        Intruder{"Fifo", FileFault::NotRegular, [](const fs::path& at, const fs::path&) { ::mkfifo(at.c_str(), 0600); }},
        Intruder{"Folder", FileFault::NotRegular, [](const fs::path& at, const fs::path&) { fs::create_directory(at); }}),
    [](const auto& info) { return std::string(info.param.name); });

// The edges of the bound, in the manner of 9, 10 and 11 bytes against a limit of 10.
class ReadBoundTest : public SafeFileTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(ReadBoundTest, ReadsUpToTheBoundAndRefusesOneByteMore) {
    const std::string bytes(GetParam(), 'x');
    WriteFileBytes(file, bytes);
    const FileResult<std::string> read = ReadRegularFile(file, 10);
    if (GetParam() <= 10)
        EXPECT_EQ(*read, bytes);
    else
        EXPECT_TRUE(read.Is(FileFault::TooLarge));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReadBoundTest, ::testing::Values(0u, 9u, 10u, 11u));

// Without a sync before the rename, a power cut on XFS (or ext4 with noauto_da_alloc) can
// keep the rename and lose the data: the target is then empty.
TEST_F(SafeFileTest, DurableWriteSyncsTheDataThenRenamesThenSyncsTheFolder) {
    WriteFileBytes(file, "old");
    FileFaults faults;
    ASSERT_TRUE(WriteFileDurably(file, "new"));
    const auto trace = faults.Trace();
    ASSERT_EQ(trace.size(), 4u) << faults.TraceText();
    EXPECT_EQ(trace[0].step, FileStep::Write);
    EXPECT_EQ(trace[1].step, FileStep::Sync);
    EXPECT_EQ(trace[1].file, trace[0].file);
    EXPECT_EQ(trace[2].step, FileStep::Rename);
    EXPECT_EQ(trace[2].file, file);
    EXPECT_EQ(trace[3].step, FileStep::SyncFolder);
    EXPECT_EQ(trace[3].file, dir.Path());
}

// A full disk, a failing device, a write that comes back short: whatever fails, the file holds
// what it held and the failure says why.
struct DiskFault {
    const char* name;
    FileStep step;
    int error;
    std::size_t shortWrite; // > 0: the first write puts only this many bytes, the next one fails
    FileFault expected;
};

class SafeFileFaultTest : public SafeFileTest, public ::testing::WithParamInterface<DiskFault> {
protected:
    void Inject(FileFaults& faults) const {
        const DiskFault& f = GetParam();
        if (f.shortWrite > 0)
            faults.ShortWrite(1, f.shortWrite).Fail(FileStep::Write, 2, f.error);
        else
            faults.Fail(f.step, 1, f.error);
    }
    void ExpectSaysWhy(const FileFailure& failure) const {
        EXPECT_EQ(failure.fault, GetParam().expected);
        EXPECT_NE(failure.message.find(std::strerror(GetParam().error)), std::string::npos) << failure.message;
        EXPECT_NE(failure.message.find(dir.Path().string()), std::string::npos) << failure.message;
    }
};

TEST_P(SafeFileFaultTest, AnAppendLeavesTheFileAsItWas) {
    WriteFileBytes(file, "old line\n");
    FileFaults faults;
    Inject(faults);
    const FileResult<void> appended = AppendOwnerOnly(file, "a new line that does not fit\n");
    ASSERT_FALSE(appended);
    ExpectSaysWhy(appended.Failure());
    EXPECT_EQ(ReadFileBytes(file), "old line\n");
}

TEST_P(SafeFileFaultTest, AnAppendThatWouldCreateTheFileLeavesNone) {
    FileFaults faults;
    Inject(faults);
    ASSERT_FALSE(AppendOwnerOnly(file, "a new line that does not fit\n"));
    EXPECT_EQ(NamesIn(dir.Path()), std::vector<std::string>{});
}

TEST_P(SafeFileFaultTest, ADurableWriteLeavesTheTargetAsItWasAndNoTemporaryFile) {
    WriteFileBytes(file, "old");
    FileFaults faults;
    Inject(faults);
    const FileResult<bool> written = WriteFileDurably(file, "new content");
    ASSERT_FALSE(written);
    ExpectSaysWhy(written.Failure());
    EXPECT_EQ(ReadFileBytes(file), "old");
    EXPECT_EQ(NamesIn(dir.Path()), std::vector<std::string>{"f.txt"});
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SafeFileFaultTest,
    ::testing::Values(DiskFault{"FullDiskOnWrite", FileStep::Write, ENOSPC, 0, FileFault::NoSpace},
                      DiskFault{"ShortWriteThenFullDisk", FileStep::Write, ENOSPC, 5, FileFault::NoSpace},
                      DiskFault{"DeviceErrorOnSync", FileStep::Sync, EIO, 0, FileFault::IoError},
                      DiskFault{"FullDiskOnSync", FileStep::Sync, ENOSPC, 0, FileFault::NoSpace}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace ct
