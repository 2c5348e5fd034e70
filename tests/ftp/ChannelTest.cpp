// SPDX-License-Identifier: GPL-3.0-or-later
// The data channel's gathered sends over a local socket pair, in clear and
// inside TLS: a reader on the other end decides how fast the bytes may leave.

#include "ftp/Channel.h"
#include "ftp/TlsChannel.h"
#include "ftp/TlsContext.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using ftp::Channel;

namespace {

std::string randomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s)
        c = static_cast<char>(gen());
    return s;
}

// The server's side of TLS: a throwaway key and certificate.
SSL_CTX *serverContext()
{
    static SSL_CTX *const ctx = [] {
        EVP_PKEY *key = EVP_EC_gen("P-256");
        X509 *cert = X509_new();
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
        X509_set_pubkey(cert, key);
        X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char *>("127.0.0.1"), -1, -1, 0);
        X509_set_issuer_name(cert, X509_get_subject_name(cert));
        X509_sign(cert, key, EVP_sha256());
        SSL_CTX *c = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(c, cert);
        SSL_CTX_use_PrivateKey(c, key);
        X509_free(cert);
        EVP_PKEY_free(key);
        return c;
    }();
    return ctx;
}

/// A channel on one end of a stream socket pair with small buffers, so that
/// what the reader on the other end takes is what can leave. With `tls` the
/// channel is a TLS data channel and the reader its server.
class SocketPair
{
public:
    explicit SocketPair(bool tls = false)
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
            return;
        const int small = 16 * 1024;
        ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        ::setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
        m_peer = fds[1];
        if (!tls) {
            channel = std::make_unique<Channel>(fds[0]);
            return;
        }
        std::string error;
        const ftp::IdleHook goOn = [] { return true; };
        m_context = ftp::TlsContext::create({}, goOn, &error);
        if (m_context)
            channel = std::make_unique<ftp::TlsChannel>(fds[0], m_context->get(), "127.0.0.1",
                                                        nullptr, true);
        else
            ::close(fds[0]);
    }
    ~SocketPair()
    {
        stopReading();
        if (m_peer >= 0)
            ::close(m_peer);
    }

    /// Reads everything that comes, `chunk` bytes at most every `pause`.
    /// False when the TLS handshake failed.
    bool startReading(std::size_t chunk, std::chrono::milliseconds pause)
    {
        const bool tls = m_context != nullptr;
        m_reader = std::thread([this, chunk, pause, tls] {
            SSL *ssl = tls ? SSL_new(serverContext()) : nullptr;
            if (ssl && (SSL_set_fd(ssl, m_peer) != 1 || SSL_accept(ssl) != 1)) {
                SSL_free(ssl);
                return;
            }
            std::string buffer(chunk, '\0');
            for (;;) {
                const ssize_t n = ssl ? SSL_read(ssl, buffer.data(), static_cast<int>(chunk))
                                      : ::recv(m_peer, buffer.data(), chunk, 0);
                if (n <= 0)
                    break;
                received.append(buffer.data(), static_cast<std::size_t>(n));
                std::this_thread::sleep_for(pause);
            }
            SSL_free(ssl);
        });
        return !tls ||
               static_cast<ftp::TlsChannel &>(*channel).handshake(ftp::Deadline::in(5000), {});
    }
    void stopReading()
    {
        if (!m_reader.joinable())
            return;
        if (channel)
            channel->shutdownWrite();
        m_reader.join();
    }

    std::unique_ptr<Channel> channel;
    std::string received; // the reader's, until stopReading()

private:
    std::shared_ptr<ftp::TlsContext> m_context;
    int m_peer = -1;
    std::thread m_reader;
};

/// Fills `room` from `bytes` and commits it block by block, as uploads do.
bool commitRoom(Channel &c, const char *bytes, std::size_t len, int stallMs)
{
    char *room = c.reserve(len, stallMs, {});
    if (!room)
        return false;
    std::memcpy(room, bytes, len);
    for (std::size_t done = 0; done < len; done += 4096) {
        if (!c.commit(std::min<std::size_t>(4096, len - done), stallMs, {}))
            return false;
    }
    return true;
}

} // namespace

