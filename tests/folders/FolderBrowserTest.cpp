// SPDX-License-Identifier: GPL-3.0-or-later
// The folder browser against real servers: browsing down and up, what OK and
// Escape return, one login per listing, bounded LIST retries, the login
// prompt, and navigation keys ignored while a listing runs.

#include "folders/UFolders.h"
#include "shell/QtPrinters.h"
#include "shell/WindowFonts.h"
#include "state/RemoteNames.h"
#include "state/UploadList.h"
#include "support/FtpTestServer.h"
#include "support/TestCertificates.h"
#include "support/TestFiles.h"
#include "upload/ScriptedView.h"
#include "upload/UConnLost.h"
#include "upload/UploadRun.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

namespace {

using Kind = FtpTestServer::Kind;
using Strings = std::vector<std::string>;

// Waits for one listing step; generous, a login to a loaded machine is slow.
constexpr int ListingWaitMs = 30000;

ConnectionParams paramsOf(const FtpTestServer &server)
{
    return ConnectionParams{QString::fromStdString(server.serverField()),
                            QString::fromStdString(server.user()),
                            QString::fromStdString(server.password())};
}

// A browser wired to one test server, as the main window wires it.
struct Browser
{
    explicit Browser(const FtpTestServer &server, RemoteNames *names = nullptr,
                     std::function<ftp::FtpService::Options()> options = {})
        : dialog(
              &prompt, [&server] { return paramsOf(server); },
              options ? options : [] { return ftp::FtpService::Options{}; }, nullptr, names)
    {
        dialog.setFont(WindowFonts::sansSerif(11));
    }

    QTreeWidget *list() const { return dialog.findChild<QTreeWidget *>("lvFolders"); }
    QString status() const { return dialog.findChild<QLabel *>("lblStatus")->text(); }
    QString memo() const { return dialog.findChild<QPlainTextEdit *>("memPath")->toPlainText(); }

    QStringList captions() const
    {
        QStringList out;
        for (int i = 0; i < list()->topLevelItemCount(); ++i)
            out << list()->topLevelItem(i)->text(0);
        return out;
    }

    QTreeWidgetItem *item(const QString &caption) const
    {
        const auto found = list()->findItems(caption, Qt::MatchExactly);
        return found.isEmpty() ? nullptr : found.first();
    }

    // Opens the browser at `start`, runs `script` while it shows and
    // returns the folder it gave as it closed. If the script stops early (a
    // failed assertion), the dialog is closed so the test never hangs on it.
    QString run(const QString &start, const std::function<void()> &script)
    {
        QSignalSpy chosen(&dialog, &TfrmFolders::folderChosen);
        dialog.browse(start);
        script();
        if (dialog.isVisible())
            dialog.reject();
        // A close that comes during a listing step waits for its end.
        if (!QTest::qWaitFor([&] { return !chosen.isEmpty(); }, ListingWaitMs))
            return QStringLiteral("(the browser never closed)");
        EXPECT_EQ(chosen.size(), 1);
        return chosen.first().first().toString();
    }

    // Waits until `count` listing steps of this dialog have ended.
    bool waitForListings(int count) const
    {
        return QTest::qWaitFor([&] { return listings.count() >= count; }, ListingWaitMs);
    }

    // Enters the folder listed as `caption`, as Enter does.
    void enter(const QString &caption)
    {
        list()->setCurrentItem(item(caption));
        QTest::keyClick(list(), Qt::Key_Return);
    }

    void ok() { QTest::mouseClick(dialog.findChild<QPushButton *>("btnOK"), Qt::LeftButton); }

    TfrmConnLost prompt;
    TfrmFolders dialog;
    QSignalSpy listings{&dialog, &TfrmFolders::listingFinished};
};

Strings commandsStartingWith(const FtpTestServer &server, const std::string &prefix)
{
    return server.commandsStartingWith(prefix);
}

// vsftpd's protocol log writes every byte outside ASCII as "?".
std::string asLogged(Kind kind, std::string line)
{
    if (kind == Kind::Vsftpd)
        std::replace_if(
            line.begin(), line.end(), [](char c) { return c & 0x80; }, '?');
    return line;
}

void makeFolders(const FtpTestServer &server, const QStringList &paths)
{
    for (const QString &path : paths)
        ASSERT_TRUE(QDir(server.rootPath()).mkpath(path)) << path.toStdString();
}

// A folder "Папка" in Windows-1251 with "inside" in it, under the server's
// root. Qt reads file names as UTF-8 and cannot remove it, so this does.
struct Windows1251Folder
{
    explicit Windows1251Folder(const FtpTestServer &server)
        : path(QFile::encodeName(server.rootPath()).toStdString() + "/\xcf\xe0\xef\xea\xe0")
    {
        std::filesystem::create_directories(path / "inside");
    }
    ~Windows1251Folder() { std::filesystem::remove_all(path); }

