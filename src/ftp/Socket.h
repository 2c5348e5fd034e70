// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Socket helpers shared by the control and data connections: deadlines,
// waiting with the idle hook, name resolution off the caller's thread, and
// non-blocking connect, listen and accept. POSIX only.

#include "ftp/FtpClient.h"

#include <chrono>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace ftp {

/// Longest pause between two calls of the idle hook while waiting.
inline constexpr int kIdleTickMs = 20;

/// TCP keep-alive on the control connection: first probe after this many idle
/// seconds, then every kKeepAliveIntervalS, giving up after kKeepAliveProbes.
inline constexpr int kKeepAliveIdleS = 60;
inline constexpr int kKeepAliveIntervalS = 15;
inline constexpr int kKeepAliveProbes = 4;

/// A point in time after which a wait gives up.
struct Deadline
{
    std::chrono::steady_clock::time_point at;

    static Deadline in(int ms);
    int remainingMs() const;
    bool expired() const { return remainingMs() <= 0; }
};

/// A socket address of either family.
struct Endpoint
{
    sockaddr_storage addr{};
    socklen_t len = 0;

    int family() const { return addr.ss_family; }
    uint16_t port() const;
    void setPort(uint16_t port);
    /// Numeric host, e.g. "127.0.0.1" or "::1" (no brackets, no port).
    std::string host() const;
    /// Same host address, ignoring ports; IPv4-mapped IPv6 equals its IPv4.
    bool sameHost(const Endpoint &other) const;
};

enum class WaitResult
{
    Ready,
    Timeout,
    Error,
    Stopped ///< the idle hook said not to go on
};

/// Calls `idle` when kIdleTickMs have passed since it last ran on this
/// thread, however the time went: in one long wait or in a chain of short
/// ones (a TLS handshake, a login), none of which would reach the tick alone.
/// Returns what the hook said (true when it was not due or there is none).
bool idleIfDue(const IdleHook &idle);
/// Milliseconds until idleIfDue() would call the hook (0: due now).
int msUntilIdleDue();

/// How long a wait for input looks at the socket alone before it goes to the
/// thread's IdleWait.
inline constexpr int kReplyGlanceMs = 1;

/// Waits until `fd` has any of `events` (POLLIN, POLLOUT), calling `idle`
/// every kIdleTickMs (idleIfDue), until `deadline` or until the hook says
/// stop; with an idle hook, in the thread's IdleWait when one is set
/// (setIdleWait), for at most one tick at a time, after kReplyGlanceMs on
/// the socket alone when waiting for input. Error also covers
/// POLLERR/POLLHUP/POLLNVAL when the caller did not ask for them.
WaitResult waitForFd(int fd, short events, const Deadline &deadline, const IdleHook &idle);

/// Resolves host and port (numeric names directly, others with getaddrinfo on
/// a worker thread so that the idle hook keeps running). Empty on failure,
/// *error then says why and *code holds getaddrinfo's code (0 when the lookup
/// ran out of time or could not start, EAI_CANCELED when the hook said stop).
std::vector<Endpoint> resolveHost(const std::string &host, uint16_t port, const Deadline &deadline,
                                  const IdleHook &idle, std::string *error, int *code = nullptr);

/// Opens a non-blocking TCP connection to one of `endpoints`, trying them in
/// order and sharing the time left between those not yet tried. Returns the
/// fd or -1 (*error says why, *errorNumber the errno of the last attempt,
/// ETIMEDOUT when time ran out, ECANCELED when the hook said stop).
int connectAny(const std::vector<Endpoint> &endpoints, const Deadline &deadline,
               const IdleHook &idle, std::string *error, int *errorNumber = nullptr);

/// A non-blocking listening socket on `local`'s address with a port chosen by
/// the system. Returns the fd or -1 (*errorNumber: the errno).
int listenOn(const Endpoint &local, std::string *error, int *errorNumber = nullptr);

/// The local and remote address of a connected socket.
Endpoint localEndpoint(int fd);
Endpoint peerEndpoint(int fd);

/// Turns on TCP keep-alive with the intervals above, and TCP_NODELAY so that
/// each command line leaves at once.
void tuneControlSocket(int fd);

/// TCP_NODELAY for a data connection. The gathered sends are a little over
/// one loopback segment each; Nagle would hold every short tail back until
/// the peer's ACK and cut the stream into ragged segments.
void tuneDataSocket(int fd);

/// Text of an errno value.
std::string errnoText(int err);

} // namespace ftp
