// SPDX-License-Identifier: GPL-3.0-or-later
// What the real program leaves on disk and shows, run as a process in its
// unattended mode against pyftpdlib: the password never reaches a file or a
// message, a symbolic link planted in place of a data file is never written
// through, and the files it creates get the user's umask. Every run gets a
// sandbox of its own (Sandbox.h).

#include "Sandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <optional>

namespace {

const char *const Password = "Pw-Zq7-unmistakable-4821";

/// A file of `size` bytes that no text search could mistake for anything.
void writeData(const QString &path, qint64 size)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    QByteArray block(1 << 20, '\x5a');
    for (qint64 left = size; left > 0; left -= block.size())
        f.write(block.constData(), std::min<qint64>(left, block.size()));
}

mode_t modeOf(const QString &path)
{
    struct stat st
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

/// Sets the process umask for a scope; the program started in it inherits it.
class UmaskScope
{
public:
    explicit UmaskScope(mode_t mask) : m_old(::umask(mask)) {}
    ~UmaskScope() { ::umask(m_old); }

private:
    mode_t m_old;
};

/// The password as UTF-8 and as UTF-16 (either byte order), the forms a
/// Qt program could store it in.
std::vector<QByteArray> passwordForms()
{
    const QString text = QString::fromLatin1(Password);
    QByteArray le(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
    QByteArray be = le;
    for (int i = 0; i + 1 < be.size(); i += 2)
        std::swap(be[i], be[i + 1]);
    return {text.toUtf8(), le, be};
}

TEST(Security, PasswordIsNeverWrittenToDiskNorShown)
{
    // Logins refused at first and a cut in the middle of the file: the
    // login, failure and prompt paths all run with the password at hand.
    auto server =
        FtpTestServer::start(FtpTestServer::Kind::Pyftpd, {.password = Password,
                                                           .cutDataAfter = 3 * 1024 * 1024,
                                                           .cutTimes = 1,
                                                           .refuseLoginSeconds = 1.0});
    ASSERT_TRUE(server) << FtpTestServer::lastError();

    Sandbox box;
    const QString data = box.path(QStringLiteral("data/big.bin"));
    writeData(data, 40 * 1024 * 1024);
    box.writeSettings(*server);
    box.writeList({data});

    // First run: killed while the file is on its way, so the marker and
    // Temp.dat are there to be searched as well.
    const QString remote = server->localPath(server->uploadFolder() + "/big.bin");
    box.start(QString::fromLatin1(Password));
    ASSERT_TRUE(waitFor([&] { return QFileInfo(remote).size() > 8 * 1024 * 1024; }, 60000))
        << box.output().toStdString();
    box.stop();
    ASSERT_TRUE(QFile::exists(box.program(QStringLiteral("Upload.dat"))));
    for (const QByteArray &form : passwordForms())
        EXPECT_EQ(box.filesHolding(form), QStringList()) << "after the kill";

    // Second run to its end.
    box.start(QString::fromLatin1(Password));
    EXPECT_EQ(box.finish(), 0) << box.output().toStdString();
    ASSERT_TRUE(box.output().contains("RESULT completed")) << box.output().toStdString();
    ASSERT_TRUE(box.output().contains("PROMPT ")) << "the cut never reached the prompt";
    EXPECT_EQ(QFileInfo(remote).size(), QFileInfo(data).size());

    for (const QByteArray &form : passwordForms()) {
        EXPECT_EQ(box.filesHolding(form), QStringList());
        EXPECT_FALSE(box.output().contains(form)) << box.output().toStdString();
    }
    // On the wire the password goes in PASS only.
    for (const std::string &command : server->commands())
        EXPECT_EQ(command.find(Password), std::string::npos) << command;
}

/// What a victim file looks like, to tell that nothing touched it.
struct Victim
{
    QString path;
    QByteArray content;
    struct stat before = {};

    static struct stat statOf(const QString &path)
    {
        struct stat st = {};
        ::stat(QFile::encodeName(path).constData(), &st);
        return st;
    }
    static Victim make(const QString &path, const QByteArray &content)
    {
        writeFile(path, content);
        return {path, content, statOf(path)};
    }
    void expectUntouched() const
    {
        const struct stat now = statOf(path);
        EXPECT_EQ(readFile(path), content) << path.toStdString();
        EXPECT_EQ(now.st_mtim.tv_sec, before.st_mtim.tv_sec) << path.toStdString();
        EXPECT_EQ(now.st_mtim.tv_nsec, before.st_mtim.tv_nsec) << path.toStdString();
        EXPECT_EQ(now.st_ino, before.st_ino) << path.toStdString();
    }
};

void plantLink(const QString &link, const QString &target)
{
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()),
              0);
}

