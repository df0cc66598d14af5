#include "batch/JobLine.h"

#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>
#include <string>
#include <variant>

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

// The job as far as it reads: these lines carry no "ftp" object, which no rule of the
// direction needs.
const Job& Read(const std::string& line) {
    static ParsedJob parsed;
    parsed = ParseJob(line);
    const Job* job = JobOf(parsed);
    if (!job)
        throw std::runtime_error("not a JSON object: " + line);
    return *job;
}

TEST_P(Direction, FollowsTheExactValueOfV) {
    EXPECT_EQ(Read(GetParam().line).direction == JobDirection::Upload, GetParam().upload);
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
    auto mark = NextErrorMark(Read(GetParam().line));
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
    Job job = std::get<Job>(ParseJob(line));
    auto mark = NextErrorMark(job);
    ASSERT_TRUE(mark);
    job.line->SetS("error", *mark);
    const std::string once = job.line->AsJSon();
    EXPECT_EQ(once, line.substr(0, line.size() - 1) + R"(,"error":"1"})");

    Job again = std::get<Job>(ParseJob(once));
    EXPECT_EQ(again.localPath, "C:\\dati\\errors\\a.txt");
    EXPECT_EQ(again.remotePath, "\\rep\\2024\\a.txt");
    again.line->SetS("error", *NextErrorMark(again));
    // Setting an existing member keeps its place.
    EXPECT_EQ(again.line->AsJSon(), line.substr(0, line.size() - 1) + R"(,"error":"2"})");
    EXPECT_FALSE(NextErrorMark(std::get<Job>(ParseJob(again.line->AsJSon()))).has_value());
}

// ---- The rules a job passes before anything is sent for it ----------------------------------

struct RuleCase {
    const char* name;
    std::string ftp;            // the "ftp" object's members
    const char* rulePart;       // nullptr: a job; else part of the broken rule's text
    std::uint16_t port = 0;     // the endpoint's port, when a job
};

void PrintTo(const RuleCase& c, std::ostream* os) {
    *os << c.name;
}

class EndpointRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(EndpointRule, IsKeptOrBrokenBeforeAnyConnection) {
    const RuleCase& c = GetParam();
    const ParsedJob parsed = ParseJob(R"({"ftp":{"h":"host","u":"u","p":"pw-secret")" + c.ftp + R"(},"f":"/a","d":"\\a"})");
    if (!c.rulePart) {
        ASSERT_TRUE(std::holds_alternative<Job>(parsed)) << std::get<JobFault>(parsed).rule;
        EXPECT_EQ(std::get<Job>(parsed).endpoint.port, c.port);
        return;
    }
    ASSERT_TRUE(std::holds_alternative<JobFault>(parsed));
    const JobFault& fault = std::get<JobFault>(parsed);
    EXPECT_EQ(fault.kind, JobFault::Kind::BrokenRule);
    EXPECT_NE(fault.rule.find(c.rulePart), std::string::npos) << fault.rule;
    EXPECT_EQ(fault.rule.find("pw-secret"), std::string::npos);
    ASSERT_TRUE(fault.job.has_value()) << "a job that breaks a rule is still marked and logged";
    EXPECT_EQ(fault.job->endpoint.host, "host");
}

// As `ssh-keygen -lf` prints an SSH host key's fingerprint (without the padding).
const std::string kSshPin = "SHA256:uNiVztksCsDhcc0u9e8BujQXVUpKZIDTMczCvj3tD2s";

const char* const kPin = "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89";

