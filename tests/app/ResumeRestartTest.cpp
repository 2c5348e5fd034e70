// Resume across a restart, end to end: the real program, given its files on
// the command line, is killed in the middle of a file and started again
// without them; the list still holds every file not yet sent, and the next
// run finishes the file without sending its first part again, then the rest.

#include "support/FtpTestServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

namespace {

void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(data), data.size());
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool sameContent(const QString &a, const QString &b)
{
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    while (!fa.atEnd())
        if (fa.read(1 << 20) != fb.read(1 << 20))
            return false;
    return true;
}

/// A copy of the program in a folder of its own, so its data files live there.
class ProgramCopy
{
public:
    ProgramCopy()
    {
        exe = dir.filePath("trelvan");
        QFile::copy(QStringLiteral(TRELVAN_EXECUTABLE), exe);
    }
    QProcess *start(const QStringList &arguments = {})
    {
        auto *p = new QProcess;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TRELVAN_AUTOMATION", "run");
        env.insert("TRELVAN_PASSWORD", password);
        env.insert("TRELVAN_INSTANCE_SOCKET", dir.filePath("instance.sock"));
        p->setProcessEnvironment(env);
        p->setWorkingDirectory(dir.path());
        p->start(exe, arguments);
        return p;
    }
    QString file(const QString &name) const { return dir.filePath(name); }

    QTemporaryDir dir;
    QString exe;
    QString password;
};

TEST(ResumeRestart, KilledMidFileTheNextStartWithoutArgumentsSendsEveryFileLeft)
{
    auto server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd);
    ASSERT_TRUE(server) << FtpTestServer::lastError();
    QTemporaryDir local;
    const QString first = local.filePath("first.txt");
    const QString big = local.filePath("big.bin");
    const QString last = local.filePath("last.txt");
    writeFile(first, "the first file\n");
    writeFile(last, "the last file\n");
    {
        QByteArray block(1 << 20, Qt::Uninitialized);
        QFile f(big);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        QRandomGenerator gen(7);
        for (int i = 0; i < 400; ++i) {
            gen.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
            f.write(block);
        }
    }

    ProgramCopy program;
    program.password = QString::fromStdString(server->password());
    writeFile(program.file("Settings.ini"),
              QStringLiteral("[Options]\r\nServer=%1\r\nUser=%2\r\nDestFolder=%3\r\n")
                  .arg(QString::fromStdString(server->serverField()),
                       QString::fromStdString(server->user()),
                       QString::fromStdString(server->uploadFolder()))
                  .toUtf8());

    // First start, the files on its command line only: kill it while big.bin
    // is on its way.
    const QString remoteBig = server->localPath(server->uploadFolder() + "/big.bin");
    std::unique_ptr<QProcess> run1(program.start({first, big, last}));
    ASSERT_TRUE(run1->waitForStarted());
    QElapsedTimer waited;
    waited.start();
    while (QFileInfo(remoteBig).size() < 20 * 1024 * 1024 && waited.elapsed() < 60000 &&
           run1->state() == QProcess::Running) {
        QThread::usleep(500);
        QFileInfo(remoteBig).refresh();
    }
    ASSERT_EQ(run1->state(), QProcess::Running) << run1->readAllStandardOutput().toStdString();
    run1->kill();
    run1->waitForFinished();
    // The server writes what was still on the way until it sees the
    // connection end; it logs the upload then.
    auto bigUploadLogged = [&] {
        for (const auto &e : server->events())
            if (e.kind == "upload" && e.command == "APPE" &&
                e.path.find("big.bin") != std::string::npos)
                return true;
        return false;
    };
    waited.restart();
    while (!bigUploadLogged() && waited.elapsed() < 20000)
        QThread::msleep(20);
    const qint64 held = QFileInfo(remoteBig).size();
    ASSERT_GT(held, 0);
    ASSERT_LT(held, QFileInfo(big).size()) << "the kill came too late";
    ASSERT_TRUE(QFile::exists(program.file("Upload.dat")));
    // The list was saved when the run started; first.txt may have left it
    // since, once sent.
    QStringList saved = QString::fromUtf8(readFile(program.file("Files.txt"))).split("\r\n");
    if (!saved.isEmpty() && saved.first() == first)
        saved.removeFirst();
    EXPECT_EQ(saved, (QStringList{big, last, QString()}));
    const size_t eventsBefore = server->events().size();

    // Second start, no arguments: the notice, "Продолжить", every file not
    // yet sent pending (first.txt, if still listed, done); the run continues
    // big.bin and sends the rest.
    std::unique_ptr<QProcess> run2(program.start());
    ASSERT_TRUE(run2->waitForFinished(120000));
    const QString out = QString::fromUtf8(run2->readAllStandardOutput());
    EXPECT_EQ(run2->exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("BUTTON Продолжить"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("MESSAGE Внимание: Закачка файла была прервана и будет "
                                            "продолжена.")))
        << out.toStdString();
    QStringList rows;
    for (const QString &line : out.split(u'\n'))
        if (line.startsWith(QStringLiteral("ROW ")))
            rows << line;
    int next = 1;
    if (!rows.isEmpty() && rows.first() == QStringLiteral("ROW 1 [100%] ") + first) {
        rows.removeFirst();
        next = 2;
    }
    EXPECT_EQ(rows, (QStringList{QStringLiteral("ROW %1 [] ").arg(next) + big,
                                 QStringLiteral("ROW %1 [] ").arg(next + 1) + last}))
        << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("RESULT completed"))) << out.toStdString();
    EXPECT_LT(out.indexOf("MESSAGE Внимание"), out.indexOf("RESULT"));

    EXPECT_TRUE(sameContent(big, remoteBig));
    EXPECT_TRUE(sameContent(last, server->localPath(server->uploadFolder() + "/last.txt")));
    EXPECT_TRUE(sameContent(first, server->localPath(server->uploadFolder() + "/first.txt")));
    EXPECT_FALSE(QFile::exists(program.file("Upload.dat")));
    QFile list(program.file("Files.txt"));
    ASSERT_TRUE(list.open(QIODevice::ReadOnly));
    EXPECT_EQ(list.readAll(), QByteArray());

    // What the server received after the restart: big.bin from where it
    // stopped, never first.txt again.
    const auto events = server->events();
    int bigUploads = 0;
    for (size_t i = eventsBefore; i < events.size(); ++i) {
        const auto &e = events[i];
        if (e.kind != "upload")
            continue;
        EXPECT_EQ(e.path.find("first.txt"), std::string::npos) << e.path;
        if (e.path.find("big.bin") != std::string::npos) {
            ++bigUploads;
            EXPECT_EQ(e.command, "APPE");
            EXPECT_EQ(e.offset, held);
            EXPECT_EQ(e.bytes, QFileInfo(big).size() - held);
        }
    }
    EXPECT_EQ(bigUploads, 1);
}

} // namespace
