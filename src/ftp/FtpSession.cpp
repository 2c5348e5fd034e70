// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftp/FtpSession.h"

#include "ftp/ConnectionDefaults.h"
#include "ftp/FtpParse.h"
#include "ftp/TlsChannel.h"
#include "ftp/TlsContext.h"

#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ftp {

namespace {

// Size of one read from the control connection.
constexpr std::size_t kControlReadBytes = 4096;

// A 2yz or 3yz reply to a command that only needs acceptance.
bool accepted(const std::optional<FtpReply> &reply)
{
    return reply && reply->isPositive();
}

// The server understood the command but will not do it (or does not know it):
// a reason to try the other way, not to give up on the connection.
bool refused(const std::optional<FtpReply> &reply)
{
    return reply && reply->code >= 400;
}

// Whether a command may leave the session in another type than binary.
bool changesType(const std::string &command)
{
    const std::string verb = commandVerb(command);
    return verb == "TYPE" || verb == "REIN";
}

int wholeSeconds(int ms)
{
    return (ms + 999) / 1000;
}

std::string seconds(int ms)
{
    return std::to_string(wholeSeconds(ms)) + " s";
}

// "host:port", an IPv6 address in brackets.
std::string hostPort(const std::string &host, uint16_t port)
{
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// The IPv4 address of an endpoint, also from an IPv4-mapped IPv6 one.
std::optional<std::array<uint8_t, 4>> ipv4Of(const Endpoint &e)
{
    std::array<uint8_t, 4> bytes{};
    if (e.family() == AF_INET) {
        std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in &>(e.addr).sin_addr, 4);
        return bytes;
    }
    if (e.family() == AF_INET6) {
        const auto &a6 = reinterpret_cast<const sockaddr_in6 &>(e.addr).sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a6)) {
            std::memcpy(bytes.data(), a6.s6_addr + 12, 4);
            return bytes;
        }
    }
    return std::nullopt;
}

// Whether FEAT offers TLS: "AUTH TLS" on a line of its own, or among the
// mechanisms of one "AUTH" line ("AUTH TLS;TLS-C;SSL;TLS-P;").
bool offersAuthTls(const std::vector<std::string> &features)
{
    for (const std::string &line : features) {
        if (line.rfind("AUTH ", 0) != 0)
            continue;
        std::size_t begin = 5;
        while (begin <= line.size()) {
            std::size_t end = line.find_first_of(" ;,", begin);
            if (end == std::string::npos)
                end = line.size();
            if (line.compare(begin, end - begin, "TLS") == 0)
                return true;
            begin = end + 1;
        }
    }
    return false;
}

} // namespace

Failure failureOf(FailureKind kind, std::string reply, std::string command)
{
    Failure failure;
    failure.kind = kind;
    failure.reply = std::move(reply);
    failure.command = std::move(command);
    return failure;
}

Failure detailFailure(FailureKind kind, std::string detail)
{
    Failure failure;
    failure.kind = kind;
    failure.detail = std::move(detail);
    return failure;
}

Failure timeFailure(FailureKind kind, int seconds)
{
    Failure failure;
    failure.kind = kind;
    failure.seconds = seconds;
    return failure;
}

Failure systemFailure(FailureKind kind, std::string endpoint, int systemError, std::string detail)
{
    Failure failure;
    failure.kind = kind;
    failure.endpoint = std::move(endpoint);
    failure.systemError = systemError;
    failure.detail = std::move(detail);
    return failure;
}

FtpSession::FtpSession(const FtpService::Options &options, TlsSource tlsSource)
    : m_options(options), m_tlsSource(std::move(tlsSource))
{
    if (m_options.idle)
        m_idle = [this] {
            if (!m_stopRequested && !m_options.idle())
                m_stopRequested = true;
            return !m_stopRequested;
        };
}

FtpSession::~FtpSession()
{
    m_data.reset();
    m_control.reset();
}

bool FtpSession::open(const std::string &server, const std::string &user,
                      const std::string &password)
{
    m_password = password;
    // The source may point into the FtpService, which can go before the
    // connection does: use it only while opening.
    struct ForgetSource
    {
        TlsSource &source;
        ~ForgetSource() { source = nullptr; }
    } forgetSource{m_tlsSource};

    const auto address = parseServerField(server);
    if (!address) {
        note("cannot read the server field \"" + server + "\"",
             detailFailure(FailureKind::ServerField, server));
        return false;
    }
    m_host = address->host;
    m_port = address->port;

    bool featuresKnown = false;
    if (!connectControl(*address) || !readGreeting() ||
        !secureControl(address->tls, &featuresKnown) || !logIn(user, password) ||
        !protectDataConnections() || !readFeatures(featuresKnown))
        return false;
    if (m_security != Security::Plain && m_options.tlsLoggedIn)
        m_options.tlsLoggedIn(m_host, m_port);
    if (m_options.loggedIn)
        m_options.loggedIn(m_security);
    return true;
}

