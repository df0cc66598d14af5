#include "transfer/JobPaths.h"

#include <gtest/gtest.h>

namespace ct {
namespace {

struct UploadCase {
    const char* d;
    const char* name;
    const char* dir;
};

class UploadPaths : public ::testing::TestWithParam<UploadCase> {};

TEST_P(UploadPaths, SplitDAtItsLastBackslashOrColon) {
    EXPECT_EQ(UploadRemoteName(GetParam().d), GetParam().name);
    EXPECT_EQ(UploadRemoteDir(GetParam().d), GetParam().dir);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UploadPaths,
    ::testing::Values(UploadCase{"\\a\\b\\c.txt", "c.txt", "a/b/"}, UploadCase{"\\c.txt", "c.txt", ""},
                      // a forward slash does not separate: the whole of "d" is the name
                      UploadCase{"/a/c.txt", "/a/c.txt", ""}, UploadCase{"c.txt", "c.txt", ""},
                      UploadCase{"", "", ""}, UploadCase{"\\", "", ""},
                      // the first character is dropped whatever it is
                      UploadCase{"a\\c.txt", "c.txt", "/"}, UploadCase{"xa\\c.txt", "c.txt", "a/"},
                      UploadCase{"\\a\\b\\", "", "a/b/"}, UploadCase{"\\x:\\y.txt", "y.txt", "x:/"},
                      UploadCase{"\\a:b.txt", "b.txt", "a:"}, UploadCase{"\\a\\b/c.txt", "b/c.txt", "a/"},
                      UploadCase{"\\\\srv\\c.txt", "c.txt", "/srv/"}));

struct DownloadCase {
    const char* d;
    const char* b;
    std::optional<std::string> path;
};

class DownloadPaths : public ::testing::TestWithParam<DownloadCase> {};

TEST_P(DownloadPaths, FollowTheRemoteRules) {
    EXPECT_EQ(DownloadRemotePath(GetParam().d, GetParam().b), GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DownloadPaths,
    ::testing::Values(DownloadCase{"\\a\\c.txt", "base", "/base/a/c.txt"}, DownloadCase{"-\\a\\c.txt", "", "/a/c.txt"},
                      DownloadCase{"-\\a\\c.txt", "base", "/base/a/c.txt"}, DownloadCase{"a\\c.txt", "", "/a/c.txt"},
                      DownloadCase{"-a.txt", "", "/a.txt"}, DownloadCase{"--a.txt", "", "/-a.txt"},
                      DownloadCase{"/x/y", "", "/x/y"}, DownloadCase{"", "", std::nullopt},
                      DownloadCase{"-", "base", std::nullopt}, DownloadCase{"", "base", std::nullopt},
                      DownloadCase{"\\", "", "/"}));

struct FolderCase {
    const char* f;
    const char* folder;
};

class LocalFolders : public ::testing::TestWithParam<FolderCase> {};

TEST_P(LocalFolders, KeepARootsSeparatorAndDropTheLastOtherwise) {
    EXPECT_EQ(DownloadLocalFolder(GetParam().f), GetParam().folder);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LocalFolders,
    ::testing::Values(FolderCase{"C:\\dati\\report.pdf", "C:\\dati"}, FolderCase{"C:\\report.pdf", "C:\\"},
                      FolderCase{"C:report.pdf", "C:"}, FolderCase{"\\\\srv\\share\\x.bin", "\\\\srv\\share"},
                      FolderCase{"report.pdf", ""}, FolderCase{"", ""}, FolderCase{"a\\\\x.bin", "a\\\\"}));

#ifndef _WIN32
// Off Windows the producer may write POSIX paths; a colon there is part of a name.
INSTANTIATE_TEST_SUITE_P(Posix, LocalFolders,
                         ::testing::Values(FolderCase{"/home/u/x.bin", "/home/u"}, FolderCase{"/x.bin", "/"},
                                           FolderCase{"rel/x.bin", "rel"}, FolderCase{"/home/u/a:b.bin", "/home/u"},
                                           FolderCase{"/home/u\\x.bin", "/home/u"}));
#endif

} // namespace
} // namespace ct
