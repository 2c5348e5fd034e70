// SPDX-License-Identifier: GPL-3.0-or-later
// The start of the program after the windows exist, and its end: what the
// user sees in which order, what is read and written, and that the window
// always closes.

#include "ModalDriver.h"
#include "QtPrinters.h"
#include "TestProgram.h"
#include "state/ResumeMarker.h"
#include "support/FtpTestServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <gtest/gtest.h>

namespace {

/// Records what the start-up connection dialog showed (its class, the three
/// fields, the field with the cursor), then closes it.
void answerConnectionDialog(ModalDriver &driver, QStringList *shown, bool ok,
                            const QString &server = {}, const QString &user = {},
                            const QString &password = {})
{
    driver.expect([=](QWidget *dialog) {
        auto field = [dialog](const char *name) {
            return dialog->findChild<QLineEdit *>(QLatin1String(name));
        };
        *shown = {QString::fromLatin1(dialog->metaObject()->className()),
                  field("edtServer")->text(), field("edtUser")->text(),
                  field("edtPassword")->text(), dialog->focusWidget()->objectName()};
        if (!server.isNull()) {
            field("edtServer")->setText(server);
            field("edtUser")->setText(user);
            field("edtPassword")->setText(password);
        }
        if (ok)
            static_cast<QDialog *>(dialog)->accept();
        else
            static_cast<QDialog *>(dialog)->reject();
    });
}

} // namespace

