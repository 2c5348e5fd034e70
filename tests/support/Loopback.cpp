// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/Loopback.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <unistd.h>

socklen_t loopbackAddress(bool ipv6, uint16_t port, sockaddr_storage *addr)
{
    std::memset(addr, 0, sizeof *addr);
    if (ipv6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(addr);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        a->sin6_port = htons(port);
        return sizeof *a;
    }
    auto *a = reinterpret_cast<sockaddr_in *>(addr);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(port);
    return sizeof *a;
}

uint16_t boundPort(int fd)
{
    sockaddr_storage addr;
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return 0;
    if (addr.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(addr).sin6_port);
    if (addr.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in &>(addr).sin_port);
    return 0;
}

SilentListener::SilentListener()
{
    m_listener = listenLoopback(false, &m_port, 0);
    for (int i = 0; i < 4 && m_listener >= 0; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_storage a;
        const socklen_t len = loopbackAddress(false, m_port, &a);
        ::connect(fd, reinterpret_cast<sockaddr *>(&a), len);
        m_fillers.push_back(fd);
    }
}

SilentListener::~SilentListener()
{
    for (int fd : m_fillers)
        ::close(fd);
    if (m_listener >= 0)
        ::close(m_listener);
}

int listenLoopback(bool ipv6, uint16_t *port, int backlog)
{
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage addr;
    const socklen_t len = loopbackAddress(ipv6, 0, &addr);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) < 0 || ::listen(fd, backlog) < 0) {
        ::close(fd);
        return -1;
    }
    *port = boundPort(fd);
    return fd;
}
