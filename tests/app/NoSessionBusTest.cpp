// The real program on a machine without a session bus: the upload runs and
// ends as ever, and nothing is said about the missing bus.

#include "support/FtpTestServer.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(NoSessionBus, UploadEndsAsEverWhetherTheBusAddressIsUnsetOrLeadsNowhere)
{
    auto server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd);
    ASSERT_TRUE(server) << FtpTestServer::lastError();
    const QByteArray data = randomBytes(300000, 61);
    // Unset; a socket that does not exist; an address that is no address.
    for (const char *address : {"", "unix:path=/nonexistent/bus", "nonsense"}) {
        SCOPED_TRACE(address);
        QTemporaryDir program;
        const QString exe = program.filePath("trelvan");
        ASSERT_TRUE(QFile::copy(QStringLiteral(TRELVAN_EXECUTABLE), exe));
        const QString file = program.filePath("a.bin");
        writeFile(file, data);
        writeFile(program.filePath("Settings.ini"),
                  QStringLiteral("[Options]\r\nServer=%1\r\nUser=%2\r\nDestFolder=%3\r\n")
                      .arg(QString::fromStdString(server->serverField()),
                           QString::fromStdString(server->user()),
                           QString::fromStdString(server->uploadFolder()))
                      .toUtf8());
        writeFile(program.filePath("Files.txt"), (file + "\r\n").toUtf8());
        // A runtime folder without a bus in it, as the desktop would give.
        ASSERT_TRUE(QDir(program.path()).mkdir("runtime"));
        QFile::setPermissions(program.filePath("runtime"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        if (*address)
            env.insert("DBUS_SESSION_BUS_ADDRESS", address);
        env.insert("XDG_RUNTIME_DIR", program.filePath("runtime"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TRELVAN_INSTANCE_SOCKET", program.filePath("instance.sock"));
        env.insert("TRELVAN_PASSWORD", QString::fromStdString(server->password()));
        env.insert("TRELVAN_AUTOMATION", "run");
        QProcess run;
        run.setProcessEnvironment(env);
        run.start(exe, {});
        ASSERT_TRUE(run.waitForFinished(60000));
        const QString out = QString::fromUtf8(run.readAllStandardOutput());
        EXPECT_EQ(run.exitCode(), 0) << out.toStdString();
        EXPECT_TRUE(out.contains("MESSAGE Сообщение: Закачка файлов на сервер завершена"))
            << out.toStdString();
        EXPECT_EQ(run.readAllStandardError(), QByteArray());
        EXPECT_EQ(readFile(server->localPath(server->uploadFolder() + "/a.bin")), data);
    }
}
