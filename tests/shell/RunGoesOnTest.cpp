// SPDX-License-Identifier: GPL-3.0-or-later
// What the user does in the main window while an upload run goes on: the
// windows opened from it leave the transfer going, against a server that
// reads at a fixed rate, and Close ends the run at once wherever it waits.

#include "ModalDriver.h"
#include "TestProgram.h"
#include "state/ResumeMarker.h"
#include "support/FtpTestServer.h"
#include "support/Loopback.h"
#include "upload/UploadRun.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <deque>
#include <functional>

namespace {

/// The server's read rate, and how long each window stays open. The socket
/// buffers on loopback hold a few megabytes: a sender that stops would keep
/// the server's count growing for under a second at this rate, so a window
/// open this long proves the transfer went on when the count reaches half
/// of rate times time.
constexpr qint64 ReadLimit = 8'000'000;
constexpr int OpenMs = 10000;
/// Close is answered within this; a wait left to its timeout takes 15 s (a
/// connect, a reply) or 60 s (a final reply, a digest).
constexpr qint64 CloseWithinMs = 1000;

/// Steps a test takes while a run goes on, each from a timer inside the
/// run's own event handling. A step returns true once done, and the next
/// starts; none may wait, or it would hold up the run itself.
class Steps
{
public:
    explicit Steps(std::deque<std::function<bool()>> steps) : m_steps(std::move(steps))
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            while (!m_steps.empty() && m_steps.front()())
                m_steps.pop_front();
        });
        m_timer.start(20);
    }
    bool done() const { return m_steps.empty(); }

private:
    std::deque<std::function<bool()>> m_steps;
    QTimer m_timer;
};

/// A step that is done `ms` after it is first asked.
std::function<bool()> after(int ms)
{
    auto clock = std::make_shared<QElapsedTimer>();
    return [clock, ms] {
        if (!clock->isValid())
            clock->start();
        return clock->elapsed() >= ms;
    };
}

QString remotePath(const FtpTestServer &server, const QString &name)
{
    return server.localPath(server.uploadFolder() + "/" + name.toStdString());
}

QStringList logLines(const TestProgram &p)
{
    return p.widget<QPlainTextEdit>("memLog")->toPlainText().split(u'\n');
}

struct OpenedWindow
{
    const char *name;
    std::function<void(TestProgram &)> open; ///< as the user opens it
    std::function<QDialog *(TestProgram &)> window;
};

} // namespace

TEST(RunGoesOn, WindowsOpenedFromTheMainWindowLeaveTheTransferGoing)
{
    const auto server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd, {.readLimit = ReadLimit});
    ASSERT_TRUE(server) << FtpTestServer::lastError();
    QTemporaryDir local;

    const OpenedWindow windows[] = {
        {"About",
         [](TestProgram &p) { QTest::mouseClick(p.widget<QLabel>("lblAbout"), Qt::LeftButton); },
         [](TestProgram &p) -> QDialog * { return p.about; }},
        {"file dialog", [](TestProgram &p) { p.widget<QPushButton>("btnSrcFileName")->click(); },
         [](TestProgram &p) -> QDialog * { return p.main->findChild<QFileDialog *>(); }},
        // The run selects the row it sends, so the delete button is live.
        {"delete question", [](TestProgram &p) { p.widget<QPushButton>("btnDelFiles")->click(); },
         [](TestProgram &p) -> QDialog * { return p.main->findChild<QMessageBox *>(); }},
        // Its listing holds the run up for as long as it takes, no longer.
        {"folder browser",
         [](TestProgram &p) { p.widget<QPushButton>("btnTargetFolder")->click(); },
         [](TestProgram &p) -> QDialog * { return p.folders; }},
    };
    for (const OpenedWindow &row : windows) {
        SCOPED_TRACE(row.name);
        // Longer than the window is open at the server's rate: no run reaches
        // its end. A name of its own: the server may still be writing what
        // reached it for the last row's file.
        const QString name =
            QStringLiteral("%1.bin").arg(QLatin1String(row.name)).replace(u' ', u'-');
        const QString big = local.filePath(name);
        QFile file(big);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(ReadLimit * 16));
        file.close();
        TestProgram p;
        ModalDriver driver;
        prepareRun(p, driver, *server, 0);
        p.main->uploadList().addFile(big);
        p.main->commandStateUpdate();
        p.main->show();
        driver.expect([](QWidget *) {}); // the window opened: left to the steps

        auto held = [&] { return QFileInfo(remotePath(*server, name)).size(); };
        qint64 before = 0, grown = 0, openMs = 0, closeMs = 0;
        bool stayedOpen = false, closed = false;
        QElapsedTimer clock;
        auto closeWindow = [&] {
            grown = held() - before;
            openMs = clock.elapsed();
            QDialog *window = row.window(p);
            stayedOpen = window && window->isVisible();
            if (window)
                window->reject();
            closed = true;
        };
        Steps steps({
            [&] { return held() > 2'000'000; }, // the transfer is in full flow
            [&] {
                before = held();
                clock.start();
                // From a timer of its own: a window that ran a modal loop
                // would not let this step go on before it closed.
                QTimer::singleShot(OpenMs, p.main.get(), closeWindow);
                row.open(p);
                return true;
            },
            [&] { return closed; },
            [&] {
                clock.restart();
                p.widget<QPushButton>("btnClose")->click();
                return true;
            },
        });
        p.widget<QPushButton>("btnRun")->click();
        closeMs = clock.elapsed();

        ASSERT_TRUE(steps.done()) << "the run ended before the window was closed";
        EXPECT_TRUE(stayedOpen);
        EXPECT_GE(grown, ReadLimit * OpenMs / 1000 / 2)
            << grown << " bytes in " << openMs << " ms with the window open";
        EXPECT_LT(closeMs, CloseWithinMs) << "Close in the middle of the file";
        EXPECT_EQ(driver.seen().size(), 2) << driver.seen().join(u',').toStdString();
        EXPECT_TRUE(driver.unexpected().isEmpty()) << driver.unexpected().join(u',').toStdString();
        // The file is continued by the next run.
        EXPECT_EQ(ResumeMarker::markedPath(p.files.markerFile), big);
        EXPECT_EQ(p.main->uploadList().paths(), QStringList{big});
    }
}

