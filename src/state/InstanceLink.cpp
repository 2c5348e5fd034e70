// SPDX-License-Identifier: GPL-3.0-or-later
#include "state/InstanceLink.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>
#include <QStringDecoder>
#include <QTimer>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <memory>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr char Magic[4] = {'T', 'R', 'L', '1'};
constexpr qsizetype HeaderBytes = 8;
constexpr char ReplyWorking = 'W';
constexpr char ReplyDone = 'D';
constexpr char ReplyRefused = 'N';

// Connecting to a live server is immediate (the kernel queues the
// connection); only a full backlog of a frozen server makes it wait.
constexpr int ConnectTimeoutMs = 2000;
// Longer than a probe can take, so a waiting start does not give up on the
// lock while another start merely checks.
constexpr int LockWaitMs = 5000;
// How often an instance without the receiver role looks whether the one
// that holds it has ended.
constexpr int RetakeIntervalMs = 2000;
constexpr int RetakeConnectTimeoutMs = 50;

bool isPrivateDir(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

bool fitsSocketAddress(const QString &path)
{
    return size_t(QFile::encodeName(path).size()) < sizeof(sockaddr_un::sun_path);
}

QString sanitized(const QString &text)
{
    QString out = text;
    for (QChar &c : out) {
        const char16_t u = c.unicode();
        const bool plain = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                           (u >= '0' && u <= '9') || u == '.' || u == '_' || u == '-';
        if (!plain)
            c = QLatin1Char('_');
    }
    return out;
}

} // namespace

InstanceLink::InstanceLink(const QString &socketPath, QObject *parent)
    : QObject(parent), m_socketPath(socketPath), m_heartbeat(new QTimer(this)),
      m_retake(new QTimer(this))
{
    m_heartbeat->setInterval(1000);
    connect(m_heartbeat, &QTimer::timeout, this, &InstanceLink::heartbeat);
    m_retake->setInterval(RetakeIntervalMs);
    connect(m_retake, &QTimer::timeout, this, &InstanceLink::retakeRole);
}

InstanceLink::~InstanceLink()
{
    // Senders still waiting learn at once that their files were not taken.
    for (auto it = m_peers.cbegin(); it != m_peers.cend(); ++it)
        it.key()->abort();
    // Closing removes the socket file after the socket: without the lock, a
    // start that took the role in between would lose its file and the next
    // start would find nobody.
    if (m_server) {
        QLockFile lock(m_socketPath + QStringLiteral(".lock"));
        const bool locked = lock.tryLock(LockWaitMs);
        m_server->close();
        if (locked)
            lock.unlock();
    }
}

QString InstanceLink::socketPathFor(const QString &windowClass, const QString &caption)
{
    const QString forced = qEnvironmentVariable("TRELVAN_INSTANCE_SOCKET");
    if (!forced.isEmpty())
        return forced;

    const QString uid = QString::number(::geteuid());
    const QString name = sanitized(windowClass) + QLatin1Char('-') + sanitized(caption) +
                         QLatin1Char('-') + uid + QStringLiteral(".socket");

    // The runtime folder is private to the user by its definition; check it
    // anyway, since a socket in a folder others can write is theirs to replace.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime) && isPrivateDir(runtime)) {
        const QString path = QDir(runtime).filePath(name);
        if (fitsSocketAddress(path))
            return path;
    }

    // /tmp is shared: a folder of our own, refused when someone else made it.
    const QString own = QStringLiteral("/tmp/trelvan-") + uid;
    ::mkdir(QFile::encodeName(own).constData(), 0700);
    if (!isPrivateDir(own))
        return QString();
    const QString path = own + QLatin1Char('/') + name;
    return fitsSocketAddress(path) ? path : QString();
}

