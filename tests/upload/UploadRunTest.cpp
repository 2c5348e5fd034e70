// SPDX-License-Identifier: GPL-3.0-or-later
// The upload run against real FTP servers on loopback, with a scripted window.

#include "UploadRunSession.h"
#include "support/FtpTestClient.h"

#include "state/ListFile.h"
#include "state/ProfileFile.h"
#include "state/ResumeMarker.h"
#include "state/UploadList.h"
#include "upload/LoginRetry.h"
#include "upload/UploadRun.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <optional>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

using namespace Qt::StringLiterals;
using Kind = FtpTestServer::Kind;
using Strings = std::vector<std::string>;

namespace {

// The log of a pass up to its first file.
const QStringList LoggedIn{u"====="_s, u"Соединение... ОК"_s, u"Авторизация на сервере... ОК"_s,
                           u"Передача данных..."_s};

class UploadRunTest : public ::testing::Test, protected UploadRunSession
{
protected:
    // What the connection dialog holds, when not the server's own.
    QString serverField;
    std::optional<QString> password;
    /// A pyftpdlib server that cuts the data connection of the first
    /// upload `bytes` into it, once; `opts` may add other faults.
    void startServerCuttingOnceAfter(qint64 bytes, FtpServerOptions opts = {})
    {
        opts.cutDataAfter = bytes;
        opts.cutTimes = 1;
        startServer(Kind::Pyftpd, opts);
    }

    /// proftpd with mod_digest: HASH and the X commands on every file.
    /// `continuing` also lets it append and overwrite, which its default
    /// refuses.
    void startProftpdWithDigests(bool continuing)
    {
        startServer(Kind::Proftpd, {.proftpdModules = {"mod_digest.c"},
                                    .proftpdLines = continuing ? Strings{"AllowOverwrite on",
                                                                         "AllowStoreRestart on"}
                                                               : Strings{}});
    }

    /// The log line of a file whose digest the server confirmed.
    QString verified(const QString &name, const char *algorithm = "SHA-256") const
    {
        return u"Проверка файла %1/%2... ОК (%3 совпадает)"_s.arg(view.folder, name,
                                                                  QLatin1String(algorithm));
    }

    /// The run with the server's own account unless the test says otherwise.
    UploadRun::Outcome run(int finalReplyMs = 5000, bool everyBlock = true)
    {
        const ConnectionParams params{
            serverField.isEmpty() ? QString::fromStdString(server->serverField()) : serverField,
            QString::fromStdString(server->user()),
            password.value_or(QString::fromStdString(server->password()))};
        ftp::FtpService::Options options = testOptions(5000);
        options.timeouts.finalReplyMs = finalReplyMs;
        return runUpload(params, options, everyBlock);
    }

    /// Prepares a resume: the marker names the file, the flag is on and the
    /// server holds `held` as the file's remote content.
    void prepareResume(const QString &localPath, const QByteArray &held)
    {
        ASSERT_TRUE(ResumeMarker::write(files().markerFile, localPath, view.folder));
        state.resume = true;
        const QString remote = remoteOf(QFileInfo(localPath).fileName());
        writeFile(remote, held);
        // The real servers write as the "ftp" account.
        if (server->kind() != Kind::Pyftpd)
            ::chmod(QFile::encodeName(remote).constData(), 0666);
    }

    /// Lists one local file of `data` as `name`.
    QString listOne(const QString &name, const QByteArray &data)
    {
        const QString path = makeLocal(name, data);
        list.setPaths({path});
        return path;
    }

    /// The run left `path` to be continued: the flag on, the marker naming it.
    void expectMarked(const QString &path) const
    {
        EXPECT_TRUE(state.resume);
        EXPECT_EQ(ResumeMarker::markedPath(files().markerFile), path);
    }

    QString lastMessage() const
    {
        return view.messages.isEmpty() ? QString() : view.messages.last().text;
    }

    /// What the last run told its window as it ended: message, files sent,
    /// files it was to send.
    std::tuple<QString, int, int> lastEnd() const
    {
        if (view.ends.isEmpty())
            return {};
        const ScriptedView::End &end = view.ends.last();
        return {end.message, end.filesSent, end.filesTotal};
    }
};

/// One run and one continuation after a cut on each real server kind.
class UploadRunOnEachServer : public UploadRunTest, public ::testing::WithParamInterface<Kind>
{
};

TEST_P(UploadRunOnEachServer, OnePassSendsEveryFileByteForByteAndEmptiesTheList)
{
    startServer(GetParam());
    const QByteArray big = randomBytes(3 * 1024 * 1024 + 123, 1);
    const QByteArray small = randomBytes(4096, 2);
    const QString a = makeLocal("big.bin", big);
    const QString b = makeLocal("empty.txt", {});
    const QString c = makeLocal(u"отчёт 1.dat"_s, small);
    list.setPaths({a, b, c});

    EXPECT_EQ(run(), UploadRun::Outcome::Completed);

    EXPECT_EQ(readFile(remoteOf("big.bin")), big);
    EXPECT_EQ(readFile(remoteOf("empty.txt")), QByteArray());
    EXPECT_EQ(readFile(remoteOf(u"отчёт 1.dat"_s)), small);
    EXPECT_EQ(view.log, LoggedIn + QStringList{UploadRun::TextCompleted});
    // Three new files: each asked for, created by APPE over one data
    // connection, and checked; no empty put.
    EXPECT_EQ(server->commandsStartingWith("SIZE ").size(), 6u);
    EXPECT_EQ(server->commandsStartingWith("EPSV").size(), 3u);
    EXPECT_EQ(server->commandsStartingWith("APPE ").size(), 3u);
    EXPECT_TRUE(server->commandsStartingWith("STOR ").empty());
    ASSERT_EQ(view.messages.size(), 1);
    EXPECT_EQ(view.messages[0].text, UploadRun::TextCompleted);
    EXPECT_EQ(view.messages[0].caption, u"Сообщение"_s);
    EXPECT_EQ(view.busyChanges, (QList<bool>{true, false}));
    EXPECT_TRUE(view.prompts.isEmpty());
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(readFile(files().listFile), QByteArray());
    EXPECT_FALSE(QFile::exists(files().markerFile));
    EXPECT_FALSE(state.resume);
    EXPECT_EQ(state.uploadTotal, big.size() + small.size());
    ASSERT_FALSE(view.progress.isEmpty());
    EXPECT_EQ(view.progress.last().percent, 100);
    EXPECT_EQ(view.progress.last().sent, state.uploadTotal);
    EXPECT_EQ(view.progress.last().left, 0);
    // Files left count the one being sent until the server has confirmed it.
    EXPECT_EQ(view.progress.first().filesLeft, 3);
    EXPECT_EQ(view.progress.last().filesLeft, 1);
    // The end is told before the closing box comes.
    ASSERT_EQ(view.ends.size(), 1);
    EXPECT_EQ(lastEnd(), std::make_tuple(UploadRun::TextCompleted, 3, 3));
    EXPECT_EQ(view.ends[0].messagesBefore, 0);
    // The folder is stored when the run starts.
    EXPECT_EQ(ProfileFile(files().settingsFile).readString("Options", "DestFolder"), view.folder);
}

TEST_P(UploadRunOnEachServer, ServerStoppedMidFileIsContinuedFromItsSizeAfterContinue)
{
    startServer(GetParam());
    const QByteArray data = randomBytes(8 * 1024 * 1024, 3);
    const QString a = listOne("a.bin", data);
    bool stopped = false;
    // Stopped once the server has written part of the file: what reached it
    // may still sit in socket buffers for a while.
    view.onEvents = [&] {
        if (!stopped && !view.progress.isEmpty() && view.progress.last().sent > 1024 * 1024 &&
            QFileInfo(remoteOf("a.bin")).size() > 0) {
            stopped = true;
            server->stop();
        }
    };
    view.onPrompt = [&](const QString &) { server->restart(); };

    EXPECT_EQ(run(), UploadRun::Outcome::Completed);
    EXPECT_EQ(readFile(remoteOf("a.bin")), data);
    ASSERT_FALSE(view.prompts.isEmpty());
    EXPECT_EQ(view.prompts.first(), UploadRun::TextConnectionLost);
    EXPECT_EQ(view.log.count(u"====="_s), view.prompts.size() + 1);
    EXPECT_EQ(view.progress.last().percent, 100);
    // proftpd refuses both APPE and REST+STOR on the part it holds: the file
    // is sent again from its start, and the log says so.
    const QString again =
        u"Сервер не даёт дописать файл, передаётся заново: %1/a.bin"_s.arg(view.folder);
    EXPECT_EQ(view.log.contains(again), GetParam() == Kind::Proftpd)
        << view.log.join('|').toStdString();
}

INSTANTIATE_TEST_SUITE_P(Servers, UploadRunOnEachServer,
                         ::testing::Values(Kind::Pyftpd, Kind::Vsftpd, Kind::Proftpd,
                                           Kind::PureFtpd),
                         [](const auto &info) { return FtpTestServer::kindName(info.param); });

/// Breaks the upload's data connection as a failing link does: the server
/// reads a reset, and the run's next send fails. The one socket of this
/// process connected to the server's host at another port than `controlPort`
/// is the data connection; its descriptor is put on a fresh socket, so the
/// run goes on holding a valid one.
void resetDataConnection(uint16_t controlPort)
{
    QDir fds(u"/proc/self/fd"_s);
    for (const QString &entry : fds.entryList(QDir::NoDotAndDotDot | QDir::System)) {
        const int fd = entry.toInt();
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) != 0 ||
            peer.sin_family != AF_INET || ntohs(peer.sin_port) == controlPort)
            continue;
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        const int fresh = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::dup2(fresh, fd);
        ::close(fresh);
    }
}

