#include "DelayProxy.h"

#include <array>
#include <deque>
#include <stdexcept>

#include <asio.hpp>

namespace ct::bench {

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// One direction of a connection: reads from `from`, and writes each chunk to `to` once its
// delay has passed. An end of stream is delivered the same way, as a shutdown of `to`.
class Pump : public std::enable_shared_from_this<Pump> {
public:
    Pump(std::shared_ptr<tcp::socket> from, std::shared_ptr<tcp::socket> to, std::chrono::milliseconds delay)
        : m_from(std::move(from)), m_to(std::move(to)), m_timer(m_from->get_executor()), m_delay(delay) {}

    void Start() { Read(); }

private:
    struct Chunk {
        Clock::time_point due;
        std::vector<char> bytes;  // empty: the end of the stream
    };

    static constexpr std::size_t MaxQueued = 8 * 1024 * 1024;

    void Read() {
        if (m_queued >= MaxQueued) {
            m_readPaused = true;
            return;
        }
        auto self = shared_from_this();
        m_from->async_read_some(asio::buffer(m_buffer), [this, self](const asio::error_code& ec, std::size_t n) {
            if (n > 0) {
                m_queue.push_back({Clock::now() + m_delay, std::vector<char>(m_buffer.data(), m_buffer.data() + n)});
                m_queued += n;
            }
            if (ec) {
                m_queue.push_back({Clock::now() + m_delay, {}});
            }
            Deliver();
            if (!ec)
                Read();
        });
    }

    void Deliver() {
        if (m_writing || m_queue.empty())
            return;
        m_writing = true;
        auto self = shared_from_this();
        m_timer.expires_at(m_queue.front().due);
        m_timer.async_wait([this, self](const asio::error_code&) {
            Chunk& chunk = m_queue.front();
            if (chunk.bytes.empty()) {
                asio::error_code ignored;
                m_to->shutdown(tcp::socket::shutdown_send, ignored);
                m_queue.clear();
                return;
            }
            asio::async_write(*m_to, asio::buffer(chunk.bytes), [this, self](const asio::error_code& ec, std::size_t) {
                m_queued -= m_queue.front().bytes.size();
                m_queue.pop_front();
                m_writing = false;
                if (ec) {
                    asio::error_code ignored;
                    m_from->close(ignored);
                    m_to->close(ignored);
                    return;
                }
                if (m_readPaused && m_queued < MaxQueued / 2) {
                    m_readPaused = false;
                    Read();
                }
                Deliver();
            });
        });
    }

    std::shared_ptr<tcp::socket> m_from, m_to;
    asio::steady_timer m_timer;
    std::chrono::milliseconds m_delay;
    std::array<char, 64 * 1024> m_buffer{};
    std::deque<Chunk> m_queue;
    std::size_t m_queued = 0;
    bool m_writing = false;
    bool m_readPaused = false;
};

} // namespace

struct DelayProxy::Impl {
    asio::io_context io;
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
    asio::ip::address target;
    std::chrono::milliseconds delay{};
    std::atomic<std::uint64_t>* connections = nullptr;

    void Accept(tcp::acceptor& acceptor) {
        acceptor.async_accept([this, &acceptor](const asio::error_code& ec, tcp::socket client) {
            if (ec)
                return;
            const std::uint16_t port = acceptor.local_endpoint().port();
            auto inbound = std::make_shared<tcp::socket>(std::move(client));
            auto outbound = std::make_shared<tcp::socket>(io);
            outbound->async_connect(tcp::endpoint(target, port), [this, inbound, outbound](const asio::error_code& cec) {
                if (cec) {
                    asio::error_code ignored;
                    inbound->close(ignored);
                    return;
                }
                asio::error_code ignored;
                inbound->set_option(tcp::no_delay(true), ignored);
                outbound->set_option(tcp::no_delay(true), ignored);
                ++*connections;
                std::make_shared<Pump>(inbound, outbound, delay)->Start();
                std::make_shared<Pump>(outbound, inbound, delay)->Start();
            });
            Accept(acceptor);
        });
    }
};

DelayProxy::DelayProxy(std::string listenAddress, std::string targetAddress, std::vector<std::uint16_t> ports,
                       std::chrono::milliseconds oneWay)
    : m_impl(std::make_unique<Impl>()) {
    m_impl->target = asio::ip::make_address(targetAddress);
    m_impl->delay = oneWay;
    m_impl->connections = &m_connections;
    const auto listen = asio::ip::make_address(listenAddress);
    for (std::uint16_t port : ports) {
        auto acceptor = std::make_unique<tcp::acceptor>(m_impl->io);
        tcp::endpoint endpoint(listen, port);
        asio::error_code ec;
        acceptor->open(endpoint.protocol(), ec);
        if (!ec)
            acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
        if (!ec)
            acceptor->bind(endpoint, ec);
        if (!ec)
            acceptor->listen(asio::socket_base::max_listen_connections, ec);
        if (ec)
            throw std::runtime_error("the delaying proxy cannot listen on " + listenAddress + ":" +
                                     std::to_string(port) + " (" + ec.message() + ")");
        m_impl->Accept(*acceptor);
        m_impl->acceptors.push_back(std::move(acceptor));
    }
    m_thread = std::thread([this] { m_impl->io.run(); });
}

DelayProxy::~DelayProxy() {
    m_impl->io.stop();
    if (m_thread.joinable())
        m_thread.join();
}

} // namespace ct::bench
