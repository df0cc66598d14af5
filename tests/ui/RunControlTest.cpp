#include "ui/UnitMain.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QWindow>

#include <thread>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <gtest/gtest.h>

#include "UiTestSupport.h"
#include "platform/tray/TCoolTrayIcon.h"
#include "support/FtpServers.h"

namespace ct::test {
namespace {

namespace fs = std::filesystem;

struct ButtonStates {
    bool avvia, termina, esci;
    bool operator==(const ButtonStates&) const = default;
};

std::ostream& operator<<(std::ostream& out, const ButtonStates& s) {
    return out << "{Avvia " << s.avvia << ", Termina " << s.termina << ", Esci " << s.esci << "}";
}

ButtonStates StatesOf(const TCloudTransferFrm& form) {
    return {form.Button1->isEnabled(), form.Button4->isEnabled(), form.Button5->isEnabled()};
}

const ButtonStates kIdle{true, false, true};

// Far more than loopback's socket buffers take in at once, so that a throttled upload of it
// stays in progress for many seconds.
constexpr std::size_t kBigFile = 48u << 20;

class RunControl : public testing::Test, public UiFixtureBase {
protected:
    // Three uploads into nested folders and one download.
    void WriteJobs(std::uint16_t port, const PyFtpServer& server) {
        for (const char* name : {"a.txt", "b.txt", "c.txt"})
            WriteFileBytes(Work() / name, MakePattern(3000, name[0]));
        fs::create_directories(server.Root() / "src");
        WriteFileBytes(server.Root() / "src" / "d.bin", MakePattern(5000, 7));
        WriteBatch({UploadLine(port, (Work() / "a.txt").string(), "\\up\\a.txt"),
                    UploadLine(port, (Work() / "b.txt").string(), "\\up\\x\\b.txt"),
                    UploadLine(port, (Work() / "c.txt").string(), "\\up\\x\\y\\c.txt"),
                    DownloadLine(port, "\\src\\d.bin", (Work() / "in" / "d.bin").string())});
    }
    void ExpectJobsDone(const PyFtpServer& server) {
        EXPECT_EQ(ReadFileBytes(server.Root() / "up" / "a.txt"), MakePattern(3000, 'a'));
        EXPECT_EQ(ReadFileBytes(server.Root() / "up" / "x" / "b.txt"), MakePattern(3000, 'b'));
        EXPECT_EQ(ReadFileBytes(server.Root() / "up" / "x" / "y" / "c.txt"), MakePattern(3000, 'c'));
        EXPECT_EQ(ReadFileBytes(Work() / "in" / "d.bin"), MakePattern(5000, 7));
        EXPECT_FALSE(fs::exists(Batch()));
    }
};

TEST_F(RunControl, ThreadedRunFromAvviaToIdle) {
    PyFtpServer server;
    WriteJobs(server.Port(), server);
    auto form = MakeForm();
    form->show();
    ASSERT_EQ(form->FileCount(), 4);
    form->Button1->click();
    ASSERT_NE(ThreadCopia, nullptr);
    EXPECT_EQ(StatesOf(*form), (ButtonStates{false, true, false}));
    EXPECT_TRUE(form->CloseCommandEnabled());
    // Everything else stays usable during a threaded run.
    EXPECT_TRUE(form->Button2->isEnabled());
    EXPECT_TRUE(form->Button6->isEnabled());
    EXPECT_TRUE(form->CBbackground->isEnabled());
    EXPECT_EQ(ThreadCopia->fileCloudTotCount, 4);
    EXPECT_TRUE(ThreadCopia->isAthread);

    ASSERT_TRUE(WaitUntil([] { return ThreadCopia == nullptr; }));
    EXPECT_EQ(StatesOf(*form), kIdle);
    ExpectJobsDone(server);
    EXPECT_EQ(form->ValueListEditor1->RowCount(), 0);
    EXPECT_TRUE(form->CloseCommandEnabled());
    // The last announcement stays on the tray icon, counted against the run's total.
    EXPECT_TRUE(form->TextTrayIcon1->Hint().startsWith("Trasferimento su Cloud - Attendere...\r\n File "));
    EXPECT_TRUE(form->TextTrayIcon1->Hint().endsWith("/4"));
    EXPECT_TRUE(form->TextTrayIcon1->LastBalloon().text.endsWith("/4"));
    EXPECT_EQ(form->TextTrayIcon1->LastBalloon().title, "Trasferimento su Cloud - Attendere...");
    EXPECT_TRUE(form->ProgressBar1->isHidden());
    EXPECT_EQ(terminations, 0);
}

// A close request as the window manager makes it: a close event delivered to the native
// window, which Qt hands to the widget as a spontaneous one.
void WindowManagerClose(QWidget& window, bool queued) {
    QWindow* handle = window.windowHandle();
    ASSERT_NE(handle, nullptr);
    if (queued)
        QCoreApplication::postEvent(handle, new QCloseEvent);
    else {
        QCloseEvent close;
        QCoreApplication::sendEvent(handle, &close);
    }
}

TEST_F(RunControl, InlineRunIsDrawnAndGreysTheCloseCommandForGood) {
    PyFtpServer server;
    WriteJobs(server.Port(), server);
    auto form = MakeForm();
    form->show();
    const WId nativeBefore = form->winId();
    const Qt::WindowFlags flagsBefore = form->windowFlags();
    form->CBbackground->setChecked(false);
    // Seen from inside the run: the progress steps arrive on the GUI thread while Execute runs.
    std::vector<ButtonStates> during;
    bool closeRefused = false;
    bool inline_ = false;
    bool speedShown = false;
    bool sameWindow = true;
    QObject::connect(form->ProgressBar1, &QProgressBar::valueChanged, [&] {
        during.push_back(StatesOf(*form));
        inline_ = form->InlineRunning();
        closeRefused = !form->close() && form->isVisible();
        speedShown = speedShown || (form->LabelSpeed1->isVisible() && form->LabelSpeed1->text().endsWith(" KB/s"));
        sameWindow = sameWindow && form->winId() == nativeBefore && form->isVisible();
        if (during.size() == 1)
            WindowManagerClose(*form, /*queued=*/true);   // waits in the queue until the run ends
    });
    form->Button1->click();
    EXPECT_EQ(ThreadCopia, nullptr);
    ASSERT_FALSE(during.empty());
    for (const auto& s : during)
        EXPECT_EQ(s, (ButtonStates{false, false, false}));
    EXPECT_TRUE(inline_);
    EXPECT_TRUE(closeRefused);
    EXPECT_TRUE(speedShown);
    // Nothing made the window manager take the window down and map it again.
    EXPECT_TRUE(sameWindow);
    EXPECT_EQ(form->windowFlags(), flagsBefore);
    ExpectJobsDone(server);
    EXPECT_EQ(StatesOf(*form), kIdle);
    EXPECT_TRUE(form->LabelSpeed1->isHidden());

    // The close request that came during the run is not carried out afterwards, and the
    // window's close command stays greyed.
    QCoreApplication::processEvents();
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->CloseCommandEnabled());
    WindowManagerClose(*form, /*queued=*/false);
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(terminations, 0);

