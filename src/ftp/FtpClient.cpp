// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftp/FtpClient.h"

#include "ftp/FtpParse.h"
#include "ftp/FtpSession.h"
#include "ftp/Socket.h"
#include "ftp/TlsContext.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace ftp {

struct FtpConnection::Impl
{
    std::shared_ptr<FtpSession> session;
    bool hashChosen = false;
    std::optional<HashMethod> hash;
    // The ways remoteSize() asks for a size, in order, and which of them this
    // server has shown it cannot answer: those are not asked again.
    bool sizeOff = false;
    bool mlstOff = false;
    bool listOff = false;
    SizeSource sizeSource = SizeSource::None;

    /// What one way of asking made of the server's answer.
    struct SizeStep
    {
        std::optional<int64_t> size;
        bool absent = false;  ///< the server said the file is not there
        bool tryNext = false; ///< no answer for this file here; the next way may have one
    };
    static SizeStep found(std::optional<int64_t> size) { return {size, false, false}; }
    static SizeStep notThere() { return {std::nullopt, true, false}; }
    static SizeStep nextWay() { return {std::nullopt, false, true}; }
    SizeStep sizeBySize(const std::string &remotePath);
    SizeStep sizeByMlst(const std::string &remotePath);
    SizeStep sizeByList(const std::string &remotePath);
    /// A refusal of `*off`'s way: 550 is the file's absence; 500, 502 and 504
    /// say the command is unknown, for every path, so the way is given up;
    /// another 5xx passes this query on to the next way.
    static SizeStep refusedStep(int code, bool *off);
};

namespace {

// Largest listing read for one file's size, as the folder browser's bound:
// a server that never ends its listing must not keep the run reading.
constexpr std::size_t kMaxSizeListingBytes = std::size_t{256} * 1024 * 1024;
// Longest listing line looked at; a longer one names no file of ours.
constexpr std::size_t kMaxSizeListingLineBytes = 64 * 1024;

} // namespace

struct FtpTransfer::Impl
{
    std::weak_ptr<FtpSession> session; // weak: the connection may go first
    uint64_t id = 0;
    bool done = false;
    bool result = false;
    int finalCode = 0;
};

FtpService::FtpService(Options options) : m_options(std::move(options)) {}

std::unique_ptr<FtpService> FtpService::open(Options options)
{
    return std::unique_ptr<FtpService>(new FtpService(std::move(options)));
}

bool FtpService::certificateRefused() const
{
    return m_tls && m_tls->anyRefused();
}

std::unique_ptr<FtpConnection>
FtpConnection::connect(FtpService &service, const std::string &server, const std::string &user,
                       const std::string &password, std::string *error, Failure *failure)
{
    // The service's TLS context is made on first use and shared by its
    // connections; a changed CA file makes a new one.
    auto tlsSource = [&service](const IdleHook &idle,
                                std::string *why) -> std::shared_ptr<TlsContext> {
        if (!service.m_tls || service.m_tls->caFile() != service.m_options.caFile)
            service.m_tls = TlsContext::create(service.m_options.caFile, idle, why);
        return service.m_tls;
    };
    auto session = std::make_shared<FtpSession>(service.options(), tlsSource);
    if (!session->open(server, user, password)) {
        if (session->failure().kind == FailureKind::TlsWithdrawn)
            service.m_clearLoginRefused = true;
        if (error)
            *error = session->error();
        if (failure)
            *failure = session->failure();
        return nullptr;
    }
    if (error)
        error->clear();
    if (failure)
        *failure = Failure{};
    auto impl = std::make_unique<Impl>();
    // A server that answered FEAT without SIZE does not know it (RFC 3659
    // section 4.1 has it listed); one that did not answer FEAT may still.
    const std::vector<std::string> &features = session->features();
    impl->sizeOff = !features.empty() && !featureListed(features, "SIZE");
    impl->mlstOff = !mlstOffersSize(features);
    impl->session = std::move(session);
    return std::unique_ptr<FtpConnection>(new FtpConnection(std::move(impl)));
}

