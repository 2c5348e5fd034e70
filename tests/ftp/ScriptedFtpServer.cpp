// SPDX-License-Identifier: GPL-3.0-or-later
#include "ScriptedFtpServer.h"
#include "support/Loopback.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kTickMs = 20;

// Waits for `events` on fd in short ticks so a stopping test is noticed.
bool waitFd(int fd, short events, int timeoutMs, const std::atomic<bool> *stop)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!(stop && *stop)) {
        pollfd p{fd, events, 0};
        if (::poll(&p, 1, kTickMs) > 0)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    }
    return false;
}

} // namespace

void ScriptedPeer::send(const std::string &raw)
{
    std::size_t done = 0;
    while (m_fd >= 0 && done < raw.size()) {
        const ssize_t n = ::send(m_fd, raw.data() + done, raw.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

std::string ScriptedPeer::readLine(int timeoutMs)
{
    for (;;) {
        const auto end = m_buffer.find('\n');
        if (end != std::string::npos) {
            std::string line = m_buffer.substr(0, end);
            m_buffer.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            std::lock_guard<std::mutex> lock(*m_mutex);
            m_transcript->push_back(line);
            return line;
        }
        if (m_fd < 0 || !waitFd(m_fd, POLLIN, timeoutMs, m_stop))
            return {};
        char buffer[4096];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return {};
        m_buffer.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string ScriptedPeer::answer(const std::string &reply, int timeoutMs)
{
    std::string line = readLine(timeoutMs);
    if (!line.empty())
        send(reply + "\r\n");
    return line;
}

uint16_t ScriptedPeer::listenData()
{
    if (m_dataListener >= 0)
        ::close(m_dataListener);
    uint16_t port = 0;
    m_dataListener = listenLoopback(m_ipv6, &port);
    return port;
}

int ScriptedPeer::acceptData(int timeoutMs)
{
    if (m_dataListener < 0 || !waitFd(m_dataListener, POLLIN, timeoutMs, m_stop))
        return -1;
    return ::accept4(m_dataListener, nullptr, nullptr, SOCK_CLOEXEC);
}

int ScriptedPeer::answerEpsv()
{
    const uint16_t port = listenData();
    answer("229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
    return acceptData();
}

int ScriptedPeer::connectData(uint16_t port, const char *fromAddress)
{
    const int fd = ::socket(m_ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fromAddress) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ::inet_pton(AF_INET, fromAddress, &from.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) < 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_storage addr;
    const socklen_t len = loopbackAddress(m_ipv6, port, &addr);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), len) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

uint16_t ScriptedPeer::activePort(const std::string &line)
{
    if (line.rfind("EPRT ", 0) == 0 && line.size() > 6) {
        const char d = line[5];
        const auto end = line.rfind(d, line.size() - 2);
        return static_cast<uint16_t>(std::stoi(line.substr(end + 1)));
    }
    if (line.rfind("PORT ", 0) == 0) {
        unsigned v[6] = {};
        if (std::sscanf(line.c_str() + 5, "%u,%u,%u,%u,%u,%u", &v[0], &v[1], &v[2], &v[3], &v[4],
                        &v[5]) == 6)
            return static_cast<uint16_t>(v[4] * 256 + v[5]);
    }
    return 0;
}

std::string ScriptedPeer::readAll(int fd, int timeoutMs)
{
    std::string all;
    char buffer[4096];
    while (waitFd(fd, POLLIN, timeoutMs, nullptr)) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        all.append(buffer, static_cast<std::size_t>(n));
    }
    return all;
}

void ScriptedPeer::sendAll(int fd, const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

void ScriptedPeer::closeControl()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void ScriptedPeer::resetControl()
{
    if (m_fd >= 0) {
        linger l{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    closeControl();
}

bool ScriptedPeer::stopping() const
{
    return m_stop && *m_stop;
}

ScriptedFtpServer::ScriptedFtpServer(Script script, bool ipv6) : m_ipv6(ipv6)
{
    m_listener = listenLoopback(ipv6, &m_port);
    m_thread = std::thread([this, script = std::move(script)] {
        ScriptedPeer peer;
        peer.m_ipv6 = m_ipv6;
        peer.m_stop = &m_stop;
        peer.m_mutex = &m_mutex;
        peer.m_transcript = &m_transcript;
        if (m_listener >= 0 && waitFd(m_listener, POLLIN, 30000, &m_stop)) {
            peer.m_fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (peer.m_fd >= 0)
                script(peer);
        }
        peer.closeControl();
        if (peer.m_dataListener >= 0)
            ::close(peer.m_dataListener);
        m_done = true;
    });
}

ScriptedFtpServer::~ScriptedFtpServer()
{
    m_stop = true;
    m_thread.join();
    if (m_listener >= 0)
        ::close(m_listener);
}

std::string ScriptedFtpServer::serverField() const
{
    // The scripts answer a plain login that starts with USER; ftp:// asks
    // for exactly that (a bare address would ask FEAT first, for AUTH TLS).
    return (m_ipv6 ? "ftp://[::1]:" : "ftp://127.0.0.1:") + std::to_string(m_port);
}

std::vector<std::string> ScriptedFtpServer::transcript() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_transcript;
}

bool ScriptedFtpServer::waitDone(int timeoutMs) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_done) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        ::poll(nullptr, 0, kTickMs);
    }
    return true;
}
