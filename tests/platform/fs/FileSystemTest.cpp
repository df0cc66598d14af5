#include "platform/fs/FileSystem.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "support/TestSupport.h"

namespace ct {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

TEST(ExecutableDirTest, IsTheFolderOfTheRunningProgramNotTheCurrentDirectory) {
    TempDir elsewhere{"ct-cwd"};
    const fs::path before = fs::current_path();
    fs::current_path(elsewhere.Path());
    const fs::path dir = ExecutableDir();
    fs::current_path(before);
    EXPECT_EQ(dir, fs::canonical("/proc/self/exe").parent_path());
}

class FileSystemTest : public ::testing::Test {
protected:
    TempDir dir{"ct-fs"};
};

TEST_F(FileSystemTest, ExistenceOfFilesFoldersAndDanglingLinks) {
    WriteFileBytes(dir / "f", "x");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    EXPECT_TRUE(FileExists(dir / "f"));
    EXPECT_TRUE(FileExists(dir.Path()));
    EXPECT_FALSE(FileExists(dir / "missing"));
    EXPECT_FALSE(FileExists(dir / "dangling"));
}

TEST_F(FileSystemTest, DeleteIgnoresFailuresAndNeverRemovesAFolder) {
    WriteFileBytes(dir / "f", "x");
    DeleteFileQuietly(dir / "f");
    EXPECT_FALSE(fs::exists(dir / "f"));
    EXPECT_NO_THROW(DeleteFileQuietly(dir / "f"));
    fs::create_directory(dir / "sub");
    DeleteFileQuietly(dir / "sub");
    EXPECT_TRUE(fs::is_directory(dir / "sub"));
}

TEST_F(FileSystemTest, CreateDirectoriesMakesMissingParentsAndReportsFailure) {
    EXPECT_TRUE(CreateDirectories(dir / "a" / "b" / "c"));
    EXPECT_TRUE(fs::is_directory(dir / "a" / "b" / "c"));
    EXPECT_TRUE(CreateDirectories(dir / "a")); // already there
    WriteFileBytes(dir / "file", "x");
    EXPECT_FALSE(CreateDirectories(dir / "file" / "sub"));
    EXPECT_FALSE(CreateDirectories(dir / "file"));
}

TEST_F(FileSystemTest, ReadFileIfExists) {
    EXPECT_FALSE(ReadFileIfExists(dir / "missing").has_value());
    const std::string bytes = test::MakePattern(200000, 7);
    WriteFileBytes(dir / "f", bytes);
    EXPECT_EQ(ReadFileIfExists(dir / "f"), bytes);
    EXPECT_THROW(ReadFileIfExists(dir.Path()), FileSystemError); // a folder is no text file
}

TEST_F(FileSystemTest, ReplaceWritesTheNewContentAndLeavesNoTemporaryFile) {
    const fs::path target = dir / "q.txt";
    WriteFileBytes(target, "old");
    EXPECT_TRUE(ReplaceFileAtomically(target, "new content"));
    EXPECT_EQ(ReadFileBytes(target), "new content");
    EXPECT_TRUE(ReplaceFileAtomically(target, ""));
    EXPECT_EQ(ReadFileBytes(target), "");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

TEST_F(FileSystemTest, ReplaceOnlyIfAbsentNeverOverwrites) {
    const fs::path target = dir / "q.txt";
    EXPECT_TRUE(ReplaceFileAtomically(target, "first", ReplaceMode::OnlyIfAbsent));
    EXPECT_FALSE(ReplaceFileAtomically(target, "second", ReplaceMode::OnlyIfAbsent));
    EXPECT_EQ(ReadFileBytes(target), "first");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

TEST_F(FileSystemTest, ReplaceSetsThePermissionsGiven) {
    const fs::path target = dir / "q.txt";
    ReplaceFileAtomically(target, "x", ReplaceMode::ReplaceExisting, 0640u);
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(FileSystemTest, ReplaceIntoAMissingFolderFailsVisibly) {
    EXPECT_THROW(ReplaceFileAtomically(dir / "no" / "q.txt", "x"), FileSystemError);
}

TEST_F(FileSystemTest, ReplaceOverAFolderFailsAndRemovesItsTemporaryFile) {
    fs::create_directory(dir / "q.txt");
    EXPECT_THROW(ReplaceFileAtomically(dir / "q.txt", "x"), FileSystemError);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

TEST_F(FileSystemTest, ReplaceRemovesStaleTemporaryFilesOfTheSameTargetOnly) {
    const fs::path target = dir / "q.txt";
    WriteFileBytes(dir / "q.txt.rewrite-4242-0.tmp", "half");
    WriteFileBytes(dir / "other.txt.rewrite-4242-0.tmp", "not ours");
    WriteFileBytes(dir / "q.txt.rewrite-.tmp", "no unique part");
    ReplaceFileAtomically(target, "x");
    EXPECT_FALSE(fs::exists(dir / "q.txt.rewrite-4242-0.tmp"));
    EXPECT_TRUE(fs::exists(dir / "other.txt.rewrite-4242-0.tmp"));
    EXPECT_TRUE(fs::exists(dir / "q.txt.rewrite-.tmp"));
}

TEST(RewriteTempNameTest, Pattern) {
    const fs::path t = "/d/cloud_batch.txt";
    EXPECT_TRUE(IsRewriteTempFor(t, "/d/cloud_batch.txt.rewrite-12-0.tmp"));
    EXPECT_FALSE(IsRewriteTempFor(t, "/d/cloud_batch.txt.lock"));
    EXPECT_FALSE(IsRewriteTempFor(t, "/d/cloud_batch.txt"));
    EXPECT_FALSE(IsRewriteTempFor(t, "/d/xcloud_batch.txt.rewrite-12-0.tmp"));
    EXPECT_FALSE(IsRewriteTempFor(t, "/d/cloud_batch.txt.rewrite-12-0.tmpx"));
}

} // namespace
} // namespace ct