bool FtpSession::connectControl(const ServerAddress &address)
{
    // Resolution and TCP connect share the connect timeout.
    const int connectMs = m_options.timeouts.connectMs;
    const Deadline connectBy = Deadline::in(connectMs);
    std::string why;
    int code = 0;
    const auto endpoints = resolveHost(address.host, address.port, connectBy, m_idle, &why, &code);
    if (endpoints.empty()) {
        Failure failure = systemFailure(FailureKind::Resolve, address.host, code, why);
        if (connectBy.expired())
            failure.seconds = wholeSeconds(connectMs);
        note(why, std::move(failure));
        return false;
    }
    const int fd = connectAny(endpoints, connectBy, m_idle, &why, &code);
    if (fd < 0) {
        note(why, systemFailure(FailureKind::Connect, hostPort(m_host, m_port), code, why));
        return false;
    }
    tuneControlSocket(fd);
    m_control = std::make_unique<Channel>(fd);
    m_peer = peerEndpoint(fd);
    m_local = localEndpoint(fd);

    // Implicit TLS: the handshake comes before any FTP byte, greeting included.
    if (address.tls == TlsMode::Implicit) {
        if (!startTls())
            return false;
        m_security = Security::ImplicitTls;
    }
    return true;
}

bool FtpSession::readGreeting()
{
    // 120 asks to wait for the 220 (RFC 959 section 5.4).
    const int replyMs = m_options.timeouts.replyMs;
    std::optional<FtpReply> greeting = readReply(replyMs);
    while (greeting && greeting->code == 120)
        greeting = readReply(replyMs);
    if (!greeting)
        return false;
    if (greeting->code != 220) {
        fail("the server refused the connection: " + greeting->text,
             failureOf(FailureKind::Greeting, greeting->text));
        return false;
    }
    return true;
}

bool FtpSession::secureControl(TlsMode mode, bool *featuresKnown)
{
    // A bare server field asks FEAT (RFC 2389) before logging in, so that a
    // server offering TLS never sees the password in clear. A server that
    // wants a login first (530) is asked again afterwards; one without FEAT
    // simply has no features and gets plain FTP, as always.
    bool wantTls = mode == TlsMode::Explicit;
    if (mode == TlsMode::Auto) {
        const auto reply = exchange("FEAT");
        if (!reply)
            return false;
        m_features = parseFeatures(*reply);
        *featuresKnown = reply->code != 530 && reply->code / 100 != 4;
        wantTls = offersAuthTls(m_features);
    }
    if (!wantTls)
        return mode != TlsMode::Auto || mayLogInInClear(nullptr);

    // Explicit TLS (RFC 4217 section 4): AUTH TLS, then the handshake. For
    // ftpes:// a server that will not stops the login here, before USER and
    // PASS. A bare field only asked because FEAT listed it: a refusal (pure-
    // ftpd lists AUTH TLS whenever TLS is compiled in, and answers 500 until
    // a certificate is set up) leaves the connection as a server without TLS
    // would, and the login goes on in clear. Once 234 has come, TLS has begun
    // and any failure after it ends the login.
    const auto reply = exchange("AUTH TLS");
    if (!reply)
        return false;
    if (reply->code != 234 && mode == TlsMode::Explicit) {
        fail("the server does not offer TLS, which ftpes:// requires: " + reply->text,
             failureOf(FailureKind::TlsRefused, reply->text));
        return false;
    }
    if (reply->code != 234 && !refused(reply)) {
        fail("unexpected reply to AUTH TLS: " + reply->text,
             failureOf(FailureKind::TlsRefused, reply->text));
        return false;
    }
    if (reply->code != 234)
        return mayLogInInClear(&*reply);
    if (!startTls())
        return false;
    m_security = Security::ExplicitTls;
    *featuresKnown = false; // features may differ once protected
    return true;
}

