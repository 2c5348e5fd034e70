// SPDX-License-Identifier: GPL-3.0-or-later
// The certificate question: what the dialog shows, that only the user
// answers it, and the main window's glue against a real TLS server (the
// trust store beside the data files, the warning for a changed certificate,
// the protection in the connection line).

#include "ModalDriver.h"
#include "QtPrinters.h"
#include "TestProgram.h"
#include "shell/UCertificate.h"
#include "state/ProfileFile.h"
#include "state/TrustStore.h"
#include "support/FtpTestServer.h"
#include "support/TestCertificates.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

QString labelText(QWidget *dialog, const char *name)
{
    auto *label = dialog->findChild<QLabel *>(QLatin1String(name));
    return label ? label->text() : QStringLiteral("<no label %1>").arg(QLatin1String(name));
}

QPushButton *button(QWidget *dialog, const char *name)
{
    return dialog->findChild<QPushButton *>(QLatin1String(name));
}

ftp::CertificateInfo sampleCertificate()
{
    ftp::CertificateInfo c;
    c.host = "ftp.example.org";
    c.port = 2121;
    c.subject = "O = Пример, CN = ftp.example.org";
    c.issuer = "O = Пример, CN = ftp.example.org";
    c.notBefore = QDateTime(QDate(2025, 3, 1), QTime(8, 30)).toSecsSinceEpoch();
    c.notAfter = QDateTime(QDate(2026, 3, 1), QTime(8, 30)).toSecsSinceEpoch();
    c.fingerprint = "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:"
                    "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF";
    c.problem = ftp::CertificateProblem::Untrusted;
    c.error = "self-signed certificate";
    return c;
}

/// The main window beside a pyftpdlib server with explicit TLS; connect()
/// logs in through the window's own FTP options.
class CertificateWindow : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(certificates.isValid()) << certificates.error(); }
    bool startServer(const TestCertificates::Pair &cert)
    {
        server = FtpTestServer::start(FtpTestServer::Kind::Pyftpd,
                                      {.tls = FtpServerOptions::Tls::Explicit,
                                       .certFile = cert.certFile,
                                       .keyFile = cert.keyFile});
        return server != nullptr;
    }
    bool connect() const
    {
        auto service = ftp::FtpService::open(p.main->ftpOptions());
        return ftp::FtpConnection::connect(*service, server->serverField(), server->user(),
                                           server->password()) != nullptr;
    }

    TestCertificates certificates;
    std::unique_ptr<FtpTestServer> server;
    TestProgram p;
    ModalDriver driver;
};

} // namespace

