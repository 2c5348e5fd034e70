// SPDX-License-Identifier: GPL-3.0-or-later
// Resume across a restart, end to end: the real program, given its files on
// the command line, is killed in the middle of a file and started again
// without them; the list still holds every file not yet sent, and the next
// run finishes the file without sending its first part again, then the rest.

#include "Sandbox.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

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

// The first file is missing at the first start (a disk not yet mounted):
// passed over, it stays listed above the file that is cut off, and the next
// start sends it once it is there, besides continuing the cut file.
TEST(ResumeRestart, KilledMidFileTheNextStartWithoutArgumentsSendsEveryFileLeft)
{
    auto server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd);
    ASSERT_TRUE(server) << FtpTestServer::lastError();
    QTemporaryDir local;
    const QString first = local.filePath("first.txt");
    const QString big = local.filePath("big.bin");
    const QString last = local.filePath("last.txt");
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

    Sandbox box;
    const QString password = QString::fromStdString(server->password());
    box.writeSettings(*server);

    // First start, with first.txt missing: kill it while big.bin is on its way.
    const QString remoteBig = server->localPath(server->uploadFolder() + "/big.bin");
    box.writeList({first, big, last});
    box.start(password);
    waitFor([&] { return QFileInfo(remoteBig).size() >= 20 * 1024 * 1024 || !box.isRunning(); },
            60000);
    ASSERT_TRUE(box.isRunning()) << box.output().toStdString();
    box.stop();
    // The server writes what was still on the way until it sees the
    // connection end; it logs the upload then.
    auto bigUploadLogged = [&] {
        for (const auto &e : server->events())
            if (e.kind == "upload" && e.command == "APPE" &&
                e.path.find("big.bin") != std::string::npos)
                return true;
        return false;
    };
    waitFor(bigUploadLogged, 20000);
    const qint64 held = QFileInfo(remoteBig).size();
    ASSERT_GT(held, 0);
    ASSERT_LT(held, QFileInfo(big).size()) << "the kill came too late";
    ASSERT_TRUE(QFile::exists(box.program("Upload.dat")));
    EXPECT_EQ(readFile(box.program("Files.txt")),
              (QStringList{first, big, last, QString()}).join("\r\n").toUtf8());
    const size_t eventsBefore = server->events().size();
    writeFile(first, "the first file\n");

    // Second start, no arguments: the notice, "Продолжить", every file not
    // yet sent pending; the run continues big.bin and sends the rest.
    const qsizetype firstOutput = box.output().size();
    box.start(password);
    EXPECT_EQ(box.finish(), 0) << box.output().toStdString();
    const QString out = QString::fromUtf8(box.output().mid(firstOutput));
    EXPECT_TRUE(out.contains(QStringLiteral("BUTTON Продолжить"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("MESSAGE Внимание: Закачка файла была прервана и будет "
                                            "продолжена.")))
        << out.toStdString();
    QStringList rows;
    for (const QString &line : out.split(u'\n'))
        if (line.startsWith(QStringLiteral("ROW ")))
            rows << line;
    EXPECT_EQ(rows,
              (QStringList{QStringLiteral("ROW 1 [] ") + first, QStringLiteral("ROW 2 [] ") + big,
                           QStringLiteral("ROW 3 [] ") + last}))
        << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("RESULT completed"))) << out.toStdString();
    EXPECT_LT(out.indexOf("MESSAGE Внимание"), out.indexOf("RESULT"));

    EXPECT_TRUE(sameContent(big, remoteBig));
    EXPECT_TRUE(sameContent(last, server->localPath(server->uploadFolder() + "/last.txt")));
    EXPECT_TRUE(sameContent(first, server->localPath(server->uploadFolder() + "/first.txt")));
    EXPECT_FALSE(QFile::exists(box.program("Upload.dat")));
    EXPECT_EQ(readFile(box.program("Files.txt")), QByteArray());

    // What the server received after the restart: big.bin from where it
    // stopped, and first.txt.
    const auto events = server->events();
    int bigUploads = 0;
    for (size_t i = eventsBefore; i < events.size(); ++i) {
        const auto &e = events[i];
        if (e.kind != "upload")
            continue;
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