bool FtpSession::mayLogInInClear(const FtpReply *authReply)
{
    // A bare field takes plain FTP from a server that never offered TLS; one
    // that did before is asked about, since a stripped FEAT or a refused
    // AUTH TLS is how a man in the middle would get the password.
    if (!m_options.tlsBefore || !m_options.tlsBefore(m_host, m_port))
        return true;
    if (m_options.clearLoginDecision && m_options.clearLoginDecision(m_host, m_port))
        return true;
    const std::string reply = authReply ? authReply->text : std::string();
    fail("the server used TLS before and offers none now; the password was not sent in clear" +
             (reply.empty() ? std::string() : ": " + reply),
         failureOf(FailureKind::TlsWithdrawn, reply));
    return false;
}

bool FtpSession::logIn(const std::string &user, const std::string &password)
{
    // RFC 959 section 4.1.1: 230 right after USER needs no password.
    const std::string login = user.empty() ? std::string(kDefaultUser) : user;
    if (!isSafeCommandLine("USER " + login) || !isSafeCommandLine("PASS " + password)) {
        fail("the user name or password contains a line break",
             failureOf(FailureKind::LineBreak, {}, "USER"));
        return false;
    }
    std::optional<FtpReply> reply = exchange("USER " + login);
    if (!reply)
        return false;
    if (reply->code == 331) {
        reply = exchange("PASS " + password);
        if (!reply)
            return false;
    }
    if (reply->code != 230 && reply->code != 202) {
        fail("login refused: " + reply->text, failureOf(FailureKind::Login, reply->text));
        return false;
    }
    return true;
}

bool FtpSession::protectDataConnections()
{
    // RFC 4217 section 9: PBSZ 0 and PROT P put every data connection into
    // TLS as well; a server that refuses would carry the files in clear.
    if (m_security == Security::Plain)
        return true;
    auto reply = exchange("PBSZ 0");
    if (!reply)
        return false;
    if (!reply->isPositive()) {
        fail("the server refused PBSZ 0: " + reply->text,
             failureOf(FailureKind::CommandRefused, reply->text, "PBSZ"));
        return false;
    }
    reply = exchange("PROT P");
    if (!reply)
        return false;
    if (!reply->isPositive()) {
        fail("the server refused to protect the data connections (PROT P): " + reply->text,
             failureOf(FailureKind::CommandRefused, reply->text, "PROT"));
        return false;
    }
    m_protectData = true;
    return true;
}

bool FtpSession::readFeatures(bool featuresKnown)
{
    if (!featuresKnown) {
        const auto reply = exchange("FEAT");
        if (!reply)
            return false;
        m_features = parseFeatures(*reply);
    }
    // RFC 2640: ask for UTF-8 paths; a refusal (501, 504) leaves them as they are.
    return !featureListed(m_features, "UTF8") || exchange("OPTS UTF8 ON");
}

TlsChannel *FtpSession::controlTls() const
{
    return dynamic_cast<TlsChannel *>(m_control.get());
}

bool FtpSession::startTls()
{
    // Bytes that arrived in clear after the AUTH TLS reply would later be
    // read as if they had come protected: refuse them.
    if (m_inPos < m_in.size()) {
        fail("the server sent more in clear before TLS began",
             detailFailure(FailureKind::Tls, "the server sent more in clear before TLS began"));
        return false;
    }
    std::string why;
    if (!m_tls && m_tlsSource)
        m_tls = m_tlsSource(m_idle, &why);
    if (!m_tls) {
        const std::string text = why.empty() ? "TLS is not available" : why;
        fail(text, detailFailure(FailureKind::Tls, text));
        return false;
    }
    auto channel =
        std::make_unique<TlsChannel>(m_control->release(), m_tls->get(), m_host, nullptr, false);
    TlsChannel &tls = *channel;
    m_control = std::move(channel);
    if (!tls.handshake(Deadline::in(m_options.timeouts.replyMs), m_idle)) {
        fail("the TLS handshake with the server failed: " + tls.error(),
             detailFailure(FailureKind::Tls, tls.error()));
        return false;
    }
    if (!acceptCertificate(tls))
        return false;
    m_fingerprint = tls.fingerprint();
    return true;
}

bool FtpSession::acceptCertificate(TlsChannel &channel)
{
    if (channel.verified())
        return true;
    CertificateInfo info = channel.certificate();
    info.host = m_host;
    info.port = m_port;
    // Asked once per service: a run's retries and a second login of the
    // same pass do not ask again.
    CertificateDecision decision = CertificateDecision::Refuse;
    if (const auto earlier = m_tls->remembered(info)) {
        decision = *earlier;
    } else {
        if (m_options.certificateDecision)
            decision = m_options.certificateDecision(info);
        m_tls->remember(info, decision);
    }
    if (decision == CertificateDecision::Refuse) {
        fail("the server's certificate is not trusted (" + info.error + ")",
             detailFailure(FailureKind::Certificate, info.error));
        return false;
    }
    return true;
}

