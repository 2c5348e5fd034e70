// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftp/Socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace ftp {

using Clock = std::chrono::steady_clock;

Deadline Deadline::in(int ms)
{
    return Deadline{Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms)};
}

int Deadline::remainingMs() const
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at - Clock::now());
    if (left.count() <= 0)
        return 0;
    return left.count() > 1000000000 ? 1000000000 : static_cast<int>(left.count());
}

uint16_t Endpoint::port() const
{
    if (family() == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in &>(addr).sin_port);
    if (family() == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(addr).sin6_port);
    return 0;
}

void Endpoint::setPort(uint16_t port)
{
    if (family() == AF_INET)
        reinterpret_cast<sockaddr_in &>(addr).sin_port = htons(port);
    else if (family() == AF_INET6)
        reinterpret_cast<sockaddr_in6 &>(addr).sin6_port = htons(port);
}

std::string Endpoint::host() const
{
    char text[INET6_ADDRSTRLEN] = {};
    if (family() == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(addr).sin_addr, text,
                  sizeof text);
    else if (family() == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 &>(addr).sin6_addr, text,
                  sizeof text);
    return text;
}

namespace {

// The 16-byte IPv6 form of an address (IPv4 as IPv4-mapped), for comparing.
bool canonicalBytes(const Endpoint &e, unsigned char out[16])
{
    if (e.family() == AF_INET) {
        std::memset(out, 0, 10);
        out[10] = 0xff;
        out[11] = 0xff;
        std::memcpy(out + 12, &reinterpret_cast<const sockaddr_in &>(e.addr).sin_addr, 4);
        return true;
    }
    if (e.family() == AF_INET6) {
        std::memcpy(out, &reinterpret_cast<const sockaddr_in6 &>(e.addr).sin6_addr, 16);
        return true;
    }
    return false;
}

using IdleClock = std::chrono::steady_clock;
thread_local IdleClock::time_point lastIdle = IdleClock::now();

} // namespace

bool idleIfDue(const IdleHook &idle)
{
    if (msUntilIdleDue() > 0)
        return true;
    lastIdle = IdleClock::now();
    return !idle || idle();
}

int msUntilIdleDue()
{
    const auto since =
        std::chrono::duration_cast<std::chrono::milliseconds>(IdleClock::now() - lastIdle);
    return since.count() >= kIdleTickMs ? 0 : kIdleTickMs - int(since.count());
}

bool Endpoint::sameHost(const Endpoint &other) const
{
    unsigned char a[16];
    unsigned char b[16];
    return canonicalBytes(*this, a) && canonicalBytes(other, b) && std::memcmp(a, b, 16) == 0;
}

namespace {
thread_local IdleWait idleWait;
} // namespace

void setIdleWait(IdleWait wait)
{
    idleWait = std::move(wait);
}

WaitResult waitForFd(int fd, short events, const Deadline &deadline, const IdleHook &idle)
{
    for (;;) {
        const int left = deadline.remainingMs();
        const int due = msUntilIdleDue();
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, 0);
        // The socket is looked at before the deadline: time the idle hook
        // took (a window's dialog, a folder listing) does not count against
        // a socket that is ready by now.
        if (n == 0 && left == 0)
            return WaitResult::Timeout;
        if (n == 0 && idle && idleWait) {
            // On a near server a reply comes within a moment of its command,
            // and a plain poll waits that out, where a pass through the
            // window's event loop after every command would cost more than
            // the reply's wait. Sends keep the loop: a full socket takes
            // longer than that to drain.
            if (events == POLLIN)
                n = ::poll(&p, 1, std::min({kReplyGlanceMs, left, due}));
            if (n == 0) {
                idleWait(fd, events, left < due ? left : due);
                n = ::poll(&p, 1, 0);
            }
        } else if (n == 0) {
            n = ::poll(&p, 1, left < due ? left : due);
        }
        if (n < 0 && errno != EINTR)
            return WaitResult::Error;
        if (!idleIfDue(idle))
            return WaitResult::Stopped;
        if (n > 0) {
            if (p.revents & events)
                return WaitResult::Ready;
            // Hang-up or error without the wanted event: the caller's next
            // read or write reports what happened, so hand it back as ready
            // when reading (EOF is data), as an error otherwise.
            if ((events & POLLIN) && (p.revents & POLLHUP))
                return WaitResult::Ready;
            return WaitResult::Error;
        }
    }
}

namespace {

// What the resolver thread hands back; shared so that a caller who gave up
// can leave while the thread still runs.
struct Resolution
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int status = 0;
    std::vector<Endpoint> endpoints;
};

std::vector<Endpoint> collect(addrinfo *list)
{
    std::vector<Endpoint> endpoints;
    for (addrinfo *ai = list; ai; ai = ai->ai_next) {
        if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) ||
            ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        Endpoint e;
        std::memcpy(&e.addr, ai->ai_addr, ai->ai_addrlen);
        e.len = ai->ai_addrlen;
        endpoints.push_back(e);
    }
    return endpoints;
}

int lookUp(const std::string &host, uint16_t port, int flags, std::vector<Endpoint> *out)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags | AI_NUMERICSERV;
    addrinfo *list = nullptr;
    const std::string service = std::to_string(port);
    const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (status == 0) {
        *out = collect(list);
        ::freeaddrinfo(list);
    }
    return status;
}

} // namespace

