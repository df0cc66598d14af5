#include "platform/ftp/FtpHashPipe.h"

#include "platform/ftp/FtpHash.h"

namespace ct::ftp {

HashPipe::HashPipe(LocalHasher& hasher, std::size_t slotSize)
    : m_hasher(hasher), m_slotSize(slotSize), m_memory(new char[slotSize * SlotCount]) {}

HashPipe::~HashPipe() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

char* HashPipe::NextSlot() {
    std::unique_lock<std::mutex> lock(m_mutex);
    // The slot is free once every handing-over before its last one has been hashed.
    m_freed.wait(lock, [&] { return m_handed - m_hashed < SlotCount; });
    m_current = static_cast<std::size_t>(m_handed % SlotCount);
    return m_memory.get() + m_current * m_slotSize;
}

void HashPipe::Hash(std::size_t length) {
    if (length == 0)
        return;
    if (!m_thread.joinable() && m_handed == 0) {
        // The first slot in place: most files of a queue fit in one.
        m_hasher.Update(m_memory.get() + m_current * m_slotSize, length);
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_handed;
        ++m_hashed;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lengths[m_current] = length;
        ++m_handed;
    }
    if (!m_thread.joinable())
        m_thread = std::thread([this] { Run(); });
    else
        m_wake.notify_one();
}

void HashPipe::Finish() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_freed.wait(lock, [&] { return m_hashed == m_handed; });
}

void HashPipe::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [&] { return m_stop || m_hashed < m_handed; });
        if (m_stop)
            return;
        const auto slot = static_cast<std::size_t>(m_hashed % SlotCount);
        const std::size_t length = m_lengths[slot];
        lock.unlock();
        m_hasher.Update(m_memory.get() + slot * m_slotSize, length);
        lock.lock();
        ++m_hashed;
        m_freed.notify_one();
    }
}

} // namespace ct::ftp