TEST(StartUp, NoticeComesBeforeTheConnectionDialogAndCommandLineFilesAreNotSaved)
{
    QByteArray listBytes;
    TestProgram p([&](const QString &dir) {
        for (const char *name : {"a.bin", "x.bin", "new.bin", "rel.bin", "A.BIN"})
            writeFile(dir + QLatin1String(name), "content");
        QDir().mkpath(dir + QStringLiteral("folder"));
        writeFile(dir + QStringLiteral("folder/a.bin"), "other content");
        writeFile(dir + QStringLiteral("two\nlines.bin"), "content");
        listBytes = (dir + QStringLiteral("a.bin\r\n") + dir + QStringLiteral("x.bin\r\n") + dir +
                     QStringLiteral("c.bin\r\n"))
                        .toUtf8();
        writeFile(dir + QStringLiteral("Files.txt"), listBytes);
        // An upload of x.bin was cut off; a.bin, still listed, is not known sent.
        ASSERT_TRUE(ResumeMarker::write(dir + QStringLiteral("Upload.dat"),
                                        dir + QStringLiteral("x.bin"), QStringLiteral("/pub")));
        writeFile(dir + QStringLiteral("Settings.ini"),
                  "[Options]\r\nDestFolder=/incoming\r\nServer=ftp.example\r\n");
    });
    const QString dir = p.dir.path() + QLatin1Char('/');
    auto at = [&dir](const char *name) { return dir + QLatin1String(name); };
    UploadList &list = p.main->uploadList();
    EXPECT_TRUE(p.main->uploadState().resume);
    EXPECT_EQ(p.widget<QPushButton>("btnRun")->text(), QStringLiteral("Продолжить"));
    ASSERT_EQ(list.count(), 3);
    EXPECT_EQ(list.data(list.index(0, UploadList::StatusColumn)).toString(), QString());
    EXPECT_FALSE(list.at(0).done);

    ModalDriver driver;
    driver.setMainWindow(p.main.get());
    QStringList dialogShown;
    bool visibleAtNotice = false;
    driver.expect([&](QWidget *modal) {
        visibleAtNotice = p.main->isVisible();
        auto *box = qobject_cast<QMessageBox *>(modal);
        ASSERT_TRUE(box);
        EXPECT_EQ(box->windowTitle(), QStringLiteral("Внимание"));
        EXPECT_EQ(box->text(), QStringLiteral("Закачка файла была прервана и будет продолжена."));
        EXPECT_EQ(box->icon(), QMessageBox::Information);
        EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
        EXPECT_EQ(box->parentWidget(), p.main.get());
        // The settings were read before the notice.
        EXPECT_EQ(p.widget<QLineEdit>("edtDstFolder")->text(), QStringLiteral("/incoming"));
        box->button(QMessageBox::Ok)->click();
    });
    // folder/a.bin would overwrite a.bin on the server: a box before the
    // connection dialog, not beside it.
    driver.answerBox(QMessageBox::Ok);
    answerConnectionDialog(driver, &dialogShown, false);

    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir);
    p.main->postCreate({at("new.bin"), at("missing.bin"), at("folder"), QStringLiteral("rel.bin"),
                        at("A.BIN"), at("folder/a.bin"), at("two\nlines.bin")});
    QDir::setCurrent(previous);
    ASSERT_TRUE(driver.waitUntilDone());

    EXPECT_EQ(driver.seen(), QStringList({QStringLiteral("QMessageBox:Внимание"),
                                          QStringLiteral("QMessageBox:Внимание"),
                                          QStringLiteral("TfrmConnection:Параметры соединения")}));
    ASSERT_EQ(driver.boxes().size(), 1);
    // A name with a line break could go in no FTP command: named too.
    EXPECT_TRUE(driver.boxes()[0].text.endsWith(
        at("folder/a.bin") + QStringLiteral(" — уже есть ") + at("a.bin") +
        QStringLiteral("\n\n%1\n%2two\\nlines.bin")
            .arg(QStringLiteral(
                     "Имя файла содержит перевод строки; такой файл нельзя передать по FTP:"),
                 dir)))
        << driver.boxes()[0].text.toStdString();
    EXPECT_TRUE(visibleAtNotice) << "the main window is shown before the notice";
    // Server and user remembered: the cursor waits in the password.
    EXPECT_EQ(dialogShown,
              QStringList({QStringLiteral("TfrmConnection"), QStringLiteral("ftp.example"),
                           QStringLiteral("anonymous"), QString(), QStringLiteral("edtPassword")}));
    // Loaded rows first, then the existing command-line files (a relative
    // name made absolute; a name in other letter case is another file).
    EXPECT_EQ(list.paths(), QStringList({at("a.bin"), at("x.bin"), at("c.bin"), at("new.bin"),
                                         at("rel.bin"), at("A.BIN")}));
    EXPECT_EQ(readFile(p.files.listFile), listBytes) << "command-line files are not saved";
    EXPECT_EQ(p.widget<QLabel>("lblConnection")->text(), QStringLiteral("По умолчанию"))
        << "the cancelled dialog leaves the summary";
    EXPECT_EQ(p.main->connection().server, QStringLiteral("ftp.example"));
    EXPECT_EQ(p.main->connection().user, QStringLiteral("anonymous"));
    EXPECT_TRUE(p.widget<QPushButton>("btnRun")->isEnabled());
    EXPECT_TRUE(driver.unexpected().isEmpty());
}

TEST(StartUp, WithoutMarkerOnlyTheConnectionDialogAppearsAndEmptyUserStaysEmpty)
{
    TestProgram p([](const QString &dir) {
        writeFile(dir + QStringLiteral("Settings.ini"),
                  "[OPTIONS]\r\n  user =  \r\nserver=\"s\"\r\n");
    });
    EXPECT_FALSE(p.main->uploadState().resume);
    EXPECT_EQ(p.widget<QPushButton>("btnRun")->text(), QStringLiteral("Закачать"));
    ModalDriver driver;
    QStringList shown;
    answerConnectionDialog(driver, &shown, true, QStringLiteral(""), QStringLiteral(""),
                           QStringLiteral(""));
    p.main->postCreate({});
    EXPECT_EQ(driver.seen(), QStringList({QStringLiteral("TfrmConnection:Параметры соединения")}));
    EXPECT_EQ(shown, QStringList({QStringLiteral("TfrmConnection"), QStringLiteral("s"), QString(),
                                  QString(), QStringLiteral("edtUser")}));
    EXPECT_EQ(p.widget<QLabel>("lblConnection")->text(), QString()) << "OK on an empty server";
    EXPECT_EQ(p.main->uploadList().count(), 0);
    EXPECT_FALSE(QFile::exists(p.files.listFile));
}