InstanceLink::Outcome InstanceLink::handOff(const QStringList &arguments)
{
    m_kept = arguments;
    if (m_socketPath.isEmpty())
        return Outcome::StartHere;

    QList<qsizetype> files;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (QFileInfo(arguments.at(i)).isFile())
            files.append(i);
    }

    // The check and the taking of the receiver role are one step under the
    // lock: whoever finds no server listens before the next start looks.
    QLockFile lock(m_socketPath + QStringLiteral(".lock"));
    const bool locked = lock.tryLock(LockWaitMs);
    QLocalSocket *live = nullptr;
    const Probe found = probe(&live, ConnectTimeoutMs);
    if (found == Probe::NoServer && locked)
        claimUnderLock();
    if (locked)
        lock.unlock();
    if (found != Probe::Live) {
        startRetaking();
        return Outcome::StartHere;
    }

    std::unique_ptr<QLocalSocket> receiver(live);
    QList<qsizetype> handed;
    bool answered = true;
    if (files.isEmpty()) {
        // Nothing to hand over: the running window only comes forward.
        answered = sendAndWait(*receiver, QString());
    }
    for (qsizetype i : files) {
        // The receiver runs in another folder: a relative name means ours.
        const QString &argument = arguments.at(i);
        const QString path =
            QDir::isRelativePath(argument) ? QDir::current().absoluteFilePath(argument) : argument;
        if (!sendAndWait(*receiver, path)) {
            answered = false;
            break;
        }
        handed.append(i);
    }
    receiver.reset();

    for (qsizetype n = handed.size() - 1; n >= 0; --n)
        m_kept.removeAt(handed.at(n));
    if (answered)
        return Outcome::HandedOver;

    // No answer, or a file not taken. When the instance spoken to has gone,
    // this process takes its place; while it still runs (an older one
    // refuses the message without a path), it owns the data files.
    if (lock.tryLock(LockWaitMs)) {
        if (probe(&live, ConnectTimeoutMs) == Probe::NoServer)
            claimUnderLock();
        delete live;
        lock.unlock();
    }
    if (isListening())
        return Outcome::StartHere;
    return files.isEmpty() ? Outcome::HandedOver : Outcome::NotTaken;
}

InstanceLink::Probe InstanceLink::probe(QLocalSocket **live, int timeoutMs)
{
    *live = nullptr;
    auto socket = std::make_unique<QLocalSocket>();
    socket->connectToServer(m_socketPath);
    if (!socket->waitForConnected(timeoutMs)) {
        const auto error = socket->error();
        if (error == QLocalSocket::ServerNotFoundError ||
            error == QLocalSocket::ConnectionRefusedError)
            return Probe::NoServer;
        return Probe::Unusable;
    }
    // A server of another user gets no paths, and its socket is not ours to
    // remove.
    if (!isSameUser(socket->socketDescriptor()))
        return Probe::Unusable;
    *live = socket.release();
    return Probe::Live;
}

bool InstanceLink::sendAndWait(QLocalSocket &socket, const QString &path)
{
    const QByteArray message = encodeMessage(path);
    if (message.size() - HeaderBytes > MaxPathBytes)
        return false;
    if (socket.write(message) != message.size())
        return false;

    QDeadlineTimer deadline(m_replyTimeoutMs);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(int(deadline.remainingTime())))
            return false;
    }
    for (;;) {
        char reply = 0;
        while (socket.bytesAvailable() == 0) {
            if (socket.state() != QLocalSocket::ConnectedState ||
                !socket.waitForReadyRead(int(deadline.remainingTime())))
                return false;
        }
        socket.getChar(&reply);
        if (reply == ReplyDone)
            return true;
        if (reply != ReplyWorking)
            return false;
        // The receiver is alive and busy in its handler (a warning box, a
        // nested event loop): it gets a fresh timeout.
        deadline.setRemainingTime(m_replyTimeoutMs);
    }
}

void InstanceLink::claimUnderLock()
{
    // Here nobody answers on the socket, and no other start can listen while
    // we hold the lock: what is left there was abandoned by a crashed
    // instance. Only a socket is removed, never a file someone put there.
    const QByteArray encoded = QFile::encodeName(m_socketPath);
    struct stat st;
    if (::lstat(encoded.constData(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid())
            return;
        if (::unlink(encoded.constData()) != 0 && errno != ENOENT)
            return;
    }

    auto server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(m_socketPath)) {
        delete server;
        return;
    }
    m_server = server;
    connect(m_server, &QLocalServer::newConnection, this, &InstanceLink::acceptConnections);
}

void InstanceLink::startRetaking()
{
    if (!isListening() && !m_socketPath.isEmpty())
        m_retake->start();
}

void InstanceLink::retakeRole()
{
    // The window stands for the running instance as long as it is open: when
    // the receiver ends, a remaining window takes its place, as a window
    // lookup would find it. Never waits for the lock on the GUI thread.
    QLockFile lock(m_socketPath + QStringLiteral(".lock"));
    if (!lock.tryLock(0))
        return;
    QLocalSocket *live = nullptr;
    if (probe(&live, RetakeConnectTimeoutMs) == Probe::NoServer)
        claimUnderLock();
    delete live;
    if (isListening())
        m_retake->stop();
}

bool InstanceLink::isListening() const
{
    return m_server && m_server->isListening();
}

