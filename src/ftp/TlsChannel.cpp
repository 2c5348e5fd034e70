// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftp/TlsChannel.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <vector>

namespace ftp {

// The channel's end of its BIO: the socket, and the records of one gathered
// send, made first and sent together.
struct TlsOutbox
{
    int fd = -1;
    bool holding = false; // records are kept, not sent
    std::vector<char> bytes;
    std::size_t begin = 0; // bytes before it have gone

    /// What is kept, as the socket takes it: 0 once all is out, 1 when the
    /// socket is full, -1 failure with errno set.
    int send()
    {
        while (begin < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + begin, bytes.size() - begin, MSG_NOSIGNAL);
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 1 : -1;
            begin += static_cast<std::size_t>(n);
        }
        bytes.clear();
        begin = 0;
        return 0;
    }
};

namespace {

TlsOutbox *outboxOf(BIO *bio)
{
    return static_cast<TlsOutbox *>(BIO_get_data(bio));
}

// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE when the
// server has gone; this one sends with MSG_NOSIGNAL, like the plain Channel.
int bioWrite(BIO *bio, const char *buffer, int len)
{
    TlsOutbox *out = outboxOf(bio);
    BIO_clear_retry_flags(bio);
    if (out->holding) {
        out->bytes.insert(out->bytes.end(), buffer, buffer + len);
        return len;
    }
    // Kept records go first, or the stream would be out of order.
    if (const int r = out->send(); r != 0) {
        if (r > 0)
            BIO_set_retry_write(bio);
        return -1;
    }
    const ssize_t n = ::send(out->fd, buffer, static_cast<std::size_t>(len), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int bioRead(BIO *bio, char *buffer, int len)
{
    BIO_clear_retry_flags(bio);
    const ssize_t n = ::recv(outboxOf(bio)->fd, buffer, static_cast<std::size_t>(len), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_read(bio);
    return static_cast<int>(n);
}

long bioCtrl(BIO *, int cmd, long, void *)
{
    // What is kept leaves with the send it was made for (sendHeld), so
    // OpenSSL's flush has nothing to do.
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int bioCreate(BIO *bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

// Made once and kept for the life of the process.
BIO_METHOD *socketMethod()
{
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "trelvan socket");
        if (m) {
            BIO_meth_set_write(m, bioWrite);
            BIO_meth_set_read(m, bioRead);
            BIO_meth_set_ctrl(m, bioCtrl);
            BIO_meth_set_create(m, bioCreate);
        }
        return m;
    }();
    return method;
}

std::string takeOpenSslError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return {};
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

bool isIpAddress(const std::string &host)
{
    unsigned char bytes[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), bytes) == 1 ||
           inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

std::string nameText(const X509_NAME *name)
{
    BIO *mem = BIO_new(BIO_s_mem());
    if (!mem)
        return {};
    // One line, fields as "CN = ...", non-ASCII kept as UTF-8.
    X509_NAME_print_ex(mem, name, 0,
                       (XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) | ASN1_STRFLGS_UTF8_CONVERT);
    char *data = nullptr;
    const long len = BIO_get_mem_data(mem, &data);
    std::string text(data, static_cast<std::size_t>(len > 0 ? len : 0));
    BIO_free(mem);
    return text;
}

int64_t epochSeconds(const ASN1_TIME *time)
{
    std::tm tm{};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1)
        return 0;
    return static_cast<int64_t>(timegm(&tm));
}

CertificateProblem problemOf(long verifyResult)
{
    switch (verifyResult) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        return CertificateProblem::Untrusted;
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return CertificateProblem::Expired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return CertificateProblem::NotYetValid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return CertificateProblem::NameMismatch;
    default:
        return CertificateProblem::Other;
    }
}

// OpenSSL counts in int.
int clampedLength(std::size_t len)
{
    return len > 0x40000000 ? 0x40000000 : static_cast<int>(len);
}

std::string hexWithColons(const unsigned char *bytes, unsigned len)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(len * 3);
    for (unsigned i = 0; i < len; ++i) {
        if (i > 0)
            text += ':';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0f];
    }
    return text;
}

} // namespace

TlsChannel::TlsChannel(int fd, SSL_CTX *ctx, const std::string &host, SSL_SESSION *resume,
                       bool dataConnection)
    : Channel(fd), m_out(std::make_unique<TlsOutbox>()), m_dataConnection(dataConnection)
{
    m_out->fd = fd;
    ERR_clear_error();
    BIO_METHOD *method = socketMethod();
    BIO *bio = method ? BIO_new(method) : nullptr;
    m_ssl = bio ? SSL_new(ctx) : nullptr;
    if (!m_ssl) {
        BIO_free(bio);
        m_tlsError = "cannot set up TLS: " + takeOpenSslError();
        return;
    }
    BIO_set_data(bio, m_out.get());
    SSL_set_bio(m_ssl, bio, bio);
    SSL_set_connect_state(m_ssl);
    // The certificate must name the host as the user typed it: an address
    // against its IP entries, a name against its DNS entries (RFC 6125).
    if (isIpAddress(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), host.c_str());
    } else {
        SSL_set1_host(m_ssl, host.c_str());
        SSL_set_tlsext_host_name(m_ssl, host.c_str());
    }
    if (resume)
        SSL_set_session(m_ssl, resume);
}

TlsChannel::~TlsChannel()
{
    SSL_free(m_ssl); // frees the BIO too; the socket is the Channel's to close
}