INSTANTIATE_TEST_SUITE_P(
    Lines, EndpointRule,
    ::testing::Values(
        RuleCase{"PortGiven", R"(,"t":2121)", nullptr, 2121},
        RuleCase{"PortAsText", R"(,"t":"2121")", nullptr, 2121},
        RuleCase{"HighestPort", R"(,"t":65535)", nullptr, 65535},
        RuleCase{"NoPortMeans21", "", nullptr, 21},
        RuleCase{"NullPortMeans21", R"(,"t":null)", nullptr, 21},
        RuleCase{"ZeroMeans21ForExplicitTls", R"(,"t":0,"s":"tls")", nullptr, 21},
        RuleCase{"NoPortMeans990ForImplicitTls", R"(,"s":"implicit")", nullptr, 990},
        RuleCase{"PortPastTheRange", R"(,"t":65536)", "1..65535"},
        RuleCase{"PortThatWrapsToTwentyOne", R"(,"t":65557)", "1..65535"},
        RuleCase{"NegativePort", R"(,"t":-1)", "1..65535"},
        RuleCase{"PortBeyond64Bits", R"(,"t":99999999999999999999)", "1..65535"},
        RuleCase{"FractionalPort", R"(,"t":21.5)", "1..65535"},
        RuleCase{"PortAsAWord", R"(,"t":"ftp")", "1..65535"},
        RuleCase{"UnknownSecurity", R"(,"s":"ssl3")", "\"ssl3\""},
        RuleCase{"PinWithTls", std::string(R"(,"s":"tls","fp":")") + kPin + "\"", nullptr, 21},
        RuleCase{"PinWithoutSecurity", std::string(R"(,"fp":")") + kPin + "\"", "needs TLS"},
        RuleCase{"PinWithEmptySecurity", std::string(R"(,"s":"","fp":")") + kPin + "\"", "needs TLS"},
        RuleCase{"PinWithNullSecurity", std::string(R"(,"s":null,"fp":")") + kPin + "\"", "needs TLS"},
        RuleCase{"ShortPin", R"(,"s":"implicit","fp":"AB:CD")", "malformed fingerprint"},
        RuleCase{"SftpNoPortMeans22", R"(,"s":"sftp")", nullptr, 22},
        RuleCase{"SftpZeroMeans22", R"(,"s":"sftp","t":0)", nullptr, 22},
        RuleCase{"SftpWithKeyFile", R"(,"s":"sftp","k":"/home/u/.ssh/id_ed25519")", nullptr, 22},
        RuleCase{"SftpWithSshPin", R"(,"s":"sftp","fp":")" + kSshPin + "\"", nullptr, 22},
        RuleCase{"SftpWithPaddedSshPin", R"(,"s":"sftp","fp":")" + kSshPin + "=\"", nullptr, 22},
        RuleCase{"SftpWithTlsPin", std::string(R"(,"s":"sftp","fp":")") + kPin + "\"", "SSH host key fingerprint"},
        RuleCase{"SftpPinWithLooseBits", R"(,"s":"sftp","fp":")" + kSshPin.substr(0, kSshPin.size() - 1) + "t\"",
                 "SSH host key fingerprint"},
        RuleCase{"SftpPinWithoutPrefix", R"(,"s":"sftp","fp":")" + kSshPin.substr(7) + "\"", "SSH host key fingerprint"},
        RuleCase{"TlsWithSshPin", R"(,"s":"tls","fp":")" + kSshPin + "\"", "malformed fingerprint"},
        RuleCase{"KeyFileOnFtp", R"(,"k":"/home/u/key")", "needs SFTP"},
        RuleCase{"KeyFileOnTls", R"(,"s":"tls","k":"/home/u/key")", "needs SFTP"}),
    [](const auto& info) { return std::string(info.param.name); });

struct DeliveryCase {
    const char* name;
    std::string members;     // after "d"
    const char* rulePart;    // nullptr: a job
    JobVerify verify = JobVerify::Auto;
    JobPublish publish = JobPublish::Direct;
    JobMtime mtime = JobMtime::Default;
};

class DeliveryRule : public ::testing::TestWithParam<DeliveryCase> {};

