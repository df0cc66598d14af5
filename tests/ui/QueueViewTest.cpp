#include "ui/UnitMain.h"

#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "UiTestSupport.h"
#include "batch/BatchFileStore.h"
#include "platform/json/SuperObject.h"

namespace ct::test {
namespace {

const std::string kJob1 = R"({"ftp":{"h":"a","u":"u","p":"p","t":21},"v":"put","f":"/dati/uno.txt","d":"\\x\\uno.txt"})";
const std::string kJob2 = R"({"ftp":{"h":"a","u":"u","p":"p","t":21},"v":"get","f":"/dati/due.txt","d":"\\x\\due.txt"})";
const std::string kJob3 = R"({"ftp":{"h":"a","u":"u","p":"p","t":21},"f":"/dati/tre.txt","d":"\\x\\tre.txt"})";
const std::string kJob4 = R"({"ftp":{"h":"a","u":"u","p":"p","t":21},"v":"put","f":"/dati/quattro.txt","d":"\\q.txt"})";

class QueueView : public testing::Test, public UiFixtureBase {
protected:
    std::vector<QString> Keys(TCloudTransferFrm& form) {
        std::vector<QString> keys;
        for (int r = 0; r < form.ValueListEditor1->RowCount(); ++r)
            keys.push_back(form.ValueListEditor1->Key(r));
        return keys;
    }
};

TEST_F(QueueView, LoadsTheLinesNumberedFromOne) {
    WriteBatch({kJob1, kJob2, kJob3});
    auto form = MakeForm();
    EXPECT_EQ(Keys(*form), (std::vector<QString>{"1", "2", "3"}));
    EXPECT_EQ(form->ValueListEditor1->Value(1).toStdString(), kJob2);
    EXPECT_EQ(form->FileCount(), 3);
    EXPECT_EQ(form->LabelFile1->text(), "");
    // The first row is current, as in a freshly filled grid.
    EXPECT_EQ(form->ValueListEditor1->Row(), 0);
}

TEST_F(QueueView, MissingFileGivesAnEmptyViewAndKeepsTheCount) {
    WriteBatch({kJob1, kJob2});
    auto form = MakeForm();
    std::filesystem::remove(Batch());
    form->LabelFile1->setText("x");
    form->LoadBatchList();
    EXPECT_EQ(form->ValueListEditor1->RowCount(), 0);
    EXPECT_EQ(form->LabelFile1->text(), "");
    EXPECT_EQ(form->FileCount(), 2);
    EXPECT_EQ(terminations, 0);
}

TEST_F(QueueView, ZeroByteFileIsDeletedAndEndsAnUnattendedStart) {
    WriteFileBytes(Batch(), "");
    {
        auto form = MakeForm();
        EXPECT_EQ(form->ValueListEditor1->RowCount(), 0);
        EXPECT_FALSE(std::filesystem::exists(Batch()));
        EXPECT_EQ(terminations, 0);
    }
    WriteFileBytes(Batch(), "");
    auto form = MakeForm(1);
    EXPECT_FALSE(std::filesystem::exists(Batch()));
    EXPECT_GE(terminations, 1);
    ASSERT_TRUE(WaitUntil([] { return ThreadCopia == nullptr; }));
}

// An unattended start counts the queue and leaves the hidden view unread (a long queue would
// cost the run its whole text for nobody); the window shown from the tray reads it then.
TEST_F(QueueView, AnUnattendedStartReadsTheViewOnceTheWindowIsShown) {
    WriteBatch({"not a job", "second", "third"});
    auto form = MakeForm(1);
    ASSERT_TRUE(WaitUntil([] { return ThreadCopia == nullptr; }));
    EXPECT_EQ(form->FileCount(), 3);
    EXPECT_EQ(form->ValueListEditor1->RowCount(), 0);
    form->Mostrainterfaccia1->trigger();
    ASSERT_EQ(form->ValueListEditor1->RowCount(), 3);
    EXPECT_EQ(form->ValueListEditor1->Model()->Line(0), "not a job");
}

TEST_F(QueueView, OneEmptyLineIsOneRowAndTheFileStays) {
    WriteFileBytes(Batch(), "\r\n");
    auto form = MakeForm();
    EXPECT_EQ(Keys(*form), (std::vector<QString>{"1"}));
    EXPECT_EQ(form->ValueListEditor1->Value(0), "");
    EXPECT_TRUE(std::filesystem::exists(Batch()));
}

struct Selection {
    const char* line;
    const char* label;
};

class SelectCellTable : public testing::TestWithParam<Selection>, public UiFixtureBase {};

TEST_P(SelectCellTable, ShowsDirectionAndLocalFile) {
    WriteBatch({"{}", GetParam().line});
    auto form = MakeForm();
    form->LabelFile1->setText("stale");
    form->ValueListEditor1->SetCurrentCell(1, 1);  // through the grid, as a click does
    EXPECT_EQ(form->LabelFile1->text(), QString::fromUtf8(GetParam().label));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SelectCellTable,
    testing::Values(Selection{R"({"v":"put","f":"C:\\dati\\a.pdf"})", "trasferire:C:\\dati\\a.pdf"},
                    Selection{R"({"v":"","f":"/a"})", "trasferire:/a"},
                    Selection{R"({"f":"/a"})", "trasferire:/a"},
                    Selection{R"({"v":"get","f":"/b"})", "recuperare:/b"},
                    Selection{R"({"v":"PUT","f":"/b"})", "recuperare:/b"},
                    Selection{R"({"v":"put"})", "trasferire:"},
                    Selection{R"({"v":"put","f":"/dati/città.txt"})", "trasferire:/dati/città.txt"},
                    Selection{"", ""}, Selection{"not json", ""}, Selection{"[1,2]", ""},
                    Selection{R"({"v":"put","f":)", ""}));

TEST_F(QueueView, SelectingBeyondTheRowsShowsNothingAndNeverFails) {
    WriteBatch({kJob1});
    auto form = MakeForm();
    bool allow = true;
    form->LabelFile1->setText("stale");
    form->ValueListEditor1SelectCell(1, 5, allow);
    EXPECT_EQ(form->LabelFile1->text(), "");
    EXPECT_TRUE(allow);
    form->ValueListEditor1SelectCell(1, -1, allow);
    EXPECT_EQ(form->LabelFile1->text(), "");
}

TEST_F(QueueView, DoubleClickCopiesTheLineAndSaysSo) {
    WriteBatch({kJob1, kJob2});
    auto form = MakeForm();
    form->show();
    form->ValueListEditor1->SetCurrentCell(1, 1);
    QApplication::clipboard()->setText("before");
    ModalCloser closer;
    form->ValueListEditor1DblClick(form->ValueListEditor1);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), kJob2);
    ASSERT_EQ(closer.texts.size(), 1u);
    EXPECT_EQ(closer.texts[0], "Linea copiata negli appunti");
}

