#include "platform/ftp/TIdFTP.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FtpTestHelpers.h"

namespace ct {
namespace {

using namespace std::chrono_literals;
using test::WriteHook;
using Results = std::vector<bool>;
using Lines = std::vector<std::string>;

FtpFolderCommand Mkd(const std::string& name) {
    return {FtpFolderCommand::Verb::MakeDir, name};
}
FtpFolderCommand Cwd(const std::string& name) {
    return {FtpFolderCommand::Verb::ChangeDir, name};
}

// The folder commands the server received, in order.
Lines FolderCommands(const test::PyFtpServer& server) {
    Lines out;
    for (const auto& line : server.Log())
        if (line.rfind("MKD", 0) == 0 || line.rfind("CWD", 0) == 0)
            out.push_back(line);
    return out;
}

// ---- folder commands sent together ----

TEST(FolderBatch, RepliesAreReadInOrderAndEachCommandFailsAlone) {
    test::PyFtpServer server;
    auto ftp = test::MakeClient(server.Port());
    ftp->Connect();
    server.ClearLog();
    EXPECT_EQ(ftp->RunFolderCommands({Mkd("a"), Mkd("a"), Cwd("nope"), Cwd("a"), Mkd("b"), Cwd("/a")}),
              (Results{true, false, false, true, true, true}));
    EXPECT_EQ(FolderCommands(server), (Lines{"MKD a", "MKD a", "CWD nope", "CWD a", "MKD b", "CWD /a"}));
    EXPECT_TRUE(std::filesystem::is_directory(server.Root() / "a" / "b"));
    // In step: the next command gets its own answer.
    EXPECT_EQ(ftp->RetrieveCurrentDir(), "/a");
    EXPECT_EQ(ftp->KnownCurrentDir(), "/a");
}

TEST(FolderBatch, ANameThatCannotBeSentFailsAloneAndNeverLeaves) {
    test::PyFtpServer server;
    auto ftp = test::MakeClient(server.Port());
    ftp->Connect();
    server.ClearLog();
    EXPECT_EQ(ftp->RunFolderCommands({Mkd("x\r\nDELE y"), Mkd("z"), Cwd(std::string("w\0v", 3))}),
              (Results{false, true, false}));
    EXPECT_EQ(server.Log(), (Lines{"MKD z"}));
    EXPECT_TRUE(ftp->Connected());
}

// A session that breaks part-way fails what it has not answered, as each command would have
// failed on its own, and is closed.
TEST(FolderBatch, A421FailsTheRestAndClosesTheSession) {
    test::PyFtpOptions options;
    options.extraArgs = {"--refuse", "MKD=421"};
    test::PyFtpServer server(options);
    auto ftp = test::MakeClient(server.Port());
    ftp->Connect();
    EXPECT_EQ(ftp->RunFolderCommands({Cwd("/"), Mkd("a"), Cwd("a"), Cwd("/")}), (Results{true, false, false, false}));
    EXPECT_FALSE(ftp->Connected());
    EXPECT_EQ(ftp->KnownCurrentDir(), "");
    ftp->Connect();
    EXPECT_TRUE(ftp->Connected()) << "a new session can be had";
}

// A server that leaves a command unanswered is out of step: whatever answers came, the batch
// ends within the reply time-out with its last command failed and the session closed, as the
// unanswered command alone would have ended it.
TEST(FolderBatch, ACommandNeverAnsweredEndsTheSessionWithinTheReplyTimeout) {
    test::PyFtpOptions options;
    options.extraArgs = {"--silent", "MKD"};
    test::PyFtpServer server(options);
    auto ftp = test::MakeClient(server.Port());
    ftp->SetReplyTimeout(1s);
    ftp->Connect();
    const auto started = std::chrono::steady_clock::now();
    const Results done = ftp->RunFolderCommands({Cwd("/"), Mkd("a"), Cwd("a"), Cwd("/")});
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    EXPECT_TRUE(done.front());
    EXPECT_FALSE(done.back());
    EXPECT_FALSE(ftp->Connected());
    EXPECT_EQ(ftp->KnownCurrentDir(), "");
}

// A server (or a middlebox) that loses every command after the first of a segment: with
// pipelining off the walk works, one command at a time.
TEST(FolderBatch, PipeliningOffServesAServerThatLosesCommandsSentTogether) {
    test::TempDir work;
    test::PyFtpOptions options;
    options.extraArgs = {"--hook", WriteHook(work, "plain_recv = Handler.recv\n"
                                                   "def recv(self, size):\n"
                                                   "    data = plain_recv(self, size)\n"
                                                   "    first, end, rest = data.partition(b'\\r\\n')\n"
                                                   "    return first + end if end else data\n"
                                                   "Handler.recv = recv\n")};
    test::PyFtpServer server(options);

    auto pipelined = test::MakeClient(server.Port());
    pipelined->SetReplyTimeout(1s);
    pipelined->Connect();
    EXPECT_EQ(pipelined->RunFolderCommands({Mkd("a"), Cwd("a")}), (Results{true, false}));

    auto plain = test::MakeClient(server.Port());
    plain->SetPipelining(false);
    plain->Connect();
    EXPECT_EQ(plain->RunFolderCommands({Mkd("b"), Cwd("b"), Cwd("/b")}), (Results{true, true, true}));
    EXPECT_EQ(plain->RetrieveCurrentDir(), "/b");
    // Transfers too: pipelined, a transfer command would go out with the session's second EPSV.
    test::TempDir local;
    test::WriteFileBytes(local / "f", "one at a time");
    for (const char* name : {"first", "second"})
        plain->Put((local / "f").string(), name, false, -1);
    EXPECT_EQ(test::ReadFileBytes(server.Root() / "b" / "second"), "one at a time");
}

// ---- the folder the client knows it stands in ----

TEST(KnownCurrentDir, IsSetOnlyByAnAbsoluteChangeDirAndDroppedByWhateverMayMoveIt) {
    test::PyFtpOptions options;
    options.extraArgs = {"--refuse", "STOR refused=553"};
    test::PyFtpServer server(options);
    test::TempDir local;
    test::WriteFileBytes(local / "f", "x");
    auto ftp = test::MakeClient(server.Port());
    ftp->Connect();
    EXPECT_EQ(ftp->KnownCurrentDir(), "") << "a new session has not said";

    ftp->ChangeDir("/");
    EXPECT_EQ(ftp->KnownCurrentDir(), "/");
    ftp->MakeDir("a");
    EXPECT_EQ(ftp->KnownCurrentDir(), "/");
    ftp->ChangeDir("a");
    EXPECT_EQ(ftp->KnownCurrentDir(), "") << "a relative path is the server's to resolve";
    ftp->ChangeDir("/a/");
    EXPECT_EQ(ftp->KnownCurrentDir(), "/a/") << "as it was given";
    EXPECT_THROW(ftp->ChangeDir("/nope"), FtpError);
    EXPECT_EQ(ftp->KnownCurrentDir(), "");

    ftp->ChangeDir("/a");
    ftp->Put((local / "f").string(), "kept", false, -1);
    ftp->Size("kept");
    EXPECT_EQ(ftp->KnownCurrentDir(), "/a") << "a transfer or a question does not move it";
    EXPECT_THROW(ftp->Put((local / "f").string(), "refused", false, -1), FtpError);
    EXPECT_EQ(ftp->KnownCurrentDir(), "") << "a refused upload makes the folder doubtful";

    ftp->ChangeDir("/a");
    ftp->Disconnect();
    EXPECT_EQ(ftp->KnownCurrentDir(), "");
    ftp->Connect();
    EXPECT_EQ(ftp->KnownCurrentDir(), "");
}

// ---- the transfer command sent while the data connection opens ----

// An upload to a server that names a port where nothing listens, as one does that closed its
// listener the moment it refused the command; `storArgs` say what it does about the STOR.
struct DeadPortUpload {
    explicit DeadPortUpload(const std::vector<std::string>& storArgs)
        : server(ServerOptions(work, storArgs)), ftp(test::MakeClient(server.Port())) {
        ftp->Connect();
    }