namespace {

struct CloseCase
{
    const char *waitingFor = nullptr;
    FtpServerOptions server{};
    bool silentConnect = false; ///< the server field names a port that never answers
    bool resume = false;        ///< the file is continued: the server holds its first half
    /// The run has reached its wait (Close comes 300 ms later).
    std::function<bool(const TestProgram &, const FtpTestServer &)> waiting{};
    QString lastPhase{};     ///< the log's last line before the result: no reason is logged
    bool markerKept = false; ///< the file is continued by the next run
};

bool hasCommand(const FtpTestServer &server, const std::string &prefix)
{
    for (const std::string &line : server.commands())
        if (line.rfind(prefix, 0) == 0)
            return true;
    return false;
}

std::vector<CloseCase> closeCases()
{
    const QString login = QStringLiteral("Авторизация на сервере...");
    auto sent = [](const char *command) {
        return [command](const TestProgram &, const FtpTestServer &s) {
            return hasCommand(s, command);
        };
    };
    return {
        {.waitingFor = "a connect never answered",
         .silentConnect = true,
         .waiting = [login](const TestProgram &p,
                            const FtpTestServer &) { return logLines(p).last() == login; },
         .lastPhase = login},
        {.waitingFor = "the reply to PASS",
         .server = {.stallOn = {"PASS"}},
         .waiting = sent("PASS"),
         .lastPhase = login},
        {.waitingFor = "a final reply that never comes",
         .server = {.finalReply = 0},
         .resume = true,
         .waiting = [](const TestProgram &,
                       const FtpTestServer &s) { return !s.uploads().empty(); },
         .lastPhase = QStringLiteral("Передача данных..."),
         .markerKept = true},
        {.waitingFor = "the server's digest",
         .server = {.stallOn = {"XSHA1"}, .xDigests = {"XSHA1"}},
         .waiting = sent("XSHA1"),
         .lastPhase = QStringLiteral("Проверка файла"),
         .markerKept = true},
        // The prompt answers Cancel when the window closes under it; the
        // cut's reason is logged before the prompt, as ever.
        {.waitingFor = "the connection-lost prompt",
         .server = {.cutDataAfter = 100000, .cutTimes = 1},
         .waiting = [](const TestProgram &p,
                       const FtpTestServer &) { return p.connLost->isVisible(); },
         .markerKept = true},
    };
}

} // namespace

TEST(RunGoesOn, CloseEndsTheRunAtOnceWhereverItWaits)
{
    QTemporaryDir local;
    const QString path = local.filePath(QStringLiteral("f.bin"));
    const QByteArray bytes(300000, 'f');
    writeFile(path, bytes);
    for (const CloseCase &row : closeCases()) {
        SCOPED_TRACE(row.waitingFor);
        const auto server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd, row.server);
        ASSERT_TRUE(server) << FtpTestServer::lastError();
        const SilentListener silent;
        const QString folder = QString::fromStdString(server->uploadFolder());
        TestProgram p([&](const QString &dir) {
            if (!row.resume)
                return;
            ResumeMarker::write(dir + QStringLiteral("Upload.dat"), path, folder);
            writeFile(remotePath(*server, QStringLiteral("f.bin")), bytes.left(bytes.size() / 2));
        });
        ModalDriver driver;
        prepareRun(p, driver, *server, 0,
                   row.silentConnect ? QStringLiteral("127.0.0.1:%1").arg(silent.port())
                                     : QString());
        p.main->uploadList().addFile(path);
        p.main->commandStateUpdate();
        const bool prompt = row.server.cutDataAfter >= 0;
        if (prompt)
            driver.expect([](QWidget *) {}); // left to the steps

        QElapsedTimer clock;
        Steps steps({
            [&] { return row.waiting(p, *server); },
            after(300),
            [&] {
                clock.start();
                p.widget<QPushButton>("btnClose")->click();
                return true;
            },
        });
        p.widget<QPushButton>("btnRun")->click();
        const qint64 closeMs = clock.elapsed();

        ASSERT_TRUE(steps.done()) << logLines(p).join(u'|').toStdString();
        EXPECT_LT(closeMs, CloseWithinMs);
        const QStringList log = logLines(p);
        ASSERT_GE(log.size(), 2);
        EXPECT_EQ(log.last(), UploadRun::TextInterrupted);
        EXPECT_TRUE(log[log.size() - 2].startsWith(row.lastPhase)) << log.join(u'|').toStdString();
        EXPECT_EQ(QFile::exists(p.files.markerFile), row.markerKept);
        EXPECT_FALSE(p.connLost->isVisible());
        EXPECT_EQ(driver.seen().size(), prompt ? 2 : 1) << driver.seen().join(u',').toStdString();
        EXPECT_TRUE(driver.unexpected().isEmpty()) << driver.unexpected().join(u',').toStdString();
    }
}
