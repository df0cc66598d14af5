// The queue file's line handling, through the store's public operations on a real file
// written from the input: what the view reads, what an unattended start counts, what the worker
// takes as line 1, and the worker's two rewrites, alone and grouped (after a count).
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzTarget.h"
#include "batch/BatchFileStore.h"

namespace {

namespace fs = std::filesystem;

// One folder for the whole run, removed at exit. Held through a pointer that is never
// freed, so that it is still there when the exit handler runs.
const fs::path& Folder() {
    static const fs::path* const folder = [] {
        // $TMPDIR when given (scripts/fuzz gives a folder on tmpfs that it removes, since a
        // crash skips the clean-up below); else tmpfs when there is one: thousands of rewrites
        // a second need not reach a disk.
        const char* tmpdir = std::getenv("TMPDIR");
        const fs::path base = tmpdir && *tmpdir             ? fs::path(tmpdir)
                              : fs::is_directory("/dev/shm") ? fs::path("/dev/shm")
                                                             : fs::temp_directory_path();
        std::string pattern = (base / "ct-fuzz-store-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            std::abort();
        return new fs::path(pattern);
    }();
    static const bool cleanup = [] {
        return std::atexit([] {
            std::error_code ec;
            fs::remove_all(*folder, ec);
        }) == 0;
    }();
    (void)cleanup;
    return *folder;
}

void Write(const fs::path& file, std::string_view bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    FUZZ_EXPECT(out.good());
}

std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Lines(const fs::path& file) {
    const ct::BatchLines all = ct::ReadAllBatchLines(file);
    return all.lines;
}

// A byte-order mark at the start of the file is the file's, one in front of a later line is that
// line's: neither is ever part of a line's text.
bool StartsWithMark(const std::string& line) {
    return line.rfind("\xEF\xBB\xBF", 0) == 0;
}

// What the file reads as, against what it should. An empty last line may be a mark with
// nothing after it and no line end, which is no line at all.
bool SameLines(const std::vector<std::string>& read, std::vector<std::string> expected) {
    if (read == expected)
        return true;
    if (expected.empty() || !expected.back().empty())
        return false;
    expected.pop_back();
    return read == expected;
}

// What the store writes ends every complete line with CR LF.
bool EveryLineEndsInCrLf(const std::string& bytes) {
    for (std::size_t at = bytes.find('\n'); at != std::string::npos; at = bytes.find('\n', at + 1))
        if (at == 0 || bytes[at - 1] != '\r')
            return false;
    return true;
}

// The first job; when empty lines stand before it, the rewrite that drops them makes it line 1.
std::optional<std::string> FirstJob(const std::vector<std::string>& lines) {
    for (const auto& line : lines)
        if (!line.empty())
            return line;
    return std::nullopt;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const fs::path file = Folder() / "cloud_batch.txt";

    // The view: the whole queue at once, and as one block of text.
    Write(file, bytes);
    const ct::BatchLines all = ct::ReadAllBatchLines(file);
    FUZZ_EXPECT(all.present);
    for (const auto& line : all.lines)
        FUZZ_EXPECT(line.find('\n') == std::string::npos && !StartsWithMark(line));
    FUZZ_EXPECT(fs::exists(file) == !all.lines.empty());

    Write(file, bytes);
    const ct::BatchText text = ct::ReadBatchText(file);
    FUZZ_EXPECT(text.present);
    FUZZ_EXPECT(text.LineCount() <= all.lines.size() && text.LineCount() + 1 >= all.lines.size());
    for (std::size_t i = 0; i < text.LineCount(); ++i) {
        FUZZ_EXPECT(text.lineStarts[i] <= text.text.size());
        FUZZ_EXPECT(i == 0 || text.lineStarts[i] > text.lineStarts[i - 1]);
        FUZZ_EXPECT(text.Line(i) == all.lines[i]);
    }

    // An unattended start counts the lines instead: as many as the view holds.
    Write(file, bytes);
    const std::optional<std::size_t> counted = ct::CountBatchLines(file);
    FUZZ_EXPECT(counted && *counted == text.LineCount());

    // The worker: line 1 is the first job; empty lines before it go, an empty queue goes.
    Write(file, bytes);
    const std::string first = ct::ReadFirstBatchLine(file);
    const std::optional<std::string> expected = FirstJob(all.lines);
    FUZZ_EXPECT(first == expected.value_or(""));
    if (!expected) {
        FUZZ_EXPECT(!fs::exists(file));
        return 0;
    }
    std::vector<std::string> queue = Lines(file);
    FUZZ_EXPECT(!queue.empty() && queue.front() == first);

    // A failed job goes to the tail under its new mark; the rest keep their order.
    // A last line without a line end is a producer's line still being written: it stays last,
    // and the moved line goes in front of it.
    const std::string before = ReadBytes(file);
    // An unfinished last line that is only byte-order marks so far has no text yet: no reader
    // shows it, and it stays last behind everything.
    std::string tail = before.substr(before.find_last_of('\n') == std::string::npos ? 0 : before.find_last_of('\n') + 1);
    while (StartsWithMark(tail))
        tail.erase(0, 3);
    const bool lastIsOpen = queue.size() > 1 && !tail.empty();
    const std::string search = first.substr(0, 1 + data[0] % 8);
    const std::string marked = first + " marked";
    FUZZ_EXPECT(ct::UpdateBatchFile(file, search, marked));
    std::vector<std::string> after = Lines(file);
    std::vector<std::string> kept(queue.begin() + 1, queue.end());
    kept.insert(lastIsOpen ? kept.end() - 1 : kept.end(), marked);
    FUZZ_EXPECT(SameLines(after, kept));

    // A finished job's own line goes (the first line equal to it), and nothing else does.
    FUZZ_EXPECT(!ct::UpdateBatchFile(file, "", "", marked));
    std::vector<std::string> done = fs::exists(file) ? Lines(file) : std::vector<std::string>{};
    auto own = std::find(after.begin(), after.end(), marked);
    FUZZ_EXPECT(own != after.end());
    after.erase(own);
    FUZZ_EXPECT(SameLines(done, after));

    // A group of outcomes in one rewrite reads as the same outcomes one rewrite each: lines of
    // the queue that go or move to the tail, picked and ordered by the input.
    Write(file, bytes);
    const std::vector<std::string> lines = Lines(file);
    std::vector<ct::BatchOutcome> group;
    for (std::size_t i = 0; i < std::min<std::size_t>(size, 6); ++i) {
        const std::string& line = lines[data[i] % lines.size()];
        if (!line.empty())
            group.push_back({line, data[i] & 0x80 ? line + " marked" : ""});
    }
    if (!group.empty()) {
        // As in an unattended run, the grouped rewrite follows a count, which tells the store
        // whether the version is CR LF throughout: the lines it copies as they stand must be.
        ct::CountBatchLines(file);
        const std::size_t moved = ct::ApplyBatchOutcomes(file, group);
        FUZZ_EXPECT(EveryLineEndsInCrLf(fs::exists(file) ? ReadBytes(file) : std::string()));
        const std::vector<std::string> grouped = fs::exists(file) ? Lines(file) : std::vector<std::string>{};
        Write(file, bytes);
        std::size_t movedOneByOne = 0;
        for (const auto& outcome : group) {
            try {
                if (outcome.replacement.empty())
                    ct::UpdateBatchFile(file, "", "", outcome.line);
                else
                    movedOneByOne += ct::UpdateBatchFile(file, outcome.line, outcome.replacement) ? 1 : 0;
            } catch (const ct::BatchFileError&) {
                // a removal from a file left without lines: nothing to record, as in the group
            }
        }
        FUZZ_EXPECT(moved == movedOneByOne);
        FUZZ_EXPECT(grouped == (fs::exists(file) ? Lines(file) : std::vector<std::string>{}));
    }

    // The worker's loop: the line it reads is the line it removes, so every round takes at
    // least one line away and the run ends; no job is done twice.
    Write(file, bytes);
    std::size_t rounds = 0;
    for (std::string line = ct::ReadFirstBatchLine(file); !line.empty(); line = ct::ReadFirstBatchLine(file)) {
        FUZZ_EXPECT(++rounds <= all.lines.size());
        const std::vector<std::string> head = Lines(file);
        FUZZ_EXPECT(!head.empty() && head.front() == line);
        ct::UpdateBatchFile(file, "", "", line);
        const std::vector<std::string> rest = fs::exists(file) ? Lines(file) : std::vector<std::string>{};
        FUZZ_EXPECT(SameLines(rest, std::vector<std::string>(head.begin() + 1, head.end())));
    }
    return 0;
}