    std::string read(const std::string &name) const
    {
        std::ifstream in(path / name, std::ios::binary);
        return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
    }

    std::filesystem::path path;
};

class FolderBrowser : public testing::Test
{
protected:
    /// Call through ASSERT_NO_FATAL_FAILURE: the test stops without a server.
    void startServer(Kind kind, const FtpServerOptions &options = {})
    {
        server = FtpTestServer::start(kind, options);
        ASSERT_TRUE(server) << FtpTestServer::lastError();
    }

    std::unique_ptr<FtpTestServer> server;
};

class FolderBrowserOnServer : public FolderBrowser, public testing::WithParamInterface<Kind>
{
};

} // namespace

// Down into pub by Enter, into "My Documents" by a double click, into a
// Cyrillic folder by Enter, up again by Backspace; OK with an entry selected
// returns the path joined with it.
TEST_P(FolderBrowserOnServer, BrowsesDownAndUpAndReturnsTheChosenPath)
{
    ASSERT_NO_FATAL_FAILURE(startServer(GetParam()));
    makeFolders(*server, {"pub/My Documents/Новая папка/deep", "pub/incoming", "other"});
    QFile(server->rootPath() + "/pub/a file.txt").open(QIODevice::WriteOnly);

    Browser browser(*server);
    QTreeWidget *list = browser.list();

    const QString result = browser.run("/", [&] {
        // The first listing starts by itself shortly after the dialog shows.
        ASSERT_TRUE(browser.waitForListings(1));
        EXPECT_EQ(browser.listings.last().at(0).toBool(), true);
        EXPECT_EQ(browser.status(), FolderLister::TextReady);
        EXPECT_EQ(browser.memo(), "/");
        const QStringList root = browser.captions();
        EXPECT_TRUE(root.contains("other") && root.contains("pub")) << root.join('|').toStdString();
        EXPECT_FALSE(root.contains("..")); // no parent entry at the root

        browser.enter("pub");
        ASSERT_EQ(browser.listings.count(), 2);
        EXPECT_TRUE(browser.dialog.isVisible()); // Enter enters, it does not press OK
        EXPECT_EQ(browser.memo(), "/pub");
        ASSERT_GE(list->topLevelItemCount(), 1);
        EXPECT_EQ(list->topLevelItem(0)->text(0), "..");
        QStringList pub = browser.captions().mid(1);
        pub.sort();
        EXPECT_EQ(pub, (QStringList{"My Documents", "incoming"})); // the file is left out

        QTreeWidgetItem *documents = browser.item("My Documents");
        ASSERT_TRUE(documents);
        const QPoint at = list->visualItemRect(documents).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
        ASSERT_EQ(browser.listings.count(), 3);
        EXPECT_EQ(browser.memo(), "/pub/My Documents");
        EXPECT_EQ(browser.captions(), (QStringList{"..", "Новая папка"}));

        list->setCurrentItem(browser.item("Новая папка"));
        QTest::keyClick(list, Qt::Key_Enter);
        ASSERT_EQ(browser.listings.count(), 4);
        EXPECT_EQ(browser.memo(), "/pub/My Documents/Новая папка");
        EXPECT_EQ(browser.captions(), (QStringList{"..", "deep"}));

        QTest::keyClick(list, Qt::Key_Backspace);
        ASSERT_EQ(browser.listings.count(), 5);
        EXPECT_EQ(browser.memo(), "/pub/My Documents");
        EXPECT_EQ(browser.status(), FolderLister::TextReady);

        list->setCurrentItem(browser.item("Новая папка"));
        browser.ok();
    });
    EXPECT_EQ(result, "/pub/My Documents/Новая папка");

    // Every listing logged in afresh and went to its folder by the full path.
    EXPECT_EQ(commandsStartingWith(*server, "USER ").size(), 5u);
    EXPECT_EQ(commandsStartingWith(*server, "CWD "),
              (Strings{"CWD /", "CWD /pub", "CWD /pub/My Documents",
                       asLogged(server->kind(), "CWD /pub/My Documents/Новая папка"),
                       "CWD /pub/My Documents"}));
}

