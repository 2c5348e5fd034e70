// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A forwarding TCP proxy for tests that look at what goes over the wire: it
// listens on 127.0.0.2 and forwards every connection to the same kind of
// port on 127.0.0.1, keeping a copy of every byte in both directions.
//
// FTP data connections go to the control connection's address at a port the
// server names inside the (encrypted) dialogue, so the proxy cannot rewrite
// them; instead it also listens on 127.0.0.2 at each port of the server's
// passive range, forwarding each to the same port on 127.0.0.1. A client that
// talks to 127.0.0.2 then sends control and data through the proxy.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/// See the top of this file.
class TcpProxy
{
public:
    /// Forwards 127.0.0.2:<listenPort()> to 127.0.0.1:targetPort, and
    /// 127.0.0.2:p to 127.0.0.1:p for p in [rangeMin, rangeMax] (none when 0).
    TcpProxy(uint16_t targetPort, uint16_t rangeMin = 0, uint16_t rangeMax = 0);
    ~TcpProxy();
    TcpProxy(const TcpProxy &) = delete;
    TcpProxy &operator=(const TcpProxy &) = delete;

    bool isValid() const { return m_listenPort != 0; }
    uint16_t listenPort() const { return m_listenPort; }

    /// Every byte seen so far, one string per connection and direction.
    std::vector<std::string> streams() const;
    /// How many connections were forwarded.
    int connections() const;

    /// A range of `count` ports free on both 127.0.0.1 and 127.0.0.2 right
    /// now; 0 when none was found.
    static uint16_t freePortRange(int count);

private:
    struct Pipe
    {
        int from = -1;
        int to = -1;
        std::size_t stream = 0;
    };

    void acceptLoop();
    void copyLoop(Pipe pipe);

    std::vector<std::pair<int, uint16_t>> m_listeners; // fd, port to forward to
    uint16_t m_listenPort = 0;
    int m_wake[2] = {-1, -1};
    std::atomic<bool> m_stop{false};
    std::thread m_acceptThread;

    mutable std::mutex m_mutex;
    std::vector<std::string> m_streams;
    std::vector<int> m_sockets;
    std::vector<std::thread> m_copyThreads;
};