TEST(Closing, WritesServerAndUserButNeitherFolderNorPassword)
{
    TestProgram p;
    ModalDriver driver;
    QStringList shown;
    answerConnectionDialog(driver, &shown, true, QStringLiteral("srv"), QStringLiteral("bob"),
                           QStringLiteral("s3cret-pass"));
    p.main->postCreate({});
    p.widget<QLineEdit>("edtDstFolder")->setText(QStringLiteral("/never/used"));
    QSignalSpy closed(p.main.get(), &TfrmMainForm::closed);
    EXPECT_TRUE(p.main->close());
    EXPECT_FALSE(p.main->isVisible());
    EXPECT_EQ(closed.count(), 1);
    EXPECT_FALSE(p.main->uploadState().stop) << "closing from the title bar sets no stop flag";
    const QByteArray settings = readFile(p.files.settingsFile);
    EXPECT_TRUE(settings.contains("Server=srv")) << settings.constData();
    EXPECT_TRUE(settings.contains("User=bob")) << settings.constData();
    EXPECT_FALSE(settings.contains("DestFolder"));
    EXPECT_FALSE(settings.contains("s3cret-pass"));
    EXPECT_TRUE(driver.unexpected().isEmpty());
}

TEST(Closing, RefusedSettingsWriteIsReportedAndTheWindowClosesAnyway)
{
    TestProgram p([](const QString &dir) { QDir().mkpath(dir + QStringLiteral("Settings.ini")); });
    ModalDriver driver;
    driver.setMainWindow(p.main.get());
    p.main->show();
    QSignalSpy closed(p.main.get(), &TfrmMainForm::closed);
    driver.answerBox(QMessageBox::Ok);
    driver.answerBox(QMessageBox::Ok);
    p.widget<QPushButton>("btnClose")->click();
    ASSERT_TRUE(driver.waitUntilDone());
    // The folder in the file's place also says why: it is not written over.
    QStringList texts;
    for (const ModalDriver::Box &box : driver.boxes()) {
        texts << box.text;
        EXPECT_TRUE(box.ownedByMain);
    }
    texts.sort();
    EXPECT_EQ(texts, QStringList({QStringLiteral("Unable to write to ") + p.files.settingsFile,
                                  QStringLiteral("Не удалось прочитать файл %1. Он не будет "
                                                 "перезаписан.")
                                      .arg(p.files.settingsFile)}));
    EXPECT_TRUE(driver.unexpected().isEmpty());
    EXPECT_FALSE(p.main->isVisible());
    EXPECT_EQ(closed.count(), 1) << "the program ends all the same";
    EXPECT_TRUE(p.main->uploadState().stop);
}

TEST(Closing, EscActsAsTheCloseButtonAndABusyWindowWaitsForItsRun)
{
    TestProgram p;
    p.main->show();
    p.main->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(p.main.get()));
    QSignalSpy closed(p.main.get(), &TfrmMainForm::closed);
    QTest::keyClick(p.widget<QLineEdit>("edtDstFolder"), Qt::Key_Escape);
    EXPECT_TRUE(p.main->uploadState().stop);
    EXPECT_FALSE(p.main->isVisible());
    EXPECT_EQ(closed.count(), 1);

    // While a run goes on, the window hides but the program does not end:
    // the run still works through the window until it sees the stop flag.
    TestProgram busy;
    busy.main->show();
    busy.main->setBusy(true);
    QSignalSpy busyClosed(busy.main.get(), &TfrmMainForm::closed);
    busy.widget<QPushButton>("btnClose")->click();
    EXPECT_TRUE(busy.main->uploadState().stop);
    EXPECT_FALSE(busy.main->isVisible());
    EXPECT_EQ(busyClosed.count(), 0);
    EXPECT_TRUE(QFile::exists(busy.files.settingsFile)) << "the settings are written at the close";
}