// The dialog is reused: a new opening starts from its own start folder, a
// trailing "/" stays, and Escape returns the start folder unchanged.
TEST_P(FolderBrowserOnServer, EscapeReturnsTheStartFolder)
{
    ASSERT_NO_FATAL_FAILURE(startServer(GetParam()));
    makeFolders(*server, {"pub/incoming"});

    Browser browser(*server);
    const QString first = browser.run("pub", [&] {
        ASSERT_TRUE(browser.waitForListings(1));
        EXPECT_EQ(browser.memo(), "/pub");
        browser.list()->setCurrentItem(browser.item("incoming"));
        QTest::keyClick(browser.list(), Qt::Key_Escape);
    });
    EXPECT_EQ(first, "pub");

    const QString second = browser.run("/pub/", [&] {
        ASSERT_TRUE(browser.waitForListings(2));
        EXPECT_EQ(browser.memo(), "/pub/");
        EXPECT_EQ(browser.captions(), (QStringList{"..", "incoming"}));
        // OK with nothing selected returns the current path.
        browser.list()->clearSelection();
        browser.ok();
    });
    EXPECT_EQ(second, "/pub/");
    EXPECT_EQ(commandsStartingWith(*server, "CWD "), (Strings{"CWD /pub", "CWD /pub/"}));
}

// A name with blanks at both ends and two inside comes back exactly from the
// servers that list with MLSD and is entered by those bytes; vsftpd has no
// MLSD, and its LIST, read by fields, loses the blanks at the ends.
TEST_P(FolderBrowserOnServer, ListsWithMlsdWhereOfferedAndKeepsEveryBlank)
{
    ASSERT_NO_FATAL_FAILURE(startServer(GetParam()));
    const QString blanks = "  two  blanks  ";
    makeFolders(*server, {blanks + "/inner"});
    const bool mlsd = GetParam() != Kind::Vsftpd;

    Browser browser(*server);
    const QString result = browser.run("/", [&] {
        ASSERT_TRUE(browser.waitForListings(1));
        QTreeWidgetItem *item = browser.item(mlsd ? blanks : blanks.trimmed());
        ASSERT_TRUE(item) << browser.captions().join('|').toStdString();
        if (!mlsd)
            return;
        browser.list()->setCurrentItem(item);
        QTest::keyClick(browser.list(), Qt::Key_Return);
        ASSERT_EQ(browser.listings.count(), 2);
        EXPECT_EQ(browser.memo(), "/" + blanks);
        EXPECT_EQ(browser.captions(), (QStringList{"..", "inner"}));
        browser.ok();
    });
    EXPECT_EQ(result, mlsd ? "/" + blanks : "/");
    // proftpd logs a command once its transfer has ended, maybe after the
    // step: wait for it. "inner" above shows the CWD went to the exact name.
    const std::size_t steps = mlsd ? 2 : 1;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return commandsStartingWith(*server, mlsd ? "MLSD" : "LIST").size() == steps; }));
    EXPECT_TRUE(commandsStartingWith(*server, mlsd ? "LIST" : "MLSD").empty());
}

// vsftpd sends names as the file system holds them; a Windows-1251 name is
// shown decoded and entered by its own bytes, and the run is told those
// bytes. vsftpd lists UTF8 in FEAT, so typed paths stay UTF-8.
TEST_F(FolderBrowser, Windows1251NameIsShownDecodedAndEnteredByItsBytes)
{
    ASSERT_NO_FATAL_FAILURE(startServer(Kind::Vsftpd));
    const Windows1251Folder folder(*server);

    RemoteNames names;
    Browser browser(*server, &names);
    const QString result = browser.run("/", [&] {
        ASSERT_TRUE(browser.waitForListings(1));
        ASSERT_TRUE(browser.item("Папка")) << browser.captions().join('|').toStdString();
        browser.enter("Папка");
        ASSERT_EQ(browser.listings.count(), 2);
        EXPECT_EQ(browser.status(), FolderLister::TextReady);
        EXPECT_EQ(browser.memo(), "/Папка");
        EXPECT_EQ(browser.captions(), (QStringList{"..", "inside"}));
        browser.ok();
    });
    EXPECT_EQ(result, "/Папка");
    const QString field = QString::fromStdString(server->serverField());
    EXPECT_EQ(names.toServer(field, result + "/a.txt"), "/\xcf\xe0\xef\xea\xe0/a.txt");
    EXPECT_FALSE(names.usesWindows1251(field));
    EXPECT_EQ(names.toServer(field, "/Папка2"), "/Папка2");
}