TEST_F(QueueView, DoubleClickOnTheEmptyViewDoesNothing) {
    auto form = MakeForm();
    QApplication::clipboard()->setText("before");
    ModalCloser closer;
    form->ValueListEditor1DblClick(form->ValueListEditor1);
    EXPECT_EQ(QApplication::clipboard()->text(), "before");
    EXPECT_TRUE(closer.texts.empty());
}

TEST_F(QueueView, DeleteKeepsTheKeysAndOnlyChangesTheView) {
    WriteBatch({kJob1, kJob2, kJob3});
    const std::string before = BatchBytes();
    auto form = MakeForm();
    form->ValueListEditor1->SetCurrentCell(1, 1);
    form->Button2Click(form->Button2);
    EXPECT_EQ(Keys(*form), (std::vector<QString>{"1", "3"}));
    EXPECT_TRUE(form->Button3->isEnabled());
    EXPECT_EQ(BatchBytes(), before);
    EXPECT_EQ(form->FileCount(), 3);
}

TEST_F(QueueView, DeleteOnTheEmptyViewDoesNothing) {
    auto form = MakeForm();
    form->Button2Click(form->Button2);
    EXPECT_FALSE(form->Button3->isEnabled());
}

TEST_F(QueueView, SaveWritesTheRemainingLinesInViewOrder) {
    WriteBatch({kJob1, kJob2, kJob3});
    auto form = MakeForm();
    form->ValueListEditor1->SetCurrentCell(1, 1);
    form->Button2Click(form->Button2);
    form->Button3Click(form->Button3);
    EXPECT_EQ(BatchBytes(), kJob1 + "\r\n" + kJob3 + "\r\n");
    EXPECT_TRUE(form->Button3->isEnabled());
    EXPECT_EQ(Keys(*form), (std::vector<QString>{"1", "3"}));
    EXPECT_EQ(form->FileCount(), 3);
}

TEST_F(QueueView, SaveAfterDeletingEveryRowDeletesTheFile) {
    WriteBatch({kJob1, kJob2});
    auto form = MakeForm();
    form->Button2Click(form->Button2);
    form->Button2Click(form->Button2);
    EXPECT_EQ(form->ValueListEditor1->RowCount(), 0);
    form->Button3Click(form->Button3);
    EXPECT_FALSE(std::filesystem::exists(Batch()));
}

