// SPDX-License-Identifier: GPL-3.0-or-later
#include "TcpProxy.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(const char *address, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

// A listening socket on address:port (port 0: any); -1 on failure.
int listenAt(const char *address, uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in a = loopback(address, port);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0 ||
        ::listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

uint16_t portOf(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return 0;
    return ntohs(a.sin_port);
}

bool sendAll(int fd, const char *data, std::size_t len)
{
    while (len > 0) {
        const ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

TcpProxy::TcpProxy(uint16_t targetPort, uint16_t rangeMin, uint16_t rangeMax)
{
    if (::pipe2(m_wake, O_CLOEXEC) != 0)
        return;
    const int control = listenAt("127.0.0.2", 0);
    if (control < 0)
        return;
    m_listeners.emplace_back(control, targetPort);
    for (uint32_t p = rangeMin; rangeMin != 0 && p <= rangeMax; ++p) {
        const int fd = listenAt("127.0.0.2", static_cast<uint16_t>(p));
        if (fd < 0)
            return;
        m_listeners.emplace_back(fd, static_cast<uint16_t>(p));
    }
    m_listenPort = portOf(control);
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

TcpProxy::~TcpProxy()
{
    m_stop = true;
    if (m_wake[1] >= 0)
        (void)::write(m_wake[1], "x", 1);
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    {
        // Wakes every copy thread out of its recv.
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int fd : m_sockets)
            ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread &t : m_copyThreads)
        t.join();
    for (int fd : m_sockets)
        ::close(fd);
    for (const auto &[fd, port] : m_listeners)
        ::close(fd);
    for (int fd : m_wake) {
        if (fd >= 0)
            ::close(fd);
    }
}

void TcpProxy::acceptLoop()
{
    std::vector<pollfd> fds;
    for (const auto &[fd, port] : m_listeners)
        fds.push_back({fd, POLLIN, 0});
    fds.push_back({m_wake[0], POLLIN, 0});
    while (!m_stop) {
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            return;
        for (std::size_t i = 0; i < m_listeners.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            const int client = ::accept4(m_listeners[i].first, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in target = loopback("127.0.0.1", m_listeners[i].second);
            if (server < 0 || ::connect(server, reinterpret_cast<const sockaddr *>(&target),
                                        sizeof target) != 0) {
                ::close(client);
                if (server >= 0)
                    ::close(server);
                continue;
            }
            const int on = 1;
            ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_sockets.push_back(client);
            m_sockets.push_back(server);
            m_streams.emplace_back();
            m_streams.emplace_back();
            const std::size_t up = m_streams.size() - 2;
            m_copyThreads.emplace_back([this, client, server, up] {
                copyLoop({client, server, up});
            });
            m_copyThreads.emplace_back([this, client, server, up] {
                copyLoop({server, client, up + 1});
            });
        }
    }
}

void TcpProxy::copyLoop(Pipe pipe)
{
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::recv(pipe.from, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // End of stream goes on as end of stream; an error as a reset
            // of both sides, so that a cut stays a cut.
            if (n == 0)
                ::shutdown(pipe.to, SHUT_WR);
            else
                ::shutdown(pipe.to, SHUT_RDWR);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_streams[pipe.stream].append(buffer, static_cast<std::size_t>(n));
        }
        if (!sendAll(pipe.to, buffer, static_cast<std::size_t>(n))) {
            ::shutdown(pipe.from, SHUT_RDWR);
            return;
        }
    }
}

std::vector<std::string> TcpProxy::streams() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_streams;
}

int TcpProxy::connections() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_streams.size() / 2);
}

uint16_t TcpProxy::freePortRange(int count)
{
    std::mt19937 gen(std::random_device{}());
    std::uniform_int_distribution<int> base(20000, 60000);
    for (int attempt = 0; attempt < 50; ++attempt) {
        const uint16_t first = static_cast<uint16_t>(base(gen));
        std::vector<int> held;
        bool free = true;
        for (int i = 0; i < count && free; ++i) {
            for (const char *address : {"127.0.0.1", "127.0.0.2"}) {
                const int fd = listenAt(address, static_cast<uint16_t>(first + i));
                free = free && fd >= 0;
                if (fd >= 0)
                    held.push_back(fd);
            }
        }
        for (int fd : held)
            ::close(fd);
        if (free)
            return first;
    }
    return 0;
}