TEST(Security, DataFilesPlantedAsLinksToAnotherFileAreNeverWrittenThrough)
{
    auto server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd);
    ASSERT_TRUE(server) << FtpTestServer::lastError();
    Sandbox box;
    const QString data = box.path(QStringLiteral("data/small.bin"));
    writeData(data, 100000);

    // Settings.ini, Files.txt and Upload.dat point at another user's files
    // (which happen to read as settings and a list). The run reads them,
    // stores the folder, writes the marker and empties the list: each write
    // must replace the link, never the file behind it.
    QDir().mkpath(box.path(QStringLiteral("victims")));
    box.writeSettings(*server, box.path(QStringLiteral("victims/settings")));
    const Victim settings = Victim::make(box.path(QStringLiteral("victims/settings")),
                                         readFile(box.path(QStringLiteral("victims/settings"))));
    const Victim list =
        Victim::make(box.path(QStringLiteral("victims/list")), (data + "\r\n").toUtf8());
    const Victim marker =
        Victim::make(box.path(QStringLiteral("victims/marker")), "not a marker\n");
    plantLink(box.program(QStringLiteral("Settings.ini")), settings.path);
    plantLink(box.program(QStringLiteral("Files.txt")), list.path);
    plantLink(box.program(QStringLiteral("Upload.dat")), marker.path);

    box.start(QStringLiteral("s3cret"));
    EXPECT_EQ(box.finish(), 0) << box.output().toStdString();
    EXPECT_TRUE(box.output().contains("RESULT completed")) << box.output().toStdString();
    settings.expectUntouched();
    list.expectUntouched();
    marker.expectUntouched();
    // The program's own files took the links' places.
    EXPECT_FALSE(isSymlink(box.program(QStringLiteral("Files.txt"))));
    EXPECT_EQ(readFile(box.program(QStringLiteral("Files.txt"))), QByteArray());
    EXPECT_EQ(QFileInfo(server->localPath(server->uploadFolder() + "/small.bin")).size(), 100000);
}

TEST(Security, DataFilesPlantedAsDanglingLinksCreateNothingBehindThem)
{
    // A link to a path that does not exist yet: following it would create
    // a file wherever the planter chose.
    auto server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd);
    ASSERT_TRUE(server) << FtpTestServer::lastError();
    Sandbox box;
    const QString data = box.path(QStringLiteral("data/small.bin"));
    writeData(data, 100000);
    box.writeSettings(*server);
    QDir().mkpath(box.path(QStringLiteral("victims")));
    const QString listTarget = box.path(QStringLiteral("victims/list-created"));
    const QString markerTarget = box.path(QStringLiteral("victims/marker-created"));
    plantLink(box.program(QStringLiteral("Files.txt")), listTarget);
    plantLink(box.program(QStringLiteral("Upload.dat")), markerTarget);

    box.start(QStringLiteral("s3cret"), {data});
    EXPECT_EQ(box.finish(), 0) << box.output().toStdString();
    EXPECT_TRUE(box.output().contains("RESULT completed")) << box.output().toStdString();
    EXPECT_FALSE(QFile::exists(listTarget));
    EXPECT_FALSE(QFile::exists(markerTarget));
    EXPECT_EQ(QFileInfo(server->localPath(server->uploadFolder() + "/small.bin")).size(), 100000);
}