TEST_F(QueueView, SaveAppliesOnlyTheUsersDeletionsToAFileThatMovedOn) {
    WriteBatch({kJob1, kJob2, kJob3});
    auto form = MakeForm();
    // Meanwhile the worker finished job 1 and a producer appended job 4.
    WriteBatch({kJob2, kJob3, kJob4});
    form->ValueListEditor1->SetCurrentCell(1, 1);  // the user deletes job 2 from the old view
    form->Button2Click(form->Button2);
    form->Button3Click(form->Button3);
    EXPECT_EQ(BatchBytes(), kJob3 + "\r\n" + kJob4 + "\r\n");
}

TEST_F(QueueView, SavingTwiceRemovesADuplicateLineOnlyOnce) {
    WriteBatch({kJob1, kJob1, kJob2});
    auto form = MakeForm();
    form->ValueListEditor1->SetCurrentCell(0, 1);
    form->Button2Click(form->Button2);
    form->Button3Click(form->Button3);
    form->Button3Click(form->Button3);
    EXPECT_EQ(BatchBytes(), kJob1 + "\r\n" + kJob2 + "\r\n");
}

TEST_F(QueueView, AReloadForgetsTheDeletionsOfTheOldView) {
    WriteBatch({kJob1, kJob2});
    auto form = MakeForm();
    form->Button2Click(form->Button2);   // job 1, row 0
    form->LoadBatchList();               // e.g. after a job of a run
    form->Button3Click(form->Button3);
    EXPECT_EQ(BatchBytes(), kJob1 + "\r\n" + kJob2 + "\r\n");
    EXPECT_EQ(form->ValueListEditor1->RowCount(), 2);
}

// A left click in the middle of the row's value cell, as a person clicks.
void ClickRow(TValueListEditor& grid, int row) {
    const QRect cell = grid.visualRect(grid.Model()->index(row, 1));
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
}

TEST_F(QueueView, ClickingTheHighlightedFirstRowAfterALoadShowsItsJob) {
    WriteBatch({kJob1, kJob2});
    auto form = MakeForm();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    ASSERT_EQ(form->ValueListEditor1->Row(), 0);
    EXPECT_EQ(form->LabelFile1->text(), "");
    ClickRow(*form->ValueListEditor1, 0);
    EXPECT_EQ(form->LabelFile1->text(), "trasferire:/dati/uno.txt");
    ClickRow(*form->ValueListEditor1, 1);
    EXPECT_EQ(form->LabelFile1->text(), "recuperare:/dati/due.txt");
    form->LabelFile1->setText("stale");
    ClickRow(*form->ValueListEditor1, 1);   // the same row again
    EXPECT_EQ(form->LabelFile1->text(), "recuperare:/dati/due.txt");
}

TEST_F(QueueView, TheLabelFollowsTheRowThatEliminaLeavesHighlighted) {
    WriteBatch({kJob1, kJob2, kJob3});
    auto form = MakeForm();
    auto& grid = *form->ValueListEditor1;
    grid.SetCurrentCell(1, 1);
    ASSERT_EQ(form->LabelFile1->text(), "recuperare:/dati/due.txt");
    form->Button2Click(form->Button2);
    // Job 3 moved up into the highlighted row: the label names it, and it is what goes next.
    EXPECT_EQ(grid.Row(), 1);
    EXPECT_EQ(form->LabelFile1->text(), "trasferire:/dati/tre.txt");
    form->Button2Click(form->Button2);
    // The last row went: the one above is highlighted and named.
    EXPECT_EQ(grid.Row(), 0);
    EXPECT_EQ(form->LabelFile1->text(), "trasferire:/dati/uno.txt");
    EXPECT_EQ(Keys(*form), (std::vector<QString>{"1"}));
    form->Button2Click(form->Button2);
    EXPECT_EQ(grid.RowCount(), 0);
    EXPECT_EQ(form->LabelFile1->text(), "");
    form->Button3Click(form->Button3);
    EXPECT_FALSE(std::filesystem::exists(Batch()));
}

TEST_F(QueueView, ThePasswordIsShownMaskedAndCopiedAsItStands) {
    const std::string line = R"({"ftp":{"h":"a","u":"u","p":"s3gr\"eto","t":21},"v":"put","f":"/a"})";
    WriteBatch({line, "not a job"});
    auto form = MakeForm();
    form->show();
    auto& grid = *form->ValueListEditor1;
    EXPECT_EQ(grid.ShownValue(0).toStdString(), R"({"ftp":{"h":"a","u":"u","p":"****","t":21},"v":"put","f":"/a"})");
    EXPECT_EQ(grid.ShownValue(1), "not a job");
    grid.SetCurrentCell(0, 1);
    QApplication::clipboard()->setText("before");
    ModalCloser closer;
    form->ValueListEditor1DblClick(form->ValueListEditor1);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), line);
}

