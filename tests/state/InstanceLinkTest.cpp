// SPDX-License-Identifier: GPL-3.0-or-later
// The hand-off between a running instance and a later start, over a real
// local socket. The receiver runs in the test's event loop; senders run on a
// thread of their own, or as child processes of this same program started
// with --starter (for starts that race each other).

#include "state/InstanceLink.h"
#include "support/ScopedEnv.h"
#include "support/TestFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QString makeFile(const QString &path)
{
    QDir().mkpath(QFileInfo(path).path());
    writeFile(path, "content");
    return path;
}

/// Leaves a socket file that nobody listens on, as a crashed instance does.
void makeStaleSocket(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    ASSERT_LT(size_t(encoded.size()), sizeof(addr.sun_path));
    std::memcpy(addr.sun_path, encoded.constData(), size_t(encoded.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    ::close(fd);
}

/// Runs work on a thread of its own while this thread's event loop goes on.
void runOnThread(std::function<void()> work)
{
    std::unique_ptr<QThread> thread(QThread::create(std::move(work)));
    thread->start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return thread->isFinished(); }, 60000));
    thread->wait();
}

using Outcome = InstanceLink::Outcome;

/// What a sender's check reported.
struct SenderResult
{
    Outcome outcome = Outcome::StartHere;
    QStringList kept;
    bool listening = false;
};

SenderResult handOffFromThread(const QString &socketPath, const QStringList &arguments,
                               int replyTimeoutMs = 10000)
{
    SenderResult result;
    runOnThread([&] {
        InstanceLink sender(socketPath);
        sender.setReplyTimeoutMs(replyTimeoutMs);
        result.outcome = sender.handOff(arguments);
        result.kept = sender.keptArguments();
        result.listening = sender.isListening();
    });
    return result;
}

class InstanceLinkTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    QString socketPath() const { return m_dir.filePath(QStringLiteral("link.socket")); }
    QString file(const QString &name) const { return makeFile(m_dir.filePath(name)); }

    /// The first start: finds nobody, takes the receiver role, and records
    /// what it is handed.
    std::unique_ptr<InstanceLink> startReceiver(bool withHandler = true)
    {
        auto receiver = std::make_unique<InstanceLink>(socketPath());
        EXPECT_EQ(receiver->handOff({}), Outcome::StartHere);
        EXPECT_TRUE(receiver->isListening());
        if (withHandler)
            receiver->setHandler([this](const QString &path) { m_received << path; });
        return receiver;
    }

    QTemporaryDir m_dir;
    QStringList m_received;
};

TEST_F(InstanceLinkTest, ExistingFilesArriveWholeAndInCommandLineOrder)
{
    auto receiver = startReceiver();

    const QString a = file("a.txt");
    const QString b = file(u"отчёт за май.zip"_qs);
    // Over 255 characters in one name, and a 4000-character path.
    const QString longName = file(QString(250, QLatin1Char('n')) + QStringLiteral(".bin"));
    QString deep = m_dir.path();
    while (deep.size() < 3800)
        deep += QLatin1Char('/') + QString(199, QLatin1Char('d'));
    const QString longPath = makeFile(deep + QLatin1Char('/') + QString(3999 - deep.size(), 'f'));
    ASSERT_EQ(longPath.size(), 4000);
    ASSERT_GT(longName.size(), 255);
    const QString missing = m_dir.filePath("missing.txt");
    const QString folder = m_dir.path();

    const SenderResult sent =
        handOffFromThread(socketPath(), {a, missing, b, folder, longName, longPath});

    EXPECT_EQ(sent.outcome, Outcome::HandedOver);
    EXPECT_EQ(m_received, (QStringList{a, b, longName, longPath}));
    EXPECT_EQ(sent.kept, (QStringList{missing, folder}));
    EXPECT_FALSE(sent.listening);
}