// Servers set to delete a transfer that fails: proftpd's DeleteAbortedStores
// and vsftpd's delete_failed_uploads treat a failed APPE as a failed STOR, so
// what reached them goes. What matters holds all the same: the server never
// holds anything but a head of the file, the row is not done before the
// server has the whole file, and Continue sends it whole.
TEST_F(UploadRunTest, ServersThatDeleteFailedTransfersStillGetTheWholeFile)
{
    const std::pair<Kind, FtpServerOptions> servers[] = {
        {Kind::Proftpd,
         {.proftpdLines = {"DeleteAbortedStores on", "AllowOverwrite on", "AllowStoreRestart on"}}},
        {Kind::Vsftpd, {.vsftpdLines = {"delete_failed_uploads=YES"}}},
    };
    for (const auto &[kind, opts] : servers) {
        SCOPED_TRACE(FtpTestServer::kindName(kind));
        startServer(kind, opts);
        const QByteArray data = randomBytes(8 * 1024 * 1024, 46);
        listOne("a.bin", data);
        view.prompts.clear();
        bool cut = false;
        view.onEvents = [&] {
            if (!cut && !view.progress.isEmpty() && view.progress.last().sent > 1024 * 1024 &&
                QFileInfo(remoteOf("a.bin")).size() > 0) {
                cut = true;
                resetDataConnection(server->port());
            }
        };
        std::optional<QByteArray> heldAtPrompt;
        bool doneAtPrompt = true;
        view.onPrompt = [&](const QString &) {
            // The server may be deleting it just now: what it held, or nothing.
            QFile held(remoteOf("a.bin"));
            heldAtPrompt = held.open(QIODevice::ReadOnly) ? held.readAll() : QByteArray();
            doneAtPrompt = list.at(0).done;
        };

        EXPECT_EQ(run(), UploadRun::Outcome::Completed);
        ASSERT_TRUE(cut);
        EXPECT_EQ(view.prompts, QStringList{UploadRun::TextConnectionLost});
        ASSERT_TRUE(heldAtPrompt);
        EXPECT_TRUE(data.startsWith(*heldAtPrompt)) << heldAtPrompt->size();
        EXPECT_FALSE(doneAtPrompt);
        EXPECT_EQ(readFile(remoteOf("a.bin")), data);
        EXPECT_FALSE(QFile::exists(files().markerFile));
    }
}

// Size queries and EPSV go together; a server that loses commands sent so
// costs one wait for a reply, and the run then sends one at a time.
TEST_F(UploadRunTest, ServerThatDropsCommandsSentTogetherGetsThemOneAtATime)
{
    startServer(Kind::Pyftpd, {.dropPipelined = true});
    const QByteArray a = randomBytes(5000, 47), b = randomBytes(6000, 48);
    list.setPaths({makeLocal("a.bin", a), makeLocal("b.bin", b)});
    const ConnectionParams params{QString::fromStdString(server->serverField()),
                                  QString::fromStdString(server->user()),
                                  QString::fromStdString(server->password())};

    EXPECT_EQ(runUpload(params, testOptions(1000), true), UploadRun::Outcome::Completed);
    EXPECT_EQ(readFile(remoteOf("a.bin")), a);
    EXPECT_EQ(readFile(remoteOf("b.bin")), b);
    EXPECT_EQ(view.prompts, QStringList{UploadRun::TextConnectionLost});
    EXPECT_TRUE(view.log.contains(
        u"Сервер не ответил на команды, посланные подряд; дальше они идут по одной"_s))
        << view.log.join('|').toStdString();
}

TEST_F(UploadRunTest, CutDataConnectionContinuesWithoutSendingTheFirstPartAgain)
{
    // A server without SIZE tells the size by MLST, or else by its listing.
    const std::pair<const char *, FtpServerOptions> servers[] = {
        {"SIZE", {}},
        {"MLST", {.noSize = true}},
        {"LIST", {.noSize = true, .noMlst = true}},
    };
    for (const auto &[what, opts] : servers) {
        SCOPED_TRACE(what);
        startServerCuttingOnceAfter(300000, opts);
        const QByteArray data = randomBytes(1024 * 1024, 4);
        listOne("a.bin", data);
        view.prompts.clear();
        view.progress.clear();

        EXPECT_EQ(run(), UploadRun::Outcome::Completed);
        EXPECT_EQ(readFile(remoteOf("a.bin")), data);
        EXPECT_EQ(view.prompts, QStringList{UploadRun::TextConnectionLost});
        // APPE creates the file, so the part before the cut stays; the rest.
        EXPECT_EQ(
            server->uploadLines(),
            (Strings{"APPE 0+300000", "APPE 300000+" + std::to_string(data.size() - 300000)}));
        // The new pass counts the bytes the server held as sent already.
        ASSERT_FALSE(view.progress.isEmpty());
        EXPECT_EQ(view.progress.last().sent, data.size());
        EXPECT_EQ(view.progress.last().percent, 100);
    }
}

TEST_F(UploadRunTest, ContinuationWaitsUntilTheServerHasWrittenWhatReachedItBeforeTheCut)
{
    // After a cut the server may still be writing bytes that reached it over
    // the old connection. Played here: the first time the run lets the
    // window breathe after its first SIZE following the cut, the next
    // 100000 bytes of the file land on the server, as the old session's
    // buffered tail would. Appending from the size read before them would put
    // them in twice and shift the rest of the file.
    startServerCuttingOnceAfter(300000);
    const QByteArray data = randomBytes(1024 * 1024, 11);
    const qint64 tail = 100000;
    listOne("a.bin", data);

    auto sizeQueries = [this] {
        int n = 0;
        for (const std::string &c : server->commands())
            n += c == "SIZE " + server->uploadFolder() + "/a.bin";
        return n;
    };
    int sizesAtPrompt = -1;
    bool tailWritten = false;
    view.onPrompt = [&](const QString &) { sizesAtPrompt = sizeQueries(); };
    view.onEvents = [&] {
        if (sizesAtPrompt < 0 || tailWritten || sizeQueries() <= sizesAtPrompt)
            return;
        tailWritten = true;
        QFile remote(remoteOf("a.bin"));
        ASSERT_TRUE(remote.open(QIODevice::Append));
        ASSERT_EQ(remote.size(), 300000);
        remote.write(data.mid(300000, tail));
    };

    EXPECT_EQ(run(), UploadRun::Outcome::Completed);
    ASSERT_TRUE(tailWritten);
    EXPECT_EQ(readFile(remoteOf("a.bin")), data);
    EXPECT_EQ(view.prompts, QStringList{UploadRun::TextConnectionLost});
    EXPECT_EQ(server->uploadLines(),
              (Strings{"APPE 0+300000", "APPE " + std::to_string(300000 + tail) + "+" +
                                            std::to_string(data.size() - 300000 - tail)}));
}