FtpConnection::FtpConnection(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

FtpConnection::~FtpConnection()
{
    if (m_impl && m_impl->session)
        m_impl->session->quit();
}

bool FtpConnection::putFile(const std::string &localPath, const std::string &remotePath)
{
    m_impl->session->clearFailure();
    const int fd = ::open(localPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        m_impl->session->note("cannot open " + localPath + ": " + errnoText(err),
                              systemFailure(FailureKind::LocalFile, {}, err, localPath));
        return false;
    }
    bool ok = false;
    if (auto transfer = openTransfer("STOR " + remotePath, Direction::Upload)) {
        char block[kTransferBlockBytes];
        ok = true;
        for (;;) {
            const ssize_t n = ::read(fd, block, sizeof block);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                const int err = errno;
                m_impl->session->note("cannot read " + localPath + ": " + errnoText(err),
                                      systemFailure(FailureKind::LocalFile, {}, err, localPath));
                ok = false;
                break;
            }
            if (n == 0)
                break;
            if (transfer->write(block, static_cast<int>(n)) != n) {
                ok = false;
                break;
            }
        }
        if (ok)
            ok = transfer->finish();
        else
            transfer->close();
    }
    ::close(fd);
    return ok;
}

std::optional<int64_t> FtpConnection::remoteSize(const std::string &remotePath)
{
    FtpSession &s = *m_impl->session;
    s.clearFailure();
    m_impl->sizeSource = SizeSource::None;
    if (!isSafeCommandLine("SIZE " + remotePath))
        return std::nullopt;
    const struct
    {
        SizeSource source;
        bool off;
        Impl::SizeStep (Impl::*ask)(const std::string &);
    } ways[] = {{SizeSource::Size, m_impl->sizeOff, &Impl::sizeBySize},
                {SizeSource::Mlst, m_impl->mlstOff, &Impl::sizeByMlst},
                {SizeSource::List, m_impl->listOff, &Impl::sizeByList}};
    for (const auto &way : ways) {
        if (way.off)
            continue;
        const Impl::SizeStep step = (m_impl.get()->*way.ask)(remotePath);
        if (step.size || step.absent) {
            m_impl->sizeSource = way.source;
            return step.size;
        }
        if (!step.tryNext || !s.isOpen())
            return std::nullopt;
    }
    return std::nullopt;
}

void FtpConnection::askAhead(const std::vector<std::string> &remotePaths, bool passive)
{
    FtpSession &s = *m_impl->session;
    if (m_impl->sizeOff || !s.isOpen())
        return;
    std::vector<std::string> commands;
    if (!s.binaryKnown())
        commands.emplace_back("TYPE I");
    for (const std::string &path : remotePaths)
        commands.push_back("SIZE " + path);
    if (passive && !s.passiveCommand().empty())
        commands.push_back(s.passiveCommand());
    s.sendAhead(commands);
}

bool FtpConnection::aheadStalled() const
{
    return m_impl->session->aheadStalled();
}

SizeSource FtpConnection::lastSizeSource() const
{
    return m_impl->sizeSource;
}

FtpConnection::Impl::SizeStep FtpConnection::Impl::refusedStep(int code, bool *off)
{
    if (code == 550)
        return notThere();
    if (code < 500)
        return {};
    if (code == 500 || code == 502 || code == 504)
        *off = true;
    return nextWay();
}

FtpConnection::Impl::SizeStep FtpConnection::Impl::sizeBySize(const std::string &remotePath)
{
    // Some servers refuse SIZE in ASCII mode (RFC 3659 section 4: the size
    // depends on the type), so ask in binary.
    if (!session->binaryMode())
        return {};
    const auto reply = session->exchange("SIZE " + remotePath);
    if (!reply)
        return {};
    if (reply->code == 213)
        return found(parseSizeReply(*reply));
    return refusedStep(reply->code, &sizeOff);
}

FtpConnection::Impl::SizeStep FtpConnection::Impl::sizeByMlst(const std::string &remotePath)
{
    const auto reply = session->exchange("MLST " + remotePath);
    if (!reply)
        return {};
    if (reply->code == 250) {
        if (const auto size = parseMlstSize(*reply))
            return found(size);
        // The size fact is not among those the server sends.
        mlstOff = true;
        return nextWay();
    }
    return refusedStep(reply->code, &mlstOff);
}