    // A threaded run later does not bring it back; "Esci" still closes.
    form->CBbackground->setChecked(true);
    form->Button1->click();
    ASSERT_TRUE(WaitUntil([] { return ThreadCopia == nullptr; }));
    WindowManagerClose(*form, /*queued=*/false);
    EXPECT_TRUE(form->isVisible());
    form->Button5->click();
    EXPECT_EQ(terminations, 1);
}

TEST_F(RunControl, TheWindowManagersCloseWorksWhileNoInlineRunHasHappened) {
    auto form = MakeForm();
    form->show();
    WindowManagerClose(*form, /*queued=*/false);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(terminations, 1);
}

TEST_F(RunControl, AvviaWithoutABatchFileEndsAtOnce) {
    auto form = MakeForm();
    form->Button1Click(form->Button1);
    ASSERT_TRUE(WaitUntil([] { return ThreadCopia == nullptr; }));
    EXPECT_EQ(StatesOf(*form), kIdle);
    EXPECT_FALSE(fs::exists(Batch()));
}

TEST_F(RunControl, DeletedButUnsavedRowsAreProcessedToo) {
    PyFtpServer server;
    WriteJobs(server.Port(), server);
    auto form = MakeForm();
    form->Button2Click(form->Button2);
    form->Button1Click(form->Button1);
    ASSERT_TRUE(WaitUntil([] { return ThreadCopia == nullptr; }));
    ExpectJobsDone(server);
}

TEST_F(RunControl, TerminaDuringAThrottledUploadKeepsTheJob) {
    PyFtpOptions options;
    options.extraArgs = {"--throttle", "1000000"};
    options.rootOnTmpfs = true;
    PyFtpServer server(options);
    WriteFileBytes(Work() / "big.bin", MakePattern(kBigFile, 3));
    const std::string line = UploadLine(server.Port(), (Work() / "big.bin").string(), "\\up\\big.bin");
    WriteBatch({line});
    const std::string before = BatchBytes();
    auto form = MakeForm();
    form->Button1Click(form->Button1);
    ASSERT_TRUE(WaitUntil([&] { return form->ProgressBar1->value() > 0; }));
    EXPECT_FALSE(form->ProgressBar1->isHidden());
    EXPECT_FALSE(form->LabelSpeed1->isHidden());
    EXPECT_TRUE(form->LabelSpeed1->text().endsWith(" KB/s"));
    form->Button4->click();
    ASSERT_TRUE(WaitUntil([] { return ThreadCopia == nullptr; }));
    EXPECT_EQ(StatesOf(*form), kIdle);
    EXPECT_EQ(BatchBytes(), before);
    EXPECT_EQ(form->ValueListEditor1->RowCount(), 1);
    EXPECT_TRUE(form->ProgressBar1->isHidden());
}

TEST_F(RunControl, TerminaWithoutARunDoesNothing) {
    auto form = MakeForm();
    form->Button4Click(form->Button4);
    EXPECT_EQ(StatesOf(*form), kIdle);
}

TEST_F(RunControl, ClosingDuringAThreadedRunStopsAndWaitsFirst) {
    PyFtpOptions options;
    options.extraArgs = {"--throttle", "1000000"};
    options.rootOnTmpfs = true;
    PyFtpServer server(options);
    WriteFileBytes(Work() / "big.bin", MakePattern(kBigFile, 3));
    WriteFileBytes(Work() / "small.txt", "small");
    const std::string big = UploadLine(server.Port(), (Work() / "big.bin").string(), "\\up\\big.bin");
    const std::string small = UploadLine(server.Port(), (Work() / "small.txt").string(), "\\up\\small.txt");
    WriteBatch({big, small});
    const std::string before = BatchBytes();
    auto form = MakeForm();
    form->show();
    form->Button1Click(form->Button1);
    ASSERT_TRUE(WaitUntil([&] { return form->ProgressBar1->value() > 0; }));
    EXPECT_TRUE(form->close());
    // By the time the window has closed the worker is gone and the queue is intact.
    EXPECT_EQ(ThreadCopia, nullptr);
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(BatchBytes(), before);
    EXPECT_FALSE(fs::exists(server.Root() / "up" / "small.txt"));
}

TEST_F(RunControl, UnattendedStartHidesRunsAndEnds) {
    PyFtpServer server;
    WriteJobs(server.Port(), server);
    auto form = MakeForm(1);
    EXPECT_FALSE(InteractiveMode.load());
    EXPECT_TRUE(form->isHidden());
    EXPECT_TRUE(form->TextTrayIcon1->IconVisible());
    EXPECT_TRUE(form->TextTrayIcon1->CycleIcons());
    EXPECT_EQ(form->TextTrayIcon1->LastBalloon().title, "Trasferimento su Cloud");
    ASSERT_NE(ThreadCopia, nullptr);
    EXPECT_TRUE(ThreadCopia->isAthread);
    EXPECT_EQ(terminations, 0);
    ASSERT_TRUE(WaitUntil([] { return ThreadCopia == nullptr; }));
    EXPECT_EQ(terminations, 1);
    ExpectJobsDone(server);
    // Nobody saw the hidden window: it counted the queue and read nothing into its view.
    EXPECT_EQ(form->FileCount(), 4);
    EXPECT_EQ(form->ValueListEditor1->RowCount(), 0);
    EXPECT_TRUE(form->isHidden());
}

TEST_F(RunControl, UnattendedStartWithoutABatchFileEndsWithoutAWindow) {
    auto form = MakeForm(2);
    ASSERT_TRUE(WaitUntil([] { return ThreadCopia == nullptr; }));
    EXPECT_GE(terminations, 1);
    EXPECT_TRUE(form->isHidden());
}

TEST_F(RunControl, UnattendedRunStillEndsTheApplicationAfterMostra) {
    PyFtpOptions options;
    options.extraArgs = {"--throttle", "200000"};
    PyFtpServer server(options);
    WriteFileBytes(Work() / "m.bin", MakePattern(400000, 9));
    WriteBatch({UploadLine(server.Port(), (Work() / "m.bin").string(), "\\m.bin")});
    auto form = MakeForm(1);
    form->Mostrainterfaccia1->trigger();
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->TextTrayIcon1->IconVisible());
    ASSERT_TRUE(WaitUntil([] { return ThreadCopia == nullptr; }));
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(ReadFileBytes(server.Root() / "m.bin"), MakePattern(400000, 9));
}