TEST_F(QueueView, LinesBeyondTheJobBoundsAreShownAndSelectedWithoutHarm) {
    const std::string huge = R"({"ftp":{"p":"s"},"v":"put","f":")" + std::string(kMaxJobLineBytes + 10, 'x') + "\"}";
    const std::string deep = R"({"ftp":{"p":"s"},"v":)" + std::string(100000, '[') + std::string(100000, ']') + "}";
    WriteBatch({huge, deep, kJob1});
    auto form = MakeForm();
    form->show();
    auto& grid = *form->ValueListEditor1;
    ASSERT_EQ(grid.RowCount(), 3);
    EXPECT_LE(grid.ShownValue(0).size(), static_cast<qsizetype>(QueueModel::kShownLineBytes + 3));
    EXPECT_TRUE(grid.ShownValue(1).startsWith(R"({"ftp":{"p":"****"},"v":[[[)"));
    for (int row : {0, 1, 2})
        grid.SetCurrentCell(row, 1);
    EXPECT_EQ(form->LabelFile1->text(), "trasferire:/dati/uno.txt");
    grid.SetCurrentCell(1, 1);
    EXPECT_EQ(form->LabelFile1->text(), "");
    // The copy is the line as it stands, however long.
    grid.SetCurrentCell(0, 1);
    ModalCloser closer;
    form->ValueListEditor1DblClick(form->ValueListEditor1);
    EXPECT_EQ(QApplication::clipboard()->text().size(), static_cast<qsizetype>(huge.size()));
}

TEST_F(QueueView, TheKeyColumnWidensOnlyAsFarAsItsKeysNeed) {
    auto width = [](TValueListEditor& grid, const QString& key) {
        const int margin = grid.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &grid) + 1;
        return grid.fontMetrics().horizontalAdvance(key) + 2 * margin + 1;
    };
    WriteBatch({kJob1, kJob2, kJob3});
    auto form = MakeForm();
    form->show();
    auto& grid = *form->ValueListEditor1;
    EXPECT_EQ(grid.columnWidth(0), TValueListEditor::KeyColumnWidth);

    std::string bytes;
    for (int i = 0; i < 100000; ++i)
        bytes += "{}\r\n";
    WriteFileBytes(Batch(), bytes);
    form->LoadBatchList();
    ASSERT_EQ(grid.Key(99999), "100000");
    EXPECT_GE(grid.columnWidth(0), width(grid, "100000"));
    EXPECT_LE(grid.columnWidth(0), std::max(TValueListEditor::KeyColumnWidth, width(grid, "888888")));
    EXPECT_EQ(grid.columnWidth(0) + grid.columnWidth(1), grid.viewport()->width());

    WriteBatch({kJob1});
    form->LoadBatchList();
    EXPECT_EQ(grid.columnWidth(0), TValueListEditor::KeyColumnWidth);
}

TEST_F(QueueView, TheAfterJobReloadFollowsAChangingFile) {
    WriteBatch({kJob1, kJob2, kJob3});
    auto form = MakeForm();
    auto& grid = *form->ValueListEditor1;
    grid.SetCurrentCell(2, 1);
    // The worker finishes job 1 and moves job 2 to the tail; a producer appends job 4.
    UpdateBatchFile(Batch(), "", "", kJob1);
    UpdateBatchFile(Batch(), kJob2, kJob2);
    WriteFileBytes(Batch(), BatchBytes() + kJob4 + "\r\n");
    form->LoadBatchList();
    EXPECT_EQ(Keys(*form), (std::vector<QString>{"1", "2", "3"}));
    EXPECT_EQ(grid.Value(0).toStdString(), kJob3);
    EXPECT_EQ(grid.Value(1).toStdString(), kJob2);
    EXPECT_EQ(grid.Value(2).toStdString(), kJob4);
    EXPECT_EQ(form->FileCount(), 3);
    EXPECT_EQ(grid.Row(), 0);
    EXPECT_EQ(form->LabelFile1->text(), "");
}

TEST_F(QueueView, ReadErrorReachesTheDefaultHandlingAndTheViewStaysEmpty) {
    std::filesystem::create_directories(Batch());  // a folder where the file should be
    ModalCloser closer;
    auto form = MakeForm();
    EXPECT_EQ(form->ValueListEditor1->RowCount(), 0);
    ASSERT_EQ(closer.names.size(), 1u);
    EXPECT_EQ(closer.names[0], "ApplicationErrorBox");
    EXPECT_FALSE(closer.texts[0].isEmpty());
    // Called directly, the error passes to the caller.
    EXPECT_THROW(form->LoadBatchList(), std::exception);
}

} // namespace
} // namespace ct::test