std::unique_ptr<Channel> FtpSession::protectData(std::unique_ptr<Channel> plain)
{
    // RFC 4217 section 10.2: the data connection resumes the control
    // connection's TLS session, which servers such as vsftpd insist on.
    const TlsChannel *control = controlTls();
    SSL_SESSION *session = control ? control->session() : nullptr;
    auto tls = std::make_unique<TlsChannel>(plain->release(), m_tls->get(), m_host, session, true);
    SSL_SESSION_free(session);
    if (!tls->handshake(Deadline::in(m_options.timeouts.dataMs), m_idle)) {
        note("TLS on the data connection failed: " + tls->error(),
             detailFailure(FailureKind::DataTls, tls->error()));
        return nullptr;
    }
    // Only the server whose certificate the control connection accepted may
    // sit at the other end of a data connection.
    if (tls->fingerprint() != m_fingerprint) {
        note("the data connection presented another certificate than the server",
             failureOf(FailureKind::DataTls));
        return nullptr;
    }
    return tls;
}

bool FtpSession::hasFeature(const std::string &feature) const
{
    return featureListed(m_features, feature);
}

std::string FtpSession::scrub(std::string text) const
{
    if (m_password.empty())
        return text;
    for (std::size_t at = text.find(m_password); at != std::string::npos;
         at = text.find(m_password, at + 3))
        text.replace(at, m_password.size(), "***");
    return text;
}

void FtpSession::note(const std::string &why, Failure failure)
{
    if (m_stopRequested) {
        m_error = "stopped: " + scrub(why);
        m_failure = failureOf(FailureKind::Stopped);
        m_data.reset();
        m_control.reset();
        return;
    }
    m_error = scrub(why);
    failure.reply = scrub(std::move(failure.reply));
    failure.detail = scrub(std::move(failure.detail));
    failure.endpoint = scrub(std::move(failure.endpoint));
    m_failure = std::move(failure);
}

void FtpSession::fail(const std::string &why, Failure failure)
{
    note(why, std::move(failure));
    m_lastReply.text = scrub(m_lastReply.text);
    m_data.reset();
    m_control.reset();
}

bool FtpSession::sendLine(const std::string &line)
{
    if (!isOpen()) {
        note("not connected", failureOf(FailureKind::NotConnected));
        return false;
    }
    if (!isSafeCommandLine(line)) {
        // The connection stays usable: nothing was sent.
        note("a command must be a single line",
             failureOf(FailureKind::LineBreak, {}, commandVerb(line)));
        return false;
    }
    const std::string wire = line + "\r\n";
    if (!m_control->writeAll(wire.data(), wire.size(), m_options.timeouts.replyMs, m_idle)) {
        fail("sending a command failed: " + m_control->error(),
             systemFailure(FailureKind::Lost, {}, m_control->errorNumber(), m_control->error()));
        return false;
    }
    return true;
}

std::optional<FtpReply> FtpSession::readReply(int timeoutMs)
{
    if (!isOpen()) {
        note("not connected", failureOf(FailureKind::NotConnected));
        return std::nullopt;
    }
    const Deadline deadline = Deadline::in(timeoutMs);
    char buffer[kControlReadBytes];
    // A server that floods us never makes us wait, so the idle hook would
    // starve; call it on the clock as well.
    for (;;) {
        if (!idleIfDue(m_idle)) {
            fail("waiting for a reply", failureOf(FailureKind::Stopped));
            m_parser.reset();
            return std::nullopt;
        }
        if (m_inPos < m_in.size()) {
            std::size_t used = 0;
            const auto status = m_parser.feed(m_in.data() + m_inPos, m_in.size() - m_inPos, &used);
            m_inPos += used;
            if (m_inPos == m_in.size()) {
                m_in.clear();
                m_inPos = 0;
            }
            if (status == FtpReplyParser::Status::Error) {
                const std::string why = m_parser.error();
                m_parser.reset();
                fail("bad reply from the server: " + why,
                     detailFailure(FailureKind::BadReply, why));
                return std::nullopt;
            }
            if (status == FtpReplyParser::Status::Complete) {
                m_lastReply = m_parser.takeReply();
                m_lastReply.text = scrub(m_lastReply.text);
                // 421: the server is closing the control connection.
                if (m_lastReply.code == 421) {
                    const FtpReply closing = m_lastReply;
                    fail("the server closed the connection: " + closing.text,
                         failureOf(FailureKind::Closed, closing.text));
                    m_lastReply = closing;
                }
                return m_lastReply;
            }
            continue;
        }
        // A reply trickled in byte by byte must not outlast the timeout either.
        if (deadline.expired()) {
            fail("no complete reply from the server within " + seconds(timeoutMs),
                 timeFailure(FailureKind::Timeout, wholeSeconds(timeoutMs)));
            m_parser.reset();
            return std::nullopt;
        }
        const ssize_t n = m_control->readSome(buffer, sizeof buffer, deadline, m_idle);
        if (n > 0) {
            m_in.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0)
            fail("the server closed the connection", failureOf(FailureKind::Closed));
        else if (m_control->timedOut())
            fail("no reply from the server within " + seconds(timeoutMs),
                 timeFailure(FailureKind::Timeout, wholeSeconds(timeoutMs)));
        else
            fail(
                "the connection to the server was lost: " + m_control->error(),
                systemFailure(FailureKind::Lost, {}, m_control->errorNumber(), m_control->error()));
        m_parser.reset();
        return std::nullopt;
    }
}

