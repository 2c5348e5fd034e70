// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Trelvan's FTP client: RFC 959 control dialogue, RFC 2428 EPSV/EPRT,
// RFC 3659 SIZE and MLST, RFC 4217 FTP over TLS (OpenSSL), the server's
// digest of a file (the HASH draft and the older X commands), over POSIX
// sockets. No Qt here, so it can be tested and fuzzed alone.
//
// Three handle kinds, each owning what it opened:
//   FtpService    - options shared by the connections opened through it
//                   (passive or active first, timeouts, the idle hook);
//   FtpConnection - one logged-in control connection;
//   FtpTransfer   - one data transfer on a connection.
// A null std::unique_ptr is the "null handle": the operation failed.
// Destroying a handle closes it; closing twice or closing a transfer whose
// connection is already gone does nothing.
//
// Every wait (name resolution, connect, reply, data, TLS) is bounded by a
// timeout and calls the idle hook at least every 50 ms, so a window that wires
// it to processEvents keeps repainting while the client waits; the hook can
// also end the wait at once (a Close button).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ftp {

/// Called repeatedly while the client waits; must not call back into the
/// same connection. Returns whether to go on: false ends the wait, and the
/// operation fails with FailureKind::Stopped and closes its connection (a
/// wait cut short leaves the dialogue out of step). Every later call of the
/// connection's waits then stops at once.
using IdleHook = std::function<bool()>;

/// Waits until `fd` may have any of `events` (POLLIN, POLLOUT) or
/// `timeoutMs` have passed, handling the caller's own events meanwhile (a
/// window's event loop). The client checks the socket again afterwards, so
/// waking early is harmless.
using IdleWait = std::function<void(int fd, short events, int timeoutMs)>;

/// On the calling thread, every wait that has an idle hook blocks in `wait`
/// instead of in poll(): a window that waits in its own event loop handles a
/// repaint, a click or an accessibility query the moment it comes, instead
/// of at the idle hook's next tick. Empty: poll() again.
void setIdleWait(IdleWait wait);

/// Default timeouts. 15 s covers a slow login (some servers pause before
/// answering PASS); a minute for the final reply of an upload leaves the server
/// time to flush and check a large file.
inline constexpr int kConnectTimeoutMs = 15000;
inline constexpr int kReplyTimeoutMs = 15000;
inline constexpr int kDataTimeoutMs = 15000;
inline constexpr int kFinalReplyTimeoutMs = 60000;

/// The digests a server may compute of a file it holds (see
/// FtpConnection::remoteHash), strongest first.
enum class HashAlgorithm
{
    Sha256,
    Sha1,
    Md5,
    Crc32
};

/// Its name as the HASH command has it: "SHA-256", "SHA-1", "MD5", "CRC32".
const char *hashAlgorithmName(HashAlgorithm algorithm);

/// How many hex digits its digest has.
std::size_t hashHexDigits(HashAlgorithm algorithm);

/// Largest block the callers move per read or write call.
inline constexpr int kTransferBlockBytes = 4096;

/// An upload's blocks leave in sends of this size; FtpTransfer::reserve()
/// gives at most one send's room. It is curl's size too; larger sends gain
/// nothing everywhere and cost more over TLS, where OpenSSL copies each
/// record before encrypting it (docs/benchmarks.md).
inline constexpr int kUploadGatherBytes = 64 * 1024;

/// How long each kind of wait may take before the operation fails.
struct Timeouts
{
    int connectMs = kConnectTimeoutMs;       ///< name resolution plus TCP connect
    int replyMs = kReplyTimeoutMs;           ///< one control reply
    int dataMs = kDataTimeoutMs;             ///< data connection open, or a stalled read/write
    int finalReplyMs = kFinalReplyTimeoutMs; ///< the reply after an upload's data is closed
};

/// Where a data transfer moves bytes.
enum class Direction
{
    Download,
    Upload
};