TEST_F(InstanceLinkTest, RelativeNamesArriveAsFullPathsOfTheSendersFolder)
{
    auto receiver = startReceiver();
    file("rel.txt");
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(m_dir.path()));
    const SenderResult sent = handOffFromThread(socketPath(), {"rel.txt", "./rel.txt"});
    QDir::setCurrent(before);

    EXPECT_EQ(sent.outcome, Outcome::HandedOver);
    EXPECT_EQ(m_received, (QStringList{m_dir.path() + "/rel.txt", m_dir.path() + "/./rel.txt"}));
}

TEST_F(InstanceLinkTest, TheSenderWaitsUntilEachHandlerHasFinishedHoweverLongItTakes)
{
    auto receiver = startReceiver(false);
    receiver->setHeartbeatIntervalMs(50);
    std::atomic<int> finished{0};
    QList<int> finishedBeforeStart;
    receiver->setHandler([&](const QString &path) {
        finishedBeforeStart << finished.load();
        // A warning box: a nested event loop that runs for a while, the
        // first one longer than the sender's reply timeout.
        QEventLoop loop;
        QTimer::singleShot(finished == 0 ? 2500 : 300, &loop, &QEventLoop::quit);
        loop.exec();
        m_received << path;
        ++finished;
    });
    const QStringList files{file("1.txt"), file("2.txt")};

    int finishedAtReturn = -1;
    Outcome outcome = Outcome::StartHere;
    runOnThread([&] {
        InstanceLink sender(socketPath());
        sender.setReplyTimeoutMs(1000);
        outcome = sender.handOff(files);
        finishedAtReturn = finished.load();
    });

    EXPECT_EQ(outcome, Outcome::HandedOver);
    EXPECT_EQ(finishedAtReturn, 2);
    // The second file was sent only after the first one's handler ended.
    EXPECT_EQ(finishedBeforeStart, (QList<int>{0, 1}));
    EXPECT_EQ(m_received, files);
}

TEST_F(InstanceLinkTest, MessagesSentBeforeTheWindowExistsAreHandledOnceItDoes)
{
    auto receiver = startReceiver(false);
    // The handler is set only after the sender has connected and sent.
    QTimer::singleShot(200, receiver.get(), [&] {
        receiver->setHandler([&](const QString &path) { m_received << path; });
    });
    const QString a = file("a.txt");

    const SenderResult sent = handOffFromThread(socketPath(), {a});

    EXPECT_EQ(sent.outcome, Outcome::HandedOver);
    EXPECT_EQ(m_received, QStringList{a});
}

/// A receiver of our own making. `AsOlder` is one built before the message
/// without a path existed: it refuses that message as malformed and takes
/// files as ever. Otherwise it acknowledges the first `acknowledged` messages
/// and then drops the connection without answering, as an instance that
/// crashes does; `closeListener` makes it stop listening too.
class StandInReceiver : public QObject
{
public:
    static constexpr int AsOlder = -1;

    StandInReceiver(const QString &path, int acknowledged, bool closeListener = false)
        : m_close(closeListener), m_acknowledged(acknowledged)
    {
        m_server.setSocketOptions(QLocalServer::UserAccessOption);
        EXPECT_TRUE(m_server.listen(path));
        connect(&m_server, &QLocalServer::newConnection, this, [this] {
            QLocalSocket *s = m_server.nextPendingConnection();
            connect(s, &QLocalSocket::readyRead, this, [this, s] { read(s); });
        });
    }
    QStringList received;

private:
    void read(QLocalSocket *s)
    {
        m_buffer += s->readAll();
        qsizetype used = 0;
        QString path;
        while (InstanceLink::decodeMessage(m_buffer, &used, &path) ==
               InstanceLink::Decoded::Message) {
            m_buffer.remove(0, used);
            if (m_acknowledged == AsOlder && path.isEmpty()) {
                s->write("N");
                s->disconnectFromServer();
                return;
            }
            if (received.size() == m_acknowledged) {
                if (m_close) {
                    // As an instance that ends: under the lock, which keeps
                    // the removal of its socket file apart from a new start.
                    QLockFile lock(m_server.fullServerName() + QStringLiteral(".lock"));
                    EXPECT_TRUE(lock.tryLock(5000));
                    m_server.close();
                }
                s->abort();
                return;
            }
            received << path;
            s->write("D");
            s->flush();
        }
    }
    QLocalServer m_server;
    QByteArray m_buffer;
    bool m_close;
    int m_acknowledged;
};

