// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftp/Channel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ftp {

Channel::Channel(int fd) : m_fd(fd) {}

Channel::~Channel()
{
    close();
}

void Channel::close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

int Channel::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void Channel::gatherWrites(std::size_t bytes)
{
    if (bytes > m_gatherCapacity) {
        m_gather = std::make_unique_for_overwrite<char[]>(bytes);
        m_gatherCapacity = bytes;
    }
    m_gatherSize = bytes;
    m_gatherBegin = m_gatherEnd = m_reservedEnd = 0;
}

char *Channel::reserve(std::size_t len, int stallMs, const IdleHook &idle)
{
    m_error.clear();
    m_errno = 0;
    m_timedOut = false;
    if (m_fd < 0 || m_gatherSize == 0 || len > m_gatherSize) {
        m_error = m_fd < 0 ? "not connected" : "no room for the bytes";
        return nullptr;
    }
    if (m_gatherEnd + len > m_gatherSize && !flush(stallMs, idle))
        return nullptr;
    m_reservedEnd = m_gatherEnd + len;
    return m_gather.get() + m_gatherEnd;
}

bool Channel::commit(std::size_t len, int stallMs, const IdleHook &idle)
{
    m_error.clear();
    m_errno = 0;
    m_timedOut = false;
    if (m_fd < 0 || m_gatherEnd + len > m_reservedEnd) {
        m_error = m_fd < 0 ? "not connected" : "bytes committed without room";
        return false;
    }
    m_gatherEnd += len;
    return m_gatherEnd < m_gatherSize || flush(stallMs, idle);
}

ssize_t Channel::sendGathered()
{
    while (m_gatherBegin < m_gatherEnd) {
        const ssize_t n = sendSome(m_gather.get() + m_gatherBegin, m_gatherEnd - m_gatherBegin);
        if (n == -1) {
            // The connection is gone and these bytes with it; the write
            // that failed tells the caller, and the server's verdict can
            // still be read as without gathering.
            m_gatherBegin = m_gatherEnd = m_reservedEnd = 0;
            return -1;
        }
        if (n < 0)
            return n;
        m_gatherBegin += static_cast<std::size_t>(n);
    }
    m_gatherBegin = m_gatherEnd = m_reservedEnd = 0;
    return sendHeld();
}

bool Channel::flush(int stallMs, const IdleHook &idle)
{
    if (m_fd < 0)
        return m_gatherBegin == m_gatherEnd;
    // A stall is a wait without progress, not a slow send: a large gather
    // may take many waits to leave over a slow link.
    Deadline stall = Deadline::in(stallMs);
    for (;;) {
        const std::size_t before = m_gatherBegin;
        const std::size_t heldBefore = held();
        const ssize_t r = sendGathered();
        if (r == 0)
            return true;
        if (r == -1) {
            setSystemError(errno);
            return false;
        }
        if (m_gatherBegin != before || held() != heldBefore)
            stall = Deadline::in(stallMs);
        if (!waitFor(r, stall, idle))
            return false;
    }
}

void Channel::shutdownWrite()
{
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_WR);
}

void Channel::sendNow(const char *buffer, std::size_t len)
{
    if (m_fd >= 0)
        (void)::send(m_fd, buffer, len, MSG_NOSIGNAL | MSG_DONTWAIT);
}

std::string Channel::failureText(int err) const
{
    return errnoText(err);
}

void Channel::setSystemError(int err)
{
    m_error = failureText(err);
    // A TLS channel may have given OpenSSL's reason instead of the errno's.
    m_errno = m_error == errnoText(err) ? err : 0;
}

ssize_t Channel::tryRead(char *buffer, std::size_t len)
{
    const ssize_t n = ::recv(m_fd, buffer, len, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return kWantRead;
    return n;
}

ssize_t Channel::tryWrite(const char *buffer, std::size_t len)
{
    if (m_gatherSize == 0)
        return sendSome(buffer, len);
    // Copied bytes take the place of any room reserve() gave.
    m_reservedEnd = 0;
    if (m_gatherEnd == m_gatherSize) {
        const ssize_t r = sendGathered();
        if (r < 0)
            return r;
    }
    const std::size_t n = std::min(len, m_gatherSize - m_gatherEnd);
    std::memcpy(m_gather.get() + m_gatherEnd, buffer, n);
    m_gatherEnd += n;
    return static_cast<ssize_t>(n);
}

ssize_t Channel::sendSome(const char *buffer, std::size_t len)
{
    // MSG_NOSIGNAL: a peer that went away gives EPIPE here, not SIGPIPE.
    const ssize_t n = ::send(m_fd, buffer, len, MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return kWantWrite;
    return n;
}

bool Channel::waitFor(ssize_t want, const Deadline &deadline, const IdleHook &idle)
{
    const WaitResult w = waitForFd(m_fd, want == kWantWrite ? POLLOUT : POLLIN, deadline, idle);
    if (w == WaitResult::Ready)
        return true;
    m_timedOut = w == WaitResult::Timeout;
    if (w == WaitResult::Stopped) {
        m_error = "stopped";
        return false;
    }
    m_error = m_timedOut ? "timeout" : "connection lost";
    // The socket may know what broke it.
    int soError = 0;
    socklen_t len = sizeof soError;
    if (!m_timedOut && ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 && soError)
        setSystemError(soError);
    return false;
}

ssize_t Channel::readSome(char *buffer, std::size_t len, const Deadline &deadline,
                          const IdleHook &idle)
{
    m_error.clear();
    m_errno = 0;
    m_timedOut = false;
    if (m_fd < 0) {
        m_error = "not connected";
        return -1;
    }
    for (;;) {
        const ssize_t n = tryRead(buffer, len);
        if (n >= 0)
            return n;
        if (n == -1) {
            setSystemError(errno);
            return -1;
        }
        if (!waitFor(n, deadline, idle))
            return -1;
    }
}

bool Channel::writeAll(const char *buffer, std::size_t len, int stallMs, const IdleHook &idle)
{
    m_error.clear();
    m_errno = 0;
    m_timedOut = false;
    if (m_fd < 0) {
        m_error = "not connected";
        return false;
    }
    std::size_t done = 0;
    // The stall clock starts at the first wait after progress: most writes
    // never wait, and reading the clock for each would cost more than the
    // write itself.
    Deadline stall{};
    bool stallRunning = false;
    while (done < len) {
        const ssize_t n = tryWrite(buffer + done, len - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            stallRunning = false;
            continue;
        }
        if (n == 0) {
            m_error = "connection lost";
            return false;
        }
        if (n == -1) {
            setSystemError(errno);
            return false;
        }
        if (!stallRunning) {
            stall = Deadline::in(stallMs);
            stallRunning = true;
        }
        if (!waitFor(n, stall, idle))
            return false;
    }
    return true;
}

} // namespace ftp
