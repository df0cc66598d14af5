#include "platform/instance/RuntimeFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

#include "support/TestSupport.h"

namespace ct {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> RuntimeVariable() {
    const char* value = std::getenv("XDG_RUNTIME_DIR");
    return value ? std::optional<std::string>(value) : std::nullopt;
}

class RuntimeFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TMPDIR", temp.Path().c_str(), 1);
        ::unsetenv("XDG_RUNTIME_DIR");
    }
    void TearDown() override {
        ::unsetenv("TMPDIR");
        ::unsetenv("XDG_RUNTIME_DIR");
    }
    test::TempDir temp{"ct-rt-tmp"};
    test::TempDir elsewhere{"ct-rt-else"};
};

// Starting states of XDG_RUNTIME_DIR that the toolkit would complain about.
struct Unusable {
    const char* name;
    std::function<std::optional<std::string>(const fs::path& scratch)> prepare;
};

void PrintTo(const Unusable& state, std::ostream* out) {
    *out << state.name;
}

class RuntimeFolderUnusable : public RuntimeFolderTest, public ::testing::WithParamInterface<Unusable> {};

TEST_P(RuntimeFolderUnusable, APrivateFolderStandsInForTheLifeOfTheObjectOnly) {
    const std::optional<std::string> before = GetParam().prepare(elsewhere.Path());
    if (before)
        ::setenv("XDG_RUNTIME_DIR", before->c_str(), 1);
    {
        auto folder = ProcessRuntimeFolder::Provide();
        ASSERT_NE(folder, nullptr);
        EXPECT_EQ(RuntimeVariable(), folder->Path().string());
        EXPECT_EQ(folder->Path().parent_path(), temp.Path());
        struct stat st {};
        ASSERT_EQ(::lstat(folder->Path().c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        EXPECT_EQ(st.st_uid, ::geteuid());
        // What the toolkit leaves there goes with the folder.
        fs::create_directories(folder->Path() / "sub");
        test::WriteFileBytes(folder->Path() / "sub" / "socket-ish", "x");
        const fs::path path = folder->Path();
        folder.reset();
        EXPECT_FALSE(fs::exists(path));
    }
    EXPECT_EQ(RuntimeVariable(), before);
    EXPECT_TRUE(fs::is_empty(temp.Path()));
}

INSTANTIATE_TEST_SUITE_P(
    States, RuntimeFolderUnusable,
    ::testing::Values(
        Unusable{"Unset", [](const fs::path&) { return std::nullopt; }},
        Unusable{"Empty", [](const fs::path&) { return std::optional<std::string>(""); }},
        Unusable{"Missing", [](const fs::path& d) { return std::optional<std::string>((d / "gone").string()); }},
        Unusable{"OpenToOthers",
                 [](const fs::path& d) {
                     fs::create_directory(d / "open");
                     ::chmod((d / "open").c_str(), 0755);
                     return std::optional<std::string>((d / "open").string());
                 }},
        Unusable{"AFileNotAFolder",
                 [](const fs::path& d) {
                     test::WriteFileBytes(d / "file", "");
                     ::chmod((d / "file").c_str(), 0700);
                     return std::optional<std::string>((d / "file").string());
                 }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RuntimeFolderTest, AFolderOfOursThatNobodyElseMayEnterIsKept) {
    ::chmod(elsewhere.Path().c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", elsewhere.Path().c_str(), 1);
    EXPECT_EQ(ProcessRuntimeFolder::Provide(), nullptr);
    EXPECT_EQ(RuntimeVariable(), elsewhere.Path().string());
    EXPECT_TRUE(fs::is_empty(temp.Path()));
}

TEST_F(RuntimeFolderTest, AnotherUsersFolderIsNotUsed) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make a folder of another user's";
    ::chmod(elsewhere.Path().c_str(), 0700);
    ASSERT_EQ(::chown(elsewhere.Path().c_str(), 65534, 65534), 0);
    ::setenv("XDG_RUNTIME_DIR", elsewhere.Path().c_str(), 1);
    auto folder = ProcessRuntimeFolder::Provide();
    ASSERT_NE(folder, nullptr);
    EXPECT_NE(folder->Path(), elsewhere.Path());
}

} // namespace
} // namespace ct
