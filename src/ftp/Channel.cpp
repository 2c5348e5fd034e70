#include "ftp/Channel.h"

#include <cerrno>
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

bool Channel::flush(int, const IdleHook &)
{
    return true;
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

ssize_t Channel::tryRead(char *buffer, std::size_t len)
{
    const ssize_t n = ::recv(m_fd, buffer, len, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return kWantRead;
    return n;
}

ssize_t Channel::tryWrite(const char *buffer, std::size_t len)
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
    m_error = m_timedOut ? "timeout" : "connection lost";
    return false;
}

ssize_t Channel::readSome(char *buffer, std::size_t len, const Deadline &deadline,
                          const IdleHook &idle)
{
    m_error.clear();
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
            m_error = failureText(errno);
            return -1;
        }
        if (!waitFor(n, deadline, idle))
            return -1;
    }
}

bool Channel::writeAll(const char *buffer, std::size_t len, int stallMs, const IdleHook &idle)
{
    m_error.clear();
    m_timedOut = false;
    if (m_fd < 0) {
        m_error = "not connected";
        return false;
    }
    std::size_t done = 0;
    Deadline stall = Deadline::in(stallMs);
    while (done < len) {
        const ssize_t n = tryWrite(buffer + done, len - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            stall = Deadline::in(stallMs);
            continue;
        }
        if (n == -1 || n == 0) {
            m_error = n == 0 ? "connection lost" : failureText(errno);
            return false;
        }
        if (!waitFor(n, stall, idle))
            return false;
    }
    return true;
}

} // namespace ftp