/// Where FtpConnection::remoteSize() learnt a size.
enum class SizeSource
{
    Size, ///< the SIZE command (RFC 3659 section 4), in binary type
    Mlst, ///< the size fact of MLST (RFC 3659 section 7)
    List, ///< the file's line in a LIST of its folder
    None  ///< no size learnt
};

class FtpConnection;
class FtpSession;
class FtpTransfer;
class TlsContext;

/// Which step of talking to the server failed. A caller that explains a
/// failure to the user words it from this and the parts of Failure; the
/// English lastError() text says the same for logs and tests.
enum class FailureKind
{
    None,
    ServerField, ///< the server field names no server (detail: the field)
    Resolve,     ///< the host did not resolve (endpoint: host; systemError: EAI code, or seconds)
    Connect,     ///< the TCP connection was not made (endpoint, systemError: errno)
    Greeting,    ///< the server's greeting was not 220 (reply)
    TlsRefused,  ///< AUTH TLS was refused (reply)
    Tls,         ///< TLS is not available or the handshake failed (detail)
    Certificate, ///< the server's certificate was refused (detail: the verification error)
    /// A bare field's server that used TLS before offers none now, or
    /// refused AUTH TLS (reply); the user name and password were not sent.
    TlsWithdrawn,
    Login,          ///< USER or PASS was refused (reply)
    LineBreak,      ///< a user name, password or path with a line break, not sent (command)
    CommandRefused, ///< the server refused a command (command: its verb; reply)
    PassiveRefused, ///< EPSV and PASV were refused (reply)
    ActiveRefused,  ///< EPRT and PORT were refused (reply)
    DataRefused,    ///< passive and active mode both refused (reply: both replies)
    DataConnect,    ///< the passive data connection was not made (endpoint, systemError)
    DataListen,     ///< no socket to wait for the active data connection (systemError)
    DataNotOpened,  ///< the server did not open the active data connection (reply, or seconds)
    DataTls,        ///< TLS on a data connection failed (detail; empty: another certificate)
    DataLost,       ///< the data connection failed (systemError, detail) or stalled (seconds)
    FinalReply,     ///< a transfer's final reply was not 226/250 (command: its verb; reply)
    Timeout,        ///< no reply within the time allowed (seconds)
    Closed,         ///< the server closed the control connection (reply when it said 421)
    Lost,           ///< the control connection failed (systemError, detail)
    BadReply,       ///< the server sent something that is not an FTP reply (detail)
    NotConnected,   ///< the connection had already failed
    LocalFile,      ///< a local file could not be read (detail: its path; systemError)
    Stopped         ///< the idle hook asked to stop: no fault of the server or the network
};

/// Why the last operation failed, in parts. Never holds the password.
struct Failure
{
    FailureKind kind = FailureKind::None;
    /// The server's reply as it came, code first; lines of a multi-line
    /// reply, and the two replies of DataRefused, are joined by "\n".
    std::string reply;
    std::string command;  ///< the verb concerned ("APPE", "PROT")
    std::string endpoint; ///< "host:port" ("[v6]:port"), or the host alone for Resolve
    int systemError = 0;  ///< errno, or getaddrinfo's code for Resolve
    int seconds = 0;      ///< the time-out that ran out
    std::string detail;   ///< the system's or OpenSSL's text, as they put it
};

/// How a logged-in connection is protected.
enum class Security
{
    Plain,       ///< no encryption at all
    ExplicitTls, ///< AUTH TLS on the control connection, PROT P on every data connection
    ImplicitTls  ///< TLS from the first byte (ftps://), PROT P on every data connection
};

/// Why a server certificate did not verify.
enum class CertificateProblem
{
    Untrusted,    ///< self-signed, or no trusted root vouches for it
    Expired,      ///< past its validity
    NotYetValid,  ///< before its validity
    NameMismatch, ///< issued for another host name or address
    Other         ///< anything else OpenSSL rejects (bad signature, revoked...)
};