TEST(Certificate, DialogShowsTheCertificateInRussian)
{
    TfrmCertificate dialog;
    dialog.setCertificate(sampleCertificate());
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Сертификат сервера"));
    EXPECT_EQ(labelText(&dialog, "lblProblem"),
              QStringLiteral("Не удалось проверить сертификат сервера ftp.example.org:2121: "
                             "сертификат не подписан известным центром сертификации "
                             "(например, самоподписанный)."));
    EXPECT_EQ(labelText(&dialog, "lblSubjectCaption"), QStringLiteral("Кому выдан:"));
    EXPECT_EQ(labelText(&dialog, "lblSubject"), QStringLiteral("O = Пример, CN = ftp.example.org"));
    EXPECT_EQ(labelText(&dialog, "lblIssuerCaption"), QStringLiteral("Кем выдан:"));
    EXPECT_EQ(labelText(&dialog, "lblValidityCaption"), QStringLiteral("Действителен:"));
    EXPECT_EQ(labelText(&dialog, "lblValidity"),
              QStringLiteral("с 01.03.2025 08:30 по 01.03.2026 08:30"));
    EXPECT_EQ(labelText(&dialog, "lblFingerprintCaption"), QStringLiteral("Отпечаток SHA-256:"));
    EXPECT_EQ(labelText(&dialog, "lblFingerprint"),
              QStringLiteral("00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF\n"
                             "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF"));
    EXPECT_EQ(button(&dialog, "btnTrustOnce")->text(), QStringLiteral("Доверять один раз"));
    EXPECT_EQ(button(&dialog, "btnTrustAlways")->text(), QStringLiteral("Доверять всегда"));
    EXPECT_EQ(button(&dialog, "btnRefuse")->text(), QStringLiteral("Отказаться"));
    EXPECT_TRUE(button(&dialog, "btnRefuse")->isDefault()) << "Enter refuses";
    EXPECT_FALSE(dialog.findChild<QLabel *>(QStringLiteral("lblWarning"))->isVisibleTo(&dialog));
    // Nothing in the dialog could answer it by itself.
    EXPECT_TRUE(dialog.findChildren<QTimer *>().isEmpty());

    // A changed certificate carries the warning; other problems read in Russian.
    ftp::CertificateInfo changed = sampleCertificate();
    changed.changed = true;
    changed.host = "::1";
    changed.problem = ftp::CertificateProblem::NameMismatch;
    dialog.setCertificate(changed);
    EXPECT_TRUE(dialog.findChild<QLabel *>(QStringLiteral("lblWarning"))->isVisibleTo(&dialog));
    EXPECT_TRUE(labelText(&dialog, "lblWarning").startsWith(QStringLiteral("Внимание")));
    EXPECT_TRUE(labelText(&dialog, "lblProblem")
                    .contains(QStringLiteral("[::1]:2121: сертификат выдан для другого имени")));
    for (auto [problem, text] :
         {std::pair{ftp::CertificateProblem::Expired, "срок действия сертификата истёк"},
          std::pair{ftp::CertificateProblem::NotYetValid,
                    "срок действия сертификата ещё не начался"},
          std::pair{ftp::CertificateProblem::Other, "ошибка проверки (self-signed certificate)"}}) {
        ftp::CertificateInfo c = sampleCertificate();
        c.problem = problem;
        EXPECT_EQ(TfrmCertificate::problemText(c), QString::fromUtf8(text));
    }
}

TEST(Certificate, OnlyTheUserAnswers)
{
    ModalDriver driver;
    for (auto [name, expected] : {std::pair{"btnTrustOnce", TrustStore::Answer::TrustOnce},
                                  std::pair{"btnTrustAlways", TrustStore::Answer::TrustAlways},
                                  std::pair{"btnRefuse", TrustStore::Answer::Refuse}}) {
        driver.expect([name = name](QWidget *modal) { button(modal, name)->click(); });
        EXPECT_EQ(TfrmCertificate::ask(sampleCertificate(), nullptr), expected) << name;
    }
    // Closed from its title bar: refused.
    driver.expect([](QWidget *modal) { modal->close(); });
    EXPECT_EQ(TfrmCertificate::ask(sampleCertificate(), nullptr), TrustStore::Answer::Refuse);

    // Left alone, the question stays: the event loop runs on (a full second,
    // as long as an unattended run might let it) and nothing answers.
    bool stillOpen = false;
    driver.expect([&](QWidget *modal) {
        QTimer wait;
        wait.setSingleShot(true);
        wait.start(1000);
        while (wait.isActive())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        stillOpen = modal->isVisible();
        button(modal, "btnTrustOnce")->click();
    });
    EXPECT_EQ(TfrmCertificate::ask(sampleCertificate(), nullptr), TrustStore::Answer::TrustOnce);
    EXPECT_TRUE(stillOpen);
    EXPECT_TRUE(driver.unexpected().isEmpty()) << driver.unexpected().join(u',').toStdString();
}

