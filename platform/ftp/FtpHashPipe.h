#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace ct::ftp {

class LocalHasher;

// The local hash of a transfer, computed on a thread of its own while the session moves the
// bytes: hashing on the thread that sends or receives would cap a fast link at the hash's
// speed. The bytes pass through a ring of slots. The session fills a slot (from the file or
// the network), hands it over with Hash, and works on with the next; a slot is filled again
// only once the hasher is done with it, so each byte is read from the file or the socket once
// and memory stays at the ring's size whatever the file's.
//
// The thread starts with the second slot handed over: a small file is hashed in place, at
// the cost of no thread.
class HashPipe {
public:
    HashPipe(LocalHasher& hasher, std::size_t slotSize);
    // Stops the thread; what it had not hashed yet is dropped (the transfer failed).
    ~HashPipe();
    HashPipe(const HashPipe&) = delete;
    HashPipe& operator=(const HashPipe&) = delete;

    std::size_t SlotSize() const { return m_slotSize; }
    // The slot to fill next; waits until the hasher has left it.
    char* NextSlot();
    // Hands the first `length` bytes of the slot NextSlot gave to the hasher.
    void Hash(std::size_t length);
    // Waits until every byte handed over has been hashed.
    void Finish();

private:
    void Run();

    static constexpr std::size_t SlotCount = 4;
    LocalHasher& m_hasher;
    std::size_t m_slotSize;
    std::unique_ptr<char[]> m_memory; // not cleared: a small file touches only its first pages
    std::size_t m_current = 0;     // the slot NextSlot gave
    std::uint64_t m_handed = 0;    // slots handed over so far
    std::uint64_t m_hashed = 0;    // of those, the ones hashed
    std::size_t m_lengths[SlotCount] = {};
    bool m_stop = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;  // the hasher: a slot was handed over, or stop
    std::condition_variable m_freed; // the session: a slot was hashed
    std::thread m_thread;
};

} // namespace ct::ftp