std::optional<FtpReply> FtpSession::finalReply(int timeoutMs)
{
    std::optional<FtpReply> reply = readReply(timeoutMs);
    while (reply && reply->isPreliminary())
        reply = readReply(timeoutMs);
    return reply;
}

bool FtpSession::drainTransferReplies()
{
    while (m_owedReplies > 0) {
        --m_owedReplies;
        if (!finalReply(m_options.timeouts.replyMs))
            return false;
    }
    return true;
}

bool FtpSession::drainOwedReplies()
{
    if (!drainTransferReplies())
        return false;
    while (!m_ahead.empty()) {
        m_ahead.pop_front();
        if (!finalReply(m_options.timeouts.replyMs)) {
            m_aheadStalled = m_failure.kind == FailureKind::Timeout;
            m_ahead.clear();
            return false;
        }
    }
    return true;
}

bool FtpSession::sendAhead(const std::vector<std::string> &commands)
{
    if (!drainOwedReplies())
        return false;
    std::string lines;
    for (const std::string &command : commands) {
        if (!isSafeCommandLine(command))
            return false;
        lines += command + "\r\n";
    }
    if (!isOpen())
        return false;
    // RFC 959 section 4.2 has the server answer every command in turn, so
    // the replies come in the order the commands went.
    if (!m_control->writeAll(lines.data(), lines.size(), m_options.timeouts.replyMs, m_idle)) {
        fail("sending a command failed: " + m_control->error(),
             systemFailure(FailureKind::Lost, {}, m_control->errorNumber(), m_control->error()));
        return false;
    }
    m_ahead.insert(m_ahead.end(), commands.begin(), commands.end());
    return true;
}

std::string FtpSession::passiveCommand() const
{
    if (!m_options.passiveFirst)
        return {};
    if (!m_epsvRefused)
        return "EPSV";
    return ipv4Of(m_peer) ? "PASV" : std::string();
}

std::optional<FtpReply> FtpSession::exchange(const std::string &command, int replyMs)
{
    const int timeoutMs = replyMs > 0 ? replyMs : m_options.timeouts.replyMs;
    if (!drainTransferReplies())
        return std::nullopt;
    if (!m_ahead.empty() && m_ahead.front() == command) {
        m_ahead.pop_front();
        std::optional<FtpReply> reply = finalReply(timeoutMs);
        if (!reply && m_failure.kind == FailureKind::Timeout)
            m_aheadStalled = true;
        if (!reply)
            m_ahead.clear();
        return reply;
    }
    if (!drainOwedReplies())
        return std::nullopt;
    if (changesType(command))
        m_binary = false;
    if (!sendLine(command))
        return std::nullopt;
    return finalReply(timeoutMs);
}

bool FtpSession::binaryMode()
{
    if (m_binary)
        return true;
    const auto type = exchange("TYPE I");
    if (accepted(type)) {
        m_binary = true;
        return true;
    }
    if (type)
        note("the server refused binary mode: " + type->text,
             failureOf(FailureKind::CommandRefused, type->text, "TYPE"));
    return false;
}

void FtpSession::abandonCurrentTransfer()
{
    if (!m_data)
        return;
    m_data.reset();
    if (m_earlyFinalCode == 0)
        ++m_owedReplies;
    m_earlyFinalCode = 0;
}