// In clear and inside TLS.
class ChannelKinds : public ::testing::TestWithParam<bool>
{
};

TEST_P(ChannelKinds, BytesArriveInOrderWhileTheSendSizeChanges)
{
    SocketPair pair(GetParam());
    ASSERT_TRUE(pair.channel);
    ASSERT_TRUE(pair.startReading(64 * 1024, 0ms));
    Channel &c = *pair.channel;
    const std::string whole = randomBytes(5 * 1024 * 1024 + 123, 3);
    const int stallMs = 5000;
    std::size_t pos = 0;
    auto next = [&](std::size_t n) {
        n = std::min(n, whole.size() - pos);
        const char *at = whole.data() + pos;
        pos += n;
        return std::pair{at, n};
    };

    c.gatherWrites(64 * 1024);
    auto [a, an] = next(64 * 1024);
    ASSERT_TRUE(commitRoom(c, a, an, stallMs));
    // Bytes held back leave before the size grows, then larger rooms fit.
    ASSERT_TRUE(c.writeAll(whole.data() + pos, 1000, stallMs, {}));
    pos += 1000;
    ASSERT_TRUE(c.flush(stallMs, {}));
    c.gatherWrites(1024 * 1024);
    EXPECT_EQ(c.reserve(1024 * 1024 + 1, stallMs, {}), nullptr);
    for (int i = 0; i < 3; ++i) {
        auto [b, bn] = next(1024 * 1024);
        ASSERT_TRUE(commitRoom(c, b, bn, stallMs));
    }
    // Shrinking with a partly filled room and a write held back.
    auto [d, dn] = next(300000);
    ASSERT_TRUE(commitRoom(c, d, dn, stallMs));
    ASSERT_TRUE(c.writeAll(whole.data() + pos, 5000, stallMs, {}));
    pos += 5000;
    ASSERT_TRUE(c.flush(stallMs, {}));
    c.gatherWrites(4096);
    EXPECT_EQ(c.reserve(4097, stallMs, {}), nullptr);
    while (pos < whole.size()) {
        auto [e, en] = next(4096);
        ASSERT_TRUE(commitRoom(c, e, en, stallMs));
    }
    ASSERT_TRUE(c.flush(stallMs, {}));
    pair.stopReading();
    EXPECT_EQ(pair.received.size(), whole.size());
    EXPECT_TRUE(pair.received == whole);
}

INSTANTIATE_TEST_SUITE_P(ClearAndTls, ChannelKinds, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Tls" : "Clear"; });

TEST(ChannelTest, ALargeSendOverASlowLinkIsNoStallButAStoppedPeerIs)
{
    // 16 KiB every 10 ms: a 1 MiB send takes well over half a second, yet
    // bytes move every few milliseconds, far inside the 300 ms allowed for
    // a wait without progress.
    // Over TLS a gather's records wait in the channel until the socket takes
    // them; that too is progress.
    for (const bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "TLS" : "clear");
        SocketPair pair(tls);
        ASSERT_TRUE(pair.channel);
        ASSERT_TRUE(pair.startReading(16 * 1024, 10ms));
        Channel &c = *pair.channel;
        const std::string whole = randomBytes(2 * 1024 * 1024, 4);
        c.gatherWrites(1024 * 1024);
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t pos = 0; pos < whole.size(); pos += 1024 * 1024)
            ASSERT_TRUE(commitRoom(c, whole.data() + pos, 1024 * 1024, 300)) << c.error();
        ASSERT_TRUE(c.flush(300, {})) << c.error();
        EXPECT_GT(std::chrono::steady_clock::now() - start, 600ms) << "the link was not slow";
        pair.stopReading();
        EXPECT_TRUE(pair.received == whole);
    }
    // Nobody reads: the send fails as stalled once the buffers are full.
    {
        SocketPair pair;
        ASSERT_TRUE(pair.channel);
        Channel &c = *pair.channel;
        const std::string whole = randomBytes(1024 * 1024, 5);
        c.gatherWrites(1024 * 1024);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(commitRoom(c, whole.data(), whole.size(), 300));
        EXPECT_TRUE(c.timedOut());
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    }
}