TEST_F(CertificateWindow, MainWindowAsksKeepsTrustBesideTheDataFilesAndShowsTheProtection)
{
    const auto first = certificates.selfSigned("Trelvan GUI first");
    const auto second = certificates.selfSigned("Trelvan GUI second");
    ASSERT_FALSE(first.certFile.empty() || second.certFile.empty()) << certificates.error();
    ASSERT_TRUE(startServer(first)) << FtpTestServer::lastError();

    // First meeting: the question, answered "always".
    QString subject;
    bool warned = true;
    driver.expect([&](QWidget *modal) {
        subject = labelText(modal, "lblSubject");
        warned = modal->findChild<QLabel *>(QStringLiteral("lblWarning"))->isVisible();
        button(modal, "btnTrustAlways")->click();
    });
    ASSERT_TRUE(connect());
    EXPECT_TRUE(subject.contains(QStringLiteral("Trelvan GUI first"))) << subject.toStdString();
    EXPECT_FALSE(warned);
    EXPECT_EQ(p.widget<QLabel>("lblConnection")->text(), QStringLiteral("По умолчанию (TLS)"));
    const QByteArray stored = readFile(p.path(QStringLiteral("Trusted.txt")));
    EXPECT_TRUE(
        stored.contains(QByteArray::fromStdString(certificates.fingerprint(first.certFile))))
        << stored.constData();
    EXPECT_FALSE(stored.contains(QByteArray::fromStdString(server->password())));

    // Known now: no question.
    ASSERT_TRUE(connect());
    EXPECT_EQ(driver.seen().size(), 1);

    // Another certificate: the warning, and Refuse keeps the old trust.
    server->setCertificate(second.certFile, second.keyFile);
    ASSERT_TRUE(server->restart()) << FtpTestServer::lastError();
    driver.expect([&](QWidget *modal) {
        warned = modal->findChild<QLabel *>(QStringLiteral("lblWarning"))->isVisible();
        button(modal, "btnRefuse")->click();
    });
    EXPECT_FALSE(connect());
    EXPECT_TRUE(warned);
    EXPECT_EQ(readFile(p.path(QStringLiteral("Trusted.txt"))), stored);
    EXPECT_EQ(driver.seen().size(), 2);

    // A server without TLS under a bare name: plain, and the line says so.
    auto plain = FtpTestServer::start(FtpTestServer::Kind::Pyftpd);
    ASSERT_TRUE(plain) << FtpTestServer::lastError();
    server = std::move(plain);
    ASSERT_TRUE(connect());
    EXPECT_EQ(p.widget<QLabel>("lblConnection")->text(),
              QStringLiteral("По умолчанию (без шифрования)"));
    EXPECT_TRUE(driver.unexpected().isEmpty()) << driver.unexpected().join(u',').toStdString();
}

// A server once met with TLS is kept in Settings.ini; offering none later,
// it gets the password in clear only after a Yes (No is the default, the
// question waits), and the Yes holds until the program ends.
TEST_F(CertificateWindow, MainWindowAsksBeforeThePasswordGoesInClearWhereTlsWasUsed)
{
    ASSERT_TRUE(startServer(certificates.signedByCa("localhost"))) << FtpTestServer::lastError();
    p.main->setExtraCaFile(QString::fromStdString(certificates.caFile()));
    ASSERT_TRUE(connect());
    const QString field = QString::fromStdString(server->serverField());
    EXPECT_EQ(ProfileFile(p.files.settingsFile).readString(u"Options"_s, u"TlsServers"_s), field);

    server->setTls(FtpServerOptions::Tls::Off);
    ASSERT_TRUE(server->restart()) << FtpTestServer::lastError();
    auto passwordsSent = [&] {
        return std::ranges::count_if(
            server->commands(), [](const std::string &line) { return line.starts_with("PASS"); });
    };
    const auto passwordsBefore = passwordsSent();
    QString text;
    bool noIsDefault = false, stillOpen = false;
    driver.expect([&](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        ASSERT_TRUE(box);
        text = box->text();
        noIsDefault = box->defaultButton() == box->button(QMessageBox::No);
        QTest::qWait(300);
        stillOpen = box->isVisible();
        box->button(QMessageBox::No)->click();
    });
    EXPECT_FALSE(connect());
    EXPECT_EQ(text, u"Сервер %1 раньше поддерживал шифрование (TLS), а сейчас его не предлагает. "
                    u"Это может означать, что соединение перехвачено. Отправить пароль открытым "
                    u"текстом?"_s.arg(field));
    EXPECT_TRUE(noIsDefault);
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(passwordsSent(), passwordsBefore);

    driver.answerBox(QMessageBox::Yes);
    EXPECT_TRUE(connect());
    EXPECT_TRUE(connect()); // asked no more
    EXPECT_EQ(driver.seen().size(), 2);
    EXPECT_TRUE(driver.unexpected().isEmpty()) << driver.unexpected().join(u',').toStdString();
}