TEST(Closing, TitleBarCloseMidFileEndsTheProgramAndTheNextStartContinuesTheFile)
{
    auto server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd);
    ASSERT_TRUE(server) << FtpTestServer::lastError();
    QTemporaryDir local;
    const QString big = local.filePath(QStringLiteral("big.bin"));
    QByteArray data(48 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator(46).fillRange(reinterpret_cast<quint32 *>(data.data()), data.size() / 4);
    writeFile(big, data);
    const QString remote = server->localPath(server->uploadFolder() + "/big.bin");
    TestProgram first([&](const QString &dir) {
        writeFile(dir + QStringLiteral("Files.txt"), (big + QStringLiteral("\r\n")).toUtf8());
        writeFile(dir + QStringLiteral("Settings.ini"),
                  QStringLiteral("[Options]\r\nDestFolder=%1\r\nServer=%2\r\nUser=%3\r\n")
                      .arg(QString::fromStdString(server->uploadFolder()),
                           QString::fromStdString(server->serverField()),
                           QString::fromStdString(server->user()))
                      .toUtf8());
    });
    ModalDriver driver; // no box may come: any would be recorded as unexpected
    first.main->startUp({});
    first.main->setPassword(QString::fromStdString(server->password()));

    // The close box, as soon as the file's row shows its progress.
    QElapsedTimer sinceClose;
    qint64 closedAfterMs = -1;
    QObject::connect(first.main.get(), &TfrmMainForm::closed,
                     [&] { closedAfterMs = sinceClose.elapsed(); });
    UploadList &list = first.main->uploadList();
    QObject::connect(&list, &UploadList::dataChanged, first.main.get(), [&] {
        if (!list.at(0).status.isEmpty() && !sinceClose.isValid()) {
            sinceClose.start();
            QTimer::singleShot(0, first.main.get(), [&] { first.main->windowHandle()->close(); });
        }
    });
    first.widget<QPushButton>("btnRun")->click();
    ASSERT_TRUE(sinceClose.isValid());
    EXPECT_GE(closedAfterMs, 0) << "the program ends with the run";
    EXPECT_LT(closedAfterMs, 2000);
    EXPECT_TRUE(first.main->uploadState().stop);
    EXPECT_FALSE(first.main->isVisible());
    EXPECT_TRUE(driver.seen().isEmpty()) << driver.seen().join(u',').toStdString();
    const qint64 held = QFileInfo(remote).size();
    ASSERT_GT(held, 0);
    ASSERT_LT(held, data.size()) << "closed mid-file";
    EXPECT_EQ(ResumeMarker::markedPath(first.files.markerFile), big);

    // The next start continues the file from what the server holds.
    TestProgram next([&](const QString &dir) {
        for (const char *name : {"Files.txt", "Settings.ini", "Upload.dat"})
            QFile::copy(first.path(QLatin1String(name)), dir + QLatin1String(name));
    });
    EXPECT_EQ(next.widget<QPushButton>("btnRun")->text(), QStringLiteral("Продолжить"));
    driver.answerBox(QMessageBox::Ok); // the notice of the pending resume
    next.main->startUp({});
    next.main->setPassword(QString::fromStdString(server->password()));
    driver.answerBox(QMessageBox::Ok);
    next.widget<QPushButton>("btnRun")->click();
    ASSERT_EQ(driver.boxes().size(), 2);
    EXPECT_EQ(driver.boxes()[1].text, UploadRun::TextCompleted);
    EXPECT_TRUE(readFile(remote) == data) << "byte for byte";
    const std::vector<FtpServerEvent> uploads = server->uploads();
    ASSERT_FALSE(uploads.empty());
    EXPECT_EQ(uploads.back().command, "APPE");
    EXPECT_EQ(uploads.back().offset, held) << "continued, not sent again";
    EXPECT_FALSE(QFile::exists(next.files.markerFile));
}
