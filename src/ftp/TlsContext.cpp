// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftp/TlsContext.h"

#include "ftp/Socket.h"

#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace ftp {

namespace {

std::string key(const CertificateInfo &c)
{
    return c.host + "|" + std::to_string(c.port) + "|" + c.fingerprint;
}

std::string openSslError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "unknown OpenSSL error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

bool isHashName(const char *name)
{
    // "5ed36f99.0": eight hex digits of the subject's hash, a dot, a number.
    int i = 0;
    for (; i < 8; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(name[i])))
            return false;
    if (name[i++] != '.' || !std::isdigit(static_cast<unsigned char>(name[i])))
        return false;
    while (std::isdigit(static_cast<unsigned char>(name[i])))
        ++i;
    return name[i] == '\0';
}

bool holdsHashedRoots(const char *dir)
{
    DIR *d = ::opendir(dir);
    if (!d)
        return false;
    bool found = false;
    while (const dirent *entry = ::readdir(d))
        if ((found = isHashName(entry->d_name)))
            break;
    ::closedir(d);
    return found;
}

// Whether SSL_CERT_FILE names a bundle other than the system's own.
bool otherBundleNamed()
{
    const char *named = std::getenv(X509_get_default_cert_file_env());
    if (!named)
        return false;
    char *chosen = ::realpath(named, nullptr);
    char *system = ::realpath(X509_get_default_cert_file(), nullptr);
    const bool other = !chosen || !system || std::strcmp(chosen, system) != 0;
    std::free(chosen);
    std::free(system);
    return other;
}

// The system's trusted roots as OpenSSL's defaults name them: a bundle file
// and a folder of the same roots filed by subject hash. Reading the bundle
// parses every root, tens of milliseconds of CPU at each start of TLS; the
// folder is read only for the issuer a chain names. So the folder alone is
// used when it is so filed (update-ca-certificates keeps both alike), and
// the defaults when it is not or SSL_CERT_FILE names another bundle.
bool loadSystemRoots(SSL_CTX *ctx)
{
    const char *dir = std::getenv(X509_get_default_cert_dir_env());
    if (!dir)
        dir = X509_get_default_cert_dir();
    if (otherBundleNamed() || std::strchr(dir, ':') || !holdsHashedRoots(dir))
        return SSL_CTX_set_default_verify_paths(ctx) == 1;
    return SSL_CTX_load_verify_dir(ctx, dir) == 1;
}

} // namespace

std::shared_ptr<TlsContext> TlsContext::create(const std::string &caFile, const IdleHook &idle,
                                               std::string *error)
{
    // Shared with the worker, so that a caller told to stop can leave while
    // it still reads the roots (the worker is then let go); otherwise it is
    // joined, so that no thread of ours outlives the call holding OpenSSL's
    // state. The worker says it is done on an eventfd, so
    // that the wait is one for a descriptor like any other: in the window's
    // event loop when there is one, which keeps answering at once rather than
    // every kIdleTickMs.
    struct Loading
    {
        ~Loading() { ::close(done); }
        int done = -1;
        std::atomic<bool> finished{false};
        std::shared_ptr<TlsContext> context;
        std::string why;
    };
    auto loading = std::make_shared<Loading>();
    loading->done = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (loading->done < 0)
        return load(caFile, error);
    std::thread worker;
    try {
        worker = std::thread([loading, caFile] {
            loading->context = load(caFile, &loading->why);
            loading->finished.store(true, std::memory_order_release);
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t written = ::write(loading->done, &one, sizeof one);
        });
    } catch (const std::system_error &) {
        return load(caFile, error);
    }
    for (;;) {
        switch (waitForFd(loading->done, POLLIN, Deadline::in(1000), idle)) {
        case WaitResult::Ready:
        case WaitResult::Timeout:
            break;
        case WaitResult::Stopped:
            worker.detach();
            *error = "stopped while TLS was set up";
            return nullptr;
        case WaitResult::Error:
            worker.detach();
            *error = "cannot wait for the trusted roots to load";
            return nullptr;
        }
        if (loading->finished.load(std::memory_order_acquire)) {
            // Only the eventfd's write is left to it.
            worker.join();
            if (!loading->context)
                *error = loading->why;
            return loading->context;
        }
    }
}

std::shared_ptr<TlsContext> TlsContext::load(const std::string &caFile, std::string *error)
{
    ERR_clear_error();
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        *error = "cannot set up TLS: " + openSslError();
        return nullptr;
    }
    std::shared_ptr<TlsContext> context(new TlsContext(ctx, caFile));
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // The handshake always completes; the verdict is read afterwards
    // (SSL_get_verify_result), so a certificate that does not verify can be
    // put to the user instead of ending the connection.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    // Data connections resume the control connection's session by hand
    // (RFC 4217 section 10: servers may insist); no cache of our own.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    // Channel::writeAll retries after a partial write with the rest of the
    // same block, which may then sit at another address.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (!loadSystemRoots(ctx)) {
        *error = "cannot load the system's trusted certificates: " + openSslError();
        return nullptr;
    }
    if (!caFile.empty() && SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
        *error = "cannot load the CA file \"" + caFile + "\": " + openSslError();
        return nullptr;
    }
    return context;
}

TlsContext::TlsContext(SSL_CTX *ctx, std::string caFile) : m_ctx(ctx), m_caFile(std::move(caFile))
{
}

TlsContext::~TlsContext()
{
    SSL_CTX_free(m_ctx);
}

std::optional<CertificateDecision> TlsContext::remembered(const CertificateInfo &certificate) const
{
    const auto it = m_decisions.find(key(certificate));
    if (it == m_decisions.end())
        return std::nullopt;
    return it->second;
}

void TlsContext::remember(const CertificateInfo &certificate, CertificateDecision decision)
{
    m_decisions[key(certificate)] = decision;
    m_anyRefused = m_anyRefused || decision == CertificateDecision::Refuse;
}

} // namespace ftp