TEST_F(InstanceLinkTest, AStartWithoutFilesBringsTheRunningWindowForwardAndEnds)
{
    const QStringList noFiles{m_dir.filePath("missing.txt"), m_dir.path(), ""};
    {
        auto receiver = startReceiver();
        for (const QStringList &arguments : {noFiles, QStringList()}) {
            const SenderResult sent = handOffFromThread(socketPath(), arguments);
            EXPECT_EQ(sent.outcome, Outcome::HandedOver);
            EXPECT_EQ(sent.kept, arguments);
            EXPECT_FALSE(sent.listening);
        }
        // One message without a path for each start.
        EXPECT_EQ(m_received, (QStringList{QString(), QString()}));
        EXPECT_TRUE(receiver->isListening());
    }
    // An older instance refuses that message, yet it runs: no second window.
    // Files still reach it as before.
    StandInReceiver older(socketPath(), StandInReceiver::AsOlder);
    EXPECT_EQ(handOffFromThread(socketPath(), noFiles).outcome, Outcome::HandedOver);
    const QString a = file("a.txt");
    EXPECT_EQ(handOffFromThread(socketPath(), {a}).outcome, Outcome::HandedOver);
    EXPECT_EQ(older.received, QStringList{a});
}

TEST_F(InstanceLinkTest, TheFirstStartListensOnAPrivateSocketEvenInPlaceOfAStaleOne)
{
    const QString a = file("a.txt");
    const QString b = file("b.txt");
    for (const bool stale : {false, true}) {
        SCOPED_TRACE(stale ? "stale socket" : "no socket");
        if (stale)
            makeStaleSocket(socketPath());
        m_received.clear();
        InstanceLink first(socketPath());

        EXPECT_EQ(first.handOff({a}), Outcome::StartHere);
        EXPECT_EQ(first.keptArguments(), QStringList{a});
        ASSERT_TRUE(first.isListening());
        struct stat st;
        ASSERT_EQ(::stat(QFile::encodeName(socketPath()).constData(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 077, 0u);

        first.setHandler([&](const QString &path) { m_received << path; });
        EXPECT_EQ(handOffFromThread(socketPath(), {b}).outcome, Outcome::HandedOver);
        EXPECT_EQ(m_received, QStringList{b});
    }
}

TEST_F(InstanceLinkTest, AFileThatIsNoSocketIsLeftAloneUntilItGoes)
{
    makeFile(socketPath());
    const QString a = file("a.txt");
    InstanceLink first(socketPath());

    EXPECT_EQ(first.handOff({a}), Outcome::StartHere);
    EXPECT_FALSE(first.isListening());
    EXPECT_EQ(readFile(socketPath()), "content");

    // The window that could not listen takes the role once the way is clear.
    first.setHandler([&](const QString &path) { m_received << path; });
    ASSERT_TRUE(QFile::remove(socketPath()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return first.isListening(); }, 10000));
    const QString b = file("b.txt");
    EXPECT_EQ(handOffFromThread(socketPath(), {b}).outcome, Outcome::HandedOver);
    EXPECT_EQ(m_received, QStringList{b});
}

TEST_F(InstanceLinkTest, AFrozenReceiverKeepsItsDataFilesAndTheSenderEnds)
{
    // The receiver lives on this thread, which the senders below block: it
    // accepts connections (the kernel queues them) but never answers.
    auto receiver = startReceiver();
    const QString a = file("a.txt");
    const QString b = file("b.txt");
    for (const QStringList &arguments : {QStringList{a, b}, QStringList()}) {
        InstanceLink sender(socketPath());
        sender.setReplyTimeoutMs(300);

        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(sender.handOff(arguments),
                  arguments.isEmpty() ? Outcome::HandedOver : Outcome::NotTaken);
        EXPECT_LT(clock.elapsed(), 5000);
        EXPECT_EQ(sender.keptArguments(), arguments);
        // The frozen instance still holds the role; this one does not steal it.
        EXPECT_FALSE(sender.isListening());
    }
}

TEST_F(InstanceLinkTest, WithoutAnAnswerTheSenderStartsOnlyInPlaceOfAnInstanceThatWent)
{
    const QStringList files{file("1.txt"), file("2.txt"), file("3.txt")};
    struct Case
    {
        QStringList arguments;
        bool receiverGoes;
        Outcome outcome;
    };
    // A receiver that still listens keeps its data files: the sender neither
    // takes its place nor opens a window beside it. One that has gone leaves
    // the place to the sender, which lists the files not taken itself.
    const QList<Case> cases{
        {files, false, Outcome::NotTaken},
        {files, true, Outcome::StartHere},
        {{}, false, Outcome::HandedOver},
        {{}, true, Outcome::StartHere},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.arguments.size() << " files, receiver goes " << c.receiverGoes);
        const int acknowledged = c.arguments.isEmpty() ? 0 : 1;
        StandInReceiver receiver(socketPath(), acknowledged, c.receiverGoes);
        const SenderResult sent = handOffFromThread(socketPath(), c.arguments);
        EXPECT_EQ(receiver.received, c.arguments.mid(0, acknowledged));
        EXPECT_EQ(sent.outcome, c.outcome);
        EXPECT_EQ(sent.kept, c.arguments.mid(acknowledged));
        EXPECT_EQ(sent.listening, c.receiverGoes);
    }
}

