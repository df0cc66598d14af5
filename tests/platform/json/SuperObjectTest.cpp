#include "platform/json/SuperObject.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace ct {
namespace {

class NotAnObject : public ::testing::TestWithParam<std::string> {};

TEST_P(NotAnObject, IsAnErrorNeverAnEmptyObject) {
    EXPECT_THROW(SO(GetParam()), JsonError);
}

INSTANTIATE_TEST_SUITE_P(Texts, NotAnObject,
                         ::testing::Values("", " ", "[]", "[{}]", "\"x\"", "12", "null", "true", "{", "{\"a\":",
                                           "{\"a\":\"unterminated}", "{\"ftp\":{\"h\":\"x\"}", "{} {}", "{}x",
                                           "{'a':1}", "{a:1}", "{\"a\":1,}", "{\"a\":1} // note",
                                           std::string("{\"a\":\"\xC3\"}"), std::string("{\"a\":1}\0", 8),
                                           std::string("{\"a\":1}\0{\"b\":2}", 15)));

TEST(SuperObjectParse, AcceptsSurroundingWhitespaceAndAnEmptyObject) {
    EXPECT_EQ(SO("  {} \t")->AsJSon(), "{}");
    EXPECT_EQ(SO("{\"a\" : 1 }\r")->I("a"), 1);
}

TEST(SuperObjectParse, DeeplyNestedInputIsHandledWithoutCrashing) {
    const std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
    auto obj = SO(deep);
    EXPECT_TRUE(obj->Has("a"));
    EXPECT_THROW(SO("{\"a\":" + std::string(100000, '[')), JsonError);
}

TEST(SuperObjectMembers, MissingMembersReadAsEmptyZeroOrNone) {
    auto obj = SO(R"({"ftp":{"h":"host","t":2121},"n":null})");
    EXPECT_EQ(obj->S("missing"), "");
    EXPECT_EQ(obj->I("missing"), 0);
    EXPECT_EQ(obj->O("missing"), nullptr);
    EXPECT_EQ(obj->S("n"), "");
    EXPECT_EQ(obj->I("n"), 0);
    ASSERT_NE(obj->O("ftp"), nullptr);
    EXPECT_EQ(obj->O("ftp")->S("h"), "host");
    EXPECT_EQ(obj->O("ftp")->I("t"), 2121);
    EXPECT_EQ(obj->O("ftp")->S("u"), "");
    EXPECT_EQ(obj->O("n"), nullptr);
}

struct IntCase {
    const char* line;
    std::int64_t value;
};

void PrintTo(const IntCase& c, std::ostream* os) {
    *os << c.line;
}

class IntegerMember : public ::testing::TestWithParam<IntCase> {};

TEST_P(IntegerMember, Reads) {
    EXPECT_EQ(SO(GetParam().line)->I("t"), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Values, IntegerMember,
                         ::testing::Values(IntCase{R"({"t":21})", 21}, IntCase{R"({"t":-1})", -1},
                                           IntCase{R"({"t":"2121"})", 2121}, IntCase{R"({"t":"21x"})", 0},
                                           IntCase{R"({"t":""})", 0}, IntCase{R"({"t":21.9})", 21},
                                           IntCase{R"({"t":1e300})", 0}, IntCase{R"({"t":{}})", 0},
                                           IntCase{R"({"t":9223372036854775807})", INT64_MAX},
                                           IntCase{R"({"t":"99999999999999999999"})", 0},
                                           IntCase{R"({"t":65557})", 65557}));

TEST(SuperObjectMembers, NonStringMembersReadAsTheirJsonText) {
    auto obj = SO(R"({"t":21,"b":true,"o":{"x":[1,2]}})");
    EXPECT_EQ(obj->S("t"), "21");
    EXPECT_EQ(obj->S("b"), "true");
    EXPECT_EQ(obj->S("o"), R"({"x":[1,2]})");
}

TEST(SuperObjectSerialise, IsOneCompactLineThatReadsBackTheSame) {
    auto obj = SO("{ \"b\" : \"x\",\n \"a\" : {\"c\" : [1, 2]} }");
    obj->SetS("s", "line\r\nbreak\ttab \"quoted\" back\\slash \x01 \xC3\xA8");
    const std::string text = obj->AsJSon();
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(text, "{\"b\":\"x\",\"a\":{\"c\":[1,2]},\"s\":\"line\\r\\nbreak\\ttab \\\"quoted\\\" back\\\\slash "
                    "\\u0001 \xC3\xA8\"}");
    EXPECT_EQ(SO(text)->S("s"), "line\r\nbreak\ttab \"quoted\" back\\slash \x01 \xC3\xA8");
}

TEST(SuperObjectSerialise, SetReplacesInPlaceAndAddsAtTheEnd) {
    auto obj = SO(R"({"error":2,"a":"x"})");
    obj->SetS("error", "1");
    obj->SetS("new", "v");
    EXPECT_EQ(obj->AsJSon(), R"({"error":"1","a":"x","new":"v"})");
}

TEST(SuperObjectSerialise, InvalidUtf8InASetValueDoesNotAbortTheRewrite) {
    auto obj = SO(R"({"a":"x"})");
    obj->SetS("f", std::string("caff\xE8"));
    std::string text;
    EXPECT_NO_THROW(text = obj->AsJSon());
    EXPECT_NO_THROW(SO(text));
}

TEST(SuperObjectMembers, ChildObjectsAreIndependentCopies) {
    auto obj = SO(R"({"ftp":{"h":"a"}})");
    auto ftp = obj->O("ftp");
    ftp->SetS("h", "b");
    EXPECT_EQ(obj->O("ftp")->S("h"), "a");
}

} // namespace
} // namespace ct