std::unique_ptr<Channel> FtpSession::openPassive()
{
    // RFC 2428 EPSV first; RFC 959 PASV only works over IPv4. Either way the
    // data connection goes to the control connection's server, never to an
    // address the server names: a hostile reply cannot aim us at a third host.
    std::optional<uint16_t> port;
    if (!m_epsvRefused) {
        const auto reply = exchange("EPSV");
        if (!reply)
            return nullptr;
        if (reply->code == 229)
            port = parseEpsvReply(reply->text);
        else
            m_epsvRefused = refused(reply);
    }
    if (!port && ipv4Of(m_peer)) {
        const auto reply = exchange("PASV");
        if (!reply)
            return nullptr;
        if (reply->code == 227) {
            if (const auto endpoint = parsePasvReply(reply->text))
                port = endpoint->port;
        }
    }
    if (!port) {
        note("the server refused passive mode: " + m_lastReply.text,
             failureOf(FailureKind::PassiveRefused, m_lastReply.text));
        return nullptr;
    }
    Endpoint target = m_peer;
    target.setPort(*port);
    std::string why;
    int code = 0;
    const int fd =
        connectAny({target}, Deadline::in(m_options.timeouts.dataMs), m_idle, &why, &code);
    if (fd < 0) {
        note("cannot open the passive data connection: " + why,
             systemFailure(FailureKind::DataConnect, hostPort(target.host(), *port), code, why));
        return nullptr;
    }
    tuneDataSocket(fd);
    return std::make_unique<Channel>(fd);
}

bool FtpSession::openActive(int *listenFd)
{
    std::string why;
    int code = 0;
    const int fd = listenOn(m_local, &why, &code);
    if (fd < 0) {
        note("cannot listen for the data connection: " + why,
             systemFailure(FailureKind::DataListen, {}, code, why));
        return false;
    }
    const Endpoint listening = localEndpoint(fd);
    bool told = false;
    // RFC 2428 EPRT, then RFC 959 PORT for IPv4.
    if (!m_eprtRefused) {
        const bool v6 = m_local.family() == AF_INET6;
        const auto reply = exchange(formatEprt(v6, listening.host(), listening.port()));
        if (!reply) {
            ::close(fd);
            return false;
        }
        told = reply->code == 200;
        if (!told)
            m_eprtRefused = refused(reply);
    }
    const auto v4 = ipv4Of(listening);
    if (!told && v4 && listening.family() == AF_INET) {
        const auto reply = exchange(formatPort(*v4, listening.port()));
        if (!reply) {
            ::close(fd);
            return false;
        }
        told = reply->code == 200;
    }
    if (!told) {
        note("the server refused active mode: " + m_lastReply.text,
             failureOf(FailureKind::ActiveRefused, m_lastReply.text));
        ::close(fd);
        return false;
    }
    *listenFd = fd;
    return true;
}

std::unique_ptr<Channel> FtpSession::acceptActive(int listenFd)
{
    // Only the control connection's server may connect to us; anybody else
    // is turned away and we keep waiting until the data timeout. Meanwhile
    // the server may give up on its side (425) or, for a short transfer,
    // finish before we accepted (226): watch the control connection too.
    const Deadline deadline = Deadline::in(m_options.timeouts.dataMs);
    bool controlDone = m_earlyFinalCode != 0;
    for (;;) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {m_control->fd(), POLLIN, 0}};
        const int left = deadline.remainingMs();
        const int due = msUntilIdleDue();
        const int n = ::poll(fds, controlDone ? 1 : 2, left < due ? left : due);
        if (!idleIfDue(m_idle)) {
            note("waiting for the data connection", failureOf(FailureKind::Stopped));
            return nullptr;
        }
        if (n > 0 && (fds[0].revents & POLLIN)) {
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                if (peerEndpoint(fd).sameHost(m_peer)) {
                    tuneDataSocket(fd);
                    return std::make_unique<Channel>(fd);
                }
                ::close(fd);
            }
            continue;
        }
        if (n > 0 && !controlDone && fds[1].revents) {
            const auto reply = readReply(m_options.timeouts.replyMs);
            if (!reply)
                return nullptr;
            if (reply->code / 100 == 2) {
                m_earlyFinalCode = reply->code;
                controlDone = true;
                continue;
            }
            if (!reply->isPreliminary()) {
                m_earlyFinalCode = reply->code; // the transfer's verdict is in
                note("the server could not open the data connection: " + reply->text,
                     failureOf(FailureKind::DataNotOpened, reply->text));
                return nullptr;
            }
            continue;
        }
        if (deadline.expired()) {
            note("the server did not open the data connection within " +
                     seconds(m_options.timeouts.dataMs),
                 timeFailure(FailureKind::DataNotOpened, wholeSeconds(m_options.timeouts.dataMs)));
            return nullptr;
        }
    }
}

