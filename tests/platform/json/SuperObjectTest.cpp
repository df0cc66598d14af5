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

// Nesting n levels deep below the top-level object's member "v" (the object itself is one level).
std::string NestedLine(std::size_t levels, const std::string& tail = "") {
    return "{\"v\":" + std::string(levels, '[') + std::string(levels, ']') + tail + "}";
}

TEST(SuperObjectBounds, DepthIsCappedWithoutRecursion) {
    const std::size_t cap = static_cast<std::size_t>(kMaxJobDepth);
    EXPECT_TRUE(SO(NestedLine(cap - 1))->Has("v"));
    EXPECT_THROW(SO(NestedLine(cap)), JsonError);
    // Far past the cap: refused before anything recursive runs (this crashed the process).
    EXPECT_THROW(SO(NestedLine(100000)), JsonError);
    EXPECT_THROW(SO("{\"v\":" + std::string(100000, '[')), JsonError);
    EXPECT_THROW(SO("{\"ftp\":{\"h\":" + std::string(100000, '{')), JsonError);
}

TEST(SuperObjectBounds, BracketsInsideStringsAreNotNesting) {
    const std::string many(5000, '[');
    auto obj = SO("{\"f\":\"" + many + "\\\"" + many + "\",\"g\":\"\\\\\",\"h\":[[1]]}");
    EXPECT_EQ(obj->S("f"), many + "\"" + many);
    EXPECT_EQ(obj->S("g"), "\\");
    EXPECT_EQ(obj->S("h"), "[[1]]");
}

TEST(SuperObjectBounds, LengthIsCappedAtTheJobLineBound) {
    const std::string head = "{\"f\":\"";
    const std::string tail = "\"}";
    const std::string fits = head + std::string(kMaxJobLineBytes - head.size() - tail.size(), 'x') + tail;
    ASSERT_EQ(fits.size(), kMaxJobLineBytes);
    EXPECT_NO_THROW(SO(fits));
    const std::string over = head + std::string(kMaxJobLineBytes - head.size() - tail.size() + 1, 'x') + tail;
    EXPECT_THROW(SO(over), JsonError);
}

class ErrorText : public ::testing::TestWithParam<std::string> {};

// The parser's own messages quote what it last read; a job line's password must not travel on.
TEST_P(ErrorText, NeverQuotesTheInput) {
    try {
        SO(GetParam());
        FAIL() << "accepted";
    } catch (const JsonError& e) {
        const std::string text = e.what();
        EXPECT_EQ(text.find("s3cr3t"), std::string::npos) << text;
        EXPECT_EQ(text.find("ftp"), std::string::npos) << text;
        EXPECT_EQ(text.rfind("not a JSON job line: ", 0), 0u) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, ErrorText,
                         ::testing::Values("{\"ftp\":{\"p\":\"s3cr3t", "{\"ftp\":{\"p\":\"s3cr3t\"}} trailing",
                                           "{\"ftp\":{\"p\":s3cr3t}}", "[\"ftp\",\"s3cr3t\"]",
                                           "{\"ftp\":{\"p\":\"s3cr3t\",\"x\":" + std::string(200, '[') + "}}",
                                           std::string("{\"ftp\":{\"p\":\"s3cr3t\"}}") + std::string(1, '\0')));

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