/// A server certificate that did not verify, as put to the user.
struct CertificateInfo
{
    std::string host; ///< the host as the server field names it
    uint16_t port = 0;
    std::string subject; ///< one line, "CN = ..., O = ..."
    std::string issuer;
    int64_t notBefore = 0; ///< validity, seconds since 1970-01-01 UTC
    int64_t notAfter = 0;
    std::string fingerprint; ///< SHA-256 of the DER form, "AB:01:..." (95 characters)
    CertificateProblem problem = CertificateProblem::Other;
    std::string error; ///< OpenSSL's verification error text
    /// Another certificate was trusted for this host and port before. The
    /// client never knows that and passes false; a trust store layered on
    /// the callback sets it before it asks the user.
    bool changed = false;
};

/// The answer about a certificate that did not verify. The client treats
/// TrustOnce and TrustAlways alike (for the life of its FtpService); keeping
/// an "always" is the business of whoever answers.
enum class CertificateDecision
{
    Refuse,
    TrustOnce,
    TrustAlways
};

/// Asked, on the caller's thread and while the TLS handshake waits, about a
/// certificate that does not verify. Must not call back into the client.
using CertificateCallback = std::function<CertificateDecision(const CertificateInfo &)>;

/// The "internet handle": settings for every connection opened through it.
class FtpService
{
public:
    struct Options
    {
        bool passiveFirst = true; ///< false: try EPRT/PORT before EPSV/PASV
        Timeouts timeouts;
        IdleHook idle;
        /// Decides about certificates that do not verify against the
        /// system's roots and the host name. Empty: every such one is refused.
        CertificateCallback certificateDecision;
        /// A PEM file of extra trusted CA certificates besides the system's
        /// roots (tests, private CAs). Empty: the system's roots only.
        std::string caFile;
        /// Called after every successful login with the protection in use.
        std::function<void(Security)> loggedIn;

        // A server that protected its logins with TLS and then offers none
        // looks exactly like a man in the middle who strips AUTH TLS from
        // FEAT to read the password. These let the caller remember servers
        // (host as the server field names it, and port) and be asked.

        /// Called after every successful login protected by TLS.
        std::function<void(const std::string &host, uint16_t port)> tlsLoggedIn;
        /// Whether a login to the server was protected by TLS before. Asked
        /// for a bare server field when the server offers no TLS or refuses
        /// AUTH TLS. Empty: no server is known.
        std::function<bool(const std::string &host, uint16_t port)> tlsBefore;
        /// Then asked, on the caller's thread and before USER, whether to
        /// send the user name and password in clear all the same. Empty:
        /// refused, and the login fails with FailureKind::TlsWithdrawn.
        std::function<bool(const std::string &host, uint16_t port)> clearLoginDecision;
    };

    /// Opens the service. Returns null only when the client cannot work at
    /// all (it never needs the network for this).
    static std::unique_ptr<FtpService> open(Options options);

    const Options &options() const { return m_options; }
    Options &options() { return m_options; }

    /// Whether a certificate was refused through this service. A caller that
    /// retries logins can stop then: the same server will show the same
    /// certificate, and the refusal holds for the service.
    bool certificateRefused() const;

    /// Whether a login through this service was refused because a server
    /// that used TLS before offers none now (FailureKind::TlsWithdrawn). A
    /// caller that retries stops then too: the answer would be the same.
    bool clearLoginRefused() const { return m_clearLoginRefused; }

private:
    friend class FtpConnection;
    explicit FtpService(Options options);
    Options m_options;
    bool m_clearLoginRefused = false;
    // Made on the first TLS connection; holds what the service remembers
    // about certificates (decisions, the system's roots once loaded).
    std::shared_ptr<TlsContext> m_tls;
};

/// What the server field asks for.
enum class TlsMode
{
    Auto,     ///< bare "host[:port]": explicit TLS when FEAT offers AUTH TLS, else plain
    Plain,    ///< "ftp://": plain FTP only
    Explicit, ///< "ftpes://": AUTH TLS required, nothing sent in clear before it
    Implicit  ///< "ftps://": TLS from the first byte, port 990 by default
};