uint64_t FtpSession::openTransfer(const std::string &command, Direction direction,
                                  int64_t restOffset)
{
    abandonCurrentTransfer();
    if (!isSafeCommandLine(command)) {
        note("a command must be a single line",
             failureOf(FailureKind::LineBreak, {}, commandVerb(command)));
        return 0;
    }
    if (!binaryMode())
        return 0;

    std::unique_ptr<Channel> data;
    int listenFd = -1;
    if (!openDataConnection(&data, &listenFd))
        return 0;
    // A mode refused before the other worked is no failure of this transfer.
    clearFailure();

    if (!sendTransferCommand(command, restOffset)) {
        if (listenFd >= 0)
            ::close(listenFd);
        return 0;
    }
    if (listenFd >= 0) {
        data = acceptActive(listenFd);
        ::close(listenFd);
    }
    // The TLS handshake on the data connection comes after the 1yz reply:
    // servers start it only once they know what the connection is for.
    if (data && m_protectData)
        data = protectData(std::move(data));
    if (!data) {
        // Unless its verdict already came, the transfer still owes one.
        if (m_earlyFinalCode == 0 && isOpen())
            ++m_owedReplies;
        m_earlyFinalCode = 0;
        return 0;
    }
    m_data = std::move(data);
    m_direction = direction;
    m_transferVerb = commandVerb(command);
    if (direction == Direction::Upload)
        m_data->gatherWrites(kUploadGatherBytes);
    return ++m_transferId;
}

bool FtpSession::openDataConnection(std::unique_ptr<Channel> *data, int *listenFd)
{
    // Passive first unless told otherwise; whichever fails, try the other
    // (RFC 2428 section 4 lets a client use either).
    std::string refusals; // the server's word on each mode it refused
    int refusedModes = 0;
    for (int attempt = 0; attempt < 2 && !*data && *listenFd < 0 && isOpen(); ++attempt) {
        const bool passive = (attempt == 0) == m_options.passiveFirst;
        if (passive)
            *data = openPassive();
        else
            openActive(listenFd);
        if (m_failure.kind == FailureKind::PassiveRefused ||
            m_failure.kind == FailureKind::ActiveRefused) {
            refusals += (refusals.empty() ? "" : "\n") + m_failure.reply;
            ++refusedModes;
        }
    }
    if (*data || *listenFd >= 0)
        return true;
    if (refusedModes == 2)
        note("the server refused passive and active mode: " + refusals,
             failureOf(FailureKind::DataRefused, refusals));
    return false;
}

bool FtpSession::sendTransferCommand(const std::string &command, int64_t restOffset)
{
    if (restOffset > 0) {
        const auto rest = exchange("REST " + std::to_string(restOffset));
        if (!rest || rest->code != 350) {
            if (rest)
                note("the server refused to restart at an offset: " + rest->text,
                     failureOf(FailureKind::CommandRefused, rest->text, "REST"));
            return false;
        }
    }
    if (!drainOwedReplies() || !sendLine(command))
        return false;
    const auto reply = readReply(m_options.timeouts.replyMs);
    if (!reply || (!reply->isPreliminary() && reply->code / 100 != 2)) {
        if (reply)
            note("the server refused \"" + commandVerb(command) + "\": " + reply->text,
                 failureOf(FailureKind::CommandRefused, reply->text, commandVerb(command)));
        return false;
    }
    // Some servers finish a short transfer at once and skip 125/150.
    m_earlyFinalCode = reply->isPreliminary() ? 0 : reply->code;
    return true;
}

int FtpSession::readData(uint64_t id, char *buffer, int maxLen)
{
    if (id != m_transferId || !m_data || maxLen < 0)
        return -1;
    if (maxLen == 0)
        return 0;
    const ssize_t n = m_data->readSome(buffer, static_cast<std::size_t>(maxLen),
                                       Deadline::in(m_options.timeouts.dataMs), m_idle);
    if (n < 0) {
        noteDataFailure();
        return -1;
    }
    return static_cast<int>(n);
}

int FtpSession::writeData(uint64_t id, const char *buffer, int len)
{
    if (id != m_transferId || !m_data || len < 0)
        return -1;
    if (!m_data->writeAll(buffer, static_cast<std::size_t>(len), m_options.timeouts.dataMs,
                          m_idle)) {
        noteDataFailure();
        return -1;
    }
    return len;
}

