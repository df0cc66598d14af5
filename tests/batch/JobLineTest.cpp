#include "batch/JobLine.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace ct {
namespace {

struct DirectionCase {
    const char* name;
    const char* line;
    bool upload;
};

void PrintTo(const DirectionCase& c, std::ostream* os) {
    *os << c.name;
}

class Direction : public ::testing::TestWithParam<DirectionCase> {};

TEST_P(Direction, FollowsTheExactValueOfV) {
    EXPECT_EQ(IsUploadJob(*SO(GetParam().line)), GetParam().upload);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Direction,
    ::testing::Values(DirectionCase{"Put", R"({"v":"put"})", true}, DirectionCase{"Empty", R"({"v":""})", true},
                      DirectionCase{"Missing", R"({"f":"/a"})", true}, DirectionCase{"Null", R"({"v":null})", true},
                      DirectionCase{"Capitals", R"({"v":"PUT"})", false},
                      DirectionCase{"LeadingBlank", R"({"v":" put"})", false},
                      DirectionCase{"TrailingBlank", R"({"v":"put "})", false},
                      DirectionCase{"Get", R"({"v":"get"})", false}, DirectionCase{"AnyText", R"({"v":"x"})", false},
                      DirectionCase{"NestedVDoesNotCount", R"({"ftp":{"v":"get"}})", true}),
    [](const auto& info) { return std::string(info.param.name); });

struct MarkCase {
    const char* name;
    const char* line;
    const char* next; // nullptr: the job is dropped
};

void PrintTo(const MarkCase& c, std::ostream* os) {
    *os << c.name;
}

class ErrorMark : public ::testing::TestWithParam<MarkCase> {};

TEST_P(ErrorMark, IsDecidedByTheMemberItself) {
    auto mark = NextErrorMark(*SO(GetParam().line));
    if (GetParam().next) {
        ASSERT_TRUE(mark.has_value());
        EXPECT_EQ(*mark, GetParam().next);
    } else {
        EXPECT_FALSE(mark.has_value()) << *mark;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ErrorMark,
    ::testing::Values(
        MarkCase{"NewJob", R"({"ftp":{"h":"x"},"f":"/a"})", "1"},
        MarkCase{"FolderNamedErrors", R"({"ftp":{"h":"x"},"f":"/home/errors/a.txt","d":"\\errors\\a.txt"})", "1"},
        MarkCase{"ErrorInCapitalsInThePath", R"({"f":"C:\\ERROR\\a"})", "1"},
        MarkCase{"ErrorInsideAnotherMemberName", R"({"lasterror":"x"})", "1"},
        MarkCase{"NestedErrorMemberDoesNotCount", R"({"ftp":{"error":"1"}})", "1"},
        MarkCase{"FailedOnce", R"({"error":"1"})", "2"},
        MarkCase{"ProducerWroteOne", R"({"f":"/a","error":"1","d":"\\a"})", "2"},
        MarkCase{"OneAsANumber", R"({"error":1})", "2"},
        MarkCase{"FailedTwice", R"({"error":"2"})", nullptr},
        MarkCase{"EmptyMark", R"({"error":""})", nullptr},
        MarkCase{"NullMark", R"({"error":null})", nullptr},
        MarkCase{"OneWithABlank", R"({"error":"1 "})", nullptr},
        MarkCase{"OtherText", R"({"error":"yes"})", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ErrorMarkRewrite, KeepsExtraMembersOrderAndBackslashes) {
    const std::string line =
        R"({"z":1,"ftp":{"h":"host","u":"u","p":"p\"w","t":21},"f":"C:\\dati\\errors\\a.txt","d":"\\rep\\2024\\a.txt","extra":[1,{"k":"v"}],"v":"put"})";
    auto job = SO(line);
    auto mark = NextErrorMark(*job);
    ASSERT_TRUE(mark);
    job->SetS("error", *mark);
    const std::string once = job->AsJSon();
    EXPECT_EQ(once, line.substr(0, line.size() - 1) + R"(,"error":"1"})");

    auto again = SO(once);
    EXPECT_EQ(again->S("f"), "C:\\dati\\errors\\a.txt");
    EXPECT_EQ(again->S("d"), "\\rep\\2024\\a.txt");
    again->SetS("error", *NextErrorMark(*again));
    // Setting an existing member keeps its place.
    EXPECT_EQ(again->AsJSon(), line.substr(0, line.size() - 1) + R"(,"error":"2"})");
    EXPECT_FALSE(NextErrorMark(*SO(again->AsJSon())).has_value());
}

} // namespace
} // namespace ct
