// Second starts while an upload run goes on: one without files ends at once
// and opens no window of its own (a second window on the same data files
// would continue the same remote file twice); one with a file hands it over,
// and the running upload counts it and sends it.

#include "support/FtpTestServer.h"
#include "support/TestFiles.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <cstdio>

namespace {

TEST(HandOffDuringRun, ABareSecondStartEndsAndAHandedFileIsSentByTheRunningUpload)
{
    // Slow answers keep the run going long enough for the second starts:
    // each file takes a dozen commands.
    auto server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd, {.replyDelaySeconds = 0.2});
    ASSERT_TRUE(server) << FtpTestServer::lastError();

    QTemporaryDir program, local;
    const QString exe = program.filePath("trelvan");
    ASSERT_TRUE(QFile::copy(QStringLiteral(TRELVAN_EXECUTABLE), exe));
    QStringList listed;
    QList<QByteArray> listedData;
    for (int i = 0; i < 4; ++i) {
        listedData << randomBytes(300000 + i, quint32(40 + i));
        listed << local.filePath(QStringLiteral("listed%1.bin").arg(i));
        writeFile(listed.last(), listedData.last());
    }
    const QByteArray second = randomBytes(123457, 50);
    const QString secondPath = local.filePath("second.bin");
    writeFile(secondPath, second);
    writeFile(program.filePath("Settings.ini"),
              QStringLiteral("[Options]\r\nServer=%1\r\nUser=%2\r\nDestFolder=%3\r\n")
                  .arg(QString::fromStdString(server->serverField()),
                       QString::fromStdString(server->user()),
                       QString::fromStdString(server->uploadFolder()))
                  .toUtf8());
    writeFile(program.filePath("Files.txt"), (listed.join("\r\n") + "\r\n").toUtf8());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("TRELVAN_INSTANCE_SOCKET", program.filePath("instance.sock"));
    env.insert("TRELVAN_PASSWORD", QString::fromStdString(server->password()));
    env.insert("TRELVAN_AUTOMATION", "run");
    QProcess running;
    running.setProcessEnvironment(env);
    running.start(exe, {});
    ASSERT_TRUE(running.waitForStarted());

    // Once the run has logged in, the second starts come.
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

    // Without files: the running window comes forward, this one shows none.
    const QString bareReport = program.filePath("bare-report.txt");
    QProcessEnvironment bareEnv = env;
    bareEnv.insert("TRELVAN_TEST_REPORT", bareReport);
    QProcess bare;
    bare.setProcessEnvironment(bareEnv);
    QElapsedTimer bareClock;
    bareClock.start();
    bare.start(exe, {});
    ASSERT_TRUE(bare.waitForFinished(30000));
    const qint64 bareMs = bareClock.elapsed();
    std::printf("second start without files ended after %lld ms\n", static_cast<long long>(bareMs));
    RecordProperty("bare_second_start_ms", int(bareMs));
    EXPECT_EQ(bare.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(bare.exitCode(), 0);
    // About 0.2 s here; 2 s is the aim, the bound leaves room for a loaded machine.
    EXPECT_LT(bareMs, 15000);
    EXPECT_FALSE(QFileInfo::exists(bareReport)) << "the second start showed a window";

    // With a file: handed over, counted, saved at once, sent by this run.
    QProcess secondStart;
    secondStart.setProcessEnvironment(env);
    secondStart.start(exe, {secondPath});
    ASSERT_TRUE(secondStart.waitForFinished(30000));
    EXPECT_EQ(secondStart.exitCode(), 0);
    EXPECT_EQ(running.state(), QProcess::Running) << "the run ended before the hand-off";
    EXPECT_TRUE(readFile(program.filePath("Files.txt")).contains(secondPath.toUtf8()));

    ASSERT_TRUE(running.waitForFinished(60000));
    const QString out = QString::fromUtf8(running.readAllStandardOutput());
    EXPECT_EQ(running.exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.contains("RESULT completed")) << out.toStdString();
    qint64 total = second.size();
    for (const QByteArray &data : listedData)
        total += data.size();
    EXPECT_TRUE(out.contains(QStringLiteral("TOTAL %1").arg(total))) << out.toStdString();
    for (int i = 0; i < listed.size(); ++i)
        EXPECT_EQ(readFile(server->localPath(server->uploadFolder() + "/" +
                                             QFileInfo(listed[i]).fileName().toStdString())),
                  listedData[i]);
    EXPECT_EQ(readFile(server->localPath(server->uploadFolder() + "/second.bin")), second);
    EXPECT_EQ(readFile(program.filePath("Files.txt")), QByteArray());
}

} // namespace