TEST(Security, TempDatPlantedAsALinkIsNeverWrittenThrough)
{
    auto server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd);
    ASSERT_TRUE(server) << FtpTestServer::lastError();
    for (const bool dangling : {false, true}) {
        SCOPED_TRACE(dangling ? "dangling link" : "link to an existing file");
        Sandbox box;
        const QString data = box.path(QStringLiteral("data/small.bin"));
        writeData(data, 100000);
        box.writeSettings(*server);
        box.writeList({data});
        QDir().mkpath(box.path(QStringLiteral("victims")));
        const QString target = box.path(QStringLiteral("victims/temp"));
        std::optional<Victim> victim;
        if (!dangling)
            victim = Victim::make(target, "another user's file, not empty\n");
        plantLink(box.program(QStringLiteral("Temp.dat")), target);

        box.start(QStringLiteral("s3cret"));
        box.finish();
        // Refusing to run is safe; emptying the file behind the link is not.
        EXPECT_TRUE(box.output().contains("RESULT ")) << box.output().toStdString();
        if (victim)
            victim->expectUntouched();
        else
            EXPECT_FALSE(QFile::exists(target));
    }
}

TEST(Security, FilesTheProgramCreatesGetTheUsersUmask)
{
    for (const mode_t mask : {mode_t(027), mode_t(002)}) {
        const mode_t expected = 0666 & ~mask;
        SCOPED_TRACE(testing::Message() << "umask 0" << std::oct << mask);

        // A run to its end creates Temp.dat (put over the older copy the
        // server holds) and Files.txt (the list came from the command line)
        // and replaces Settings.ini.
        {
            auto server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd);
            ASSERT_TRUE(server) << FtpTestServer::lastError();
            Sandbox box;
            const QString data = box.path(QStringLiteral("data/small.bin"));
            writeData(data, 100000);
            writeData(server->localPath(server->uploadFolder() + "/small.bin"), 10);
            box.writeSettings(*server);
            ::chmod(QFile::encodeName(box.program(QStringLiteral("Settings.ini"))).constData(),
                    0600);
            UmaskScope scope(mask);
            box.start(QStringLiteral("s3cret"), {data});
            EXPECT_EQ(box.finish(), 0) << box.output().toStdString();
            for (const char *name : {"Temp.dat", "Files.txt", "Settings.ini"}) {
                const QString file = box.program(QString::fromLatin1(name));
                ASSERT_TRUE(QFile::exists(file)) << name;
                EXPECT_EQ(modeOf(file), expected) << name << " is 0" << std::oct << modeOf(file);
            }
        }
        // The marker lives only while a file is on its way: a server slow
        // to answer keeps it there for a second at least (EPSV and APPE after
        // it is written).
        {
            auto server =
                FtpTestServer::start(FtpTestServer::Kind::Pyftpd, {.replyDelaySeconds = 0.3});
            ASSERT_TRUE(server) << FtpTestServer::lastError();
            Sandbox box;
            const QString data = box.path(QStringLiteral("data/big.bin"));
            writeData(data, 32 * 1024 * 1024);
            box.writeSettings(*server);
            box.writeList({data});
            UmaskScope scope(mask);
            box.start(QStringLiteral("s3cret"));
            const QString marker = box.program(QStringLiteral("Upload.dat"));
            ASSERT_TRUE(waitFor([&] { return QFile::exists(marker); }, 30000))
                << box.output().toStdString();
            EXPECT_EQ(modeOf(marker), expected) << "Upload.dat is 0" << std::oct << modeOf(marker);
            box.stop();
        }
    }
}

} // namespace