// A server out of room breaks the data connection and says why: no lost
// connection to wait out, but an error box with its reply. The part it holds,
// the marker and the files not sent stay for a later run. pyftpdlib plays a
// full disk and a quota; pure-ftpd has a real quota of 1 MB.
TEST_F(UploadRunTest, FullDiskOrQuotaEndsTheRunWithTheServersReply)
{
    const struct
    {
        Kind kind;
        FtpServerOptions opts;
        const char *refused; // the file the server has no room for
        const char *code;
    } servers[] = {
        {Kind::Pyftpd,
         {.cutDataAfter = 300000, .cutTimes = 1, .cutReply = "552 Disk quota exceeded."},
         "a.bin",
         "552"},
        {Kind::Pyftpd,
         {.cutDataAfter = 300000, .cutTimes = 1, .cutReply = "452 Insufficient storage space."},
         "a.bin",
         "452"},
        {Kind::PureFtpd, {.pureFtpdArgs = {"-n", "1000:1"}}, "b.bin", "552"},
    };
    for (const auto &row : servers) {
        SCOPED_TRACE(row.code);
        startServer(row.kind, row.opts);
        // pure-ftpd keeps the account's usage in its root, which it must write.
        const passwd *ftp = ::getpwnam("ftp");
        ASSERT_TRUE(ftp);
        ASSERT_EQ(
            ::chown(QFile::encodeName(server->rootPath()).constData(), ftp->pw_uid, ftp->pw_gid),
            0);
        const QByteArray data = randomBytes(600 * 1024, 49);
        const QStringList paths{makeLocal("a.bin", data),
                                makeLocal("b.bin", randomBytes(900 * 1024, 50)),
                                makeLocal("c.bin", "small")};
        list.setPaths(paths);
        QFile::remove(files().markerFile);
        state.resume = false;
        view.prompts.clear();
        view.messages.clear();
        view.log.clear();

        EXPECT_EQ(run(), UploadRun::Outcome::Interrupted);
        EXPECT_TRUE(view.prompts.isEmpty()) << view.prompts.join('|').toStdString();
        const QString refused = localDir.filePath(QString::fromLatin1(row.refused));
        ASSERT_FALSE(view.messages.isEmpty());
        EXPECT_TRUE(
            view.messages[0].text.startsWith(u"Сервер отказался сохранить файл %1/%2:\r\n%3"_s.arg(
                view.folder, row.refused, row.code)))
            << view.messages[0].text.toStdString();
        EXPECT_TRUE(
            view.log.filter(u"Сервер не подтвердил приём файла: %1"_s.arg(row.code)).size() == 1)
            << view.log.join('|').toStdString();
        QStringList listed;
        ASSERT_TRUE(ListFile::read(files().listFile, &listed));
        EXPECT_EQ(listed, paths.mid(paths.indexOf(refused)));
        expectMarked(refused);
        // pure-ftpd deletes what it refused; pyftpdlib keeps the part.
        if (row.kind == Kind::Pyftpd) {
            EXPECT_EQ(readFile(remoteOf("a.bin")), data.left(300000));
        }
    }
}

// A server that names its files in Windows-1251 cannot hold a name the code
// page lacks: that file is named in the log and left listed, the others go.
TEST_F(UploadRunTest, NameTheServersCodePageLacksIsNotSent)
{
    startServer(Kind::Pyftpd, {.legacyNames = true});
    writeFile(files().settingsFile, QByteArray("[Options]\r\nWindows1251Servers=") +
                                        server->serverField().c_str() + "\r\n");
    RemoteNames codePages(files().settingsFile);
    names = &codePages;
    const QString fits = makeLocal(u"отчёт.txt"_s, "a"), lacks = makeLocal(u"日本.txt"_s, "b");
    list.setPaths({fits, lacks});

    EXPECT_EQ(run(), UploadRun::Outcome::Incomplete);
    EXPECT_TRUE(view.log.contains(
        u"Имя файла нельзя записать в кодировке сервера (Windows-1251), файл не передан: %1"_s.arg(
            lacks)))
        << view.log.join('|').toStdString();
    EXPECT_EQ(server->uploads().size(), 1u);
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(list.at(0).path, lacks);
    // The name arrived in Windows-1251, which the temporary folder's own
    // clean-up cannot read back.
    std::filesystem::remove_all(
        QFile::encodeName(server->localPath(server->uploadFolder())).toStdString());
}

// A refusal to append or restart that says nothing about appending (busy,
// a local error, no room) never costs the part the server holds: a 4xx is
// asked about as a lost connection (Cancel here), no room ends the run.
TEST_F(UploadRunTest, RefusedResumesKeepThePartTheServerHolds)
{
    for (const int code : {450, 451, 452, 552}) {
        SCOPED_TRACE(code);
        startServer(Kind::Pyftpd, {.refuseResume = code});
        const QByteArray data = randomBytes(10000, 50);
        const QString a = listOne("a.bin", data);
        prepareResume(a, data.left(4000));
        view.prompts.clear();
        view.answers = {ContinuePrompt::Cancel};

        EXPECT_EQ(run(), UploadRun::Outcome::Interrupted);
        EXPECT_EQ(view.prompts.size(), code == 450 || code == 451 ? 1 : 0);
        EXPECT_EQ(readFile(remoteOf("a.bin")), data.left(4000));
        EXPECT_TRUE(server->commandsStartingWith("DELE").empty());
        expectMarked(a);
    }
}

TEST_F(UploadRunTest, RejectedFinalReplyIsRetriedOnceThenPassedOverWithItsReason)
{
    // A refusal is the server's verdict, not a lost connection: no prompt,
    // and no endless round of reconnections.
    startServer(Kind::Pyftpd, {.finalReply = 550});
    const QByteArray data = randomBytes(100000, 5);
    const QString a = listOne("a.bin", data);
    prepareResume(a, data.left(1000));

    EXPECT_EQ(run(), UploadRun::Outcome::Incomplete);
    EXPECT_EQ(lastMessage(), UploadRun::TextIncomplete);
    EXPECT_TRUE(view.prompts.isEmpty()) << view.prompts.join('|').toStdString();
    const QString reason =
        u"Сервер не подтвердил приём файла: 550 Final reply chosen by the test server."_s;
    EXPECT_EQ(view.log.count(reason), 2) << view.log.join('|').toStdString();
    EXPECT_TRUE(
        view.log.contains(u"Файл не передан после двух попыток: %1/a.bin"_s.arg(view.folder)));
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(list.at(0).status, UploadRun::TextError);
    // What the server holds is not the file: nothing to continue.
    EXPECT_FALSE(QFile::exists(files().markerFile));
    EXPECT_FALSE(state.resume);

    // Rejected once: retried, then confirmed.
    startServer(Kind::Pyftpd, {.finalReply = 550, .finalTimes = 1});
    prepareResume(a, data.left(1000));
    view.prompts.clear();
    EXPECT_EQ(run(), UploadRun::Outcome::Completed);
    EXPECT_TRUE(view.prompts.isEmpty());
    EXPECT_EQ(readFile(remoteOf("a.bin")), data);
    EXPECT_FALSE(QFile::exists(files().markerFile));
}