// A server without UTF8 in FEAT that lists a Windows-1251 name (in MLSD, as
// pyftpdlib offers it): the folder chosen in the browser is the one the run
// uploads into; a path typed later,
// also after a restart (a new RemoteNames on the same settings file), goes in
// Windows-1251, for the run and for the browser's first CWD alike.
TEST_F(FolderBrowser, AWindows1251FolderChosenOrTypedIsTheOneUploadedInto)
{
    ASSERT_NO_FATAL_FAILURE(startServer(Kind::Pyftpd, {.legacyNames = true}));
    const Windows1251Folder folder(*server);
    QTemporaryDir programDir;
    const UploadFiles files{programDir.filePath("Settings.ini"), programDir.filePath("Files.txt"),
                            programDir.filePath("Upload.dat"), programDir.filePath("Temp.dat")};

    // Uploads `name` into the folder `shown` as the user sees it.
    auto upload = [&](RemoteNames &names, const QString &shown, const QString &name,
                      const QByteArray &data) {
        const QString local = programDir.filePath(name);
        writeFile(local, data);
        UploadList list;
        list.setPaths({local});
        UploadState state;
        ScriptedView view;
        view.folder = shown;
        UploadRun run(view, list, state, paramsOf(*server), files, {}, &names);
        run.loginRetryPauseMs = 100;
        EXPECT_EQ(run.exec(), UploadRun::Outcome::Completed) << view.log.join('|').toStdString();
    };

    {
        RemoteNames names(files.settingsFile);
        Browser browser(*server, &names);
        const QString chosen = browser.run("/", [&] {
            ASSERT_TRUE(browser.waitForListings(1));
            QTreeWidgetItem *item = browser.item("Папка");
            ASSERT_TRUE(item) << browser.captions().join('|').toStdString();
            browser.list()->setCurrentItem(item);
            browser.ok();
        });
        EXPECT_EQ(chosen, "//Папка"); // the root, "/" and the entry
        EXPECT_EQ(commandsStartingWith(*server, "MLSD").size(), 1u);
        EXPECT_TRUE(names.usesWindows1251(QString::fromStdString(server->serverField())));
        upload(names, chosen, "chosen.txt", "chosen");
    }
    EXPECT_EQ(folder.read("chosen.txt"), "chosen");

    RemoteNames restarted(files.settingsFile);
    upload(restarted, "/Папка/inside", "typed.txt", "typed");
    EXPECT_EQ(folder.read("inside/typed.txt"), "typed");

    Browser browser(*server, &restarted);
    browser.run("/Папка", [&] {
        ASSERT_TRUE(browser.waitForListings(1));
        EXPECT_EQ(browser.memo(), "/Папка");
        EXPECT_EQ(browser.captions(), (QStringList{"..", "inside"}));
    });
}

INSTANTIATE_TEST_SUITE_P(Servers, FolderBrowserOnServer,
                         testing::Values(Kind::Pyftpd, Kind::Vsftpd, Kind::Proftpd, Kind::PureFtpd),
                         [](const testing::TestParamInfo<Kind> &info) {
                             return std::string(FtpTestServer::kindName(info.param));
                         });