/// Host, port and protection taken from the server field: an optional
/// "ftp://", "ftpes://" or "ftps://" and then "host", "host:port",
/// "[v6addr]:port", "v6addr"; empty host means "127.0.0.1", no port 21 (990
/// for ftps://).
struct ServerAddress
{
    std::string host;
    uint16_t port = 21;
    TlsMode tls = TlsMode::Auto;
};
/// Returns nullopt for a field that cannot name a server (bad port, unbalanced brackets).
std::optional<ServerAddress> parseServerField(const std::string &field);

/// One logged-in control connection.
class FtpConnection
{
public:
    /// Resolves, connects, reads the greeting, protects the connection as
    /// the server field says (see TlsMode; a bare field asks FEAT before
    /// USER), logs in (USER, PASS; empty user means "anonymous"), sends PBSZ 0
    /// and PROT P when protected, reads FEAT and sends OPTS UTF8 ON when the
    /// server lists UTF8. Null on any failure; *error then says why and
    /// *failure what failed (neither containing the password).
    static std::unique_ptr<FtpConnection>
    connect(FtpService &service, const std::string &server, const std::string &user,
            const std::string &password, std::string *error = nullptr, Failure *failure = nullptr);
    ~FtpConnection();
    FtpConnection(const FtpConnection &) = delete;
    FtpConnection &operator=(const FtpConnection &) = delete;

    /// STOR of a whole local file in binary mode; true when the server
    /// confirmed the transfer (226/250).
    bool putFile(const std::string &localPath, const std::string &remotePath);

    /// The size of the file at `remotePath` as the server holds it: TYPE I
    /// and SIZE; on a server whose FEAT leaves SIZE out, or that refuses it
    /// as unknown (500, 502, 504; another 5xx but 550 for this query only),
    /// MLST when FEAT lists it with the size fact, and otherwise a LIST of
    /// the file's folder, whose entry of exactly the file's name gives the
    /// size (Unix and DOS/IIS layouts). A way refused as unknown, or an MLST
    /// that gives no size fact, is not tried again on this connection, so
    /// each later query asks only the way that works. Nullopt when the file
    /// is not there (550, no such entry), the server answers with no size,
    /// or no way is left; lastSizeSource() tells these apart. A LIST whose
    /// data connection fails closes the connection (isOpen() false,
    /// lastFailure() says why): a size not learnt must not read as a file
    /// that is absent, which the caller would send again from its start.
    std::optional<int64_t> remoteSize(const std::string &remotePath);

    /// Sends ahead, without waiting between them, the size queries of
    /// `remotePaths` and, with `passive`, the command that opens the next
    /// passive data connection, so that remoteSize() of each path and then
    /// openTransfer(), called in that order, read replies that are on their
    /// way already instead of waiting a round trip for each. Called out of
    /// that order they still work, only without the gain. Sends nothing
    /// where SIZE is not the way sizes are asked here.
    void askAhead(const std::vector<std::string> &remotePaths, bool passive);

    /// A reply to a command asked ahead did not come in time: the connection
    /// failed, and on this server commands should go one at a time.
    bool aheadStalled() const;

    /// Which way gave the last remoteSize() its answer: with a size, or with
    /// nullopt when that way said the file is not there (550, 450 to LIST,
    /// no entry in a whole listing). None when no way could tell: the
    /// server refused them all, answered with no size, or the connection
    /// failed (or before the first call).
    SizeSource lastSizeSource() const;

    /// A command without data transfer ("CWD /pub", "DELE x", "TYPE I").
    /// True for a 2xx or 3xx reply.
    bool command(const std::string &command);

    /// A command with a data transfer ("LIST", "APPE /x", "STOR /x").
    /// Sets binary type, opens the data connection (passive or active as the
    /// service says, falling back to the other), sends the command and waits
    /// for 125/150. Null when any step is refused. `restOffset` > 0 sends
    /// "REST n" first.
    std::unique_ptr<FtpTransfer> openTransfer(const std::string &command, Direction direction,
                                              int64_t restOffset = 0);

