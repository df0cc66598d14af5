#include "platform/ping/Ping.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <vector>

namespace ct {

#ifdef _WIN32

// Windows: ICMP would need IcmpSendEcho; a TCP connect answers the same question.
bool Ping(const std::string& host, std::chrono::milliseconds timeout) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    bool reached = false;
    for (const char* port : {"443", "80"}) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        if (getaddrinfo(host.c_str(), port, &hints, &list) != 0)
            break;
        for (addrinfo* ai = list; ai && !reached; ai = ai->ai_next) {
            SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
            if (s == INVALID_SOCKET)
                continue;
            u_long nonBlocking = 1;
            ioctlsocket(s, FIONBIO, &nonBlocking);
            connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen));
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval tv{static_cast<long>(timeout.count() / 1000), static_cast<long>((timeout.count() % 1000) * 1000)};
            reached = select(0, nullptr, &writable, &failed, &tv) > 0 && FD_ISSET(s, &writable);
            closesocket(s);
        }
        freeaddrinfo(list);
        if (reached)
            break;
    }
    WSACleanup();
    return reached;
}

#else

namespace {

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

int Remaining(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::uint16_t Checksum(const unsigned char* data, std::size_t size) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    if (size % 2)
        sum += static_cast<std::uint32_t>(data[size - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

// Unprivileged ICMP echo over a datagram socket. The kernel fills in the identifier and
// hands back only replies to this socket. Returns false also when the system does not
// allow such sockets (net.ipv4.ping_group_range), which the caller cannot tell apart from
// silence; the TCP fallback then decides.
bool IcmpEcho(const sockaddr_in& target, std::chrono::milliseconds timeout) {
    Fd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (s.Get() < 0)
        return false;
    unsigned char packet[16] = {};
    packet[0] = ICMP_ECHO;
    packet[6] = 0;
    packet[7] = 1;  // sequence 1
    std::memcpy(packet + 8, "ct-probe", 8);
    std::uint16_t sum = Checksum(packet, sizeof packet);
    packet[2] = static_cast<unsigned char>(sum >> 8);
    packet[3] = static_cast<unsigned char>(sum & 0xff);
    if (sendto(s.Get(), packet, sizeof packet, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target) < 0)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pollfd p{s.Get(), POLLIN, 0};
        int ready = poll(&p, 1, Remaining(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        unsigned char reply[256];
        ssize_t got = recv(s.Get(), reply, sizeof reply, 0);
        if (got >= 8 && reply[0] == ICMP_ECHOREPLY)
            return true;
        if (got < 0 && errno != EINTR && errno != EAGAIN)
            return false;
    }
}

bool TcpConnect(const sockaddr* address, socklen_t size, std::chrono::milliseconds timeout) {
    Fd s(socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (s.Get() < 0)
        return false;
    if (connect(s.Get(), address, size) == 0)
        return true;
    if (errno != EINPROGRESS)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pollfd p{s.Get(), POLLOUT, 0};
        int ready = poll(&p, 1, Remaining(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        int error = 0;
        socklen_t len = sizeof error;
        return getsockopt(s.Get(), SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
    }
}

} // namespace

bool Ping(const std::string& host, std::chrono::milliseconds timeout) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list)
        return false;
    std::vector<std::pair<sockaddr_storage, socklen_t>> addresses;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        sockaddr_storage copy{};
        std::memcpy(&copy, ai->ai_addr, ai->ai_addrlen);
        addresses.emplace_back(copy, ai->ai_addrlen);
    }
    freeaddrinfo(list);

    for (auto& [address, size] : addresses)
        if (address.ss_family == AF_INET && IcmpEcho(reinterpret_cast<const sockaddr_in&>(address), timeout))
            return true;
    for (std::uint16_t port : {443, 80}) {
        for (auto& [address, size] : addresses) {
            if (address.ss_family == AF_INET)
                reinterpret_cast<sockaddr_in&>(address).sin_port = htons(port);
            else if (address.ss_family == AF_INET6)
                reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(port);
            else
                continue;
            if (TcpConnect(reinterpret_cast<const sockaddr*>(&address), size, timeout))
                return true;
        }
    }
    return false;
}

#endif

} // namespace ct