TEST(ChannelTest, AWaitWithAnIdleHookBlocksInTheThreadsIdleWaitAndOnlySuchAWait)
{
    // A stand-in for a window's event loop: it notes what it was asked to
    // wait for and waits with poll() itself.
    struct Asked
    {
        int fd = -1;
        short events = 0;
        int calls = 0;
    };
    auto asked = std::make_shared<Asked>();
    const auto windowWait = [asked](int fd, short events, int timeoutMs) {
        asked->fd = fd;
        asked->events = events;
        ++asked->calls;
        pollfd p{fd, events, 0};
        ::poll(&p, 1, timeoutMs);
    };
    ftp::setIdleWait(windowWait);
    SocketPair pair;
    ASSERT_TRUE(pair.channel);
    ASSERT_TRUE(pair.startReading(16 * 1024, 2ms));
    Channel &c = *pair.channel;
    const std::string whole = randomBytes(1024 * 1024, 6);
    const std::size_t half = whole.size() / 2;
    ASSERT_TRUE(c.writeAll(whole.data(), half, 5000, {}));
    EXPECT_EQ(asked->calls, 0) << "a wait without an idle hook went to the window";
    int idleCalls = 0;
    ASSERT_TRUE(c.writeAll(whole.data() + half, whole.size() - half, 5000, [&] {
        ++idleCalls;
        return true;
    }));
    ftp::setIdleWait({});
    EXPECT_GT(asked->calls, 0);
    EXPECT_EQ(asked->fd, c.fd());
    EXPECT_EQ(asked->events, POLLOUT);
    pair.stopReading();
    EXPECT_TRUE(pair.received == whole);

    // A reply that takes its time is waited for in the window's loop too,
    // after the glance at the socket alone.
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    Channel control(fds[0]);
    std::thread server([peer = fds[1]] {
        std::this_thread::sleep_for(50ms);
        (void)::send(peer, "226 Done\r\n", 10, 0);
    });
    *asked = {};
    ftp::setIdleWait(windowWait);
    char reply[32];
    const ssize_t n =
        control.readSome(reply, sizeof reply, ftp::Deadline::in(5000), [] { return true; });
    ftp::setIdleWait({});
    server.join();
    ::close(fds[1]);
    EXPECT_EQ(n, 10);
    EXPECT_GT(asked->calls, 0);
    EXPECT_EQ(asked->events, POLLIN);
}

TEST(ChannelTest, TrustedRootsReadOnAWorkerAreAwaitedInTheIdleWait)
{
    // Reading them takes milliseconds; a timed wait in between would leave
    // the window unanswered for an idle tick at a time.
    auto calls = std::make_shared<int>(0);
    ftp::setIdleWait([calls](int fd, short events, int timeoutMs) {
        ++*calls;
        pollfd p{fd, events, 0};
        ::poll(&p, 1, timeoutMs);
    });
    const ftp::IdleHook idle = [] { return true; };
    std::string error;
    // The system's bundle as the CA file too: parsed whole, it outlasts the
    // glance at the descriptor before the wait goes to the window's loop.
    const std::string bundle = "/etc/ssl/certs/ca-certificates.crt";
    ASSERT_EQ(::access(bundle.c_str(), R_OK), 0) << bundle;
    const auto context = ftp::TlsContext::create(bundle, idle, &error);
    ftp::setIdleWait({});
    ASSERT_TRUE(context) << error;
    EXPECT_GT(*calls, 0);
}