TEST_F(InstanceLinkTest, MalformedMessagesAreRefusedAndTheReceiverGoesOn)
{
    auto receiver = startReceiver();
    auto withLength = [](quint32 n, const QByteArray &body) {
        QByteArray m("TRL1");
        m.append(char(n >> 24)).append(char(n >> 16)).append(char(n >> 8)).append(char(n));
        return m + body;
    };
    const QList<QByteArray> refused{
        "GET / HTTP/1.0\r\n\r\n",
        withLength(InstanceLink::MaxPathBytes + 1, "x"), // over the cap
        withLength(0xFFFFFFFFu, ""),                     // absurd length
        withLength(4, "/a\xC3\x28"),                     // not UTF-8
        withLength(5, QByteArray("/a\0/b", 5)),          // NUL inside
        "X",                                             // wrong from the first byte
    };
    for (const QByteArray &bytes : refused) {
        QLocalSocket s;
        s.connectToServer(socketPath());
        ASSERT_TRUE(s.waitForConnected(2000));
        s.write(bytes);
        s.flush();
        ASSERT_TRUE(QTest::qWaitFor([&] { return s.state() == QLocalSocket::UnconnectedState; }))
            << bytes.toHex().toStdString();
        EXPECT_EQ(s.readAll(), "N") << bytes.toHex().toStdString();
    }
    // A message cut off by the sender going away.
    {
        QLocalSocket s;
        s.connectToServer(socketPath());
        ASSERT_TRUE(s.waitForConnected(2000));
        s.write(InstanceLink::encodeMessage(file("cut.txt")).chopped(3));
        s.flush();
        QTest::qWait(50);
        s.abort();
    }
    QTest::qWait(50);
    EXPECT_TRUE(m_received.isEmpty());

    const QString a = file("a.txt");
    EXPECT_EQ(handOffFromThread(socketPath(), {a}).outcome, Outcome::HandedOver);
    EXPECT_EQ(m_received, QStringList{a});
}