FtpConnection::Impl::SizeStep FtpConnection::Impl::sizeByList(const std::string &remotePath)
{
    // The folder is listed and the name matched exactly: "LIST <file>" would
    // have the server take blanks apart or read the name as a pattern.
    const std::size_t slash = remotePath.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string()
                               : slash == 0               ? std::string("/")
                                                          : remotePath.substr(0, slash);
    const std::string name = slash == std::string::npos ? remotePath : remotePath.substr(slash + 1);
    if (name.empty())
        return {};
    const uint64_t id =
        session->openTransfer(folder.empty() ? "LIST" : "LIST " + folder, Direction::Download, 0);
    if (id == 0) {
        // Refused by the server: the folder, or so the file, is not there
        // (450 and 550 "No files found" included), or LIST is unknown. A data
        // connection that could not be made is no answer at all.
        const Failure &failure = session->failure();
        const int code = session->lastReply().code;
        if (failure.kind == FailureKind::CommandRefused && code != 425 && code != 426) {
            if (code == 450 || code == 550)
                return notThere();
            if (code == 500 || code == 502 || code == 504)
                listOff = true;
            return {};
        }
        session->quit();
        return {};
    }
    std::optional<int64_t> size;
    std::string line;
    std::size_t received = 0;
    bool overlong = false;
    // A whole line: the file's own entry gives its size.
    auto takeLine = [&] {
        if (!overlong && !line.empty() && !size) {
            if (const auto file = parseListedFile(line); file && file->name == name)
                size = file->size;
        }
        line.clear();
        overlong = false;
    };
    char block[kTransferBlockBytes];
    for (;;) {
        const int n = session->readData(id, block, sizeof block);
        if (n < 0 || received > kMaxSizeListingBytes - static_cast<std::size_t>(n)) {
            session->dropTransfer(id);
            session->quit();
            return {};
        }
        if (n == 0)
            break;
        received += static_cast<std::size_t>(n);
        for (int i = 0; i < n; ++i) {
            const char c = block[i];
            if (c != '\r' && c != '\n') {
                if (line.size() < kMaxSizeListingLineBytes)
                    line += c;
                else
                    overlong = true;
                continue;
            }
            takeLine();
        }
    }
    takeLine();
    const int code = session->finishTransfer(id);
    if (code != 226 && code != 250) {
        // The listing may have been cut short: the file may be there.
        session->quit();
        return {};
    }
    return size ? found(size) : notThere();
}

bool FtpConnection::command(const std::string &command)
{
    FtpSession &s = *m_impl->session;
    s.clearFailure();
    const auto reply = s.exchange(command);
    if (reply && !reply->isPositive())
        s.note("the server refused \"" + commandVerb(command) + "\": " + reply->text,
               failureOf(FailureKind::CommandRefused, reply->text, commandVerb(command)));
    return reply && reply->isPositive();
}

std::unique_ptr<FtpTransfer> FtpConnection::openTransfer(const std::string &command,
                                                         Direction direction, int64_t restOffset)
{
    m_impl->session->clearFailure();
    const uint64_t id = m_impl->session->openTransfer(command, direction, restOffset);
    if (id == 0)
        return nullptr;
    auto impl = std::make_unique<FtpTransfer::Impl>();
    impl->session = m_impl->session;
    impl->id = id;
    return std::unique_ptr<FtpTransfer>(new FtpTransfer(std::move(impl)));
}

std::optional<HashAlgorithm> FtpConnection::hashAlgorithm()
{
    FtpSession &s = *m_impl->session;
    if (!m_impl->hashChosen) {
        s.clearFailure();
        for (const HashMethod &method : hashMethods(s.features())) {
            if (method.select) {
                const auto reply =
                    s.exchange(std::string("OPTS HASH ") + hashAlgorithmName(method.algorithm));
                if (!reply)
                    return std::nullopt; // asked again on the next call, if ever
                if (!reply->isPositive())
                    continue;
            }
            m_impl->hash = method;
            break;
        }
        m_impl->hashChosen = true;
    }
    if (!m_impl->hash)
        return std::nullopt;
    return m_impl->hash->algorithm;
}

