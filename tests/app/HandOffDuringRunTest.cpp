// A file handed over by a second start while an upload run goes on joins the
// run: it is counted in the upload total and sent by the same run.

#include "support/FtpTestServer.h"
#include "support/TestFiles.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

namespace {

TEST(HandOffDuringRun, HandedOverFileIsCountedAndSentByTheRunningUpload)
{
    // Slow answers keep the run going long enough for the second start.
    FtpServerOptions opts;
    opts.replyDelaySeconds = 0.2;
    auto server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd, opts);
    ASSERT_TRUE(server) << FtpTestServer::lastError();

    QTemporaryDir program, local;
    const QString exe = program.filePath("trelvan");
    ASSERT_TRUE(QFile::copy(QStringLiteral(TRELVAN_EXECUTABLE), exe));
    const QByteArray first(300000, 'a'), second(123457, 'b');
    const QString firstPath = local.filePath("first.bin");
    const QString secondPath = local.filePath("second.bin");
    writeFile(firstPath, first);
    writeFile(secondPath, second);
    writeFile(program.filePath("Settings.ini"),
              QStringLiteral("[Options]\r\nServer=%1\r\nUser=%2\r\nDestFolder=%3\r\n")
                  .arg(QString::fromStdString(server->serverField()),
                       QString::fromStdString(server->user()),
                       QString::fromStdString(server->uploadFolder()))
                  .toUtf8());
    writeFile(program.filePath("Files.txt"), (firstPath + "\r\n").toUtf8());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("TRELVAN_INSTANCE_SOCKET", program.filePath("instance.sock"));
    env.insert("TRELVAN_PASSWORD", QString::fromStdString(server->password()));
    env.insert("TRELVAN_AUTOMATION", "run");
    QProcess running;
    running.setProcessEnvironment(env);
    running.start(exe, {});
    ASSERT_TRUE(running.waitForStarted());

    // Once the run has logged in, a second start hands its file over.
    QElapsedTimer waited;
    waited.start();
    auto loggedIn = [&] {
        for (const auto &c : server->commands())
            if (c.rfind("PASS", 0) == 0)
                return true;
        return false;
    };
    while (!loggedIn() && waited.elapsed() < 30000)
        QThread::msleep(10);
    ASSERT_TRUE(loggedIn());
    env.insert("TRELVAN_AUTOMATION", "quiet");
    QProcess secondStart;
    secondStart.setProcessEnvironment(env);
    secondStart.start(exe, {secondPath});
    ASSERT_TRUE(secondStart.waitForFinished(30000));
    EXPECT_EQ(secondStart.exitCode(), 0);
    EXPECT_EQ(running.state(), QProcess::Running) << "the run ended before the hand-off";

    ASSERT_TRUE(running.waitForFinished(60000));
    const QString out = QString::fromUtf8(running.readAllStandardOutput());
    EXPECT_EQ(running.exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.contains("RESULT completed")) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("TOTAL %1").arg(first.size() + second.size())))
        << out.toStdString();
    EXPECT_EQ(readFile(server->localPath(server->uploadFolder() + "/first.bin")), first);
    EXPECT_EQ(readFile(server->localPath(server->uploadFolder() + "/second.bin")), second);
    EXPECT_EQ(readFile(program.filePath("Files.txt")), QByteArray());
}

} // namespace