    /// How the server digests a file for remoteHash(), chosen on the first
    /// call from what FEAT offers: the HASH command with SHA-256 or else the
    /// best algorithm it lists (selected with OPTS HASH unless it already is;
    /// a refused selection moves on to the next), else the strongest of
    /// XSHA256, XSHA1, XMD5 and XCRC. Nullopt when the server offers none of
    /// them, or the connection failed while selecting (isOpen() says so).
    std::optional<HashAlgorithm> hashAlgorithm();

    /// The server's digest of the whole of `remotePath`, a file of `size`
    /// bytes, in lower-case hex, by the way hashAlgorithm() chose. The
    /// server reads the file first, so the reply may take the final-reply
    /// timeout and a second for every 16 MiB. Nullopt when none was chosen,
    /// the server refused (lastFailure(): CommandRefused), answered with a
    /// digest of something else (another algorithm or range: BadReply), or
    /// the connection failed.
    std::optional<std::string> remoteHash(const std::string &remotePath, int64_t size);

    /// True when FEAT listed the feature (case-insensitive, e.g. "SIZE",
    /// "REST STREAM", "UTF8").
    bool hasFeature(const std::string &feature) const;

    /// The last reply's code and full text (for logs and tests).
    int lastReplyCode() const;
    const std::string &lastReplyText() const;

    /// Whether the control connection is still usable.
    bool isOpen() const;

    /// How this connection and its data connections are protected.
    Security security() const;

    /// Why the last failed operation failed (never containing the password).
    const std::string &lastError() const;
    /// The same in parts; kind None when the last operation on this
    /// connection or its transfer did not fail.
    const Failure &lastFailure() const;

    struct Impl;

private:
    explicit FtpConnection(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
    friend class FtpTransfer;
};

/// One data transfer.
class FtpTransfer
{
public:
    ~FtpTransfer();
    FtpTransfer(const FtpTransfer &) = delete;
    FtpTransfer &operator=(const FtpTransfer &) = delete;

    /// Reads up to maxLen (at most 4096) bytes: >0 count, 0 end of data, -1 failure.
    int read(char *buffer, int maxLen);

    /// Writes len (at most 4096) bytes in full: returns len, or -1 when the
    /// connection is lost or the write stalls past the data timeout. An
    /// upload holds bytes back until a send of kUploadGatherBytes gathers;
    /// finish() sends them before the end.
    int write(const char *buffer, int len);

    /// For an upload: room for the next `len` (at most one send's worth)
    /// bytes inside that gathered send, to be filled by the caller (a read
    /// from the file straight into it) and then written block by block with
    /// commit() instead of write(). Null when the connection is lost or the
    /// held bytes stall. The room stays valid until committed or write().
    char *reserve(int len);

    /// Writes the next `len` (at most 4096) bytes of the reserved room, as
    /// write() would: returns len, or -1.
    int commit(int len);

    /// Completes the transfer: closes the data connection and waits (for an
    /// upload up to the final-reply timeout) for the server's final reply.
    /// True only for 226 or 250. A second call returns the first result.
    bool finish();

    /// After a read or write failed: drops the data connection and waits up
    /// to `waitMs` for the server's final reply, which may say why (552
    /// "quota exceeded"). Returns its code, or 0 when none came in time (the
    /// connection is then closed; lastFailure() still names the data
    /// connection's failure). Ends the transfer.
    int verdictAfterFailure(int waitMs);

    /// Drops the transfer without waiting for a verdict.
    void close();

    int finalReplyCode() const;

    struct Impl;

private:
    friend class FtpConnection;
    explicit FtpTransfer(std::unique_ptr<Impl> impl);
    /// The session, its last failure forgotten: an operation starts.
    std::shared_ptr<FtpSession> begin();
    std::unique_ptr<Impl> m_impl;
};

} // namespace ftp