// An unattended run's window shown from the tray reads the queue then, and from then on follows
// the run after each job like a window's run does.
TEST_F(RunControl, AnUnattendedRunShownFromTheTrayFollowsItsJobs) {
    PyFtpOptions options;
    options.extraArgs = {"--pace", "200000"};
    PyFtpServer server(options);
    WriteFileBytes(Work() / "m.bin", MakePattern(100000, 9));
    WriteBatch({UploadLine(server.Port(), (Work() / "m.bin").string(), "\\m.bin"), "not a job"});
    auto form = MakeForm(1);
    EXPECT_EQ(form->ValueListEditor1->RowCount(), 0);
    form->Mostrainterfaccia1->trigger();
    EXPECT_EQ(form->ValueListEditor1->RowCount(), 2) << "read when shown, the upload still running";
    ASSERT_TRUE(WaitUntil([] { return ThreadCopia == nullptr; }));
    // The run stopped at the line that is not a job, after the view had followed the upload.
    ASSERT_EQ(form->ValueListEditor1->RowCount(), 1);
    EXPECT_EQ(form->ValueListEditor1->Model()->Line(0), "not a job");
    EXPECT_EQ(terminations, 1);
}

// A watch shown from the tray: "Termina" stops it and leaves the program running, the queue
// untouched; "Avvia" watches again, and what came meanwhile is done.
TEST_F(RunControl, TerminaStopsAWatchAndAvviaStartsItAgain) {
    PyFtpServer server;
    auto options = Options(1);
    options.Watch = true;
    auto form = CreateForm(options);
    form->Mostrainterfaccia1->trigger();
    ASSERT_NE(ThreadCopia, nullptr);
    EXPECT_EQ(StatesOf(*form), (ButtonStates{false, true, false}));
    form->Button4->click();
    ASSERT_TRUE(WaitUntil([] { return ThreadCopia == nullptr; }));
    EXPECT_EQ(StatesOf(*form), kIdle);
    WriteFileBytes(Work() / "w.txt", "watched");
    WriteBatch({UploadLine(server.Port(), (Work() / "w.txt").string(), "\\w.txt")});
    EXPECT_FALSE(WaitUntil([&] { return fs::exists(server.Root() / "w.txt"); }, std::chrono::milliseconds(1500)));
    form->CBbackground->setChecked(false);   // a watch has a thread of its own all the same
    form->Button1->click();
    ASSERT_TRUE(
        WaitUntil([&] { return fs::exists(server.Root() / "w.txt") && form->ValueListEditor1->RowCount() == 0; }));
    EXPECT_NE(ThreadCopia, nullptr);   // still watching with the queue done
    form->Button4->click();
    ASSERT_TRUE(WaitUntil([] { return ThreadCopia == nullptr; }));
    EXPECT_EQ(terminations, 0);
    EXPECT_EQ(form->ExitStatus(), 0);
}

