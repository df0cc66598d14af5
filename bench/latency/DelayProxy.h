#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace ct::bench {

// A TCP forwarder that makes a slow link on loopback: it listens on `listenAddress` at each of
// `ports` and forwards every connection to `targetAddress` at the same port, holding each chunk
// back for `oneWay` in both directions, in order. The kernel has no netem here, so this is how a
// round trip of 2 x oneWay is had without leaving the machine.
class DelayProxy {
public:
    DelayProxy(std::string listenAddress, std::string targetAddress, std::vector<std::uint16_t> ports,
               std::chrono::milliseconds oneWay);
    ~DelayProxy();
    DelayProxy(const DelayProxy&) = delete;
    DelayProxy& operator=(const DelayProxy&) = delete;

    std::uint64_t Connections() const { return m_connections.load(); }

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    std::atomic<std::uint64_t> m_connections{0};
    std::thread m_thread;
};

} // namespace ct::bench