// A server that can open no data connection at all: every LIST fails though
// every login succeeds. Three retries, each with a login, then the step ends
// and the status line says why.
TEST_F(FolderBrowser, FailingListIsRetriedThreeTimesThenReported)
{
    ASSERT_NO_FATAL_FAILURE(
        startServer(Kind::Pyftpd, {.refusePassive = true, .refuseActive = true}));

    Browser browser(*server);
    const QString result = browser.run("/", [&] {
        ASSERT_TRUE(browser.waitForListings(1));
        EXPECT_EQ(browser.listings.last().at(0).toBool(), false);
        EXPECT_EQ(browser.status(),
                  FolderLister::TextListFailed +
                      ". Сервер отказал в пассивном и активном режиме: 502 Passive mode refused "
                      "by the test server. / 502 Active mode refused by the test server.");
        EXPECT_EQ(browser.list()->topLevelItemCount(), 0);
        EXPECT_EQ(browser.memo(), ""); // no listing was shown
        EXPECT_EQ(browser.dialog.currentPath(), "/");
        QTest::keyClick(browser.list(), Qt::Key_Escape);
    });
    EXPECT_EQ(result, "/");
    EXPECT_EQ(commandsStartingWith(*server, "USER ").size(), 1u + FolderLister::ListRetries);
    EXPECT_EQ(commandsStartingWith(*server, "CWD ").size(), 1u + FolderLister::ListRetries);
}

// An MLSD or LIST that never ends is read only until its folder names pass
// their budget; the step then ends as failed, and is not tried again.
TEST_F(FolderBrowser, AnEndlessListingIsRefusedOnce)
{
    for (const char *command : {"MLSD", "LIST"}) {
        FtpServerOptions options{.endlessList = "folders"};
        if (command == std::string("LIST"))
            options.badReplies = {{"MLSD", "502 MLSD refused by the test server.\r\n"}};
        ASSERT_NO_FATAL_FAILURE(startServer(Kind::Pyftpd, options));

        Browser browser(*server);
        browser.run("/", [&] {
            ASSERT_TRUE(browser.waitForListings(1));
            EXPECT_EQ(browser.listings.last().at(0).toBool(), false);
            EXPECT_EQ(browser.status(), FolderLister::TextListFailed);
            EXPECT_EQ(browser.list()->topLevelItemCount(), 0);
        });
        EXPECT_EQ(commandsStartingWith(*server, command).size(), 1u) << command;
        EXPECT_EQ(commandsStartingWith(*server, "MLSD").size(), 1u) << command;
    }
}

// Logins refused: the attempts are spaced by the pause, the prompt comes with
// its own text after the login window, Continue gives another window, Cancel
// ends the step with the status line as it was, the server's refusal in it.
TEST_F(FolderBrowser, LoginTimeoutAsksAndCancelEndsTheStep)
{
    ASSERT_NO_FATAL_FAILURE(startServer(Kind::Pyftpd, {.refuseLoginSeconds = 3600}));

    Browser browser(*server);
    browser.dialog.lister().loginWindowMs = 300;

    std::vector<std::size_t> loginsAtPrompt;
    QStringList promptTexts;
    QElapsedTimer sinceShown;
    qint64 firstPromptAfterMs = -1;
    // Answers the prompt whenever it shows: Continue the first time, then Cancel.
    QTimer answerer;
    answerer.setInterval(10);
    QObject::connect(&answerer, &QTimer::timeout, [&] {
        if (QApplication::activeModalWidget() != &browser.prompt)
            return;
        if (firstPromptAfterMs < 0)
            firstPromptAfterMs = sinceShown.elapsed();
        loginsAtPrompt.push_back(commandsStartingWith(*server, "USER ").size());
        promptTexts << browser.prompt.findChild<QLabel *>("lblText")->text();
        const char *button = loginsAtPrompt.size() == 1 ? "btnContinue" : "btnCancel";
        browser.prompt.findChild<QPushButton *>(button)->click();
    });
    answerer.start();
    sinceShown.start();

    const QString result = browser.run("/pub", [&] {
        ASSERT_TRUE(browser.waitForListings(1));
        EXPECT_EQ(browser.listings.last().at(0).toBool(), false);
        EXPECT_EQ(browser.status(),
                  FolderLister::TextAuthorizing +
                      " Сервер отказал во входе: 421 Logins refused for now by the test server.");
        EXPECT_EQ(browser.list()->topLevelItemCount(), 0);
        // Nothing has connected in this opening: OK returns the empty path.
        browser.ok();
    });
    answerer.stop();
    EXPECT_EQ(result, "");

    const QString expectedText =
        "Время ожидания истекло.\nПроверьте соединение и попробуйте еще раз.";
    EXPECT_EQ(promptTexts, (QStringList{expectedText, expectedText}));
    // Window 300 ms, pause 500 ms: the second attempt is the first past the
    // window; after Continue one more attempt, past the new window.
    EXPECT_EQ(loginsAtPrompt, (std::vector<std::size_t>{2, 3}));
    EXPECT_GE(firstPromptAfterMs, 500);
    EXPECT_TRUE(commandsStartingWith(*server, "CWD ").empty());
}