ssize_t TlsChannel::step(int result, bool reading)
{
    if (result > 0)
        return result;
    const int savedErrno = errno;
    const int error = SSL_get_error(m_ssl, result);
    if (error == SSL_ERROR_WANT_READ)
        return kWantRead;
    if (error == SSL_ERROR_WANT_WRITE)
        return kWantWrite;
    // The server's close_notify: the orderly end of the stream.
    if (error == SSL_ERROR_ZERO_RETURN && reading)
        return 0;
    const unsigned long code = ERR_peek_last_error();
    if (reading && m_dataConnection && ERR_GET_LIB(code) == ERR_LIB_SSL &&
        ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        return 0;
    }
    std::string why = takeOpenSslError();
    if (why.empty())
        why = error == SSL_ERROR_SYSCALL && savedErrno != 0 ? errnoText(savedErrno)
                                                            : "the connection was closed";
    m_tlsError = "TLS: " + why;
    errno = savedErrno != 0 ? savedErrno : ECONNRESET;
    return -1;
}

bool TlsChannel::handshake(const Deadline &deadline, const IdleHook &idle)
{
    if (!m_ssl) {
        setError(m_tlsError);
        return false;
    }
    for (;;) {
        ERR_clear_error();
        const ssize_t n = step(SSL_do_handshake(m_ssl), false);
        if (n > 0)
            return true;
        if (n == -1) {
            setError(failureText(errno));
            return false;
        }
        if (!waitFor(n, deadline, idle))
            return false;
    }
}

bool TlsChannel::verified() const
{
    return m_ssl && SSL_get_verify_result(m_ssl) == X509_V_OK &&
           SSL_get0_peer_certificate(m_ssl) != nullptr;
}

CertificateInfo TlsChannel::certificate() const
{
    CertificateInfo info;
    if (!m_ssl)
        return info;
    const long result = SSL_get_verify_result(m_ssl);
    info.problem = problemOf(result);
    info.error = X509_verify_cert_error_string(result);
    info.fingerprint = fingerprint();
    if (const X509 *cert = SSL_get0_peer_certificate(m_ssl)) {
        info.subject = nameText(X509_get_subject_name(cert));
        info.issuer = nameText(X509_get_issuer_name(cert));
        info.notBefore = epochSeconds(X509_get0_notBefore(cert));
        info.notAfter = epochSeconds(X509_get0_notAfter(cert));
    } else {
        info.error = "the server sent no certificate";
    }
    return info;
}

std::string TlsChannel::fingerprint() const
{
    const X509 *cert = m_ssl ? SSL_get0_peer_certificate(m_ssl) : nullptr;
    if (!cert)
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (X509_digest(cert, EVP_sha256(), digest, &len) != 1)
        return {};
    return hexWithColons(digest, len);
}

SSL_SESSION *TlsChannel::session() const
{
    return m_ssl ? SSL_get1_session(m_ssl) : nullptr;
}

bool TlsChannel::resumed() const
{
    return m_ssl && SSL_session_reused(m_ssl) == 1;
}

std::string TlsChannel::protocol() const
{
    return m_ssl ? SSL_get_version(m_ssl) : "";
}

ssize_t TlsChannel::tryRead(char *buffer, std::size_t len)
{
    if (!m_ssl) {
        errno = ENOTCONN;
        return -1;
    }
    ERR_clear_error();
    return step(SSL_read(m_ssl, buffer, clampedLength(len)), true);
}

ssize_t TlsChannel::sendSome(const char *buffer, std::size_t len)
{
    if (!m_ssl) {
        errno = ENOTCONN;
        return -1;
    }
    // Partial writes are on (TlsContext): a long buffer leaves one record
    // per call, and after a "want" the rest is offered again.
    ERR_clear_error();
    if (!gathers())
        return step(SSL_write(m_ssl, buffer, clampedLength(len)), false);
    // A gathered send is made into all its records first and leaves in one
    // system call instead of one per record: a quarter of the calls.
    if (const ssize_t r = sendHeld(); r != 0)
        return r;
    m_out->holding = true;
    std::size_t taken = 0;
    ssize_t r = 0;
    while (taken < len) {
        r = step(SSL_write(m_ssl, buffer + taken, clampedLength(len - taken)), false);
        if (r <= 0)
            break;
        taken += static_cast<std::size_t>(r);
    }
    m_out->holding = false;
    if (taken == 0)
        return r;
    // What the socket does not take now stays for the next send or flush().
    return sendHeld() == -1 ? -1 : static_cast<ssize_t>(taken);
}

std::size_t TlsChannel::held() const
{
    return m_out->bytes.size() - m_out->begin;
}

ssize_t TlsChannel::sendHeld()
{
    const int r = m_out->send();
    return r > 0 ? kWantWrite : r;
}

std::string TlsChannel::failureText(int err) const
{
    return m_tlsError.empty() ? Channel::failureText(err) : m_tlsError;
}

void TlsChannel::shutdownWrite()
{
    // close_notify tells the server the data ended here and was not cut
    // (RFC 4217 section 9: a truncated upload must not pass as complete).
    if (m_ssl && isOpen() && !m_shutdownSent) {
        m_shutdownSent = true;
        ERR_clear_error();
        (void)SSL_shutdown(m_ssl);
        ERR_clear_error();
    }
    Channel::shutdownWrite();
}

void TlsChannel::sendNow(const char *buffer, std::size_t len)
{
    if (!m_ssl || !isOpen())
        return;
    ERR_clear_error();
    (void)SSL_write(m_ssl, buffer, static_cast<int>(len));
    if (!m_shutdownSent) {
        m_shutdownSent = true;
        (void)SSL_shutdown(m_ssl);
    }
    ERR_clear_error();
}

} // namespace ftp