// Before a file is continued, the marker must still describe it: a file
// regenerated, or a folder typed anew, since the cut would otherwise get its
// new tail appended after the old head.
TEST_F(UploadRunTest, MarkerOfAChangedFileOrFolderStartsTheFileAfresh)
{
    startServer(Kind::Pyftpd);
    const QByteArray old = randomBytes(60000, 40), fresh = randomBytes(60000, 41);
    for (const bool folderChanged : {false, true}) {
        SCOPED_TRACE(folderChanged ? "folder changed" : "file changed");
        const QString a = listOne("a.bin", old);
        prepareResume(a, old.left(20000));
        if (folderChanged) {
            ASSERT_TRUE(ResumeMarker::write(files().markerFile, a, view.folder + u"/elsewhere"_s));
        } else {
            // The same size, the time stamp two seconds on.
            const QDateTime then = QFileInfo(a).lastModified();
            writeFile(a, fresh);
            QFile f(a);
            ASSERT_TRUE(f.open(QIODevice::ReadWrite));
            ASSERT_TRUE(f.setFileTime(then.addSecs(2), QFileDevice::FileModificationTime));
        }
        view.log.clear();

        EXPECT_EQ(run(), UploadRun::Outcome::Completed);
        EXPECT_EQ(readFile(remoteOf("a.bin")), folderChanged ? old : fresh);
        const QString why = folderChanged
                                ? u"Папка на сервере изменилась после обрыва, файл "
                                  u"передаётся заново: %1"_s.arg(a)
                                : u"Файл изменился после обрыва, передаётся заново: %1"_s.arg(a);
        EXPECT_TRUE(view.log.contains(why)) << view.log.join('|').toStdString();
    }
}

// The marker is on disk before the server's file is touched: a data folder
// that cannot take it leaves the remote file as it was.
TEST_F(UploadRunTest, MarkerThatCannotBeWrittenLeavesTheServerUntouched)
{
    startServer(Kind::Pyftpd);
    const QByteArray theirs = randomBytes(30000, 42);
    writeFile(remoteOf("a.bin"), theirs);
    listOne("a.bin", randomBytes(10000, 43));
    markerFile = programDir.filePath("gone/Upload.dat");

    EXPECT_EQ(run(), UploadRun::Outcome::Interrupted);
    EXPECT_EQ(readFile(remoteOf("a.bin")), theirs);
    ASSERT_FALSE(view.messages.isEmpty());
    EXPECT_EQ(view.messages.first().caption, UploadRun::TextError);
    EXPECT_TRUE(view.messages.first().text.contains(u"Upload.dat"_s));
    EXPECT_TRUE(server->uploadLines().empty());
    EXPECT_EQ(list.count(), 1);
}

// pure-ftpd with --autorename keeps an existing file and stores the new one
// under another name: appending onto the kept file would put the new tail
// after the old head.
TEST_F(UploadRunTest, ServerThatKeepsTheOldFileNeverGetsTheNewOneAppended)
{
    startServer(Kind::PureFtpd, {.pureFtpdArgs = {"-r"}});
    const QByteArray theirs = randomBytes(2000, 44);
    writeFile(remoteOf("report.bin"), theirs);
    ::chmod(QFile::encodeName(remoteOf("report.bin")).constData(), 0666);
    listOne("report.bin", randomBytes(3000, 45));

    EXPECT_EQ(run(), UploadRun::Outcome::Incomplete);
    EXPECT_EQ(readFile(remoteOf("report.bin")), theirs);
    EXPECT_TRUE(view.log.contains(u"Сервер сохранил прежний файл %1/report.bin (2000 байт) вместо "
                                  u"нового пустого; файл не передан, чтобы не дописать его к "
                                  u"старому"_s.arg(view.folder)))
        << view.log.join('|').toStdString();
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(list.at(0).status, UploadRun::TextError);
    EXPECT_FALSE(QFile::exists(files().markerFile));
}

// Two files of one name would go to one remote file: the first one goes,
// the second stays listed with the reason, whether the run found both at its
// start (a Files.txt of an older version) or was handed the second later.
TEST_F(UploadRunTest, TwoFilesOfOneNameNeverBothCountAsSent)
{
    startServer(Kind::Pyftpd);
    QDir(localDir.path()).mkpath("a");
    QDir(localDir.path()).mkpath("b");
    const QByteArray dataA = randomBytes(5000, 46), dataB = randomBytes(6000, 47);
    const QString a = makeLocal("a/index.html", dataA), b = makeLocal("b/index.html", dataB);
    list.setPaths({a, b});

    EXPECT_EQ(run(), UploadRun::Outcome::Incomplete);
    EXPECT_EQ(readFile(remoteOf("index.html")), dataA);
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(list.at(0).path, b);
    EXPECT_EQ(list.at(0).status, UploadRun::TextNameTaken);
    EXPECT_TRUE(view.log.contains(
        u"Файл %1 не передан: на сервере он попал бы в тот же файл, что и %2"_s.arg(b, a)));
    EXPECT_EQ(ListFile::parse(readFile(files().listFile)), QStringList{b});
}