// Enter and Backspace pressed while a listing step waits do not start a
// second step on its handles.
TEST_F(FolderBrowser, NavigationDuringAListingIsIgnored)
{
    ASSERT_NO_FATAL_FAILURE(startServer(Kind::Pyftpd, {.replyDelaySeconds = 0.2}));
    makeFolders(*server, {"pub"});

    Browser browser(*server);
    int keysSent = 0;
    // Fires from inside the running step, which keeps the events flowing.
    QTimer presser;
    presser.setInterval(20);
    QObject::connect(&presser, &QTimer::timeout, [&] {
        if (!browser.dialog.isListing() || keysSent >= 3)
            return;
        ++keysSent;
        QTest::keyClick(browser.list(), Qt::Key_Backspace);
        QTest::keyClick(browser.list(), Qt::Key_Return);
    });
    presser.start();

    const QString result = browser.run("/pub", [&] {
        ASSERT_TRUE(browser.waitForListings(1));
        presser.stop();
        EXPECT_EQ(keysSent, 3);
        EXPECT_EQ(browser.listings.count(), 1);
        EXPECT_EQ(browser.memo(), "/pub");
        EXPECT_EQ(browser.status(), FolderLister::TextReady);
        browser.ok();
    });
    EXPECT_EQ(result, "/pub");
    EXPECT_EQ(commandsStartingWith(*server, "USER ").size(), 1u);
    EXPECT_EQ(commandsStartingWith(*server, "CWD "), Strings{"CWD /pub"});
}

// A close request while a step runs waits for the step, which stops retrying.
TEST_F(FolderBrowser, CancelDuringLoginRetriesClosesWhenTheStepEnds)
{
    ASSERT_NO_FATAL_FAILURE(startServer(Kind::Pyftpd, {.refuseLoginSeconds = 3600}));

    Browser browser(*server);
    QTimer canceller;
    canceller.setInterval(20);
    QObject::connect(&canceller, &QTimer::timeout, [&] {
        if (browser.dialog.isListing() && !commandsStartingWith(*server, "USER ").empty()) {
            canceller.stop();
            QTest::keyClick(browser.list(), Qt::Key_Escape);
        }
    });
    canceller.start();

    QElapsedTimer clock;
    clock.start();
    const QString result = browser.run("/pub", [&] {
        // The dialog closes once the step has ended, without a prompt.
        ASSERT_TRUE(QTest::qWaitFor([&] { return !browser.dialog.isVisible(); }, ListingWaitMs));
    });
    EXPECT_EQ(result, "/pub");
    EXPECT_EQ(browser.listings.count(), 1);
    EXPECT_FALSE(browser.prompt.isVisible());
    EXPECT_LT(clock.elapsed(), browser.dialog.lister().loginWindowMs);
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// The user refuses the server's certificate: the step ends at once with its
// own status, asked once, with no login sent and no retries.
TEST_F(FolderBrowser, RefusedCertificateEndsTheStepWithoutRetrying)
{
    TestCertificates certificates;
    ASSERT_TRUE(certificates.isValid()) << certificates.error();
    const auto pair = certificates.selfSigned("trelvan-test");
    ASSERT_NO_FATAL_FAILURE(startServer(Kind::Pyftpd, {.tls = FtpServerOptions::Tls::Explicit,
                                                       .certFile = pair.certFile,
                                                       .keyFile = pair.keyFile}));

    int questions = 0;
    Browser browser(*server, nullptr, [&questions] {
        ftp::FtpService::Options o;
        o.certificateDecision = [&questions](const ftp::CertificateInfo &) {
            ++questions;
            return ftp::CertificateDecision::Refuse;
        };
        return o;
    });
    const QString result = browser.run("/pub", [&] {
        ASSERT_TRUE(browser.waitForListings(1));
        EXPECT_EQ(browser.status(),
                  FolderLister::TextCertificateRefused + ": self-signed certificate");
    });
    EXPECT_EQ(result, "/pub");
    EXPECT_EQ(questions, 1);
    EXPECT_TRUE(commandsStartingWith(*server, "USER ").empty());
    EXPECT_TRUE(commandsStartingWith(*server, "PASS").empty());
}
