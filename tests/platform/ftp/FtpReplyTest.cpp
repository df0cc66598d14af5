#include "platform/ftp/FtpReply.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ftp/FtpClient.h"

namespace ct {
namespace {

enum class Delivery { Whole, ByteByByte, InPairs };

std::vector<FtpReply> ParseAll(const std::string& bytes, Delivery delivery) {
    FtpReplyParser parser;
    std::vector<FtpReply> replies;
    std::size_t step = delivery == Delivery::Whole ? bytes.size() : delivery == Delivery::ByteByByte ? 1 : 2;
    for (std::size_t i = 0; i < bytes.size(); i += step) {
        parser.Feed(std::string_view(bytes).substr(i, step));
        while (parser.HasReply())
            replies.push_back(parser.PopReply());
    }
    EXPECT_FALSE(parser.Partial());
    return replies;
}

struct WellFormed {
    const char* name;
    std::string bytes;
    std::vector<std::pair<int, std::string>> expected; // code, text
};

class ReplyParserWellFormed : public ::testing::TestWithParam<std::tuple<WellFormed, Delivery>> {};

TEST_P(ReplyParserWellFormed, GivesTheSameRepliesHoweverTheBytesArrive) {
    const auto& [c, delivery] = GetParam();
    auto replies = ParseAll(c.bytes, delivery);
    ASSERT_EQ(replies.size(), c.expected.size());
    for (std::size_t i = 0; i < replies.size(); ++i) {
        EXPECT_EQ(replies[i].code, c.expected[i].first) << i;
        EXPECT_EQ(replies[i].text, c.expected[i].second) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyParserWellFormed,
    ::testing::Combine(
        ::testing::Values(
            WellFormed{"single", "220 Ready.\r\n", {{220, "220 Ready."}}},
            WellFormed{"codeOnly", "200\r\n", {{200, "200"}}},
            WellFormed{"bareLf", "331 Password?\n", {{331, "331 Password?"}}},
            WellFormed{"twoInOneChunk", "226 Done.\r\n213 42\r\n", {{226, "226 Done."}, {213, "213 42"}}},
            WellFormed{"multiLine", "230-Welcome\r\n230-to the\r\n  server\r\n230 Ready.\r\n",
                       {{230, "230-Welcome\n230-to the\n  server\n230 Ready."}}},
            // Inside a multi-line reply only the same code followed by a space ends it.
            WellFormed{"multiLineWithOtherCodes", "211-Features:\r\n150 not the end\r\n211-still not\r\n211 End\r\n",
                       {{211, "211-Features:\n150 not the end\n211-still not\n211 End"}}},
            WellFormed{"multiLineEndingWithCodeOnly", "220-Hi\r\n220\r\n", {{220, "220-Hi\n220"}}},
            WellFormed{"emptyLineInsideMultiLine", "220-Hi\r\n\r\n220 Go\r\n", {{220, "220-Hi\n\n220 Go"}}},
            WellFormed{"multiLineThenSingle", "220-a\r\n220 b\r\n331 c\r\n", {{220, "220-a\n220 b"}, {331, "331 c"}}}),
        ::testing::Values(Delivery::Whole, Delivery::ByteByByte, Delivery::InPairs)));

TEST(ReplyParser, HalfAReplyIsNoReply) {
    FtpReplyParser parser;
    parser.Feed("226 Transfer compl");
    EXPECT_FALSE(parser.HasReply());
    EXPECT_TRUE(parser.Partial());
    parser.Feed("ete.\r");
    EXPECT_FALSE(parser.HasReply());
    parser.Feed("\n");
    ASSERT_TRUE(parser.HasReply());
    EXPECT_EQ(parser.PopReply().LastLineMessage(), "Transfer complete.");
}

TEST(ReplyParser, OpenMultiLineIsPartialUntilItsEnd) {
    FtpReplyParser parser;
    parser.Feed("230-one\r\n230 two");
    EXPECT_FALSE(parser.HasReply());
    EXPECT_TRUE(parser.Partial());
}

class ReplyParserMalformed : public ::testing::TestWithParam<std::string> {};

TEST_P(ReplyParserMalformed, Raises) {
    FtpReplyParser parser;
    EXPECT_THROW(
        {
            for (char ch : GetParam())
                parser.Feed(std::string(1, ch));
        },
        FtpError);
    // Once broken it stays broken: later bytes cannot be trusted to line up.
    EXPECT_THROW(parser.Feed("200 OK\r\n"), FtpError);
    parser.Reset();
    parser.Feed("200 OK\r\n");
    EXPECT_TRUE(parser.HasReply());
}

INSTANTIATE_TEST_SUITE_P(Cases, ReplyParserMalformed,
                         ::testing::Values("hello\r\n", "22\r\n", "\r\n", "099 too low\r\n", "600 too high\r\n",
                                           "2200 four digits\r\n", "22a letters\r\n", "220_odd separator\r\n",
                                           " 220 leading space\r\n"));

// A 500-line greeting is legitimate; a reply of any length is read, and only a bounded part
// of its text is kept, whatever the server sends.
TEST(ReplyParser, RepliesOfAnyLengthAreReadWithBoundedText) {
    FtpReplyParser parser;
    parser.Feed("220-Welcome\r\n");
    for (int i = 0; i < 20000; ++i)
        parser.Feed("220-line " + std::to_string(i) + " of a very long greeting\r\n");
    EXPECT_FALSE(parser.HasReply());
    parser.Feed("220 Ready.\r\n");
    ASSERT_TRUE(parser.HasReply());
    FtpReply greeting = parser.PopReply();
    EXPECT_EQ(greeting.code, 220);
    EXPECT_LE(greeting.text.size(), FtpReplyParser::MaxTextKept);
    EXPECT_EQ(greeting.text.rfind("220-Welcome\n", 0), 0u);
    EXPECT_NE(greeting.text.find(FtpReply::CutMark), std::string::npos);
    EXPECT_EQ(greeting.LastLineMessage(), "Ready.");

    // One endless line: memory stays bounded, and the reply still ends where the line does.
    parser.Feed("550 ");
    const std::string chunk(4096, 'x');
    for (int i = 0; i < 1000; ++i)
        parser.Feed(chunk);
    parser.Feed("\r\n");
    ASSERT_TRUE(parser.HasReply());
    FtpReply refusal = parser.PopReply();
    EXPECT_EQ(refusal.code, 550);
    EXPECT_LE(refusal.text.size(), FtpReplyParser::MaxLineKept + FtpReply::CutMark.size());
    EXPECT_EQ(refusal.text.substr(refusal.text.size() - FtpReply::CutMark.size()), FtpReply::CutMark);

    // The parser is in step afterwards.
    parser.Feed("200 OK\r\n");
    ASSERT_TRUE(parser.HasReply());
    EXPECT_EQ(parser.PopReply().code, 200);
}

// ---- the replies that carry data ----

TEST(ReplyData, EpsvPort) {
    EXPECT_EQ(ParseEpsvPort("229 Entering Extended Passive Mode (|||6446|)"), 6446);
    EXPECT_EQ(ParseEpsvPort("229 ok (!!!65535!)"), 65535);
    EXPECT_EQ(ParseEpsvPort("229 Entering extended passive mode (|||0|)"), std::nullopt);
    EXPECT_EQ(ParseEpsvPort("229 (|||65536|)"), std::nullopt);
    EXPECT_EQ(ParseEpsvPort("229 (||6446|)"), std::nullopt);
    EXPECT_EQ(ParseEpsvPort("229 (|||64x6|)"), std::nullopt);
    EXPECT_EQ(ParseEpsvPort("229 (|||6446|"), std::nullopt);
    EXPECT_EQ(ParseEpsvPort("229 no brackets"), std::nullopt);
}

TEST(ReplyData, PasvPortOnly) {
    EXPECT_EQ(ParsePasvPort("227 Entering Passive Mode (127,0,0,1,200,10)."), 200 * 256 + 10);
    EXPECT_EQ(ParsePasvPort("227 Entering Passive Mode 10,1,2,3,4,1"), 4 * 256 + 1);
    EXPECT_EQ(ParsePasvPort("227 =192,0,2,7,0,21"), 21);
    EXPECT_EQ(ParsePasvPort("227 (127,0,0,1,256,10)"), std::nullopt);
    EXPECT_EQ(ParsePasvPort("227 (127,0,0,1,200)"), std::nullopt);
    EXPECT_EQ(ParsePasvPort("227 (127,0,0,1,0,0)"), std::nullopt);
    EXPECT_EQ(ParsePasvPort("227 nothing"), std::nullopt);
}

TEST(ReplyData, QuotedPath) {
    EXPECT_EQ(ParseQuotedPath("257 \"/\" is the current directory."), "/");
    EXPECT_EQ(ParseQuotedPath("257 \"/a \"\"b\"\"\" is current"), "/a \"b\"");
    EXPECT_EQ(ParseQuotedPath("257 \"\"\"\"\"\""), "\"\"");
    EXPECT_EQ(ParseQuotedPath("257 \"/has space/x\""), "/has space/x");
    EXPECT_EQ(ParseQuotedPath("257 \"/unterminated"), std::nullopt);
    EXPECT_EQ(ParseQuotedPath("257 /no/quotes"), std::nullopt);
}

TEST(ReplyData, SizeIs64Bit) {
    EXPECT_EQ(ParseSizeReply("213 0"), 0);
    EXPECT_EQ(ParseSizeReply("213 5368709120"), 5368709120LL);
    EXPECT_EQ(ParseSizeReply("213 42 "), 42);
    EXPECT_EQ(ParseSizeReply("213 -5"), std::nullopt);
    EXPECT_EQ(ParseSizeReply("213 12abc"), std::nullopt);
    EXPECT_EQ(ParseSizeReply("213 99999999999999999999999"), std::nullopt);
    EXPECT_EQ(ParseSizeReply("213"), std::nullopt);
}

TEST(ReplyData, OpeningByteCount) {
    EXPECT_EQ(ParseOpeningByteCount("150 Opening BINARY mode data connection for a.bin (4294967297 bytes)."),
              4294967297LL);
    EXPECT_EQ(ParseOpeningByteCount("150 File status okay. About to open data connection."), std::nullopt);
    EXPECT_EQ(ParseOpeningByteCount("150 Opening (x bytes)"), std::nullopt);
}

} // namespace
} // namespace ct