TEST_F(UploadRunTest, RemoteContentThatCannotBeOursIsReplacedNotAppendedTo)
{
    // A remote file larger than the local one is not ours, and with no way
    // to learn the size the server's content is unknown: both are created
    // afresh and sent from byte 0. Without SIZE, MLST tells the size, and
    // the file is continued.
    const FtpServerOptions noWay{
        .noSize = true,
        .badReplies = {{"MLST", "502 Not here.\r\n"}, {"LIST", "502 Not here.\r\n"}}};
    const struct
    {
        const char *name;
        FtpServerOptions opts;
        int64_t appendedFrom;
    } cases[] = {{"remote larger", {}, 0},
                 {"no SIZE", {.noSize = true}, 20000},
                 {"no size at all", noWay, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        startServer(Kind::Pyftpd, c.opts);
        const QByteArray data = randomBytes(50000, 7);
        const QString a = listOne("a.bin", data);
        prepareResume(a, c.appendedFrom ? data.left(20000) : randomBytes(80000, 8));
        view.messages.clear();
        view.log.clear();

        EXPECT_EQ(run(), UploadRun::Outcome::Completed);
        EXPECT_EQ(readFile(remoteOf("a.bin")), data);
        EXPECT_EQ(lastMessage(), UploadRun::TextCompleted);
        EXPECT_EQ(server->uploadLines().back(), "APPE " + std::to_string(c.appendedFrom) + "+" +
                                                    std::to_string(data.size() - c.appendedFrom));
        EXPECT_EQ(view.log.contains(u"Сервер не сообщает размер файла, файл проверен только по "
                                    u"ответу сервера: %1/a.bin"_s.arg(view.folder)),
                  &c == &cases[2]);
    }
}

TEST_F(UploadRunTest, ResumeFlagContinuesOnlyTheMarkersFile)
{
    startServer(Kind::Pyftpd);
    const QByteArray dataA = randomBytes(40000, 9), dataB = randomBytes(60000, 10);
    const QString a = makeLocal("a.bin", dataA), b = makeLocal("b.bin", dataB);
    // a comes first while the flag is set for b: a must not be appended onto
    // the older a.bin the server holds.
    list.setPaths({a, b});
    prepareResume(b, dataB.left(25000));
    writeFile(remoteOf("a.bin"), randomBytes(10000, 11));

    EXPECT_EQ(run(), UploadRun::Outcome::Completed);
    EXPECT_EQ(readFile(remoteOf("a.bin")), dataA);
    EXPECT_EQ(readFile(remoteOf("b.bin")), dataB);
    // b, cut off earlier, went first and was continued: a did not take its
    // marker over.
    EXPECT_EQ(server->uploadLines(), (Strings{"APPE 25000+35000", "STOR 0+0", "APPE 0+40000"}));
}

TEST_F(UploadRunTest, MissingAndUnreadableEntriesArePassedOverAndKept)
{
    startServer(Kind::Pyftpd);
    const QByteArray dataA = randomBytes(5000, 12), dataC = randomBytes(7000, 13);
    const QString a = makeLocal("a.bin", dataA), c = makeLocal("c.bin", dataC);
    const QString missing = localDir.filePath("missing.bin");
    const QString folder = localDir.filePath("folder");
    QDir().mkpath(folder);
    const QString fifo = localDir.filePath("fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    list.setPaths({a, missing, folder, fifo, c});

    EXPECT_EQ(run(), UploadRun::Outcome::Incomplete);
    EXPECT_EQ(readFile(remoteOf("a.bin")), dataA);
    EXPECT_EQ(readFile(remoteOf("c.bin")), dataC);
    EXPECT_EQ(lastMessage(), UploadRun::TextIncomplete);
    EXPECT_EQ(list.paths(), (QStringList{missing, folder, fifo}));
    EXPECT_EQ(list.at(0).status, UploadRun::TextNotFound);
    EXPECT_EQ(list.at(1).status, UploadRun::TextError);
    EXPECT_EQ(list.at(2).status, UploadRun::TextError);
    EXPECT_EQ(ListFile::parse(readFile(files().listFile)), (QStringList{missing, folder, fifo}));
    EXPECT_EQ(state.uploadTotal, dataA.size() + dataC.size());
    EXPECT_EQ(lastEnd(), std::make_tuple(UploadRun::TextIncomplete, 2, 5));
    EXPECT_EQ(view.progress.first().filesLeft, 2) << "what was passed over is not left";
}

TEST_F(UploadRunTest, FilesAddedAndRowsDeletedDuringTheRunAreHandledByIdentity)
{
    startServer(Kind::Pyftpd);
    const QByteArray dataA = randomBytes(2 * 1024 * 1024, 14);
    const QByteArray dataB = randomBytes(3000, 15), dataC = randomBytes(3000, 16);
    const QByteArray dataD = randomBytes(9000, 17);
    const QString a = makeLocal("a.bin", dataA), b = makeLocal("b.bin", dataB);
    const QString c = makeLocal("c.bin", dataC), d = makeLocal("d.bin", dataD);
    list.setPaths({a, b, c});
    bool acted = false;
    view.onEvents = [&] {
        if (acted || view.progress.isEmpty())
            return;
        acted = true;
        // What the hand-off does: append and count the size.
        ASSERT_EQ(list.addFile(d), 3);
        state.uploadTotal += dataD.size();
        list.removeRowsAt({2}); // c, before the run reached it
    };

    EXPECT_EQ(run(), UploadRun::Outcome::Completed);
    EXPECT_EQ(readFile(remoteOf("a.bin")), dataA);
    EXPECT_EQ(readFile(remoteOf("b.bin")), dataB);
    EXPECT_EQ(readFile(remoteOf("d.bin")), dataD);
    EXPECT_FALSE(QFile::exists(remoteOf("c.bin")));
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(lastEnd(), std::make_tuple(UploadRun::TextCompleted, 3, 3));
}

TEST_F(UploadRunTest, FilesTxtHoldsWhatIsLeftToSendFromTheStartOfTheRun)
{
    startServer(Kind::Pyftpd);
    const QString sent = makeLocal("sent.bin", "sent before");
    const QString a = makeLocal("a.bin", randomBytes(5000, 30));
    const QString b = makeLocal("b.bin", randomBytes(6000, 31));
    const QString c = makeLocal("c.bin", randomBytes(7000, 32));
    // Rewritten after every file, or (a long interval) only at the start and
    // the end: what a crash leaves on disk is never less than what is unsent.
    const QList<std::pair<int, QList<QStringList>>> cases{
        {0, {{a, b, c}, {b, c}, {c}}},
        {60000, {{a, b, c}}},
    };
    for (const auto &[interval, expected] : cases) {
        SCOPED_TRACE(interval);
        listSaveIntervalMs = interval;
        list.setPaths({sent, a, b, c});
        list.setDone(0, true);
        QList<QStringList> seen;
        view.onEvents = [&] {
            const QStringList now = ListFile::parse(readFile(files().listFile));
            if (seen.isEmpty() || seen.last() != now)
                seen << now;
        };
        EXPECT_EQ(run(), UploadRun::Outcome::Completed);
        EXPECT_EQ(seen.mid(0, expected.size()), expected);
        EXPECT_EQ(readFile(files().listFile), QByteArray());
        EXPECT_TRUE(view.messages.size() == 1) << lastMessage().toStdString();
        view.messages.clear();
        view.onEvents = nullptr;
    }

    // A list file that cannot be written is said once at the start; the run
    // goes on, and says it again when it empties the list.
    QFile::remove(files().listFile);
    QDir().mkpath(files().listFile);
    list.setPaths({a});
    EXPECT_EQ(run(), UploadRun::Outcome::Completed);
    const QString warning = u"Не удалось сохранить список файлов."_s;
    ASSERT_EQ(view.messages.size(), 3);
    EXPECT_EQ(view.messages[0].text, warning);
    EXPECT_EQ(view.messages[0].icon, UploadView::Icon::Warning);
    EXPECT_EQ(view.messages[1].text, UploadRun::TextCompleted);
    EXPECT_EQ(view.messages[2].text, warning);
    EXPECT_EQ(readFile(remoteOf("a.bin")), readFile(a));
}

TEST_F(UploadRunTest, DeletingTheRowBeingSentEndsThatFileAfterTheCurrentBlock)
{
    // The file goes with its marker; the run goes on with the other two and
    // ends as complete.
    startServer(Kind::Pyftpd);
    const QByteArray dataA = randomBytes(4 * 1024 * 1024, 18), dataB = randomBytes(5000, 19),
                     dataC = randomBytes(70000, 44);
    list.setPaths(
        {makeLocal("a.bin", dataA), makeLocal("b.bin", dataB), makeLocal("c.bin", dataC)});
    bool markerWhileSent = false;
    view.onEvents = [&] {
        if (list.count() == 3 && !view.progress.isEmpty() && view.progress.last().sent > 100000) {
            markerWhileSent = QFile::exists(files().markerFile);
            list.removeRowsAt({0});
        }
    };

    EXPECT_EQ(run(), UploadRun::Outcome::Completed);
    EXPECT_TRUE(markerWhileSent);
    EXPECT_EQ(readFile(remoteOf("b.bin")), dataB);
    EXPECT_EQ(readFile(remoteOf("c.bin")), dataC);
    EXPECT_LT(QFileInfo(remoteOf("a.bin")).size(), dataA.size());
    EXPECT_EQ(list.count(), 0);
    EXPECT_FALSE(QFile::exists(files().markerFile));
    EXPECT_FALSE(state.resume) << "the button reads Закачать";
    EXPECT_EQ(lastEnd(), std::make_tuple(UploadRun::TextCompleted, 2, 2));

    // The last file deleted while it is sent: its marker goes too, and the
    // run, having sent nothing, says the upload was cut short.
    const QByteArray dataD = randomBytes(4 * 1024 * 1024, 45);
    listOne("d.bin", dataD);
    view.progress.clear();
    view.onEvents = [&] {
        if (list.count() == 1 && !view.progress.isEmpty() && view.progress.last().sent > 100000)
            list.removeRowsAt({0});
    };
    EXPECT_EQ(run(), UploadRun::Outcome::Interrupted);
    EXPECT_LT(QFileInfo(remoteOf("d.bin")).size(), dataD.size());
    EXPECT_FALSE(QFile::exists(files().markerFile));
    EXPECT_FALSE(state.resume);
    EXPECT_EQ(lastMessage(), UploadRun::TextInterrupted);
    EXPECT_EQ(lastEnd(), std::make_tuple(UploadRun::TextInterrupted, 0, 0));
}

TEST_F(UploadRunTest, TimeLeftOfAContinuedFileCountsOnlyTheBytesOfThisPass)
{
    // 90 of the file's 100 blocks are on the server; the clock moves one
    // second with each progress report.
    startServer(Kind::Pyftpd);
    const QByteArray data = randomBytes(100 * 4096, 43);
    const QString a = listOne("a.bin", data);
    prepareResume(a, data.left(90 * 4096));
    clock = [this] { return qint64(view.progress.size()) * 1'000'000'000; };

    EXPECT_EQ(run(), UploadRun::Outcome::Completed);
    EXPECT_EQ(readFile(remoteOf("a.bin")), data);
    // Report i comes i seconds into the pass, with i + 1 blocks sent in it
    // and 9 - i to go: i (9 - i) / (i + 1) seconds left. Counting the 90
    // blocks held before as sent in this pass would show 00:00:00 throughout.
    QStringList shown;
    for (const UploadView::Progress &p : view.progress)
        shown.append(p.timeLeft);
    EXPECT_EQ(shown, QStringList({"00:00:00", "00:00:04", "00:00:04", "00:00:04", "00:00:04",
                                  "00:00:03", "00:00:02", "00:00:01", "00:00:00", "00:00:00"}));
}

TEST_F(UploadRunTest, ByteCountsChangeAtTheirOwnPaceAndEndExact)
{
    // The bar follows every block; the byte counts and the time left change
    // at most once a second, and the file's last block shows them all.
    startServer(Kind::Pyftpd);
    const QByteArray data = randomBytes(200 * 4096, 44);
    listOne("a.bin", data);
    figuresRefreshMs = 1000;

    EXPECT_EQ(run(), UploadRun::Outcome::Completed);
    ASSERT_GE(view.progress.size(), 200);
    QSet<qint64> counts;
    for (const UploadView::Progress &p : view.progress)
        counts.insert(p.sent);
    EXPECT_LT(counts.size(), 10);
    EXPECT_EQ(view.progress.last().sent, data.size());
    EXPECT_EQ(view.progress.last().percent, 100);
}

TEST_F(UploadRunTest, CloseStopsTheRunAndTheNextRunContinuesTheFile)
{
    startServer(Kind::Pyftpd);
    const QByteArray data = randomBytes(4 * 1024 * 1024, 20);
    const QString a = listOne("a.bin", data);
    view.onEvents = [&] {
        if (!view.progress.isEmpty() && view.progress.last().sent > 500000)
            state.stop = true;
    };

    EXPECT_EQ(run(), UploadRun::Outcome::Interrupted);
    EXPECT_EQ(lastMessage(), UploadRun::TextInterrupted);
    EXPECT_EQ(lastEnd(), std::make_tuple(UploadRun::TextInterrupted, 0, 1));
    EXPECT_EQ(view.log.last(), UploadRun::TextInterrupted);
    expectMarked(a);
    EXPECT_EQ(list.count(), 1);
    const qint64 held = QFileInfo(remoteOf("a.bin")).size();
    ASSERT_GT(held, 0);
    ASSERT_LT(held, data.size());

    state.stop = false;
    view.onEvents = nullptr;
    EXPECT_EQ(run(), UploadRun::Outcome::Completed);
    EXPECT_EQ(readFile(remoteOf("a.bin")), data);
    EXPECT_EQ(lastEnd(), std::make_tuple(UploadRun::TextCompleted, 1, 1));
    const auto up = server->uploads();
    EXPECT_EQ(up.back().offset, held);
    EXPECT_EQ(up.back().bytes, data.size() - held);
}

TEST_F(UploadRunTest, WithTheUsualRefreshCloseAndDeletionStillTakeHoldMidFile)
{
    // The window is served once per read-ahead here, not after every block.
    startServer(Kind::Pyftpd);
    const QByteArray dataA = randomBytes(48 * 1024 * 1024 + 1000, 41);
    const QByteArray dataB = randomBytes(70000, 42);
    const QString a = makeLocal("a.bin", dataA), b = makeLocal("b.bin", dataB);
    list.setPaths({a, b});
    // Close at the first chance after the display showed progress: with the
    // usual intervals a fast loopback run may be over in a few refreshes.
    view.onEvents = [&] {
        if (!view.progress.isEmpty())
            state.stop = true;
    };
    EXPECT_EQ(run(5000, false), UploadRun::Outcome::Interrupted);
    const qint64 held = QFileInfo(remoteOf("a.bin")).size();
    ASSERT_GT(held, 0);
    ASSERT_LT(held, dataA.size());
    EXPECT_EQ(readFile(remoteOf("a.bin")), dataA.left(held));

    // Continued after the stop; this time a's row goes while a is sent: a
    // ends after its current read-ahead, continued byte for byte, and b goes.
    state.stop = false;
    const auto shown = view.progress.size();
    view.onEvents = [&] {
        if (list.count() == 2 && view.progress.size() > shown)
            list.removeRowsAt({0});
    };
    EXPECT_EQ(run(5000, false), UploadRun::Outcome::Completed);
    const qint64 heldAgain = QFileInfo(remoteOf("a.bin")).size();
    EXPECT_GT(heldAgain, held);
    EXPECT_LT(heldAgain, dataA.size());
    EXPECT_EQ(readFile(remoteOf("a.bin")), dataA.left(heldAgain));
    EXPECT_EQ(readFile(remoteOf("b.bin")), dataB);
    EXPECT_EQ(list.count(), 0);
}

TEST_F(UploadRunTest, FileThatChangesWhileSentIsSentAgainFromItsStart)
{
    // The first file grows while it is sent; the second is cut short before
    // all of it has left.
    startServer(Kind::Pyftpd);
    const qint64 mib = 1024 * 1024;
    const QByteArray data = randomBytes(2 * mib, 21);
    const QString a = makeLocal("a.bin", data);
    const QString b = makeLocal("b.bin", data);
    list.setPaths({a, b});
    bool grown = false;
    bool cut = false;
    view.onEvents = [&] {
        if (view.progress.isEmpty())
            return;
        const UploadView::Progress &p = view.progress.last();
        if (!grown && p.sent > 100000) {
            grown = true;
            QFile f(a);
            ASSERT_TRUE(f.open(QIODevice::Append));
            f.write("tail");
        }
        if (!cut && p.filesLeft == 1 && p.sent > 2 * mib + 100000) {
            cut = true;
            ASSERT_TRUE(QFile::resize(b, 3 * mib / 2));
        }
    };

    EXPECT_EQ(run(), UploadRun::Outcome::Completed);
    EXPECT_TRUE(cut);
    EXPECT_EQ(readFile(remoteOf("a.bin")), data + "tail");
    EXPECT_EQ(readFile(remoteOf("b.bin")), data.left(3 * mib / 2));
}

TEST_F(UploadRunTest, ServerThatRefusesAppendAndOverwriteStillGetsEveryFile)
{
    startServer(Kind::Pyftpd, {.proftpdLike = true});
    const QByteArray data = randomBytes(30000, 22);
    list.setPaths({makeLocal("new.bin", data), makeLocal("old.bin", data)});
    writeFile(remoteOf("old.bin"), "an older file");

    EXPECT_EQ(run(), UploadRun::Outcome::Completed);
    EXPECT_EQ(readFile(remoteOf("new.bin")), data);
    EXPECT_EQ(readFile(remoteOf("old.bin")), data);
    EXPECT_TRUE(view.prompts.isEmpty());
}

TEST_F(UploadRunTest, ServerDigestConfirmsEveryFileAndCatchesAWrongContinuation)
{
    startProftpdWithDigests(true);
    const QByteArray dataA = randomBytes(3 * 1024 * 1024 + 123, 51);
    const QByteArray dataC = randomBytes(2 * 1024 * 1024, 52);
    const QString a = makeLocal("a.bin", dataA), e = makeLocal("empty.txt", {});
    const QString c = makeLocal("c.bin", dataC);
    // The marker names the first file: the run continues it.
    list.setPaths({c, a, e});
    prepareResume(c, dataC.left(700000));

    EXPECT_EQ(run(), UploadRun::Outcome::Completed);
    EXPECT_EQ(readFile(remoteOf("a.bin")), dataA);
    EXPECT_EQ(readFile(remoteOf("c.bin")), dataC);
    EXPECT_EQ(view.log.mid(4, 3),
              (QStringList{verified("c.bin"), verified("a.bin"), verified("empty.txt")}));
    EXPECT_EQ(view.log.last(), UploadRun::TextCompleted);
    // Selected once for the connection; only the rest of c was sent, its
    // first part digested from the local file.
    const auto commands = server->commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "OPTS HASH SHA-256"), 1);
    ASSERT_FALSE(server->uploads().empty());
    EXPECT_EQ(server->uploads().front().command, "APPE");
    EXPECT_EQ(server->uploads().front().bytes, dataC.size() - 700000);

    // A continuation onto a part that is not this file's: the sizes agree,
    // the digests do not, and the file goes again from its start.
    const QByteArray dataD = randomBytes(1024 * 1024, 53);
    const QString d = listOne("d.bin", dataD);
    prepareResume(d, randomBytes(300000, 54));
    view.log.clear();
    EXPECT_EQ(run(), UploadRun::Outcome::Completed);
    EXPECT_EQ(readFile(remoteOf("d.bin")), dataD);
    const QString folder = view.folder;
    EXPECT_EQ(view.log.mid(4),
              (QStringList{u"Проверка файла %1/d.bin..."_s.arg(folder),
                           u"SHA-256 файла на сервере не совпадает, файл передаётся заново: "
                           u"%1/d.bin"_s.arg(folder),
                           verified("d.bin"), UploadRun::TextCompleted}));
    EXPECT_EQ(view.progress.last().sent, dataD.size()) << "the bytes sent again count once";
}

TEST_F(UploadRunTest, RemoteCopyChangedBeforeItsDigestIsSentAgainOnceThenGivenUp)
{
    startProftpdWithDigests(false);
    const QByteArray dataA = randomBytes(1024 * 1024, 55), dataB = randomBytes(5000, 56);
    list.setPaths({makeLocal("a.bin", dataA), makeLocal("b.bin", dataB)});
    // Each time between the server's confirmation and its digest, one byte
    // of its copy changes, and its time with it (proftpd keeps the digest it
    // made of the upload while the file's time stands).
    QByteArray tampered;
    view.onLog = [&](const QString &line) {
        if (!line.endsWith(u"/a.bin..."_s))
            return;
        QFile remote(remoteOf("a.bin"));
        ASSERT_TRUE(remote.open(QIODevice::ReadWrite));
        tampered = remote.readAll();
        tampered[1000] = char(tampered[1000] ^ 0x5a);
        remote.seek(0);
        remote.write(tampered);
        remote.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                           QFileDevice::FileModificationTime);
    };

    // Sent again once, then given up; it stays in the list, the other goes.
    EXPECT_EQ(run(), UploadRun::Outcome::Incomplete);
    const auto sha256 = [](const QByteArray &data) {
        return QString::fromLatin1(
            QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
    };
    const QString checking = u"Проверка файла %1/a.bin..."_s.arg(view.folder);
    EXPECT_EQ(view.log.mid(4),
              (QStringList{checking,
                           u"SHA-256 файла на сервере не совпадает, файл передаётся заново: "
                           u"%1/a.bin"_s.arg(view.folder),
                           checking,
                           u"SHA-256 не совпадает: на сервере %1, у локального файла %2"_s.arg(
                               sha256(tampered), sha256(dataA)),
                           verified("b.bin"), UploadRun::TextIncomplete}));
    EXPECT_EQ(lastMessage(), UploadRun::TextIncomplete);
    ASSERT_EQ(list.count(), 1);
    EXPECT_EQ(list.at(0).status, UploadRun::TextError);
    EXPECT_EQ(readFile(remoteOf("b.bin")), dataB);
    // What the server holds is not to be continued.
    EXPECT_FALSE(state.resume);
    EXPECT_FALSE(QFile::exists(files().markerFile));
}

TEST_F(UploadRunTest, OlderDigestCommandsAndARefusal)
{
    struct Case
    {
        std::vector<std::string> offered;
        const char *algorithm; // null: the server refuses
    };
    for (const Case &c : {Case{{"XCRC", "XMD5", "XSHA1"}, "SHA-1"}, Case{{"XCRC"}, "CRC32"},
                          Case{{"XSHA256"}, nullptr}}) {
        SCOPED_TRACE(c.offered.front());
        FtpServerOptions opts{.xDigests = c.offered};
        if (!c.algorithm)
            opts.badReplies = {{"XSHA256", "502 Not today.\r\n"}};
        startServer(Kind::Pyftpd, opts);
        const QByteArray data = randomBytes(200000, 57);
        // A blank in the name goes in quotes: the server must not take a range.
        list.setPaths({makeLocal("a 0 1.bin", data), makeLocal("b.bin", data)});
        view.log.clear();

        EXPECT_EQ(run(), UploadRun::Outcome::Completed);
        EXPECT_EQ(readFile(remoteOf("a 0 1.bin")), data);
        EXPECT_EQ(readFile(remoteOf("b.bin")), data);
        if (c.algorithm) {
            EXPECT_EQ(view.log.mid(4),
                      (QStringList{verified("a 0 1.bin", c.algorithm),
                                   verified("b.bin", c.algorithm), UploadRun::TextCompleted}));
            continue;
        }
        // Logged once; the files count by their size, as without digests.
        EXPECT_EQ(view.log.mid(4),
                  (QStringList{u"Проверка файла %1/a 0 1.bin..."_s.arg(view.folder),
                               u"Сервер отверг команду XSHA256: 502 Not today."_s,
                               UploadRun::TextCompleted}));
    }
}

TEST_F(UploadRunTest, RefusedCreateAppendAndDataConnectionsShowTheirErrorBoxes)
{
    // A file created neither by APPE nor by STOR, and data connections
    // refused both ways, named in the log before the box.
    for (const FtpServerOptions &opts :
         {FtpServerOptions{.refuseAppe = true, .refuseStor = true},
          FtpServerOptions{.refusePassive = true, .refuseActive = true}}) {
        SCOPED_TRACE(opts.refuseStor ? "STOR" : "data connections");
        startServer(Kind::Pyftpd, opts);
        listOne("a.bin", "abc");
        view.messages.clear();
        view.log.clear();
        EXPECT_EQ(run(), UploadRun::Outcome::Interrupted);
        ASSERT_EQ(view.messages.size(), 2);
        EXPECT_EQ(
            view.messages[0].text,
            u"Ошибка при создании файла %1/a.bin.\r\nПроверьте имя файла."_s.arg(view.folder));
        EXPECT_EQ(view.messages[0].caption, u"Ошибка"_s);
        EXPECT_EQ(view.messages[0].icon, UploadView::Icon::Error);
        EXPECT_EQ(view.messages[1].text, UploadRun::TextInterrupted);
        EXPECT_FALSE(state.resume);
    }
    EXPECT_EQ(view.log,
              (LoggedIn + QStringList{u"Сервер отказал в пассивном и активном режиме: 502 "
                                      u"Passive mode refused by the test server. / 502 "
                                      u"Active mode refused by the test server."_s,
                                      UploadRun::TextInterrupted}));
    {
        // Continuing at an offset: APPE and REST+STOR both refused.
        startServer(Kind::Pyftpd, {.refuseAppe = true, .refuseStor = true});
        view.messages.clear();
        const QByteArray data = randomBytes(10000, 23);
        const QString a = listOne("b.bin", data);
        prepareResume(a, data.left(4000));
        EXPECT_EQ(run(), UploadRun::Outcome::Interrupted);
        ASSERT_EQ(view.messages.size(), 2);
        EXPECT_EQ(view.messages[0].text, u"Ошибка при попытке дописать файл."_s);
        EXPECT_EQ(view.messages[1].text, UploadRun::TextInterrupted);
        // The marker and the flag stay, so a later run continues the file.
        expectMarked(a);
    }
}

TEST_F(UploadRunTest, AppendWhoseDataConnectionFailsIsALostConnectionNotARefusal)
{
    // 425: the server could not open the data connection. The way round a
    // refused APPE (REST and STOR, refused here too) must not be tried, or an
    // unattended run would end in an error box over a passing network fault.
    startServer(Kind::Pyftpd, {.refuseStor = true,
                               .badReplies = {{"APPE", "425 Can't open data connection.\r\n"}}});
    const QByteArray data = randomBytes(10000, 31);
    const QString a = listOne("a.bin", data);
    prepareResume(a, data.left(4000));

    view.answers = {2};
    EXPECT_EQ(run(), UploadRun::Outcome::Interrupted);
    EXPECT_EQ(view.prompts, QStringList{UploadRun::TextConnectionLost});
    ASSERT_EQ(view.messages.size(), 1);
    EXPECT_EQ(view.messages[0].text, UploadRun::TextInterrupted);
    for (const auto &c : server->commands())
        EXPECT_NE(c.rfind("STOR", 0), 0u) << c;
    // Nothing was lost: the server's part stays and the file is still marked
    // to be continued.
    EXPECT_EQ(readFile(remoteOf("a.bin")), data.left(4000));
    expectMarked(a);
}

// Why the logins fail, as the transfer log tells it: the reason once, however
// many attempts fail for it, and never the password. The prompt keeps its text.
// A refused password is put to the user at once, in a prompt that waits:
// servers lock accounts and ban addresses that keep trying. Other failures
// keep trying behind the time-out prompt that answers by itself.
TEST_F(UploadRunTest, LoginFailureLeavesItsReasonInTheLogOnce)
{
    const QString secret = u"wr0ng-pw"_s;
    const FtpServerOptions echo{.badReplies = {{"PASS", "530 Login incorrect for wr0ng-pw.\r\n"}}};
    struct Case
    {
        const char *name;
        FtpServerOptions opts;
        QString field; // the server field, %1 the port; empty: the server's own
        bool closed;   // nothing listens on the port
        QString reason;
    };
    const Case cases[] = {
        {"wrong password", {}, {}, false, u"Сервер отказал во входе: 530 Authentication failed."_s},
        {"server repeats the password",
         echo,
         {},
         false,
         u"Сервер отказал во входе: 530 Login incorrect for ***."_s},
        {"ftpes:// to a plain server",
         {},
         u"ftpes://127.0.0.1:%1"_s,
         false,
         u"Сервер отказал в шифровании: 500 Command \"AUTH\" not understood."_s},
        {"closed port", {}, {}, true, u"Нет соединения с 127.0.0.1:%1: соединение отвергнуто"_s},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        startServer(Kind::Pyftpd, c.opts);
        const QString port = QString::number(server->port());
        if (c.closed)
            server->stop();
        serverField = QString(c.field).replace(u"%1"_s, port);
        password = secret;
        listOne("a.bin", "abc");
        view.log.clear();
        view.prompts.clear();
        view.answers = {2};

        view.countdowns.clear();

        EXPECT_EQ(run(), UploadRun::Outcome::Interrupted);
        const QString reason = QString(c.reason).replace(u"%1"_s, port);
        const bool refused = reason.contains(u"530"_s); // the password itself
        EXPECT_EQ(view.prompts, QStringList{refused ? credentialsPromptText(reason)
                                                    : UploadRun::TextLoginTimeout});
        EXPECT_EQ(view.countdowns, QList{refused ? ContinuePrompt::Countdown::WaitForUser
                                                 : ContinuePrompt::Countdown::Auto});
        EXPECT_EQ(view.log,
                  (QStringList{u"====="_s, u"Соединение... ОК"_s, u"Авторизация на сервере..."_s,
                               reason, UploadRun::TextInterrupted}));
        for (const QString &line : view.log)
            EXPECT_FALSE(line.contains(secret)) << line.toStdString();
        // One password until the user answers.
        if (refused) {
            EXPECT_EQ(server->commandsStartingWith("PASS").size(), 1u);
        }
    }

    // Continue at the waiting prompt tries once more, and the refusal is
    // told again.
    startServer(Kind::Pyftpd);
    serverField.clear();
    view.log.clear();
    view.prompts.clear();
    view.answers = {1, 2};
    EXPECT_EQ(run(), UploadRun::Outcome::Interrupted);
    EXPECT_EQ(view.prompts.size(), 2);
    EXPECT_EQ(view.log.count(u"Сервер отказал во входе: 530 Authentication failed."_s), 2);
}

TEST_F(UploadRunTest, SlowLoginBringsTheTimeoutPromptAndCancelEndsTheRun)
{
    startServer(Kind::Pyftpd, {.refuseLoginSeconds = 3.5});
    const QByteArray data = randomBytes(1000, 24);
    listOne("a.bin", data);

    view.answers = {2};
    EXPECT_EQ(run(), UploadRun::Outcome::Interrupted);
    EXPECT_EQ(view.prompts, QStringList{UploadRun::TextLoginTimeout});
    EXPECT_EQ(lastMessage(), UploadRun::TextInterrupted);
    EXPECT_EQ(list.count(), 1);
    EXPECT_FALSE(QFile::exists(remoteOf("a.bin")));
    EXPECT_EQ(view.log.last(), UploadRun::TextInterrupted);
    // Failed logins are spaced out, not hammered.
    int logins = 0;
    for (const auto &c : server->commands())
        logins += c.rfind("USER", 0) == 0;
    EXPECT_LE(logins, 15);

    // Left alone, the prompt answers Continue and the run gets through.
    view.prompts.clear();
    EXPECT_EQ(run(), UploadRun::Outcome::Completed);
    EXPECT_FALSE(view.prompts.isEmpty());
    EXPECT_EQ(readFile(remoteOf("a.bin")), data);
}

TEST_F(UploadRunTest, CloseWhileLoginsKeepFailingEndsTheRun)
{
    startServer(Kind::Pyftpd, {.refuseLoginSeconds = 3600});
    listOne("a.bin", "abc");
    int calls = 0;
    view.onEvents = [&] {
        if (++calls == 3)
            state.stop = true; // the Close button
    };
    EXPECT_EQ(run(), UploadRun::Outcome::Interrupted);
    EXPECT_EQ(lastMessage(), UploadRun::TextInterrupted);
    EXPECT_TRUE(view.prompts.isEmpty());
}

TEST_F(UploadRunTest, CancelAtTheConnectionLostPromptKeepsMarkerAndList)
{
    startServerCuttingOnceAfter(50000);
    const QString a = listOne("a.bin", randomBytes(200000, 25));
    view.answers = {2};

    EXPECT_EQ(run(), UploadRun::Outcome::Interrupted);
    EXPECT_EQ(view.prompts, QStringList{UploadRun::TextConnectionLost});
    EXPECT_EQ(lastMessage(), UploadRun::TextInterrupted);
    EXPECT_EQ(list.count(), 1);
    EXPECT_FALSE(list.at(0).done);
    expectMarked(a);
}

TEST_F(UploadRunTest, RefusedSettingsWriteDoesNotStartTheRun)
{
    startServer(Kind::Pyftpd);
    listOne("a.bin", "x");
    QDir().mkpath(files().settingsFile); // a folder where the file should be
    EXPECT_EQ(run(), UploadRun::Outcome::NotStarted);
    ASSERT_EQ(view.messages.size(), 1);
    EXPECT_TRUE(view.messages[0].text.startsWith(u"Unable to write to "_s));
    EXPECT_TRUE(view.busyChanges.isEmpty());
    EXPECT_TRUE(view.ends.isEmpty()) << "a run that never started does not end";
    EXPECT_TRUE(server->commands().empty());
}

TEST_F(UploadRunTest, EmptyFilesOnlyShowOneHundredPercent)
{
    startServer(Kind::Pyftpd);
    list.setPaths({makeLocal("e1", {}), makeLocal("e2", {})});
    EXPECT_EQ(run(), UploadRun::Outcome::Completed);
    ASSERT_FALSE(view.progress.isEmpty());
    EXPECT_EQ(view.progress.last().percent, 100);
    EXPECT_EQ(readFile(remoteOf("e2")), QByteArray());
}

} // namespace
