// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ftp/Channel.h"
#include "ftp/FtpClient.h"
#include "ftp/FtpReply.h"
#include "ftp/FtpReplyParser.h"
#include "ftp/Socket.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ftp {

/// The control dialogue of one logged-in connection and its one data
/// connection at a time. FtpConnection and FtpTransfer are thin handles over
/// it; a transfer holds it weakly and names its data connection by an id, so
/// a transfer that outlives its connection, or one that a newer transfer
/// replaced, fails cleanly instead of touching freed memory.
class TlsChannel;
class TlsContext;

/// A failure of `kind` with the server's reply and the verb concerned.
Failure failureOf(FailureKind kind, std::string reply = {}, std::string command = {});
/// A failure described by the system's or OpenSSL's text.
Failure detailFailure(FailureKind kind, std::string detail);
/// A time-out of `seconds`.
Failure timeFailure(FailureKind kind, int seconds);
/// A failed system call: where to, its error number and its text.
Failure systemFailure(FailureKind kind, std::string endpoint, int systemError, std::string detail);

class FtpSession
{
public:
    /// Gives the TLS context when the session first needs one, calling `idle`
    /// while it waits; null (and *error set) when TLS cannot work here.
    using TlsSource =
        std::function<std::shared_ptr<TlsContext>(const IdleHook &idle, std::string *error)>;

    explicit FtpSession(const FtpService::Options &options, TlsSource tlsSource = {});
    ~FtpSession();
    FtpSession(const FtpSession &) = delete;
    FtpSession &operator=(const FtpSession &) = delete;

    /// Connects, reads the greeting, protects the connection as the server
    /// field asks (see TlsMode), logs in, protects the data connections,
    /// reads FEAT and turns UTF-8 on when offered. On failure error() says
    /// why, without the password.
    bool open(const std::string &server, const std::string &user, const std::string &password);

    /// Sends one command and returns its final (non-1yz) reply; nullopt when
    /// the control connection failed (it is then closed). `replyMs` > 0
    /// allows that long for the reply instead of the usual reply timeout.
    std::optional<FtpReply> exchange(const std::string &command, int replyMs = 0);

    /// Sends `commands` at once, without waiting for a reply between them:
    /// exchange() of the same commands in the same order then reads their
    /// replies instead of sending them again, so a far server costs one
    /// round trip for all of them. A command asked for out of that order
    /// first reads and drops the replies of those still ahead. Only for
    /// commands that change nothing on the server.
    bool sendAhead(const std::vector<std::string> &commands);
    /// The command openPassive() sends first ("EPSV" or "PASV"); empty when
    /// active mode goes first or passive mode is refused.
    std::string passiveCommand() const;
    /// TYPE I is in effect, so binaryMode() sends nothing.
    bool binaryKnown() const { return m_binary; }
    /// A reply to a command sent ahead did not come in time: the server may
    /// drop commands that arrive before its reply to the one before.
    bool aheadStalled() const { return m_aheadStalled; }

    /// Sets binary type unless it is already in effect. False: refused
    /// (error() says why) or no answer.
    bool binaryMode();

    /// Sets binary type if needed, opens a data connection (passive or active as the
    /// options say, falling back to the other), sends REST when restOffset > 0
    /// and then `command`, and waits for 125/150. Returns the transfer id, or
    /// 0 when any step was refused.
    uint64_t openTransfer(const std::string &command, Direction direction, int64_t restOffset);

    /// Data of transfer `id`; see FtpTransfer.
    int readData(uint64_t id, char *buffer, int maxLen);
    int writeData(uint64_t id, const char *buffer, int len);
    char *reserveData(uint64_t id, int len);
    int commitData(uint64_t id, int len);

    /// Closes transfer `id`'s data connection and waits for its final reply.
    /// Returns the reply code, 0 when none came.
    int finishTransfer(uint64_t id);

    /// After transfer `id`'s data connection failed: drops it and waits up
    /// to `waitMs` for the server's final reply, which may say why (a full
    /// disk, a quota). Returns its code, 0 when none came in time; the
    /// connection is then closed and failure() still names the data
    /// connection's failure. Another reply than 226/250 is the failure.
    int verdictAfterDataFailure(uint64_t id, int waitMs);

    /// Closes transfer `id`'s data connection without waiting; its final
    /// reply is read and dropped before the next command.
    void dropTransfer(uint64_t id);

    /// Best-effort QUIT and close.
    void quit();