TEST_P(DeliveryRule, KnownValuesOnly) {
    const DeliveryCase& c = GetParam();
    const ParsedJob parsed = ParseJob(R"({"ftp":{"h":"host"},"f":"/a","d":"\\a")" + c.members + "}");
    if (c.rulePart) {
        ASSERT_TRUE(std::holds_alternative<JobFault>(parsed));
        EXPECT_EQ(std::get<JobFault>(parsed).kind, JobFault::Kind::BrokenRule);
        EXPECT_NE(std::get<JobFault>(parsed).rule.find(c.rulePart), std::string::npos) << std::get<JobFault>(parsed).rule;
        return;
    }
    ASSERT_TRUE(std::holds_alternative<Job>(parsed)) << std::get<JobFault>(parsed).rule;
    const Job& job = std::get<Job>(parsed);
    EXPECT_EQ(job.verify, c.verify);
    EXPECT_EQ(job.publish, c.publish);
    EXPECT_EQ(job.mtime, c.mtime);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DeliveryRule,
    ::testing::Values(DeliveryCase{"NoneSet", "", nullptr},
                      DeliveryCase{"AllSet", R"(,"verify":"hash","publish":"rename","mtime":"keep")", nullptr,
                                   JobVerify::Hash, JobPublish::Rename, JobMtime::Keep},
                      DeliveryCase{"VerifyOff", R"(,"verify":"off")", nullptr, JobVerify::Off},
                      DeliveryCase{"NullIsAbsent", R"(,"verify":null,"publish":null)", nullptr},
                      DeliveryCase{"UnknownVerify", R"(,"verify":"md5")", "\"verify\""},
                      DeliveryCase{"VerifyInCapitals", R"(,"verify":"HASH")", "\"verify\""},
                      DeliveryCase{"UnknownPublish", R"(,"publish":"atomic")", "\"publish\""},
                      DeliveryCase{"UnknownMtime", R"(,"mtime":"preserve")", "\"mtime\""},
                      DeliveryCase{"MtimeAsBoolean", R"(,"mtime":true)", "\"mtime\""}),
    [](const auto& info) { return std::string(info.param.name); });

class NotAJob : public ::testing::TestWithParam<std::string> {};

TEST_P(NotAJob, IsRefusedAsALine) {
    const ParsedJob parsed = ParseJob(GetParam());
    ASSERT_TRUE(std::holds_alternative<JobFault>(parsed));
    EXPECT_EQ(std::get<JobFault>(parsed).kind, JobFault::Kind::NotAJob);
    EXPECT_FALSE(std::get<JobFault>(parsed).rule.empty());
}

std::string Nested(int depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

INSTANTIATE_TEST_SUITE_P(Lines, NotAJob,
                         ::testing::Values("", "not json", "[1]", R"({"f":"/a"})", R"({"ftp":"host","f":"/a"})",
                                           R"({"ftp":{"h":"h"},"v":)" + Nested(kMaxJobDepth) + "}",
                                           R"({"ftp":{"h":"h"},"f":")" + std::string(kMaxJobLineBytes, 'x') + "\"}"));

// The bounds as the parser draws them: depth 64 and 1 MiB are still a job, one more is not.
TEST(JobBounds, DepthAndLength) {
    const std::string head = R"({"ftp":{"h":"h"},"v":)";
    EXPECT_TRUE(std::holds_alternative<Job>(ParseJob(head + Nested(kMaxJobDepth - 1) + "}")));
    // Brackets inside strings are text, also after an escaped quote.
    EXPECT_TRUE(std::holds_alternative<Job>(ParseJob(R"({"ftp":{},"f":"\")" + std::string(1000, '[') + R"("})")));
    const std::string open = R"({"ftp":{},"f":")";
    const std::string atBound = open + std::string(kMaxJobLineBytes - open.size() - 2, 'x') + "\"}";
    ASSERT_EQ(atBound.size(), kMaxJobLineBytes);
    EXPECT_TRUE(std::holds_alternative<Job>(ParseJob(atBound)));
    EXPECT_FALSE(std::holds_alternative<Job>(ParseJob(atBound + " ")));
}

} // namespace
} // namespace ct
