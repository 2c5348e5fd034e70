// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ftp/Channel.h"
#include "ftp/FtpClient.h"

#include <memory>
#include <string>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct ssl_session_st SSL_SESSION;

namespace ftp {

struct TlsOutbox;

/// A Channel whose bytes travel inside TLS (RFC 4217), always as the TLS
/// client, also on active-mode data connections. Reads and writes keep the
/// Channel's waits and timeouts; OpenSSL's "want read/write" become waits on
/// the socket. Writes never raise SIGPIPE.
class TlsChannel : public Channel
{
public:
    /// Takes ownership of the connected socket `fd`. `host` is what the
    /// certificate must name (a name or a numeric address); `resume`, when
    /// not null, is the session to resume (the control connection's, for a
    /// data connection). `dataConnection`: a close without TLS close_notify
    /// ends the data like a close with it (some servers skip it after a
    /// listing); on the control connection it is an error. An upload's
    /// gathered blocks (Channel::gatherWrites) leave in full TLS records
    /// (16 KiB): a record is what the server decrypts and writes to disk in
    /// one go, so 4 KiB records would cost it four times the work. The
    /// records of one gather leave together, in one send.
    TlsChannel(int fd, SSL_CTX *ctx, const std::string &host, SSL_SESSION *resume,
               bool dataConnection);
    ~TlsChannel() override;

    /// Runs the TLS handshake until `deadline`. False on failure (error()
    /// says why). The certificate is not judged here; see verified().
    bool handshake(const Deadline &deadline, const IdleHook &idle);

    /// Whether the certificate verified against the trusted roots and the host.
    bool verified() const;
    /// The server certificate as put to the user (host and port left empty).
    CertificateInfo certificate() const;
    /// SHA-256 fingerprint of the server certificate, empty without one.
    std::string fingerprint() const;
    /// The current session with a reference for the caller (SSL_SESSION_free), or null.
    SSL_SESSION *session() const;
    /// Whether the handshake resumed the session it was given.
    bool resumed() const;
    /// The negotiated protocol, e.g. "TLSv1.3".
    std::string protocol() const;

    /// Sends TLS close_notify and then end-of-stream (what flush() did not
    /// send is dropped).
    void shutdownWrite() override;
    /// One attempt, inside TLS.
    void sendNow(const char *buffer, std::size_t len) override;

protected:
    ssize_t tryRead(char *buffer, std::size_t len) override;
    ssize_t sendSome(const char *buffer, std::size_t len) override;
    std::string failureText(int err) const override;
    ssize_t sendHeld() override;
    std::size_t held() const override;

private:
    ssize_t step(int result, bool reading);

    std::unique_ptr<TlsOutbox> m_out; // the BIO's socket and kept records
    SSL *m_ssl = nullptr;
    bool m_dataConnection = false;
    bool m_shutdownSent = false;
    std::string m_tlsError;
};

} // namespace ftp
