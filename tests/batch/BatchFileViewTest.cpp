// The reads a queue view is built on: the whole queue as one block of text, the lines appended
// since, and the journal of the store's own rewrites, which must always reproduce what a full
// read gives.
#include "batch/BatchFileStore.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace ct {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;
using Lines = std::vector<std::string>;

void Append(const fs::path& file, const std::string& bytes) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

Lines LinesOf(const BatchText& text) {
    Lines lines;
    for (std::size_t i = 0; i < text.LineCount(); ++i)
        lines.emplace_back(text.Line(i));
    return lines;
}

class BatchView : public ::testing::Test {
protected:
    TempDir dir{"ct-view"};
    fs::path file = dir / "cloud_batch.txt";
};

TEST_F(BatchView, TextHoldsTheCompleteLinesWithoutMarkOrLineEnds) {
    WriteFileBytes(file, "\xEF\xBB\xBF" "a\r\n\r\nb\nc\r\npartial");
    const BatchText text = ReadBatchText(file);
    EXPECT_TRUE(text.present);
    EXPECT_EQ(LinesOf(text), (Lines{"a", "", "b", "c"}));
    EXPECT_EQ(text.mark.size, 13); // mark, a, empty line, b, c: the partial line is not counted
    EXPECT_EQ(text.text.find("partial"), std::string::npos);

    // The producer finishes its line and adds another.
    Append(file, " done\r\nnext\n");
    BatchFileMark mark = text.mark;
    const auto after = ReadBatchLinesAfter(file, mark);
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(*after, (Lines{"partial done", "next"}));
    EXPECT_EQ(mark.size, static_cast<std::int64_t>(fs::file_size(file)));
    EXPECT_EQ(ReadBatchLinesAfter(file, mark), Lines{}); // nothing new
}

TEST_F(BatchView, NoFileAndAFileWithoutALine) {
    BatchText none = ReadBatchText(file);
    EXPECT_FALSE(none.present);
    EXPECT_EQ(none.mark.size, -1);
    BatchFileMark mark = none.mark;
    EXPECT_EQ(ReadBatchLinesAfter(file, mark), Lines{});
    WriteFileBytes(file, "");
    const BatchText empty = ReadBatchText(file);
    EXPECT_TRUE(empty.present);
    EXPECT_EQ(empty.LineCount(), 0u);
    EXPECT_FALSE(fs::exists(file)); // as ReadAllBatchLines does
    EXPECT_FALSE(ReadBatchLinesAfter(file, mark).has_value() && fs::exists(file));
}

TEST_F(BatchView, LinesAfterAMarkOfAReplacedFileAreRefused) {
    WriteFileBytes(file, "a\r\nb\r\n");
    BatchFileMark mark = ReadBatchText(file).mark;
    UpdateBatchFile(file, "", "", "a");
    EXPECT_FALSE(ReadBatchLinesAfter(file, mark).has_value());
}

TEST_F(BatchView, TheJournalNamesTheHeadRemovalAndTheMoveToTheTail) {
    WriteFileBytes(file, "a\r\nb\r\nc\r\n");
    const BatchText text = ReadBatchText(file);
    UpdateBatchFile(file, "", "", "a");
    UpdateBatchFile(file, "b", "b2");
    const auto edits = BatchFileEditsSince(file, text.mark);
    ASSERT_TRUE(edits.has_value());
    ASSERT_EQ(edits->size(), 2u);
    EXPECT_EQ((*edits)[0].removed, std::vector<std::size_t>{0});
    EXPECT_TRUE((*edits)[0].appended.empty());
    EXPECT_EQ((*edits)[1].removed, std::vector<std::size_t>{0});
    EXPECT_EQ((*edits)[1].appended, Lines{"b2"});
    EXPECT_EQ(edits->back().after, ReadBatchText(file).mark);
    const auto none = BatchFileEditsSince(file, edits->back().after);
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->empty());
}

TEST_F(BatchView, AFileChangedBehindTheStoresBackHasNoJournal) {
    WriteFileBytes(file, "a\r\nb\r\n");
    const BatchFileMark mark = ReadBatchText(file).mark;
    UpdateBatchFile(file, "", "");
    const fs::path other = dir / "other";
    WriteFileBytes(other, "x\r\n");
    fs::rename(other, file); // another program replaced the queue
    EXPECT_FALSE(BatchFileEditsSince(file, mark).has_value());
}

// A view that follows the queue the way the window does: the journal first, then the lines
// appended since; a full read only when neither can tell.
struct FollowingView {
    Lines rows;
    BatchFileMark mark;
    int fullReads = 0;

    void ReadWhole(const fs::path& file) {
        const BatchText text = ReadBatchText(file);
        rows = LinesOf(text);
        mark = text.mark;
        ++fullReads;
    }
    void Follow(const fs::path& file) {
        const auto edits = BatchFileEditsSince(file, mark);
        if (!edits) {
            ReadWhole(file);
            return;
        }
        for (const auto& edit : *edits) {
            for (auto it = edit.removed.rbegin(); it != edit.removed.rend(); ++it) {
                ASSERT_LT(*it, rows.size());
                rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(*it));
            }
            rows.insert(rows.end(), edit.appended.begin(), edit.appended.end());
            mark = edit.after;
        }
        const auto appended = ReadBatchLinesAfter(file, mark);
        if (!appended) {
            ReadWhole(file);
            return;
        }
        rows.insert(rows.end(), appended->begin(), appended->end());
    }
};