TEST(InstanceLinkDecode, PrefixesWaitAndMessagesFollowOneAnother)
{
    const QString first = u"/home/пользователь/файл 1.txt"_qs;
    const QString second = QString(5000, QLatin1Char('x'));
    const QByteArray one = InstanceLink::encodeMessage(first);
    const QByteArray both = one + InstanceLink::encodeMessage(second);

    qsizetype used = -1;
    QString path;
    for (qsizetype n = 0; n < one.size(); ++n)
        EXPECT_EQ(InstanceLink::decodeMessage(one.left(n), &used, &path),
                  InstanceLink::Decoded::NeedMore)
            << n;
    ASSERT_EQ(InstanceLink::decodeMessage(both, &used, &path), InstanceLink::Decoded::Message);
    EXPECT_EQ(path, first);
    EXPECT_EQ(used, one.size());
    ASSERT_EQ(InstanceLink::decodeMessage(both.mid(used), &used, &path),
              InstanceLink::Decoded::Message);
    EXPECT_EQ(path, second);
    EXPECT_EQ(used, both.size() - one.size());
}

TEST(InstanceLinkDecode, PathsArriveExactlyEvenWithALeadingByteOrderMarkOrNone)
{
    for (const QString &path : {QString(QChar(0xFEFF)) + u"a"_qs, QString()}) {
        const QByteArray message = InstanceLink::encodeMessage(path);
        qsizetype used = -1;
        QString decoded = QStringLiteral("stale");
        ASSERT_EQ(InstanceLink::decodeMessage(message, &used, &decoded),
                  InstanceLink::Decoded::Message);
        EXPECT_EQ(decoded, path);
        EXPECT_EQ(used, message.size());
    }
    EXPECT_EQ(InstanceLink::encodeMessage(QString()), QByteArray("TRL1\0\0\0\0", 8));
}

TEST(InstanceLinkDecode, ArbitraryBytesNeverOverrunTheBuffer)
{
    QRandomGenerator random(20240607);
    const QByteArray valid = InstanceLink::encodeMessage(QStringLiteral("/tmp/x"));
    for (int round = 0; round < 20000; ++round) {
        QByteArray bytes = valid;
        bytes.resize(random.bounded(0, 24));
        for (int flips = random.bounded(0, 4); flips > 0 && !bytes.isEmpty(); --flips)
            bytes[random.bounded(int(bytes.size()))] = char(random.bounded(256));
        qsizetype used = -1;
        QString path;
        if (InstanceLink::decodeMessage(bytes, &used, &path) == InstanceLink::Decoded::Message) {
            EXPECT_GE(used, 8);
            EXPECT_LE(used, bytes.size());
            EXPECT_EQ(path.isEmpty(), used == 8);
        }
    }
}

TEST(InstanceLinkName, ThePathStandsForTheWindowAndTheUser)
{
    ScopedEnv socket("TRELVAN_INSTANCE_SOCKET", {});
    QTemporaryDir runtime;
    ASSERT_TRUE(QFile::setPermissions(runtime.path(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    ScopedEnv runtimeDir("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    const QString uid = QString::number(::geteuid());

    EXPECT_EQ(InstanceLink::socketPathFor("TfrmMainForm", "Trelvan v1.3"),
              runtime.path() + "/TfrmMainForm-Trelvan_v1.3-" + uid + ".socket");

    // A runtime folder that others may write is not used.
    ASSERT_TRUE(QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                          QFile::ExeOwner | QFile::WriteOther |
                                                          QFile::ExeOther));
    const QString fallback = InstanceLink::socketPathFor("TfrmMainForm", "Trelvan v1.3");
    EXPECT_EQ(fallback, "/tmp/trelvan-" + uid + "/TfrmMainForm-Trelvan_v1.3-" + uid + ".socket");

    qputenv("TRELVAN_INSTANCE_SOCKET", "/somewhere/else.socket");
    EXPECT_EQ(InstanceLink::socketPathFor("TfrmMainForm", "Trelvan v1.3"),
              QStringLiteral("/somewhere/else.socket"));
}

TEST_F(InstanceLinkTest, AnotherUserIsNotServed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    auto receiver = startReceiver();
    // Let another user reach the socket at all, so that only the
    // credentials check stands in the way.
    ASSERT_EQ(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(socketPath()).constData(), 0777), 0);
    const QByteArray message = InstanceLink::encodeMessage(file("a.txt"));
    const QByteArray encodedPath = QFile::encodeName(socketPath());

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only async-signal-safe calls here: this process was forked from a
        // threaded one.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(10);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, encodedPath.constData(), size_t(encodedPath.size()));
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0)
            ::_exit(11);
        if (::write(fd, message.constData(), size_t(message.size())) < 0)
            ::_exit(0); // already closed by the receiver
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            ::_exit(12);
        char reply = 0;
        ::_exit(::read(fd, &reply, 1) == 1 ? 13 : 0);
    }
    int status = 0;
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 10000));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    QTest::qWait(50);
    EXPECT_TRUE(m_received.isEmpty());
}

