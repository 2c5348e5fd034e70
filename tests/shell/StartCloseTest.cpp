// The start of the program after the windows exist, and its end: what the
// user sees in which order, what is read and written, and that the window
// always closes.

#include "ModalDriver.h"
#include "QtPrinters.h"
#include "TestProgram.h"
#include "state/ResumeMarker.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

namespace {

/// Records what the start-up connection dialog showed, then closes it.
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
                  field("edtPassword")->text()};
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
        listBytes = (dir + QStringLiteral("a.bin\r\n") + dir + QStringLiteral("x.bin\r\n") + dir +
                     QStringLiteral("c.bin\r\n"))
                        .toUtf8();
        writeFile(dir + QStringLiteral("Files.txt"), listBytes);
        // An upload of x.bin was cut off: a.bin before it counts as sent.
        ASSERT_TRUE(ResumeMarker::write(dir + QStringLiteral("Upload.dat"),
                                        dir + QStringLiteral("x.bin"), QStringLiteral("/pub")));
        writeFile(dir + QStringLiteral("Settings.ini"),
                  "[Options]\r\nDestFolder=/incoming\r\nServer=ftp.example\r\n");
    });
    const QString dir = p.dir.path() + QLatin1Char('/');
    UploadList &list = p.main->uploadList();
    EXPECT_TRUE(p.main->uploadState().resume);
    EXPECT_EQ(p.widget<QPushButton>("btnRun")->text(), QStringLiteral("Продолжить"));
    ASSERT_EQ(list.count(), 3);
    EXPECT_EQ(list.data(list.index(0, UploadList::StatusColumn)).toString(),
              QStringLiteral("100%"));

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
    answerConnectionDialog(driver, &dialogShown, false);

    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir);
    p.main->postCreate({dir + QStringLiteral("new.bin"), dir + QStringLiteral("missing.bin"),
                        dir + QStringLiteral("folder"), QStringLiteral("rel.bin"),
                        dir + QStringLiteral("A.BIN")});
    QDir::setCurrent(previous);

    EXPECT_EQ(driver.seen(), QStringList({QStringLiteral("QMessageBox:Внимание"),
                                          QStringLiteral("TfrmConnection:Параметры соединения")}));
    EXPECT_TRUE(visibleAtNotice) << "the main window is shown before the notice";
    EXPECT_EQ(dialogShown,
              QStringList({QStringLiteral("TfrmConnection"), QStringLiteral("ftp.example"),
                           QStringLiteral("anonymous"), QString()}));
    // Loaded rows first, then the existing command-line files (a relative
    // name made absolute, a name listed in other case passed over).
    EXPECT_EQ(list.paths(),
              QStringList({dir + QStringLiteral("a.bin"), dir + QStringLiteral("x.bin"),
                           dir + QStringLiteral("c.bin"), dir + QStringLiteral("new.bin"),
                           dir + QStringLiteral("rel.bin")}));
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
                                  QString()}));
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
    p.widget<QPushButton>("btnClose")->click();
    ASSERT_EQ(driver.boxes().size(), 1);
    EXPECT_EQ(driver.boxes()[0].text, QStringLiteral("Unable to write to ") + p.files.settingsFile);
    EXPECT_EQ(driver.boxes()[0].icon, int(QMessageBox::Critical));
    EXPECT_TRUE(driver.boxes()[0].ownedByMain);
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