char *FtpSession::reserveData(uint64_t id, int len)
{
    if (id != m_transferId || !m_data || len < 0)
        return nullptr;
    char *room = m_data->reserve(static_cast<std::size_t>(len), m_options.timeouts.dataMs, m_idle);
    if (!room)
        noteDataFailure();
    return room;
}

int FtpSession::commitData(uint64_t id, int len)
{
    if (id != m_transferId || !m_data || len < 0)
        return -1;
    if (!m_data->commit(static_cast<std::size_t>(len), m_options.timeouts.dataMs, m_idle)) {
        noteDataFailure();
        return -1;
    }
    return len;
}

void FtpSession::noteDataFailure()
{
    if (m_data->timedOut())
        note("the data connection stalled",
             timeFailure(FailureKind::DataLost, wholeSeconds(m_options.timeouts.dataMs)));
    else
        note("the data connection failed: " + m_data->error(),
             systemFailure(FailureKind::DataLost, {}, m_data->errorNumber(), m_data->error()));
}

int FtpSession::finishTransfer(uint64_t id)
{
    if (id != m_transferId || !m_data)
        return 0;
    // Closing our end tells the server the upload is complete (RFC 959
    // section 3.3: in stream mode end-of-file is the closing of the
    // connection); then the verdict comes on the control connection.
    // Bytes a TLS data connection held back must reach the server before
    // the end is signalled; if they cannot, the upload is incomplete whatever
    // the server then says.
    if (!m_data->flush(m_options.timeouts.dataMs, m_idle)) {
        note("the data connection failed: " + m_data->error(),
             systemFailure(FailureKind::DataLost, {}, m_data->errorNumber(), m_data->error()));
        abandonCurrentTransfer();
        return 0;
    }
    m_data->shutdownWrite();
    if (m_protectData && m_direction == Direction::Upload) {
        // Read the server's parting TLS messages until it closes: closing
        // with unread bytes would send a reset, which may cost the server
        // the end of the file still in its receive buffer.
        char sink[kControlReadBytes];
        const Deadline deadline = Deadline::in(m_options.timeouts.dataMs);
        while (m_data->readSome(sink, sizeof sink, deadline, m_idle) > 0) {
        }
        if (m_stopRequested) {
            note("waiting for the end of the data connection", failureOf(FailureKind::Stopped));
            return 0;
        }
    }
    m_data.reset();
    // Nothing has read the control connection since an early verdict came,
    // so the last reply is that verdict.
    int code = m_earlyFinalCode;
    m_earlyFinalCode = 0;
    if (code == 0) {
        const int timeoutMs = m_direction == Direction::Upload ? m_options.timeouts.finalReplyMs
                                                               : m_options.timeouts.replyMs;
        const std::optional<FtpReply> reply = finalReply(timeoutMs);
        if (!reply)
            return 0;
        code = reply->code;
    }
    if (code != 226 && code != 250)
        note("the server did not confirm the transfer: " + m_lastReply.text,
             failureOf(FailureKind::FinalReply, m_lastReply.text, m_transferVerb));
    return code;
}

int FtpSession::verdictAfterDataFailure(uint64_t id, int waitMs)
{
    if (id != m_transferId || !m_data)
        return 0;
    const Failure dataFailure = m_failure;
    const std::string dataError = m_error;
    m_data.reset();
    int code = m_earlyFinalCode;
    m_earlyFinalCode = 0;
    if (code == 0) {
        const std::optional<FtpReply> reply = finalReply(waitMs);
        if (!reply) {
            if (m_failure.kind != FailureKind::Stopped) {
                m_failure = dataFailure;
                m_error = dataError;
            }
            return 0;
        }
        code = reply->code;
    }
    if (code == 226 || code == 250) {
        m_failure = dataFailure;
        m_error = dataError;
    } else {
        note("the server ended the transfer: " + m_lastReply.text,
             failureOf(FailureKind::FinalReply, m_lastReply.text, m_transferVerb));
    }
    return code;
}

void FtpSession::dropTransfer(uint64_t id)
{
    if (id == m_transferId)
        abandonCurrentTransfer();
}

void FtpSession::quit()
{
    m_data.reset();
    if (isOpen()) {
        // One try, no wait: the server will see the connection close anyway.
        static const char line[] = "QUIT\r\n";
        m_control->sendNow(line, sizeof line - 1);
    }
    m_control.reset();
}

} // namespace ftp