/// One of two starts that race: prints "ready", waits for "go" on stdin,
/// runs the check, then prints "handed", or "receiver" / "alone" followed
/// by "got <path>" for every file it is handed, until stdin says anything.
int runStarter(const QString &socketPath, const QString &file)
{
    InstanceLink link(socketPath);
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    char line[16];
    if (!std::fgets(line, sizeof(line), stdin))
        return 2;
    if (link.handOff({file}) != InstanceLink::Outcome::StartHere) {
        std::fputs("handed\n", stdout);
        return 0;
    }
    std::fputs(link.isListening() ? "receiver\n" : "alone\n", stdout);
    std::fflush(stdout);
    link.setHandler([](const QString &path) {
        std::fprintf(stdout, "got %s\n", path.toUtf8().constData());
        std::fflush(stdout);
    });
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, qApp, &QCoreApplication::quit);
    return QCoreApplication::exec();
}

TEST_F(InstanceLinkTest, TwoStartsAtTheSameMomentLoseNoFile)
{
    int handedCount = 0;
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        QTemporaryDir dir;
        const QString socket = dir.filePath("link.socket");
        if (round % 3 == 1)
            makeStaleSocket(socket);
        const QStringList files{makeFile(dir.filePath("a.txt")), makeFile(dir.filePath("b.txt"))};

        QProcess starters[2];
        QByteArray out[2];
        for (int i = 0; i < 2; ++i) {
            starters[i].setReadChannel(QProcess::StandardOutput);
            starters[i].setProcessChannelMode(QProcess::ForwardedErrorChannel);
            starters[i].start(QCoreApplication::applicationFilePath(),
                              {"--starter", socket, files[i]});
        }
        auto readLines = [&](int i, int n) {
            return QTest::qWaitFor(
                [&] {
                    out[i] += starters[i].readAll();
                    return out[i].count('\n') >= n;
                },
                20000);
        };
        ASSERT_TRUE(readLines(0, 1) && readLines(1, 1));
        ASSERT_TRUE(out[0] == "ready\n" && out[1] == "ready\n");
        starters[0].write("go\n");
        starters[1].write("go\n");
        ASSERT_TRUE(readLines(0, 2) && readLines(1, 2));

        QString role[2];
        for (int i = 0; i < 2; ++i)
            role[i] = QString::fromUtf8(out[i].split('\n').at(1));
        // Never two receivers, never two senders.
        ASSERT_FALSE(role[0] == "receiver" && role[1] == "receiver");
        ASSERT_FALSE(role[0] == "handed" && role[1] == "handed");
        for (int i = 0; i < 2; ++i) {
            if (role[i] != "handed")
                continue;
            const int other = 1 - i;
            ++handedCount;
            EXPECT_EQ(role[other], "receiver");
            ASSERT_TRUE(readLines(other, 3));
            EXPECT_EQ(out[other].split('\n').at(2), "got " + files[i].toUtf8());
            EXPECT_TRUE(starters[i].state() == QProcess::NotRunning ||
                        starters[i].waitForFinished(10000));
            EXPECT_EQ(starters[i].exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(starters[i].exitCode(), 0);
        }
        for (QProcess &p : starters) {
            if (p.state() != QProcess::NotRunning) {
                p.write("quit\n");
                EXPECT_TRUE(p.waitForFinished(10000));
            }
        }
    }
    // With no frozen receiver every round ends in one window.
    EXPECT_EQ(handedCount, 12);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--starter") == 0)
        return runStarter(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
