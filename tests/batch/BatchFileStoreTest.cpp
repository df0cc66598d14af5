#include "batch/BatchFileStore.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "platform/fs/FileSystem.h"
#include "support/TestSupport.h"

namespace ct {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;
using Lines = std::vector<std::string>;

class BatchStore : public ::testing::Test {
protected:
    TempDir dir{"ct-store"};
    fs::path file = dir / "cloud_batch.txt";

    void Write(const std::string& bytes) { WriteFileBytes(file, bytes); }
    std::string Bytes() { return ReadFileBytes(file); }
    bool Exists() { return fs::exists(file); }
    // Every entry of the folder except the store's side lock file.
    std::vector<std::string> Entries() {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.Path()))
            if (e.path().filename() != "cloud_batch.txt.lock")
                names.push_back(e.path().filename().string());
        return names;
    }
};

TEST(BatchFilePathTest, LiesBesideTheExecutableWhateverTheCurrentDirectory) {
    TempDir elsewhere{"ct-cwd"};
    const fs::path before = fs::current_path();
    fs::current_path(elsewhere.Path());
    const fs::path path = BatchFilePath();
    fs::current_path(before);
    EXPECT_EQ(path.filename(), "cloud_batch.txt");
    EXPECT_EQ(path.parent_path(), fs::canonical("/proc/self/exe").parent_path());
}

// --- ReadFirstBatchLine ---

TEST_F(BatchStore, FirstLineOfACrLfFileAndTheHeadRemoval) {
    Write("A\r\nB\r\nC\r\n");
    EXPECT_EQ(ReadFirstBatchLine(file), "A");
    EXPECT_EQ(Bytes(), "A\r\nB\r\nC\r\n"); // reading changes nothing
    EXPECT_FALSE(UpdateBatchFile(file, "", ""));
    EXPECT_EQ(Bytes(), "B\r\nC\r\n");
}

TEST_F(BatchStore, NoFileGivesAnEmptyLineAndCreatesNothing) {
    EXPECT_EQ(ReadFirstBatchLine(file), "");
    EXPECT_TRUE(Entries().empty());
}

struct ExhaustedCase {
    const char* name;
    const char* bytes;
};

void PrintTo(const ExhaustedCase& c, std::ostream* os) {
    *os << c.name;
}

class ExhaustedQueue : public BatchStore, public ::testing::WithParamInterface<ExhaustedCase> {};

TEST_P(ExhaustedQueue, ReadFirstBatchLineGivesNothingAndDeletesTheFile) {
    Write(GetParam().bytes);
    EXPECT_EQ(ReadFirstBatchLine(file), "");
    EXPECT_FALSE(Exists());
}

