#include "platform/ftp/FtpText.h"

#include <string>

#include <gtest/gtest.h>

namespace ct::ftp {
namespace {

const std::string Secret = "Pw-7f3a9c!";

TEST(Redact, MasksEveryOccurrence) {
    EXPECT_EQ(Redact("530 " + Secret + " is wrong, " + Secret, Secret), "530 *** is wrong, ***");
    EXPECT_EQ(Redact("nothing here", Secret), "nothing here");
    EXPECT_EQ(Redact("a*b", "*"), "a***b"); // a secret inside the mask itself does not loop
    EXPECT_EQ(Redact("text", ""), "text");
}

// The parser keeps only the start of an endless line: the password may be cut in two there,
// and its first characters must not survive.
TEST(Redact, MasksTheStartOfTheSecretWhereALineWasCut) {
    for (std::size_t junk : {FtpReplyParser::MaxLineKept - 4 - 3, FtpReplyParser::MaxLineKept - 4 - 9,
                             FtpReplyParser::MaxLineKept - 4 - 1}) {
        FtpReplyParser parser;
        parser.Feed("550 " + std::string(junk, 'y') + Secret + std::string(100, 'z') + "\r\n");
        ASSERT_TRUE(parser.HasReply());
        const FtpReply reply = parser.PopReply();
        const std::string redacted = Redact(reply.text, Secret);
        EXPECT_EQ(redacted.find("P"), std::string::npos) << junk << ": " << redacted.substr(redacted.size() - 20);
        EXPECT_NE(redacted.find("***"), std::string::npos) << junk;
    }
}

TEST(ReasonLine, IsTheFirstLineRedactedThenBounded) {
    FtpReply multi{550, "550-Permission denied for " + Secret + "\n550 End"};
    EXPECT_EQ(ReasonLine(multi, Secret), "550-Permission denied for ***");
    FtpReply longer{550, "550 " + std::string(200, 'x')};
    std::string reason = ReasonLine(longer, Secret);
    EXPECT_EQ(reason.size(), 120u);
    EXPECT_EQ(reason.substr(117), "...");
    FtpReply control{550, std::string("550 bell\a and tab\t")};
    EXPECT_EQ(ReasonLine(control, Secret), "550 bell? and tab?");
}

struct MissingCase {
    std::string text;
    bool missing;
    bool vague;
};

class RetrRefusal : public ::testing::TestWithParam<MissingCase> {};

TEST_P(RetrRefusal, SaysWhetherTheFileIsMissing) {
    FtpReply reply{std::stoi(GetParam().text.substr(0, 3)), GetParam().text};
    bool vague = true;
    EXPECT_EQ(SaysFileMissing(reply, &vague), GetParam().missing);
    EXPECT_EQ(vague, GetParam().vague);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, RetrRefusal,
    ::testing::Values(MissingCase{"550 No such file or directory.", true, false},          // pyftpdlib
                      MissingCase{"550 a.bin: No such file or directory", true, false},    // proftpd
                      MissingCase{"550 Can't open a.bin: No such file or directory", true, false}, // pure-ftpd
                      MissingCase{"550 The system cannot find the file specified.", true, false},
                      MissingCase{"550 File not found", true, false},
                      MissingCase{"550 Failed to open file.", true, true},                 // vsftpd: either
                      MissingCase{"550 Permission denied.", false, false},
                      MissingCase{"550 Refused by the test server.", false, false},
                      MissingCase{"450 No such file or directory.", false, false},         // not final
                      MissingCase{"553 No such file or directory.", false, false}));

TEST(TlsRequired, IsToldByTheReplyText) {
    EXPECT_TRUE(SaysTlsRequired({530, "530 Anonymous sessions must use encryption."})); // vsftpd
    EXPECT_TRUE(SaysTlsRequired({550, "550 SSL/TLS required on the control channel"})); // proftpd
    EXPECT_TRUE(SaysTlsRequired({530, "530 TLS is required"}));
    EXPECT_FALSE(SaysTlsRequired({530, "530 Login incorrect."}));
}

TEST(Fingerprint, AcceptsWhatUsersWriteAndNothingElse) {
    const std::string printed =
        "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89";
    const std::string plain = "ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789";
    EXPECT_EQ(NormalizeFingerprint(printed), plain);
    EXPECT_EQ(NormalizeFingerprint("sha256 Fingerprint=" + printed), plain);
    EXPECT_EQ(NormalizeFingerprint("abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789"), plain);
    EXPECT_EQ(NormalizeFingerprint(" " + printed + " "), plain);
    EXPECT_EQ(NormalizeFingerprint(plain.substr(2)), std::nullopt); // SHA-1 length or cut short
    EXPECT_EQ(NormalizeFingerprint(plain + "00"), std::nullopt);
    EXPECT_EQ(NormalizeFingerprint("XY" + plain.substr(2)), std::nullopt);
    EXPECT_EQ(NormalizeFingerprint(""), std::nullopt);

    const unsigned char digest[] = {0x00, 0x0f, 0xa5, 0xff};
    EXPECT_EQ(FormatFingerprint(digest, sizeof digest), "00:0F:A5:FF");
}

} // namespace
} // namespace ct::ftp