std::optional<std::string> FtpConnection::remoteHash(const std::string &remotePath, int64_t size)
{
    FtpSession &s = *m_impl->session;
    s.clearFailure();
    if (!m_impl->hash)
        return std::nullopt;
    const HashMethod &method = *m_impl->hash;
    // A path the command cannot carry is no fault of the server's: nothing
    // to report.
    const std::optional<std::string> command = hashCommand(method, remotePath);
    if (!command) {
        s.note("a path with a blank and a quote cannot go into " + method.verb, Failure{});
        return std::nullopt;
    }
    // proftpd answers only once it has read the whole file.
    constexpr int64_t kBytesPerSecond = 16 * 1024 * 1024;
    const int64_t allowMs =
        std::min<int64_t>(s.options().timeouts.finalReplyMs + size / kBytesPerSecond * 1000,
                          std::numeric_limits<int>::max());
    const auto reply = s.exchange(*command, static_cast<int>(allowMs));
    if (!reply)
        return std::nullopt;
    if (!reply->isPositive()) {
        s.note("the server refused \"" + method.verb + "\": " + reply->text,
               failureOf(FailureKind::CommandRefused, reply->text, method.verb));
        return std::nullopt;
    }
    std::optional<std::string> hex;
    if (method.verb == "HASH") {
        // The draft counts the range's end inclusively, proftpd exclusively.
        const auto hash = parseHashReply(*reply);
        if (hash && hash->algorithm == hashAlgorithmName(method.algorithm) && hash->start == 0 &&
            (hash->end == size || hash->end + 1 == size) &&
            hash->hex.size() == hashHexDigits(method.algorithm))
            hex = hash->hex;
    } else {
        hex = parseXHashReply(*reply, hashHexDigits(method.algorithm));
    }
    if (!hex)
        s.note("the server's digest is not one of the whole file: " + reply->text,
               detailFailure(FailureKind::BadReply, reply->text));
    return hex;
}

bool FtpConnection::hasFeature(const std::string &feature) const
{
    return m_impl->session->hasFeature(feature);
}

int FtpConnection::lastReplyCode() const
{
    return m_impl->session->lastReply().code;
}

const std::string &FtpConnection::lastReplyText() const
{
    return m_impl->session->lastReply().text;
}

bool FtpConnection::isOpen() const
{
    return m_impl->session->isOpen();
}

Security FtpConnection::security() const
{
    return m_impl->session->security();
}

const std::string &FtpConnection::lastError() const
{
    return m_impl->session->error();
}

const Failure &FtpConnection::lastFailure() const
{
    return m_impl->session->failure();
}

FtpTransfer::FtpTransfer(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

std::shared_ptr<FtpSession> FtpTransfer::begin()
{
    auto session = m_impl->session.lock();
    if (session)
        session->clearFailure();
    return session;
}

FtpTransfer::~FtpTransfer()
{
    close();
}

int FtpTransfer::read(char *buffer, int maxLen)
{
    if (m_impl->done)
        return -1;
    const auto session = begin();
    return session ? session->readData(m_impl->id, buffer, maxLen) : -1;
}

int FtpTransfer::write(const char *buffer, int len)
{
    if (m_impl->done)
        return -1;
    const auto session = begin();
    return session ? session->writeData(m_impl->id, buffer, len) : -1;
}

char *FtpTransfer::reserve(int len)
{
    if (m_impl->done)
        return nullptr;
    const auto session = begin();
    return session ? session->reserveData(m_impl->id, len) : nullptr;
}

int FtpTransfer::commit(int len)
{
    if (m_impl->done)
        return -1;
    const auto session = begin();
    return session ? session->commitData(m_impl->id, len) : -1;
}

bool FtpTransfer::finish()
{
    if (m_impl->done)
        return m_impl->result;
    m_impl->done = true;
    if (const auto session = begin())
        m_impl->finalCode = session->finishTransfer(m_impl->id);
    m_impl->result = m_impl->finalCode == 226 || m_impl->finalCode == 250;
    return m_impl->result;
}

int FtpTransfer::verdictAfterFailure(int waitMs)
{
    if (m_impl->done)
        return m_impl->finalCode;
    m_impl->done = true;
    m_impl->result = false;
    // The session's failure is the data connection's: not forgotten here.
    if (const auto session = m_impl->session.lock())
        m_impl->finalCode = session->verdictAfterDataFailure(m_impl->id, waitMs);
    return m_impl->finalCode;
}

void FtpTransfer::close()
{
    if (!m_impl || m_impl->done)
        return;
    m_impl->done = true;
    m_impl->result = false;
    if (const auto session = m_impl->session.lock())
        session->dropTransfer(m_impl->id);
}

int FtpTransfer::finalReplyCode() const
{
    return m_impl->finalCode;
}

} // namespace ftp
