// SPDX-License-Identifier: GPL-3.0-or-later
// Unattended mode in front of the windows as main() creates them: every
// question is a line on the output and answered without a window, and the
// window's own dialogs come back once it is gone. (The runs it starts are
// tested with the real program as a process.)

#include "app/Unattended.h"
#include "ModalDriver.h"
#include "TestProgram.h"
#include "state/ResumeMarker.h"
#include "state/TrustStore.h"

#include <QApplication>
#include <QItemSelectionModel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeView>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace {

/// What the view wrote, from an anonymous temporary file.
class Output
{
public:
    Output() : m_file(std::tmpfile()) {}
    ~Output() { std::fclose(m_file); }
    std::FILE *file() const { return m_file; }
    QString text() const
    {
        std::fflush(m_file);
        std::rewind(m_file);
        QByteArray bytes;
        char buffer[4096];
        while (const size_t n = std::fread(buffer, 1, sizeof buffer, m_file))
            bytes.append(buffer, qsizetype(n));
        return QString::fromUtf8(bytes);
    }

private:
    std::FILE *m_file;
};

ftp::CertificateInfo certificate(const char *fingerprint)
{
    ftp::CertificateInfo info;
    info.host = "127.0.0.1";
    info.port = 2121;
    info.fingerprint = fingerprint;
    return info;
}

} // namespace

TEST(Unattended, StartUpPrintsWhatAPersonWouldSeeInsteadOfTheDialogs)
{
    TestProgram p([](const QString &dir) {
        writeFile(dir + QStringLiteral("a.bin"), "a");
        writeFile(dir + QStringLiteral("x.bin"), "x");
        writeFile(dir + QStringLiteral("Files.txt"),
                  (dir + QStringLiteral("a.bin\r\n") + dir + QStringLiteral("x.bin\r\n")).toUtf8());
        ASSERT_TRUE(ResumeMarker::write(dir + QStringLiteral("Upload.dat"),
                                        dir + QStringLiteral("x.bin"), QStringLiteral("/in")));
        writeFile(dir + QStringLiteral("Settings.ini"), "[Options]\r\nDestFolder=/in\r\n");
    });
    const QString dir = p.dir.path() + QLatin1Char('/');
    ModalDriver driver;
    Output out;
    UnattendedView view(*p.main, {true, false, QStringLiteral("secret")}, out.file());
    view.postCreate({});

    EXPECT_EQ(out.text(),
              QStringLiteral("MESSAGE Внимание: Закачка файла была прервана и будет продолжена.\n"
                             "BUTTON Продолжить\n"
                             "ROW 1 [] ") +
                  dir + QStringLiteral("a.bin\nROW 2 [] ") + dir + QStringLiteral("x.bin\n"));
    EXPECT_TRUE(driver.seen().isEmpty()) << "neither the notice nor the connection dialog";
    EXPECT_TRUE(p.main->isVisible());
    EXPECT_EQ(p.main->connection().password, QStringLiteral("secret"));
}

TEST(Unattended, QuestionsAreLinesAnsweredYesOkOrContinueUntilTheViewGoes)
{
    TestProgram p([](const QString &dir) {
        writeFile(dir + QStringLiteral("Files.txt"), "p1\r\np2\r\np3\r\n");
    });
    ModalDriver driver;
    driver.setMainWindow(p.main.get());
    auto *list = p.widget<QTreeView>("lvFiles");
    auto selectFirst = [&] {
        list->selectionModel()->select(p.main->uploadList().index(0, 0),
                                       QItemSelectionModel::ClearAndSelect |
                                           QItemSelectionModel::Rows);
    };
    Output out;
    {
        UnattendedView view(*p.main, {true, false, {}}, out.file());
        selectFirst();
        p.widget<QPushButton>("btnDelFiles")->click();
        EXPECT_EQ(p.main->uploadList().paths(),
                  QStringList({QStringLiteral("p2"), QStringLiteral("p3")}));

        // What the upload run asks the window goes to the view; the rest stays
        // in the window.
        EXPECT_EQ(p.main->askContinue(QStringLiteral("Соединение потеряно.\r\nПродолжить?")),
                  int(TfrmConnLost::Continue));
        p.main->showMessage(QStringLiteral("Файл не передан.\r\nПричина: отказ"),
                            QStringLiteral("Ошибка"), UploadView::Icon::Error);
        p.main->appendToLogLine(p.main->addLogLine(QStringLiteral("Соединение")),
                                QStringLiteral(" OK"));
        EXPECT_EQ(p.widget<QPlainTextEdit>("memLog")->toPlainText(),
                  QStringLiteral("Соединение OK"));
        EXPECT_TRUE(driver.seen().isEmpty());
    }
    EXPECT_EQ(out.text(), QStringLiteral("MESSAGE Внимание: Удалить выделенные файлы из списка?\n"
                                         "PROMPT Соединение потеряно. Продолжить?\n"
                                         "MESSAGE Ошибка: Файл не передан. Причина: отказ\n"));

    // Gone: the window asks a person again.
    selectFirst();
    driver.answerBox(QMessageBox::No);
    p.widget<QPushButton>("btnDelFiles")->click();
    ASSERT_TRUE(driver.waitUntilDone());
    EXPECT_EQ(driver.boxes().size(), 1);
    EXPECT_EQ(p.main->uploadList().count(), 2);
}

TEST(Unattended, OnlyACertificateTrustedBeforePassesAndTheExtraCaIsUsed)
{
    TestProgram p;
    qputenv("TRELVAN_CA_FILE", "/tmp/ca.pem");
    Output out;
    UnattendedView view(*p.main, {true, false, {}}, out.file());
    qunsetenv("TRELVAN_CA_FILE");
    const ftp::FtpService::Options options = p.main->ftpOptions();
    EXPECT_EQ(options.caFile, "/tmp/ca.pem");

    // Through the options, as the run and the folder browser ask.
    EXPECT_EQ(options.certificateDecision(certificate("AA:01")), ftp::CertificateDecision::Refuse);
    p.main->trustStore().trustAlways(QStringLiteral("127.0.0.1"), 2121, QStringLiteral("AA:01"));
    EXPECT_EQ(options.certificateDecision(certificate("AA:01")),
              ftp::CertificateDecision::TrustOnce);
    // Another certificate for the same server is not asked about: refused.
    EXPECT_EQ(options.certificateDecision(certificate("BB:02")), ftp::CertificateDecision::Refuse);
    EXPECT_EQ(out.text(), QStringLiteral("CERTIFICATE 127.0.0.1:2121 AA:01 refused\n"
                                         "CERTIFICATE 127.0.0.1:2121 AA:01 trusted\n"
                                         "CERTIFICATE 127.0.0.1:2121 BB:02 refused\n"));
}

TEST(Unattended, AnAutomatedRunWithNothingToSendEndsTheProgramWithCodeFour)
{
    TestProgram p;
    Output out;
    UnattendedView view(*p.main, {true, true, {}}, out.file());
    QTimer::singleShot(0, p.main.get(), [&] { view.postCreate({}); });
    QTimer::singleShot(30000, p.main.get(), [] { QCoreApplication::exit(99); }); // never hang
    EXPECT_EQ(QCoreApplication::exec(), 4);
    EXPECT_EQ(out.text(), QStringLiteral("BUTTON Закачать\nRESULT not-started\n"));
}
