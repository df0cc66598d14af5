#include "ui/JobLineMask.h"

#include <gtest/gtest.h>

#include "platform/json/SuperObject.h"

namespace ct::test {
namespace {

struct MaskCase {
    const char* name;
    std::string line;
    std::string shown;
};

class MaskedJobLineTable : public testing::TestWithParam<MaskCase> {};

TEST_P(MaskedJobLineTable, ShowsTheLineWithThePasswordMasked) {
    EXPECT_EQ(MaskedJobLine(GetParam().line, 4096), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, MaskedJobLineTable,
    testing::Values(
        MaskCase{"Job", R"({"ftp":{"h":"a","u":"u","p":"segreto","t":21},"v":"put","f":"/a"})",
                 R"({"ftp":{"h":"a","u":"u","p":"****","t":21},"v":"put","f":"/a"})"},
        MaskCase{"SpacesKept", R"( { "ftp" : { "p" : "x y" , "t" : 21 } , "f" : "/a" } )",
                 R"( { "ftp" : { "p" : "****" , "t" : 21 } , "f" : "/a" } )"},
        MaskCase{"EscapesInThePassword", R"({"ftp":{"p":"a\"b\\c\u00e8"},"f":"/a"})",
                 R"({"ftp":{"p":"****"},"f":"/a"})"},
        MaskCase{"EscapedMemberNames", R"({"\u0066tp":{"\u0070":"s"}})", R"({"\u0066tp":{"\u0070":"****"}})"},
        MaskCase{"NumberPassword", R"({"ftp":{"p":12345,"t":21}})", R"({"ftp":{"p":****,"t":21}})"},
        MaskCase{"EmptyPassword", R"({"ftp":{"p":""}})", R"({"ftp":{"p":"****"}})"},
        MaskCase{"EveryCopyOfAMember", R"({"ftp":{"p":"a","p":"b"},"ftp":{"p":"c"}})",
                 R"({"ftp":{"p":"****","p":"****"},"ftp":{"p":"****"}})"},
        MaskCase{"FtpLast", R"({"f":"/a","x":[{"p":"no"},[1,{"a":"}"}]],"ftp":{"u":"u","p":"s"}})",
                 R"({"f":"/a","x":[{"p":"no"},[1,{"a":"}"}]],"ftp":{"u":"u","p":"****"}})"},
        MaskCase{"NestedBeforeThePassword", R"({"ftp":{"x":{"p":"no"},"y":[[["]"]]],"p":"s"}})",
                 R"({"ftp":{"x":{"p":"no"},"y":[[["]"]]],"p":"****"}})"},
        MaskCase{"APOutsideTheFtpObjectIsNoPassword", R"({"p":"visible","ftp":"x"})", R"({"p":"visible","ftp":"x"})"},
        MaskCase{"TextThatLooksLikeAJobInsideAString", R"({"f":"{\"ftp\":{\"p\":\"x\"}}"})",
                 R"({"f":"{\"ftp\":{\"p\":\"x\"}}"})"},
        MaskCase{"NotJson", "not json", "not json"}, MaskCase{"Array", R"([{"ftp":{"p":"s"}}])", R"([{"ftp":{"p":"s"}}])"},
        MaskCase{"Empty", "", ""},
        MaskCase{"CutInsideThePassword", R"({"ftp":{"h":"a","p":"segr)", R"({"ftp":{"h":"a","p":"****)"},
        MaskCase{"BrokenAfterThePassword", R"({"ftp":{"p":"s"} "f":)", R"({"ftp":{"p":"****"} "f":)"},
        MaskCase{"BrokenBeforeThePassword", R"({"ftp":{"h" "p":"s"}})", R"({"ftp":{"h" "p":"s"}})"}),
    [](const testing::TestParamInfo<MaskCase>& info) { return std::string(info.param.name); });

TEST(MaskedJobLine, ShowsAtMostTheBoundAndNeverHalfACharacter) {
    const std::string line = R"({"ftp":{"p":"s"},"f":"/dati/citt)" + std::string("\xC3\xA0") + "\"}";
    const std::size_t cut = line.find('\xC3') + 1;   // inside the two bytes of the letter
    const std::string shown = MaskedJobLine(line, cut);
    EXPECT_EQ(shown, R"({"ftp":{"p":"****"},"f":"/dati/citt)");
    EXPECT_EQ(MaskedJobLine(line, cut + 1), R"({"ftp":{"p":"****"},"f":"/dati/citt)" + std::string("\xC3\xA0"));
}

TEST(MaskedJobLine, LinesBeyondTheJobLineBoundsAreShownCutAndMasked) {
    // Longer than any job may be, and nested far deeper: read only as far as it is shown.
    std::string deep = R"({"ftp":{"p":"s"},"v":)" + std::string(kMaxJobLineBytes + 100000, '[');
    const std::string shown = MaskedJobLine(deep, 4096);
    EXPECT_EQ(shown.size(), 4096u + 3u);   // "****" stands for the one-letter password
    EXPECT_EQ(shown.substr(0, 20), R"({"ftp":{"p":"****"},)");

    std::string deepBefore = R"({"v":)" + std::string(200000, '[') + std::string(200000, ']') + R"(,"ftp":{"p":"s"}})";
    EXPECT_EQ(MaskedJobLine(deepBefore, 4096), deepBefore.substr(0, 4096));
}

} // namespace
} // namespace ct::test
