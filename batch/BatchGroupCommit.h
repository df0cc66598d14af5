#pragma once

// Group commit of the worker's outcomes. A rewrite of a long queue costs milliseconds and a
// job on a fast link less than one; rewriting once per job would make the queue's length the
// run's pace. Outcomes are handed to a writer thread instead. Where a rewrite costs next to
// nothing (a short queue) the first is written at once, and those of the jobs that end while a
// rewrite runs are written together by the next one. Where it is costly (a long queue, a disk
// that syncs slowly) each rewrite is put off as long as the bounds allow, so that a run of fast
// jobs is written in as few copies of the file as the bounds permit. The file is never more
// than a few jobs or about 100 ms behind the run (Add waits for that), and never behind once
// Flush has returned.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "batch/BatchFileStore.h"

namespace ct {

// How far the file may lag behind the run.
struct BatchGroupBounds {
    std::size_t jobs = 32;                   // outcomes not yet in the file
    std::chrono::milliseconds age{100};      // how long the oldest of them may wait
};

class BatchGroupCommit {
public:
    using Bounds = BatchGroupBounds;
    // Writes a group into the queue, returns how many of its lines moved (ApplyBatchOutcomes
    // unless given: tests hold a rewrite with it).
    using Writer = std::function<std::size_t(const std::vector<BatchOutcome>&)>;

    explicit BatchGroupCommit(std::filesystem::path file, Bounds bounds = {}, Writer writer = {});
    // Writes what is still pending (a failure then is dropped: Flush is where it is reported).
    ~BatchGroupCommit();
    BatchGroupCommit(const BatchGroupCommit&) = delete;
    BatchGroupCommit& operator=(const BatchGroupCommit&) = delete;

    // Hands an outcome over; returns its number (from 0, in order). Waits while the bounds are
    // reached. Raises the failure of an earlier rewrite (see Failure).
    std::uint64_t Add(BatchOutcome outcome);
    // Returns once every outcome handed over is in the file. Raises as Add does.
    void Flush();
    // The lines whose outcomes are not in the file yet, oldest first: the worker does not take
    // them again from the head of the queue it reads.
    std::vector<std::string> PendingLines() const;
    // Outcomes numbered below this are in the file.
    std::uint64_t WrittenUpTo() const;
    std::uint64_t Rewrites() const;

    // A rewrite failed: the outcomes from `firstUnwritten` on are not in the file, and none is
    // written after it.
    class Failure : public BatchFileError {
    public:
        Failure(const std::string& what, std::uint64_t first) : BatchFileError(what), firstUnwritten(first) {}
        std::uint64_t firstUnwritten;
    };

private:
    struct Entry {
        BatchOutcome outcome;
        std::chrono::steady_clock::time_point added;
        bool burst = false;   // it came hard on the heels of the outcome before it
    };
    void Run();
    bool Behind(std::chrono::steady_clock::time_point now) const;
    std::chrono::steady_clock::duration RewriteCost() const;
    bool WriteDue(std::chrono::steady_clock::time_point now) const;
    // The next rewrite is cheap and waits for the rest of a burst of outcomes.
    bool Gathering() const;
    void RaiseFailure() const;

    std::filesystem::path m_file;
    Bounds m_bounds;
    Writer m_writer;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Entry> m_unwritten;   // the first m_writing of them are being written
    std::size_t m_writing = 0;
    std::uint64_t m_written = 0;     // outcomes numbered below are in the file
    std::uint64_t m_rewrites = 0;
    std::uint64_t m_added = 0;
    std::chrono::steady_clock::time_point m_lastAdded{};
    std::string m_failure;
    bool m_failed = false;
    bool m_stop = false;
    bool m_hurry = false;                        // someone waits for the file to catch up
    std::chrono::steady_clock::duration m_lastRewrite{};
    std::chrono::steady_clock::duration m_firstGuess{};   // before the first rewrite, from the file's size
    std::thread m_thread;
};

} // namespace ct
