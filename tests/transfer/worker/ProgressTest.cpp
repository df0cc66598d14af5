#include "transfer/TThreadCopia.h"

#include <algorithm>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "support/RecordingFtpClient.h"
#include "support/TestClock.h"
#include "WorkerTestSupport.h"
#include "transfer/AppGlobals.h"

namespace ct::test {
namespace {

namespace fs = std::filesystem;
using Events = std::vector<std::string>;

struct SpeedCase {
    double speed;
    char separator;
    const char* text;
};

class SpeedText : public ::testing::TestWithParam<SpeedCase> {};

TEST_P(SpeedText, HasTwoRoundedDecimalsAndTheLocaleSeparator) {
    EXPECT_EQ(FormatSpeed(GetParam().speed, GetParam().separator), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Values, SpeedText,
                         ::testing::Values(SpeedCase{0.0, '.', "0.00 KB/s"}, SpeedCase{0.0, ',', "0,00 KB/s"},
                                           SpeedCase{1234.567, '.', "1234.57 KB/s"},
                                           SpeedCase{1234.567, ',', "1234,57 KB/s"},
                                           SpeedCase{0.004, '.', "0.00 KB/s"}, SpeedCase{99.999, '.', "100.00 KB/s"},
                                           SpeedCase{12.3, '.', "12.30 KB/s"},
                                           SpeedCase{1e7, '.', "10000000.00 KB/s"}));

// The work handlers called as the client calls them, with recording controls.
class WorkHandlers : public WorkerTest {
protected:
    void SetUp() override {
        WorkerTest::SetUp();
        worker = MakeWorker();
        worker->LabelSpeed = &speed;
        worker->ProgressBarSpeed = &bar;
    }
    // Runs the handlers on a thread of their own, as in a threaded run, pumping meanwhile.
    void OnWorkerThread(const std::function<void()>& calls) {
        std::atomic<bool> done{false};
        std::thread t([&] {
            calls();
            done = true;
        });
        EXPECT_TRUE(dispatcher.PumpUntil([&] { return done.load(); }));
        t.join();
    }

    ControlLog log;
    RecordingLabel speed{log, "speed"};
    RecordingProgressBar bar{log};
    std::unique_ptr<TThreadCopia> worker;
    const std::regex speedCaption{R"(speed\.caption \d+\.\d\d KB/s)"};
};

TEST_F(WorkHandlers, InlineRunShowsTheBarAndRepaintsExplicitly) {
    worker->isAthread = false;
    worker->FTPWorkBegin(nullptr, TWorkMode::wmWrite, 1000);
    worker->FTPWork(nullptr, TWorkMode::wmWrite, 400);
    worker->FTPWorkEnd(nullptr, TWorkMode::wmWrite);
    Events e = log.Events();
    ASSERT_EQ(e.size(), 10u);
    EXPECT_EQ(Events(e.begin(), e.begin() + 3), (Events{"bar.show", "bar.max 1000", "bar.repaint"}));
    EXPECT_TRUE(std::regex_match(e[3], speedCaption)) << e[3];
    EXPECT_EQ(Events(e.begin() + 4, e.end()),
              (Events{"speed.repaint", "bar.pos 400", "bar.pos 0", "bar.hide", "bar.repaint", "speed.repaint"}));
}

// A threaded run never waits for the GUI thread: what it shows is its newest state, so a
// thousand changes made while the GUI thread did not look cost it one step, and a transfer that
// ended meanwhile leaves the bar hidden at 0.
TEST_F(WorkHandlers, ThreadedRunShowsItsNewestStateOnTheGuiThread) {
    worker->isAthread = true;
    std::thread t([&] {
        worker->FTPWorkBegin(nullptr, TWorkMode::wmRead, 1000);
        for (int i = 1; i <= 1000; ++i)
            worker->FTPWork(nullptr, TWorkMode::wmRead, i);
        worker->FTPWorkEnd(nullptr, TWorkMode::wmRead);
    });
    t.join();
    EXPECT_TRUE(log.Events().empty()) << "the worker waited for nothing";
    dispatcher.PumpUntil([] { return false; }, std::chrono::milliseconds(100));
    Events e = log.Events();
    ASSERT_EQ(e.size(), 5u);
    EXPECT_EQ(Events(e.begin(), e.begin() + 3), (Events{"bar.max 1000", "bar.pos 0", "bar.hide"}));
    EXPECT_TRUE(std::regex_match(e[3], speedCaption)) << e[3];
    EXPECT_EQ(e[4], "speed.hide");
    for (auto id : log.Threads())
        EXPECT_EQ(id, dispatcher.MainThreadId());
}

// The run's end shows what is still pending, and a step planned before it shows nothing after
// it: the window's own end-of-run texts are never overwritten by a late look.
TEST_F(WorkHandlers, TheRunsEndShowsWhatIsPendingAndNothingAfterIt) {
    auto display = RunDisplay::Create(nullptr, &speed, &bar, nullptr);
    std::thread([&] {
        display->BeginWork(10);
        display->Progress("1.00 KB/s", 5);
    }).join();
    display->Settle();
    const Events shown = {"bar.max 10", "bar.pos 5", "bar.show", "speed.caption 1.00 KB/s", "speed.show"};
    EXPECT_EQ(log.Events(), shown);
    dispatcher.PumpUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(log.Events(), shown) << "the step queued before the end showed something after it";
}

TEST_F(WorkHandlers, WithoutASpeedLabelNoSpeedIsShownButTheBarMoves) {
    worker->LabelSpeed = nullptr;
    worker->FTPWorkBegin(nullptr, TWorkMode::wmWrite, 10);
    worker->FTPWork(nullptr, TWorkMode::wmWrite, 5);
    worker->FTPWorkEnd(nullptr, TWorkMode::wmWrite);
    EXPECT_EQ(log.Events(), (Events{"bar.show", "bar.max 10", "bar.repaint", "bar.pos 5", "bar.pos 0", "bar.hide",
                                    "bar.repaint"}));
}

TEST_F(WorkHandlers, WithoutControlsNothingIsTouched) {
    worker->LabelSpeed = nullptr;
    worker->ProgressBarSpeed = nullptr;
    for (bool threaded : {false, true}) {
        worker->isAthread = threaded;
        OnWorkerThread([&] {
            worker->FTPWorkBegin(nullptr, TWorkMode::wmWrite, 10);
            worker->FTPWork(nullptr, TWorkMode::wmWrite, 5);
            worker->FTPWorkEnd(nullptr, TWorkMode::wmWrite);
        });
    }
    EXPECT_TRUE(log.Events().empty());
}

TEST_F(WorkHandlers, TheSpeedUsesTheLocaleDecimalSeparator) {
    DecimalSeparator = ',';
    worker->FTPWorkBegin(nullptr, TWorkMode::wmWrite, 10);
    worker->FTPWork(nullptr, TWorkMode::wmWrite, 5);
    auto captions = log.With("speed.caption ");
    ASSERT_EQ(captions.size(), 1u);
    EXPECT_TRUE(std::regex_match(captions[0], std::regex(R"(\d+,\d\d KB/s)"))) << captions[0];
}

TEST_F(WorkHandlers, AnUnannouncedTotalTakesTheFallbackMaximum) {
    for (std::int64_t total : {0, -1}) {
        worker->FTPWorkBegin(nullptr, TWorkMode::wmWrite, total);
        worker->FTPWorkEnd(nullptr, TWorkMode::wmWrite);
    }
    EXPECT_EQ(log.With("bar.max "), (Events{"0", "0"}));
}

struct ExactSpeed {
    const char* name;
    std::chrono::microseconds elapsed;  // from the begin event to the progress event
    std::int64_t bytes;
    const char* text;
};

void PrintTo(const ExactSpeed& c, std::ostream* os) {
    *os << c.name;
}

class SpeedOnTheWorkersClock : public WorkHandlers, public ::testing::WithParamInterface<ExactSpeed> {};

// Times on the worker's clock make the figure exact: the elapsed time counted in whole
// milliseconds, the bytes over 1024, nothing shown before a millisecond has passed. (Each time
// lies half a millisecond off the boundary: the date-time in days cannot hold an exact one.)
TEST_P(SpeedOnTheWorkersClock, FollowsTheFormula) {
    const ExactSpeed c = GetParam();
    TestClock clock;
    worker->Clock = &clock;
    worker->FTPWorkBegin(nullptr, TWorkMode::wmWrite, c.bytes);
    clock.Advance(c.elapsed);
    worker->FTPWork(nullptr, TWorkMode::wmWrite, c.bytes);
    EXPECT_EQ(log.With("speed.caption "), (Events{c.text}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpeedOnTheWorkersClock,
    ::testing::Values(ExactSpeed{"the same millisecond", std::chrono::microseconds(0), 4096, "0.00 KB/s"},
                      ExactSpeed{"under a millisecond", std::chrono::microseconds(900), 4096, "0.00 KB/s"},
                      ExactSpeed{"one whole millisecond", std::chrono::microseconds(1500), 1024, "1000.00 KB/s"},
                      ExactSpeed{"a steady megabyte a second", std::chrono::microseconds(2000500), 2 << 20,
                                 "1024.00 KB/s"},
                      ExactSpeed{"longer than a day", std::chrono::microseconds(90000000500LL),
                                 std::int64_t{90000} * 10 * 1024, "10.00 KB/s"}),
    [](const auto& info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

class BarScale : public WorkHandlers, public ::testing::WithParamInterface<std::int64_t> {};

// The bar takes 32-bit values: large transfers are scaled so that it still runs 0..full.
TEST_P(BarScale, FullTransferFillsTheBarExactly) {
    const std::int64_t total = GetParam();
    worker->LabelSpeed = nullptr;
    worker->FTPWorkBegin(nullptr, TWorkMode::wmRead, total);
    worker->FTPWork(nullptr, TWorkMode::wmRead, total / 2);
    worker->FTPWork(nullptr, TWorkMode::wmRead, total);
    auto max = log.With("bar.max ");
    auto pos = log.With("bar.pos ");
    ASSERT_EQ(max.size(), 1u);
    ASSERT_EQ(pos.size(), 2u);
    const std::int64_t m = std::stoll(max[0]);
    EXPECT_GT(m, 0);
    EXPECT_LE(m, std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(std::stoll(pos[1]), m);
    EXPECT_NEAR(static_cast<double>(std::stoll(pos[0])), m / 2.0, 1.0);
    if (total <= std::numeric_limits<std::int32_t>::max()) {
        EXPECT_EQ(m, total) << "small totals are shown unscaled";
    }
}

INSTANTIATE_TEST_SUITE_P(Totals, BarScale,
                         ::testing::Values(std::int64_t{1}, std::int64_t{2147483647}, std::int64_t{2147483648},
                                           std::int64_t{5} << 30, std::int64_t{1} << 40,
                                           std::numeric_limits<std::int64_t>::max()));

// Announcements, reloads and the counts, through whole runs over a recording client.
class Announcements : public WorkerTest {
protected:
    void SetUp() override {
        WorkerTest::SetUp();
        worker = MakeWorker();
        worker->ClientFactory = RecordingFactory(state);
        worker->LabelFile = &fileLabel;
        worker->BalloonHint = &tray;
        worker->fileCloudTotCount = 10;
    }
    std::string Upload(const std::string& name, const std::string& d) {
        fs::path p = dir / name;
        WriteFileBytes(p, "x");
        JobSpec job;
        job.f = p.string();
        job.d = d;
        return JobLineText(job);
    }
    std::string Download(const std::string& f) {
        JobSpec job;
        job.v = "get";
        job.f = f;
        job.d = "\\missing.pdf";
        return JobLineText(job);
    }

    std::shared_ptr<RecordingFtpServer> state = std::make_shared<RecordingFtpServer>();
    ControlLog log;
    RecordingLabel fileLabel{log, "file"};
    RecordingTray tray{log};
    std::unique_ptr<TThreadCopia> worker;
};

TEST_F(Announcements, ShowTheCountAgainstTheTotalOnTheLabelAndTheTray) {
    WriteLines(batch, {Download("C:\\dati\\a.pdf"), Download("C:\\dati\\b.pdf"), Download("C:\\dati\\report.pdf")});
    worker->Execute();
    EXPECT_EQ(log.With("file.caption "), (Events{"1/10- file: C:\\dati\\a.pdf", "2/10- file: C:\\dati\\b.pdf",
                                                "3/10- file: C:\\dati\\report.pdf"}));
    Events e = log.Events();
    ASSERT_EQ(e.size(), 12u);
    EXPECT_EQ(Events(e.begin() + 8, e.end()),
              (Events{"file.caption 3/10- file: C:\\dati\\report.pdf", "file.repaint",
                      "tray.hint Trasferimento su Cloud - Attendere...\r\n File 3/10",
                      "tray.balloon Trasferimento su Cloud - Attendere...|File 3/10|0|10"}));
}

TEST_F(Announcements, ARequeuedJobDoesNotAdvanceTheCount) {
    state->putRaisesFor = "bad";
    WriteLines(batch, {Upload("a.txt", "\\bad.txt"), Upload("b.txt", "\\good.txt")});
    worker->Execute();
    // bad (1), good (1 again: the requeue lowered the count), bad twice more, dropped.
    EXPECT_EQ(log.With("file.caption ").size(), 4u);
    auto hints = log.With("tray.hint ");
    ASSERT_EQ(hints.size(), 4u);
    EXPECT_EQ(hints[0], "Trasferimento su Cloud - Attendere...\r\n File 1/10");
    EXPECT_EQ(hints[1], "Trasferimento su Cloud - Attendere...\r\n File 1/10");
    EXPECT_EQ(hints[2], "Trasferimento su Cloud - Attendere...\r\n File 2/10");
    EXPECT_EQ(hints[3], "Trasferimento su Cloud - Attendere...\r\n File 2/10");
    EXPECT_EQ(worker->FileCloudTrCount(), 2);
}

TEST_F(Announcements, AnUploadWhoseFileIsMissingIsNotAnnounced) {
    JobSpec job;
    job.f = (dir / "nothing-here.txt").string();
    job.d = "\\n.txt";
    WriteLines(batch, {JobLineText(job)});
    worker->Execute();
    EXPECT_TRUE(log.Events().empty());
}

TEST_F(Announcements, TheReloadStepNeedsAnInteractiveWindow) {
    WriteLines(batch, {Download("/tmp/x/a.pdf"), Download("/tmp/x/b.pdf")});
    InteractiveMode = false;
    worker->Execute();
    EXPECT_EQ(view.Reloads(), 0u);

    WriteLines(batch, {Download("/tmp/x/a.pdf")});
    InteractiveMode = true;
    CloudTransferFrm = nullptr;
    auto again = MakeWorker();
    again->ClientFactory = worker->ClientFactory;
    again->Execute();
    EXPECT_EQ(view.Reloads(), 0u);
    EXPECT_FALSE(fs::exists(batch));
}

TEST_F(Announcements, ThreadedRunRunsEveryStepOnTheGuiThread) {
    RecordingLabel speed{log, "speed"};
    RecordingProgressBar bar{log};
    worker->LabelSpeed = &speed;
    worker->ProgressBarSpeed = &bar;
    WriteLines(batch, {Upload("a.txt", "\\a.txt"), Upload("b.txt", "\\in\\b.txt")});
    ASSERT_TRUE(RunThreaded(*worker));
    EXPECT_EQ(log.With("file.caption ").size(), 2u);
    const Events e = log.Events();
    const auto lastShowOrHide = std::find_if(e.rbegin(), e.rend(), [](const std::string& event) {
        return event == "bar.show" || event == "bar.hide";
    });
    ASSERT_NE(lastShowOrHide, e.rend());
    EXPECT_EQ(*lastShowOrHide, "bar.hide") << "the bar ends hidden";
    EXPECT_EQ(view.Reloads(), 2u);
    for (auto id : log.Threads())
        EXPECT_EQ(id, dispatcher.MainThreadId());
    auto steps = dispatcher.StepThreads();
    EXPECT_GE(steps.size(), 2u + 2u + 1u) << "a display step and a reload per file, the end";
    for (auto id : steps)
        EXPECT_EQ(id, dispatcher.MainThreadId());
}

} // namespace
} // namespace ct::test