std::vector<Endpoint> resolveHost(const std::string &host, uint16_t port, const Deadline &deadline,
                                  const IdleHook &idle, std::string *error, int *code)
{
    std::vector<Endpoint> endpoints;
    // Address literals need no lookup and no thread.
    if (lookUp(host, port, AI_NUMERICHOST, &endpoints) == 0 && !endpoints.empty())
        return endpoints;

    auto resolution = std::make_shared<Resolution>();
    try {
        std::thread([resolution, host, port] {
            std::vector<Endpoint> found;
            const int status = lookUp(host, port, AI_ADDRCONFIG, &found);
            std::lock_guard<std::mutex> lock(resolution->mutex);
            resolution->status = status;
            resolution->endpoints = std::move(found);
            resolution->finished = true;
            resolution->done.notify_all();
        }).detach();
    } catch (const std::system_error &) {
        if (error)
            *error = "cannot start name resolution for " + host;
        if (code)
            *code = 0;
        return {};
    }

    for (;;) {
        {
            std::unique_lock<std::mutex> lock(resolution->mutex);
            const int left = deadline.remainingMs();
            const int due = std::max(1, msUntilIdleDue());
            resolution->done.wait_for(lock, std::chrono::milliseconds(left < due ? left : due));
            if (resolution->finished) {
                if (resolution->status != 0 || resolution->endpoints.empty()) {
                    if (code)
                        *code = resolution->status != 0 ? resolution->status : EAI_NODATA;
                    if (error)
                        *error = "cannot resolve " + host + ": " +
                                 (resolution->status != 0 ? gai_strerror(resolution->status)
                                                          : "no address");
                    return {};
                }
                return resolution->endpoints;
            }
        }
        if (deadline.expired()) {
            if (error)
                *error = "name resolution of " + host + " timed out";
            if (code)
                *code = 0;
            return {};
        }
        if (!idleIfDue(idle)) {
            if (error)
                *error = "name resolution of " + host + " was stopped";
            if (code)
                *code = EAI_CANCELED;
            return {};
        }
    }
}

int connectAny(const std::vector<Endpoint> &endpoints, const Deadline &deadline,
               const IdleHook &idle, std::string *error, int *errorNumber)
{
    std::string lastError = "no address to connect to";
    int lastErrno = EADDRNOTAVAIL;
    for (std::size_t i = 0; i < endpoints.size(); ++i) {
        const Endpoint &e = endpoints[i];
        if (deadline.expired()) {
            lastError = "connect timed out";
            lastErrno = ETIMEDOUT;
            break;
        }
        // The first address must not eat the whole budget of the others.
        const int share = deadline.remainingMs() / static_cast<int>(endpoints.size() - i);
        const Deadline attempt = Deadline::in(share > 0 ? share : 1);
        const int fd =
            ::socket(e.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            lastErrno = errno;
            lastError = "socket: " + errnoText(lastErrno);
            continue;
        }
        int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&e.addr), e.len);
        if (rc < 0 && errno != EINPROGRESS && errno != EINTR) {
            lastErrno = errno;
            lastError = "connect to " + e.host() + ": " + errnoText(lastErrno);
            ::close(fd);
            continue;
        }
        if (rc < 0) {
            const WaitResult w = waitForFd(fd, POLLOUT, attempt, idle);
            int soError = 0;
            socklen_t len = sizeof soError;
            if (w == WaitResult::Stopped) {
                lastError = "connect to " + e.host() + " was stopped";
                lastErrno = ECANCELED;
                ::close(fd);
                break;
            }
            if (w == WaitResult::Timeout) {
                lastError = "connect to " + e.host() + " timed out";
                lastErrno = ETIMEDOUT;
                ::close(fd);
                continue;
            }
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) < 0)
                soError = errno;
            if (soError != 0 || w == WaitResult::Error) {
                lastErrno = soError ? soError : EIO;
                lastError = "connect to " + e.host() + ": " + errnoText(lastErrno);
                ::close(fd);
                continue;
            }
        }
        return fd;
    }
    if (error)
        *error = lastError;
    if (errorNumber)
        *errorNumber = lastErrno;
    return -1;
}

int listenOn(const Endpoint &local, std::string *error, int *errorNumber)
{
    Endpoint bindTo = local;
    bindTo.setPort(0);
    const int fd =
        ::socket(bindTo.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        if (errorNumber)
            *errorNumber = errno;
        if (error)
            *error = "socket: " + errnoText(errno);
        return -1;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&bindTo.addr), bindTo.len) < 0 ||
        ::listen(fd, 4) < 0) {
        if (errorNumber)
            *errorNumber = errno;
        if (error)
            *error = "listen on " + bindTo.host() + ": " + errnoText(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

Endpoint localEndpoint(int fd)
{
    Endpoint e;
    e.len = sizeof e.addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&e.addr), &e.len) < 0)
        e = Endpoint{};
    return e;
}

Endpoint peerEndpoint(int fd)
{
    Endpoint e;
    e.len = sizeof e.addr;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&e.addr), &e.len) < 0)
        e = Endpoint{};
    return e;
}

void tuneControlSocket(int fd)
{
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    int idleS = kKeepAliveIdleS;
    int intervalS = kKeepAliveIntervalS;
    int probes = kKeepAliveProbes;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleS, sizeof idleS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalS, sizeof intervalS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void tuneDataSocket(int fd)
{
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

std::string errnoText(int err)
{
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not be `buffer`.
    return ::strerror_r(err, buffer, sizeof buffer);
}

} // namespace ftp