    // Uploads a file of one byte; the error it ends in.
    FtpError Put() {
        test::TempDir local;
        test::WriteFileBytes(local / "f", "x");
        return test::ExpectFtpError([&] { ftp->Put((local / "f").string(), "f", false, -1); });
    }

    static test::PyFtpOptions ServerOptions(const test::TempDir& work, const std::vector<std::string>& storArgs) {
        test::PyFtpOptions options;
        options.extraArgs = {"--hook", WriteHook(work, "def ftp_EPSV(self, line):\n"
                                                       "    self.respond('229 Entering extended passive mode (|||" +
                                                           std::to_string(test::FreeLoopbackPort()) + "|).')\n"
                                                       "Handler.ftp_EPSV = ftp_EPSV\n")};
        options.extraArgs.insert(options.extraArgs.end(), storArgs.begin(), storArgs.end());
        return options;
    }

    test::TempDir work;
    test::PyFtpServer server;
    std::unique_ptr<TIdFTP> ftp;
};

TEST(DataConnection, AFailedConnectionYieldsToTheRefusalThatCausedIt) {
    DeadPortUpload upload({"--refuse", "STOR=553"});
    const FtpError e = upload.Put();
    EXPECT_EQ(e.ReplyCode(), 553) << e.what();
    EXPECT_TRUE(upload.ftp->Connected()) << "the refusal was the last reply owed";
}

TEST(DataConnection, AFailedConnectionWithoutAWordFromTheServerEndsTheSession) {
    DeadPortUpload upload({"--silent", "STOR"});
    const auto started = std::chrono::steady_clock::now();
    const FtpError e = upload.Put();
    EXPECT_EQ(e.Kind(), FtpErrorKind::Job);
    EXPECT_EQ(e.Reason().rfind("cannot open the data connection", 0), 0u) << e.Reason();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_FALSE(upload.ftp->Connected()) << "the server still waits for the connection: out of step";
}

} // namespace
} // namespace ct