TEST_F(RunControl, AnInteractiveRunStoppedByAnErrorSaysWhyInTheFileLabel) {
    WriteBatch({"{}"});
    auto options = Options();
    options.Outcome = [](const TThreadCopia&) {
        return RunOutcome{TThreadCopia::RunEnd::Error, "the queue cannot be rewritten"};
    };
    auto form = CreateForm(options);
    form->Button1Click(form->Button1);
    ASSERT_TRUE(WaitUntil([] { return ThreadCopia == nullptr; }));
    EXPECT_EQ(StatesOf(*form), kIdle);
    EXPECT_EQ(form->LabelFile1->text(), "Trasferimento interrotto: the queue cannot be rewritten");
    EXPECT_EQ(form->ValueListEditor1->RowCount(), 1);   // reloaded first
    EXPECT_EQ(form->ExitStatus(), 0);
}

struct EndCase {
    const char* name;
    TThreadCopia::RunEnd how;
    const char* error;
    int status;
    const char* stderrText;
};

class UnattendedRunEnd : public testing::TestWithParam<EndCase>, public UiFixtureBase {};

TEST_P(UnattendedRunEnd, GivesTheExitStatusAndSaysWhyOnStandardError) {
    const EndCase& c = GetParam();
    auto options = Options(1);
    options.Outcome = [&c](const TThreadCopia&) { return RunOutcome{c.how, c.error}; };
    testing::internal::CaptureStderr();
    auto form = CreateForm(options);
    const bool ended = WaitUntil([] { return ThreadCopia == nullptr; });
    const std::string printed = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ended);
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(form->ExitStatus(), c.status);
    EXPECT_EQ(printed, c.stderrText);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, UnattendedRunEnd,
    testing::Values(EndCase{"Done", TThreadCopia::RunEnd::Done, "", 0, ""},
                    EndCase{"Stopped", TThreadCopia::RunEnd::Stopped, "", 0, ""},
                    EndCase{"ServersUnreachable", TThreadCopia::RunEnd::ServersUnreachable, "", 1, ""},
                    EndCase{"Error", TThreadCopia::RunEnd::Error, "lock held too long", 2,
                            "cloudtransfer: lock held too long\n"}),
    [](const testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

TEST_F(RunControl, AnUnattendedStartThatCannotReadTheQueueExitsWithAnError) {
    fs::create_directories(Batch());   // a folder where the file should be
    testing::internal::CaptureStderr();
    auto form = MakeForm(1);
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(form->ExitStatus(), 2);
    EXPECT_EQ(printed.rfind("cloudtransfer: ", 0), 0u) << printed;
    EXPECT_EQ(ThreadCopia, nullptr);
}

// The session's end (a signal, the session manager) asked from another thread, as the signal
// watcher does.
void RequestEndFromAnotherThread(TCloudTransferFrm& form) {
    std::thread([&form] { form.RequestSessionEnd(); }).join();
}

class SessionEnd : public RunControl {
protected:
    void SetUp() override {
        PyFtpOptions options;
        options.extraArgs = {"--throttle", "1000000"};
        options.rootOnTmpfs = true;
        m_server = std::make_unique<PyFtpServer>(options);
        WriteFileBytes(Work() / "big.bin", MakePattern(kBigFile, 3));
        WriteFileBytes(Work() / "small.txt", "small");
        WriteBatch({UploadLine(m_server->Port(), (Work() / "big.bin").string(), "\\up\\big.bin"),
                    UploadLine(m_server->Port(), (Work() / "small.txt").string(), "\\up\\small.txt")});
        m_before = BatchBytes();
    }
    void ExpectTheQueueAsItWas() {
        EXPECT_EQ(BatchBytes(), m_before);
        EXPECT_FALSE(fs::exists(m_server->Root() / "up" / "small.txt"));
    }

    std::unique_ptr<PyFtpServer> m_server;
    std::string m_before;
};

TEST_F(SessionEnd, StopsAnInlineRunAtOnceAndEnds) {
    auto form = MakeForm();
    form->show();
    form->CBbackground->setChecked(false);
    bool asked = false;
    QObject::connect(form->ProgressBar1, &QProgressBar::valueChanged, [&] {
        if (form->ProgressBar1->value() > 0 && !asked) {
            asked = true;
            RequestEndFromAnotherThread(*form);
        }
    });
    form->Button1->click();   // returns once the inline run has ended
    EXPECT_TRUE(asked);
    ExpectTheQueueAsItWas();
    ASSERT_TRUE(WaitUntil([&] { return terminations == 1; }));
    EXPECT_EQ(form->ExitStatus(), 0);
}

TEST_F(SessionEnd, StopsAThreadedRunAndEnds) {
    auto form = MakeForm();
    form->Button1Click(form->Button1);
    ASSERT_TRUE(WaitUntil([&] { return form->ProgressBar1->value() > 0; }));
    RequestEndFromAnotherThread(*form);
    ASSERT_TRUE(WaitUntil([&] { return terminations == 1; }));
    EXPECT_EQ(ThreadCopia, nullptr);
    ExpectTheQueueAsItWas();
}

} // namespace
} // namespace ct::test
