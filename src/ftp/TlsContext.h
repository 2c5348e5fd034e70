// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ftp/FtpClient.h"

#include <map>
#include <memory>
#include <optional>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;

namespace ftp {

/// The OpenSSL client context of one FtpService: TLS 1.2 or later, the
/// system's trusted roots plus an optional CA file, and what the service
/// remembers about certificates that did not verify, so that one pass of a
/// run or one listing asks about a certificate at most once.
class TlsContext
{
public:
    /// Null when OpenSSL cannot make a context or the CA file cannot be read;
    /// *error then says why. Reading the system's trusted roots takes tens of
    /// milliseconds, so it runs on a worker thread while the caller waits as
    /// for a socket (waitForFd with `idle`); null at once when the hook says
    /// stop.
    static std::shared_ptr<TlsContext> create(const std::string &caFile, const IdleHook &idle,
                                              std::string *error);
    ~TlsContext();
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;

    SSL_CTX *get() const { return m_ctx; }
    const std::string &caFile() const { return m_caFile; }

    /// The decision taken earlier through this context about this
    /// certificate at this host and port.
    std::optional<CertificateDecision> remembered(const CertificateInfo &certificate) const;
    void remember(const CertificateInfo &certificate, CertificateDecision decision);
    /// Whether any certificate was refused through this context.
    bool anyRefused() const { return m_anyRefused; }

private:
    static std::shared_ptr<TlsContext> load(const std::string &caFile, std::string *error);

    TlsContext(SSL_CTX *ctx, std::string caFile);

    SSL_CTX *m_ctx = nullptr;
    std::string m_caFile;
    std::map<std::string, CertificateDecision> m_decisions; // "host|port|fingerprint"
    bool m_anyRefused = false;
};

} // namespace ftp
