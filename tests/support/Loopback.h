// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Sockets on the loopback address for the test servers and their probes:
// 127.0.0.1 or ::1 only, so no test reaches outside the machine.

#include <cstdint>
#include <sys/socket.h>
#include <vector>

/// Fills `addr` with 127.0.0.1 or ::1 and `port`; returns its length.
socklen_t loopbackAddress(bool ipv6, uint16_t port, sockaddr_storage *addr);

/// The local port `fd` is bound to; 0 when it is not bound.
uint16_t boundPort(int fd);

/// A socket listening on the loopback address at a port the system picks
/// (returned in *port), with room for `backlog` pending connections; -1 on
/// failure.
int listenLoopback(bool ipv6, uint16_t *port, int backlog = 8);

/// A loopback port where a connect is never answered, like a host that drops
/// packets: a listener that never accepts, its backlog filled, so the next
/// SYN goes unanswered.
class SilentListener
{
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener &) = delete;
    SilentListener &operator=(const SilentListener &) = delete;

    uint16_t port() const { return m_port; }

private:
    int m_listener = -1;
    uint16_t m_port = 0;
    std::vector<int> m_fillers;
};