INSTANTIATE_TEST_SUITE_P(Files, ExhaustedQueue,
                         ::testing::Values(ExhaustedCase{"ZeroBytes", ""}, ExhaustedCase{"OneEmptyLine", "\r\n"},
                                           ExhaustedCase{"EmptyLinesOnly", "\r\n\n\r\n"},
                                           ExhaustedCase{"ByteOrderMarkOnly", "\xEF\xBB\xBF"},
                                           ExhaustedCase{"MarkAndEmptyLine", "\xEF\xBB\xBF\r\n"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct FirstLineCase {
    const char* name;
    const char* bytes;
    const char* first;
};

void PrintTo(const FirstLineCase& c, std::ostream* os) {
    *os << c.name;
}

class FirstLine : public BatchStore, public ::testing::WithParamInterface<FirstLineCase> {};

TEST_P(FirstLine, IsLineOneWithoutItsLineEnd) {
    Write(GetParam().bytes);
    EXPECT_EQ(ReadFirstBatchLine(file), GetParam().first);
    EXPECT_EQ(Bytes(), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Files, FirstLine,
    ::testing::Values(FirstLineCase{"CrLf", "{\"a\":1}\r\nB\r\n", "{\"a\":1}"},
                      FirstLineCase{"LoneLf", "A\nB\n", "A"},
                      FirstLineCase{"NoFinalLineEnd", "only", "only"},
                      FirstLineCase{"ByteOrderMarkIsNotPartOfLineOne", "\xEF\xBB\xBF{\"v\":\"put\"}\r\n", "{\"v\":\"put\"}"},
                      FirstLineCase{"NonAsciiText", "{\"f\":\"/home/caff\xC3\xA8/perch\xC3\xA9.txt\"}\n",
                                    "{\"f\":\"/home/caff\xC3\xA8/perch\xC3\xA9.txt\"}"},
                      FirstLineCase{"LoneCrStaysInTheLine", "A\rB\r\n", "A\rB"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BatchStore, LongFirstLineIsReadWhole) {
    const std::string line(100000, 'x');
    Write(line + "\r\nB\r\n");
    EXPECT_EQ(ReadFirstBatchLine(file), line);
}

TEST_F(BatchStore, EmptyLinesInFrontOfJobsAreRemovedAndTheFirstJobReturned) {
    Write("\r\n\nA\r\n\r\nB");
    EXPECT_EQ(ReadFirstBatchLine(file), "A");
    EXPECT_EQ(Bytes(), "A\r\n\r\nB"); // B may still be being written: it stays unterminated
}

TEST_F(BatchStore, EmptyLinesAfterAByteOrderMarkAreRemovedToo) {
    Write("\xEF\xBB\xBF\r\nA\r\n");
    EXPECT_EQ(ReadFirstBatchLine(file), "A");
    EXPECT_EQ(Bytes(), "A\r\n");
}

// A producer that appends a file saved with a byte-order mark puts the mark in front of its
// line, not of the file: it belongs to that line, and every reader and rewrite sees the line
// without it. The worker's loop (read line 1, remove the line read) must then take each job once.
TEST_F(BatchStore, AMarkInFrontOfALaterLineLeavesTheWorkersLoopWithEachJobOnce) {
    Write("job1\r\n\xEF\xBB\xBFjob2\r\n\xEF\xBB\xBFjob3\r\n");
    for (const char* job : {"job1", "job2", "job3"}) {
        const std::string line = ReadFirstBatchLine(file);
        ASSERT_EQ(line, job);
        UpdateBatchFile(file, "", "", line);
    }
    EXPECT_EQ(ReadFirstBatchLine(file), "");
    EXPECT_FALSE(Exists());
}

TEST_F(BatchStore, EveryReaderAndRewriteSeesAMarkedLaterLineWithoutItsMark) {
    Write("job1\r\n\xEF\xBB\xBFjob2\r\n");
    EXPECT_EQ(ReadAllBatchLines(file).lines, (Lines{"job1", "job2"}));
    const BatchText text = ReadBatchText(file);
    ASSERT_EQ(text.LineCount(), 2u);
    EXPECT_EQ(text.Line(1), "job2");
    EXPECT_EQ(FindFirstBatchLine(file, [](const std::string& l) { return l != "job1"; }), "job2");
    EXPECT_TRUE(UpdateBatchFile(file, "job2", "job2x"));
    EXPECT_EQ(ReadAllBatchLines(file).lines, (Lines{"job1", "job2x"}));
    Write("job1\r\n\xEF\xBB\xBFjob2\r\n");
    ApplyBatchDeletions(file, {"job2"});
    EXPECT_EQ(ReadAllBatchLines(file).lines, (Lines{"job1"}));
}

// --- UpdateBatchFile ---

struct UpdateCase {
    const char* name;
    const char* before;
    const char* search;
    const char* replacement;
    bool hit;
    const char* after;
};

void PrintTo(const UpdateCase& c, std::ostream* os) {
    *os << c.name;
}

class Update : public BatchStore, public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(Update, RewritesTheFile) {
    const auto& c = GetParam();
    Write(c.before);
    EXPECT_EQ(UpdateBatchFile(file, c.search, c.replacement), c.hit);
    EXPECT_EQ(Bytes(), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Update,
    ::testing::Values(
        UpdateCase{"MovesTheFirstLineContainingTheSearch", "alpha\r\nBeta\r\ngamma beta\r\n", "BETA", "delta", true,
                   "alpha\r\ngamma beta\r\ndelta\r\n"},
        UpdateCase{"EmptyReplacementAppendsTheSearch", "alpha\r\nBeta\r\ngamma beta\r\n", "BETA", "", true,
                   "alpha\r\ngamma beta\r\nBETA\r\n"},
        UpdateCase{"NoHitStillRewritesWithCrLf", "a\nb\n", "zzz", "x", false, "a\r\nb\r\n"},
        UpdateCase{"UnterminatedLastLineStaysLastAndUnterminated", "a\nb", "zzz", "x", false, "a\r\nb"},
        UpdateCase{"MovedLineGoesBeforeAnUnterminatedLastLine", "a\r\nb\r\npart", "A", "a1", true,
                   "b\r\na1\r\npart"},
        UpdateCase{"HeadRemovalKeepsAnUnterminatedLastLine", "a\r\npart", "", "", false, "part"},
        UpdateCase{"HitOnTheLastLine", "a\r\nb\r\n", "B", "c", true, "a\r\nc\r\n"},
        UpdateCase{"EmptyLineBetweenJobsSurvives", "a\r\n\r\nb\r\n", "", "", false, "\r\nb\r\n"},
        UpdateCase{"EmptyLineSurvivesAMove", "a\r\n\r\nb\r\n", "a", "a2", true, "\r\nb\r\na2\r\n"},
        UpdateCase{"RemovingTheOnlyLineLeavesAnEmptyFile", "a\r\n", "", "", false, ""},
        UpdateCase{"ByteOrderMarkIsNotWrittenBack", "\xEF\xBB\xBF" "a\r\nb\r\n", "", "", false, "b\r\n"},
        UpdateCase{"SearchMatchesAcrossTheMarkedLineOne", "\xEF\xBB\xBF" "job1\r\njob2\r\n", "job1", "job1x", true,
                   "job2\r\njob1x\r\n"},
        UpdateCase{"NonAsciiSearchMatchesItsOwnText", "caff\xC3\xA8\r\nb\r\n", "CAFF\xC3\xA8", "c", true, "b\r\nc\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BatchStore, HeadRemovalTakesTheJobsOwnLine) {
    Write("other\r\njob\r\nlater\r\n");
    UpdateBatchFile(file, "", "", "job");
    EXPECT_EQ(Bytes(), "other\r\nlater\r\n");
}

TEST_F(BatchStore, HeadRemovalPrefersLineOneWhenItIsTheJob) {
    Write("job\r\nx\r\njob\r\n");
    UpdateBatchFile(file, "", "", "job");
    EXPECT_EQ(Bytes(), "x\r\njob\r\n");
}

TEST_F(BatchStore, HeadRemovalOfAJobThatIsGoneRemovesNothing) {
    // "Salva" took the job out while it ran: no other job may pay for it.
    Write("next\r\nlater\r\n");
    UpdateBatchFile(file, "", "", "job");
    EXPECT_EQ(Bytes(), "next\r\nlater\r\n");
}

TEST_F(BatchStore, HeadRemovalComparesWholeLinesExactly) {
    Write("job extra\r\nJOB\r\njob\r\n");
    UpdateBatchFile(file, "", "", "job");
    EXPECT_EQ(Bytes(), "job extra\r\nJOB\r\n");
}

TEST_F(BatchStore, HeadRemovalOnAFileWithoutLinesRaisesAndWritesNothing) {
    Write("");
    EXPECT_THROW(UpdateBatchFile(file, "", ""), BatchFileError);
    EXPECT_EQ(Bytes(), "");
}

TEST_F(BatchStore, UpdateOnAVanishedFileRaisesAndCreatesNoFile) {
    EXPECT_THROW(UpdateBatchFile(file, "", ""), BatchFileError);
    EXPECT_THROW(UpdateBatchFile(file, "x", "y"), BatchFileError);
    EXPECT_TRUE(Entries().empty());
    EXPECT_FALSE(fs::exists(dir / "cloud_batch.txt.lock"));
}

TEST_F(BatchStore, UpdateKeepsTheFilesPermissions) {
    Write("a\r\nb\r\n");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    UpdateBatchFile(file, "", "");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(BatchStore, RewriteLeavesNoTemporaryFileBehindOnceSettled) {
    // The application settles every queue it touched at exit.
    TempDir other{"ct-store-other"};
    Write("a\r\nb\r\n");
    WriteFileBytes(other / "cloud_batch.txt", "x\r\ny\r\n");
    for (int i = 0; i < 3; ++i) {
        UpdateBatchFile(file, "a", "a");
        UpdateBatchFile(other / "cloud_batch.txt", "x", "x");
    }
    SettleAllBatchFiles();
    EXPECT_EQ(Entries(), std::vector<std::string>{"cloud_batch.txt"});
    for (const auto& e : fs::directory_iterator(other.Path()))
        EXPECT_TRUE(e.path().filename() == "cloud_batch.txt" || e.path().filename() == "cloud_batch.txt.lock") << e.path();
}

TEST_F(BatchStore, StaleTemporaryFilesOfAKilledRewriteAreRemovedByTheNextOne) {
    Write("a\r\nb\r\n");
    WriteFileBytes(dir / "cloud_batch.txt.rewrite-999999-3.tmp", "a\r\n"); // half of a dead rewrite
    WriteFileBytes(dir / "cloud_batch.txt.rewrite-1-0.tmp", "");
    WriteFileBytes(dir / "notes.tmp", "mine");                             // not the store's
    UpdateBatchFile(file, "", "");
    SettleBatchFile(file);
    auto entries = Entries();
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"cloud_batch.txt", "notes.tmp"}));
    EXPECT_EQ(Bytes(), "b\r\n");
}

TEST_F(BatchStore, ErrorMarkRoundTripThroughTheTail) {
    // The worker's three failures of one job, as the file sees them.
    const std::string job = R"({"ftp":{"h":"h"},"f":"/x"})";
    const std::string once = R"({"ftp":{"h":"h"},"f":"/x","error":"1"})";
    const std::string twice = R"({"ftp":{"h":"h"},"f":"/x","error":"2"})";
    Write(job + "\r\nnext\r\n");
    EXPECT_TRUE(UpdateBatchFile(file, job, once));
    EXPECT_EQ(Bytes(), "next\r\n" + once + "\r\n");
    EXPECT_TRUE(UpdateBatchFile(file, once, twice));
    EXPECT_EQ(Bytes(), "next\r\n" + twice + "\r\n");
    UpdateBatchFile(file, "", "", twice);
    EXPECT_EQ(Bytes(), "next\r\n");
}

// --- The rewrite forms at the byte level ---
//
// The rewrite no longer splits and joins every line when the file is CR LF throughout; it
// copies ranges. Whatever shape the file has, the bytes must come out as the whole-lines
// rewrite always wrote them (CR LF after every line, byte-order mark dropped, empty lines kept),
// except that an unterminated last line (a producer may still be writing it) now stays
// unterminated and last.

struct OldRewrite {
    std::vector<std::string> lines;
    std::string unterminated;

    static OldRewrite Of(std::string bytes) {
        OldRewrite r;
        if (bytes.rfind("\xEF\xBB\xBF", 0) == 0)
            bytes.erase(0, 3);
        const std::size_t end = bytes.rfind('\n');
        const std::size_t complete = end == std::string::npos ? 0 : end + 1;
        r.unterminated = bytes.substr(complete);
        for (std::size_t at = 0; at < complete;) {
            std::size_t nl = bytes.find('\n', at);
            std::size_t stop = nl;
            if (stop > at && bytes[stop - 1] == '\r')
                --stop;
            r.lines.push_back(bytes.substr(at, stop - at));
            at = nl + 1;
        }
        return r;
    }
    std::string Bytes() const {
        std::string out;
        for (const auto& l : lines)
            out += l + "\r\n";
        return out + unterminated;
    }
    static bool Contains(std::string text, std::string part) {
        for (auto* s : {&text, &part})
            for (auto& c : *s)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text.find(part) != std::string::npos;
    }
    // False when the store must raise (no line to remove).
    bool Remove(const std::string& job) {
        if (lines.empty() && unterminated.empty())
            return false;
        if (!lines.empty() && (job.empty() || lines.front() == job)) {
            lines.erase(lines.begin());
        } else if (auto it = std::find(lines.begin(), lines.end(), job); it != lines.end()) {
            lines.erase(it);
        } else if (!unterminated.empty() && (job.empty() || unterminated == job)) {
            unterminated.clear();
        }
        return true;
    }
    bool Move(const std::string& search, const std::string& replacement) {
        auto it = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return Contains(l, search); });
        if (it != lines.end()) {
            lines.erase(it);
        } else if (!unterminated.empty() && Contains(unterminated, search)) {
            unterminated.clear();
        } else {
            return false;
        }
        lines.push_back(replacement.empty() ? search : replacement);
        return true;
    }
};

struct FormOp {
    const char* search;   // empty: head removal of `job`
    const char* replacementOrJob;
};

class RewriteForms : public BatchStore, public ::testing::WithParamInterface<std::string> {};

TEST_P(RewriteForms, MatchTheWholeLinesRewrite) {
    const FormOp ops[] = {{"", ""},       {"", "b"},      {"", "c"},  {"", "zz"}, {"", "part"},
                          {"A", "a2"},    {"c", "c2"},    {"zz", "x"}, {"B", ""},  {"par", "p2"}};
    for (const FormOp& op : ops) {
        SCOPED_TRACE(std::string("op '") + op.search + "' '" + op.replacementOrJob + "'");
        Write(GetParam());
        OldRewrite expected = OldRewrite::Of(GetParam());
        // Twice: the first rewrite looks at an unknown file, the second at one it wrote itself.
        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            if (std::string(op.search).empty()) {
                if (!expected.Remove(op.replacementOrJob)) {
                    EXPECT_THROW(UpdateBatchFile(file, "", "", op.replacementOrJob), BatchFileError);
                    break;
                }
                UpdateBatchFile(file, "", "", op.replacementOrJob);
            } else {
                EXPECT_EQ(UpdateBatchFile(file, op.search, op.replacementOrJob),
                          expected.Move(op.search, op.replacementOrJob));
            }
            ASSERT_EQ(Bytes(), expected.Bytes());
            const std::string first = expected.lines.empty() ? expected.unterminated : expected.lines.front();
            if (!first.empty()) {
                EXPECT_EQ(ReadFirstBatchLine(file), first);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, RewriteForms,
                         ::testing::Values("a\r\nb\r\nc\r\n", "a\nb\nc\n", "a\r\nb\nc\r\n", "a\r\nb\r\nc",
                                           "a\r\nb\r\npart", "\xEF\xBB\xBF" "a\r\nb\r\nc\r\n", "a\r\n\r\nb\r\nc\r\n",
                                           "a\rx\r\nb\r\nc\r\n", "a\r\nb\r\nc\r\n\r\n", "part", "a\r\r\nb\r\n",
                                           "\r\n", ""),
                         [](const auto& info) { return "Shape" + std::to_string(info.index); });

// --- ReadAllBatchLines ---

TEST_F(BatchStore, AllLinesNoFileIsNotPresent) {
    BatchLines all = ReadAllBatchLines(file);
    EXPECT_FALSE(all.present);
    EXPECT_TRUE(all.lines.empty());
}

TEST_F(BatchStore, AllLinesOfAZeroByteFileArePresentEmptyAndTheFileGoes) {
    Write("");
    BatchLines all = ReadAllBatchLines(file);
    EXPECT_TRUE(all.present);
    EXPECT_TRUE(all.lines.empty());
    EXPECT_FALSE(Exists());
}

struct AllLinesCase {
    const char* name;
    const char* bytes;
    Lines lines;
};

void PrintTo(const AllLinesCase& c, std::ostream* os) {
    *os << c.name;
}

class AllLines : public BatchStore, public ::testing::WithParamInterface<AllLinesCase> {};

TEST_P(AllLines, AreEveryLineInFileOrderAndTheFileStays) {
    Write(GetParam().bytes);
    BatchLines all = ReadAllBatchLines(file);
    EXPECT_TRUE(all.present);
    EXPECT_EQ(all.lines, GetParam().lines);
    EXPECT_EQ(Bytes(), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Files, AllLines,
                         ::testing::Values(AllLinesCase{"OneEmptyLine", "\r\n", {""}},
                                           AllLinesCase{"EmptyLineBetweenJobs", "a\r\n\r\nb\r\n", {"a", "", "b"}},
                                           AllLinesCase{"MixedLineEnds", "a\nb\r\nc", {"a", "b", "c"}},
                                           AllLinesCase{"TrailingEmptyLine", "a\r\n\r\n", {"a", ""}},
                                           AllLinesCase{"ByteOrderMark", "\xEF\xBB\xBF" "a\r\nb\r\n", {"a", "b"}}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- SaveBatchLines ---

TEST_F(BatchStore, SaveOfOneLineWritesItWithCrLf) {
    SaveBatchLines(file, {"x"});
    EXPECT_EQ(Bytes(), "x\r\n");
}

TEST_F(BatchStore, SaveReplacesTheWholeContent) {
    Write("\xEF\xBB\xBF" "a\nb\nc\n");
    SaveBatchLines(file, {"c", "", "a"});
    EXPECT_EQ(Bytes(), "c\r\n\r\na\r\n");
}

TEST_F(BatchStore, SaveOfAnEmptyListRemovesTheFile) {
    Write("a\r\n");
    SaveBatchLines(file, {});
    EXPECT_FALSE(Exists());
    SaveBatchLines(file, {}); // no file: nothing to do, no error
    SettleBatchFile(file);
    EXPECT_TRUE(Entries().empty());
}

// --- ApplyBatchDeletions ("Salva" against a file that moved on) ---

TEST_F(BatchStore, DeletionsKeepLinesAddedSinceTheViewWasLoaded) {
    Write("a\r\nb\r\nc\r\n");
    BatchLines view = ReadAllBatchLines(file);
    ASSERT_EQ(view.lines.size(), 3u);
    Write("b\r\nc\r\nnew\r\n"); // meanwhile the worker finished "a" and a producer added "new"
    ApplyBatchDeletions(file, {"b"});
    EXPECT_EQ(Bytes(), "c\r\nnew\r\n");
}

TEST_F(BatchStore, EachDeletedEntryRemovesOneEqualLine) {
    Write("dup\r\nx\r\ndup\r\ndup\r\n");
    ApplyBatchDeletions(file, {"dup", "dup", "missing"});
    EXPECT_EQ(Bytes(), "x\r\ndup\r\n");
}

TEST_F(BatchStore, DeletingEveryLineRemovesTheFile) {
    Write("a\r\nb\r\n");
    ApplyBatchDeletions(file, {"b", "a"});
    EXPECT_FALSE(Exists());
}

TEST_F(BatchStore, DeletionsOnAMissingFileDoNothing) {
    ApplyBatchDeletions(file, {"a"});
    EXPECT_TRUE(Entries().empty());
}

} // namespace
} // namespace ct
