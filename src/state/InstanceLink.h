// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QLocalServer;
class QLocalSocket;
class QTimer;

/// The link between a running instance and a later start of the program.
///
/// A per-user local socket stands for the running main window. The later
/// start (the sender) runs the hand-off check: it passes each existing file
/// of its command line to the running instance, one message per file in
/// order, and waits for each to be acknowledged; the acknowledgement comes
/// only after the receiver's handler has finished. A start without such
/// files sends one message without a path, which only brings the running
/// window forward. Either way the sender then ends: two windows on the same
/// data files would continue the same remote file twice. The running
/// instance (the receiver) answers on its GUI thread whenever the event loop
/// runs: idle, inside a modal dialog, or while an upload run processes events.
///
/// The check and the taking of the receiver role happen under a lock file,
/// so of two programs started at the same moment exactly one becomes the
/// receiver and the other hands its files to it.
///
/// Wire format, sender to receiver, one message per file: the four bytes
/// "TRL1", the path's length in bytes (32-bit, big endian), then the path in
/// UTF-8; length 0 is the message without a path (an older receiver refuses
/// it, which the sender takes as an answer all the same). Receiver to
/// sender, one byte each: 'W' (still working on it, sent while the handler
/// runs so a long warning box does not look frozen), 'D' (handled), 'N'
/// (refused; the connection is then closed).
class InstanceLink : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<void(const QString &path)>;

    /// What the hand-off check came to.
    enum class Outcome
    {
        StartHere,  // no instance answered: this process opens its windows
        HandedOver, // a running instance took every file, or came forward
        NotTaken,   // one answered but did not take every file, and still runs
    };

    /// How a buffer of received bytes starts.
    enum class Decoded
    {
        NeedMore,  // a message has begun but is not complete yet
        Message,   // one whole, valid message: path and consumed are set
        Malformed, // not a message of ours, or one that is refused
    };

    /// The largest path accepted in a message, in bytes of UTF-8.
    static constexpr qsizetype MaxPathBytes = 1024 * 1024;

    /// A link on socketPath; an empty path disables it (every check then
    /// starts this process normally, and nothing listens).
    explicit InstanceLink(const QString &socketPath, QObject *parent = nullptr);
    ~InstanceLink() override;

    /// The socket path of this user for a main window of that class and
    /// caption: "<class>-<caption>-<uid>.socket" (characters other than
    /// letters, digits, '.', '_' and '-' become '_') in $XDG_RUNTIME_DIR when
    /// it is a private folder of this user, else in /tmp/trelvan-<uid>/,
    /// created private. Empty when no private folder can be had. The
    /// environment variable TRELVAN_INSTANCE_SOCKET, when set, replaces the
    /// whole path (tests use it to stay apart from a real instance).
    static QString socketPathFor(const QString &windowClass, const QString &caption);

    /// The hand-off check, run before any window exists. arguments is the
    /// command line without the program name. When no instance answers, this
    /// process starts (StartHere) and takes the receiver role (a stale socket
    /// left by a crashed instance is removed first). When one answers, each
    /// argument that names an existing regular file is sent to it, in order,
    /// and counts as handed over only once acknowledged; with no such file
    /// the message without a path goes instead. HandedOver: this process
    /// ends. No answer or a file not taken: when the instance has gone
    /// meanwhile, this process takes its place (StartHere, keptArguments()
    /// for its own list); when it still runs (frozen, failing, or older),
    /// this process ends all the same, NotTaken when files were left.
    Outcome handOff(const QStringList &arguments);

    /// The arguments this process keeps after handOff(): all of them, minus
    /// those handed over, in their order.
    QStringList keptArguments() const { return m_kept; }

    /// Whether this process holds the receiver role. One that started while
    /// another instance held it takes the role over when that one ends.
    bool isListening() const;

    /// The receiver's handler, called on this object's thread for each file
    /// handed over, and with an empty path for a start that had none.
    /// Messages that arrived before it was set are handled once the event
    /// loop runs.
    void setHandler(Handler handler);

    QString socketPath() const { return m_socketPath; }

    /// Reads the first message of buffer. On Message, *path is the path
    /// (empty for the message without one) and *consumed the message's
    /// length in bytes. Pure: no state, any input.
    static Decoded decodeMessage(const QByteArray &buffer, qsizetype *consumed, QString *path);
    /// The message that carries path.
    static QByteArray encodeMessage(const QString &path);

    /// Whether the process at the other end of a connected local socket runs
    /// as this process's user.
    static bool isSameUser(qintptr socketDescriptor);

    // Test hooks: how long a sender waits for a reply (default 10 s), and how
    // often the receiver says it is still working (default 1 s).
    void setReplyTimeoutMs(int ms) { m_replyTimeoutMs = ms; }
    void setHeartbeatIntervalMs(int ms);

private:
    enum class Probe
    {
        NoServer,
        Live,
        Unusable
    };
    struct Peer
    {
        QByteArray buffer;
        bool busy = false;   // the handler runs for this peer's message
        bool closed = false; // the peer went away meanwhile
    };

    Probe probe(QLocalSocket **live, int timeoutMs);
    bool sendAndWait(QLocalSocket &socket, const QString &path);
    void claimUnderLock();
    void acceptConnections();
    void serve(QLocalSocket *socket);
    void dropPeer(QLocalSocket *socket);
    void heartbeat();
    void startRetaking();
    void retakeRole();

    QString m_socketPath;
    QStringList m_kept;
    QLocalServer *m_server = nullptr;
    QHash<QLocalSocket *, Peer> m_peers;
    Handler m_handler;
    QTimer *m_heartbeat;
    QTimer *m_retake;
    int m_busyCount = 0;
    int m_replyTimeoutMs = 10000;
};