void InstanceLink::setHandler(Handler handler)
{
    m_handler = std::move(handler);
    // Senders that came while the window was still being made are waiting.
    QTimer::singleShot(0, this, [this] {
        const QList<QLocalSocket *> sockets = m_peers.keys();
        for (QLocalSocket *socket : sockets) {
            if (m_peers.contains(socket))
                serve(socket);
        }
    });
}

void InstanceLink::setHeartbeatIntervalMs(int ms)
{
    m_heartbeat->setInterval(ms);
}

void InstanceLink::acceptConnections()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        if (!isSameUser(socket->socketDescriptor())) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        m_peers.insert(socket, Peer());
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { serve(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { dropPeer(socket); });
        serve(socket);
    }
}

void InstanceLink::serve(QLocalSocket *socket)
{
    // One message of a sender at a time: the next is read after the reply.
    if (!m_handler || !m_peers.contains(socket) || m_peers[socket].busy)
        return;
    QPointer<QLocalSocket> guard(socket);
    for (;;) {
        Peer &peer = m_peers[socket];
        peer.buffer += socket->readAll();
        qsizetype consumed = 0;
        QString path;
        const Decoded decoded = decodeMessage(peer.buffer, &consumed, &path);
        if (decoded == Decoded::NeedMore)
            return;
        if (decoded == Decoded::Malformed) {
            socket->write(&ReplyRefused, 1);
            socket->flush();
            socket->disconnectFromServer();
            dropPeer(socket);
            return;
        }
        peer.buffer.remove(0, consumed);
        peer.busy = true;
        if (m_busyCount++ == 0)
            m_heartbeat->start();

        // The handler may show a box or run a nested loop; other peers are
        // served meanwhile, so nothing of this peer is held across it.
        m_handler(path);

        if (--m_busyCount == 0)
            m_heartbeat->stop();
        if (!guard || !m_peers.contains(socket))
            return;
        m_peers[socket].busy = false;
        socket->write(&ReplyDone, 1);
        socket->flush();
        if (m_peers[socket].closed) {
            dropPeer(socket);
            return;
        }
    }
}

void InstanceLink::dropPeer(QLocalSocket *socket)
{
    auto it = m_peers.find(socket);
    if (it == m_peers.end())
        return;
    if (it->busy) {
        // serve() is still inside the handler for it and finishes the job.
        it->closed = true;
        return;
    }
    m_peers.erase(it);
    socket->disconnect(this);
    socket->deleteLater();
}

void InstanceLink::heartbeat()
{
    for (auto it = m_peers.cbegin(); it != m_peers.cend(); ++it) {
        if (it->busy && !it->closed) {
            it.key()->write(&ReplyWorking, 1);
            it.key()->flush();
        }
    }
}

InstanceLink::Decoded InstanceLink::decodeMessage(const QByteArray &buffer, qsizetype *consumed,
                                                  QString *path)
{
    // The magic is checked as far as it has arrived, so a stranger that
    // writes something else is turned away without waiting for more.
    const qsizetype magicSeen = qMin(buffer.size(), qsizetype(sizeof(Magic)));
    if (std::memcmp(buffer.constData(), Magic, size_t(magicSeen)) != 0)
        return Decoded::Malformed;
    if (buffer.size() < HeaderBytes)
        return Decoded::NeedMore;

    // Length 0: the message without a path.
    const quint32 length = qFromBigEndian<quint32>(buffer.constData() + sizeof(Magic));
    if (length > quint64(MaxPathBytes))
        return Decoded::Malformed;
    if (buffer.size() - HeaderBytes < qsizetype(length))
        return Decoded::NeedMore;

    const QByteArrayView bytes(buffer.constData() + HeaderBytes, qsizetype(length));
    if (bytes.contains('\0') || !bytes.isValidUtf8())
        return Decoded::Malformed;

    // fromUtf8() would drop a leading byte-order mark: the path must arrive
    // exactly as it was sent.
    QStringDecoder toUtf16(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    *path = toUtf16(bytes);
    *consumed = HeaderBytes + qsizetype(length);
    return Decoded::Message;
}

QByteArray InstanceLink::encodeMessage(const QString &path)
{
    const QByteArray bytes = path.toUtf8();
    QByteArray message(HeaderBytes, Qt::Uninitialized);
    std::memcpy(message.data(), Magic, sizeof(Magic));
    qToBigEndian<quint32>(quint32(bytes.size()), message.data() + sizeof(Magic));
    return message + bytes;
}

bool InstanceLink::isSameUser(qintptr socketDescriptor)
{
    struct ucred cred;
    socklen_t length = sizeof(cred);
    if (::getsockopt(int(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0)
        return false;
    return cred.uid == ::geteuid();
}