    bool isOpen() const { return m_control && m_control->isOpen(); }
    const FtpService::Options &options() const { return m_options; }
    const FtpReply &lastReply() const { return m_lastReply; }
    const std::string &error() const { return m_error; }
    /// error() in parts; kind None when nothing failed since clearFailure().
    const Failure &failure() const { return m_failure; }
    /// A new operation starts: forgets the last failure's parts.
    void clearFailure()
    {
        if (m_failure.kind != FailureKind::None)
            m_failure = Failure{};
    }
    /// Records why an operation failed, text and parts, without the password.
    /// Once the idle hook has said stop, whatever failed is recorded as
    /// Stopped and the connection is closed: the wait was cut short.
    void note(const std::string &why, Failure failure);
    bool hasFeature(const std::string &feature) const;
    /// What FEAT listed, as parseFeatures gives it.
    const std::vector<std::string> &features() const { return m_features; }
    Security security() const { return m_security; }

private:
    // The steps of open(), in order; each false when the step failed (error()
    // says why).
    /// Resolves and connects; for ftps:// also the TLS handshake.
    bool connectControl(const ServerAddress &address);
    bool readGreeting();
    /// Explicit TLS when the field asks for it or, for a bare field, FEAT
    /// offers it. *featuresKnown: FEAT was answered and still holds.
    bool secureControl(TlsMode mode, bool *featuresKnown);
    /// Whether a bare field's login may go on in clear (after AUTH TLS was
    /// refused with *authReply, or not offered): not to a server that used
    /// TLS before unless the caller says so.
    bool mayLogInInClear(const FtpReply *authReply);
    /// USER and PASS; an empty user is "anonymous".
    bool logIn(const std::string &user, const std::string &password);
    /// PBSZ 0 and PROT P on a protected connection.
    bool protectDataConnections();
    /// FEAT unless already known, then UTF-8 paths when offered.
    bool readFeatures(bool featuresKnown);

    /// Sets the error text after a data connection failed or stalled.
    void noteDataFailure();
    bool sendLine(const std::string &line);
    std::optional<FtpReply> readReply(int timeoutMs);
    /// The final reply to a command already sent, past any 1yz.
    std::optional<FtpReply> finalReply(int timeoutMs);
    /// Reads the final replies of dropped transfers, and then those of the
    /// commands sent ahead that nobody asked for.
    bool drainOwedReplies();
    bool drainTransferReplies();
    /// note(), then closes the connection.
    void fail(const std::string &why, Failure failure);
    std::string scrub(std::string text) const;

    /// A passive data connection in *data or an active listener in
    /// *listenFd, whichever mode the server takes first.
    bool openDataConnection(std::unique_ptr<Channel> *data, int *listenFd);
    /// REST when restOffset > 0, then the transfer command, until its 1yz
    /// reply (or an early 2yz, kept in m_earlyFinalCode).
    bool sendTransferCommand(const std::string &command, int64_t restOffset);
    std::unique_ptr<Channel> openPassive();
    bool openActive(int *listenFd);
    std::unique_ptr<Channel> acceptActive(int listenFd);
    void abandonCurrentTransfer();

    bool startTls();
    bool acceptCertificate(TlsChannel &channel);
    TlsChannel *controlTls() const;
    std::unique_ptr<Channel> protectData(std::unique_ptr<Channel> plain);

    FtpService::Options m_options;
    // The options' idle hook, remembering a stop: every wait after it stops
    // at once. Empty when the options have none.
    IdleHook m_idle;
    bool m_stopRequested = false;
    TlsSource m_tlsSource;
    std::shared_ptr<TlsContext> m_tls;
    std::string m_host; // as the server field names it, for the certificate
    uint16_t m_port = 0;
    Security m_security = Security::Plain;
    bool m_protectData = false; // PROT P accepted
    std::string m_fingerprint;  // of the control connection's accepted certificate
    std::unique_ptr<Channel> m_control;
    Endpoint m_peer;  // control connection's server address
    Endpoint m_local; // our side of it, for active mode
    std::string m_in; // received control bytes not yet parsed
    std::size_t m_inPos = 0;
    FtpReplyParser m_parser;
    FtpReply m_lastReply;
    std::string m_error;
    Failure m_failure;
    std::string m_password; // only to keep it out of error texts
    std::vector<std::string> m_features;
    bool m_epsvRefused = false;
    bool m_eprtRefused = false;
    // TYPE I was accepted and nothing has changed the type since. The type
    // holds for the session (RFC 959 section 5.3.2 gives no command but TYPE
    // and REIN that changes it), and each repeat costs a round trip per file.
    bool m_binary = false;
    int m_owedReplies = 0;           // final replies of dropped transfers still to come
    std::deque<std::string> m_ahead; // sent ahead, replies not read yet, in order
    bool m_aheadStalled = false;

    // The current data transfer.
    std::unique_ptr<Channel> m_data;
    uint64_t m_transferId = 0;
    Direction m_direction = Direction::Download;
    int m_earlyFinalCode = 0;   // a 2yz that came instead of 125/150
    std::string m_transferVerb; // "STOR", "APPE", "LIST": for a failed final reply
};

} // namespace ftp