// Rewrites of every kind interleaved with producers' appends (whole lines, LF-only lines, a line
// written in two pieces), and a view that looks at irregular moments: whatever the journal and
// the appended lines say must be exactly what a full read gives, and the view never needs one.
TEST_F(BatchView, TheJournalReproducesAFullReadOfAChangingFile) {
    Lines seeds;
    for (int i = 0; i < 300; ++i)
        seeds.push_back("{\"job\":" + std::to_string(i) + ",\"pad\":\"" + std::string(100, 'x') + "\"}");
    SaveBatchLines(file, seeds);
    const unsigned seed = std::getenv("CT_SEED") ? static_cast<unsigned>(std::strtoul(std::getenv("CT_SEED"), nullptr, 10)) : std::random_device{}();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));

    FollowingView view;
    view.ReadWhole(file);
    int appended = 0;
    bool halfWritten = false;
    // The store keeps the last few dozen edits: a view that looks less often than that reads
    // the file whole, by design. This one looks at random moments, but never after more than
    // 20 steps (at most a rewrite and a carry each).
    int sinceLook = 0;
    for (int step = 0; step < 600; ++step) {
        const unsigned what = ++sinceLook >= 20 ? 8 : random() % 9;
        switch (what) {
        case 0:
        case 1: { // the worker finishes a job
            const std::string head = ReadFirstBatchLine(file);
            UpdateBatchFile(file, "", "", head);
            break;
        }
        case 2: { // the worker requeues a failed job with its mark
            const std::string head = ReadFirstBatchLine(file);
            UpdateBatchFile(file, head, head + ",\"error\":\"1\"");
            break;
        }
        case 3:
        case 4: // a producer appends
            Append(file, "{\"new\":" + std::to_string(appended++) + "}\r\n");
            break;
        case 5: // a producer that ends its lines with LF only
            Append(file, "{\"lf\":" + std::to_string(appended++) + "}\n");
            break;
        case 6: // a producer writing a line in two pieces
            Append(file, halfWritten ? " second half\"}\r\n" : "{\"halves\":\"first half");
            halfWritten = !halfWritten;
            break;
        case 7: { // the window deletes a line
            const Lines now = LinesOf(ReadBatchText(file));
            if (now.size() > 10)
                ApplyBatchDeletions(file, {now[random() % now.size()]});
            break;
        }
        case 8:
            sinceLook = 0;
            view.Follow(file);
            ASSERT_EQ(view.rows, LinesOf(ReadBatchText(file))) << "step " << step;
            break;
        }
    }
    view.Follow(file);
    EXPECT_EQ(view.rows, LinesOf(ReadBatchText(file)));
    EXPECT_EQ(view.fullReads, 1);
}

// An unattended start counts the queue in one pass instead of reading it whole, and the same
// pass tells the store whether the version is CR LF throughout, so that the run's first rewrite
// does not read it again. What the count says of the version must be true: a rewrite after it
// still ends every line with CR LF, also where the count's pieces meet (1 MiB).
struct CountCase {
    const char* name;
    std::string bytes;
    std::size_t lines;
    std::string afterHeadRemoval;   // once "a" is done
};

void PrintTo(const CountCase& c, std::ostream* out) {
    *out << c.name;
}

class CountedQueue : public BatchView, public ::testing::WithParamInterface<CountCase> {};

TEST_P(CountedQueue, HoldsAsManyLinesAsTheViewAndTheNextRewriteEndsEachWithCrLf) {
    const CountCase& c = GetParam();
    WriteFileBytes(file, c.bytes);
    EXPECT_EQ(CountBatchLines(file), std::optional<std::size_t>(c.lines));
    EXPECT_EQ(ReadBatchText(file).LineCount(), c.lines);
    UpdateBatchFile(file, "", "", "a");
    EXPECT_TRUE(ReadFileBytes(file) == c.afterHeadRemoval) << "the rewrite after the count";
}

std::vector<CountCase> CountCases() {
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    // A long line whose line end begins exactly where the count's second piece does.
    const std::string longLine(kPiece - 3, 'x');
    const std::string crLfSplit(kPiece - 4, 'y');
    return {
        {"CrLfThroughout", "a\r\nb\r\nc\r\n", 3, "b\r\nc\r\n"},
        {"ABareLineFeed", "a\r\nb\nc\r\n", 3, "b\r\nc\r\n"},
        {"AnUnfinishedLastLine", "a\r\nb\r\npartial", 2, "b\r\npartial"},
        {"AByteOrderMark", "\xEF\xBB\xBF" "a\r\nb\r\n", 2, "b\r\n"},
        {"ALineFeedFirst", "\na\r\n", 2, "\r\n"},
        {"ABareLineFeedWhereThePiecesMeet", "a\r\n" + longLine + "\nc\r\n", 3, longLine + "\r\nc\r\n"},
        {"ACrLfSplitWhereThePiecesMeet", "a\r\n" + crLfSplit + "\r\nc\r\n", 3, crLfSplit + "\r\nc\r\n"},
    };
}

INSTANTIATE_TEST_SUITE_P(Shapes, CountedQueue, ::testing::ValuesIn(CountCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BatchView, CountOfNoFileAndOfAFileWithoutALine) {
    EXPECT_EQ(CountBatchLines(file), std::nullopt);
    WriteFileBytes(file, "\xEF\xBB\xBF");
    EXPECT_EQ(CountBatchLines(file), std::optional<std::size_t>(0));
    EXPECT_FALSE(fs::exists(file)); // as ReadBatchText does
}

} // namespace
} // namespace ct
