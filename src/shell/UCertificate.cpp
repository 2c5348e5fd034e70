// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/UCertificate.h"

#include "shell/WindowFonts.h"
#include "ui_UCertificate.h"

#include <QApplication>
#include <QDateTime>
#include <QFontDatabase>
#include <QPointer>

namespace {

QString dateText(int64_t secondsUtc)
{
    return QDateTime::fromSecsSinceEpoch(secondsUtc).toString(QStringLiteral("dd.MM.yyyy hh:mm"));
}

ftp::CertificateDecision toDecision(TrustStore::Answer answer)
{
    switch (answer) {
    case TrustStore::Answer::TrustOnce:
        return ftp::CertificateDecision::TrustOnce;
    case TrustStore::Answer::TrustAlways:
        return ftp::CertificateDecision::TrustAlways;
    case TrustStore::Answer::Refuse:
        break;
    }
    return ftp::CertificateDecision::Refuse;
}

} // namespace

TfrmCertificate::TfrmCertificate(QWidget *parent) : QDialog(parent), ui(new Ui::TfrmCertificate)
{
    ui->setupUi(this);
    setFont(WindowFonts::sansSerif(12));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    QFont warning = WindowFonts::sansSerif(12, true);
    ui->lblWarning->setFont(warning);
    ui->lblWarning->setStyleSheet(QStringLiteral("color: #b00000;"));
    ui->lblFingerprint->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    connect(ui->btnTrustOnce, &QPushButton::clicked, this, &TfrmCertificate::btnTrustOnceClick);
    connect(ui->btnTrustAlways, &QPushButton::clicked, this, &TfrmCertificate::btnTrustAlwaysClick);
    connect(ui->btnRefuse, &QPushButton::clicked, this, &TfrmCertificate::btnRefuseClick);
}

TfrmCertificate::~TfrmCertificate()
{
    delete ui;
}

QString TfrmCertificate::problemText(const ftp::CertificateInfo &certificate)
{
    switch (certificate.problem) {
    case ftp::CertificateProblem::Untrusted:
        return QStringLiteral("сертификат не подписан известным центром сертификации "
                              "(например, самоподписанный)");
    case ftp::CertificateProblem::Expired:
        return QStringLiteral("срок действия сертификата истёк");
    case ftp::CertificateProblem::NotYetValid:
        return QStringLiteral("срок действия сертификата ещё не начался");
    case ftp::CertificateProblem::NameMismatch:
        return QStringLiteral("сертификат выдан для другого имени сервера");
    case ftp::CertificateProblem::Other:
        break;
    }
    return QStringLiteral("ошибка проверки (%1)").arg(QString::fromStdString(certificate.error));
}

void TfrmCertificate::setCertificate(const ftp::CertificateInfo &certificate)
{
    const QString host = QString::fromStdString(certificate.host);
    const QString server = host.contains(u':') ? u'[' + host + u']' : host;
    ui->lblWarning->setVisible(certificate.changed);
    ui->lblProblem->setText(QStringLiteral("Не удалось проверить сертификат сервера %1:%2: %3.")
                                .arg(server)
                                .arg(certificate.port)
                                .arg(problemText(certificate)));
    ui->lblSubject->setText(QString::fromStdString(certificate.subject));
    ui->lblIssuer->setText(QString::fromStdString(certificate.issuer));
    ui->lblValidity->setText(
        QStringLiteral("с %1 по %2")
            .arg(dateText(certificate.notBefore), dateText(certificate.notAfter)));
    // 32 bytes as "AB:..." in two lines of 16, easier to compare by eye.
    QString print = QString::fromStdString(certificate.fingerprint);
    if (print.size() > 48)
        print.replace(47, 1, u'\n');
    ui->lblFingerprint->setText(print);
    // A changed certificate is refused unless the user says otherwise, and
    // Enter answers with the safe choice in any case.
    ui->btnRefuse->setFocus();
    adjustSize();
}

TrustStore::Answer TfrmCertificate::ask(const ftp::CertificateInfo &certificate, QWidget *parent)
{
    // Over whatever modal window is in front (the folder browser), so that
    // the question is not hidden behind it.
    QWidget *owner = QApplication::activeModalWidget();
    TfrmCertificate dialog(owner ? owner : parent);
    dialog.setCertificate(certificate);
    switch (dialog.exec()) {
    case TrustOnce:
        return TrustStore::Answer::TrustOnce;
    case TrustAlways:
        return TrustStore::Answer::TrustAlways;
    default:
        return TrustStore::Answer::Refuse;
    }
}

ftp::CertificateCallback TfrmCertificate::makeCallback(std::shared_ptr<TrustStore> store,
                                                       QWidget *parent)
{
    QPointer<QWidget> owner(parent);
    return [store, owner](const ftp::CertificateInfo &certificate) {
        const auto answer =
            store->decide(QString::fromStdString(certificate.host), certificate.port,
                          QString::fromStdString(certificate.fingerprint), [&](bool changed) {
                              ftp::CertificateInfo shown = certificate;
                              shown.changed = changed;
                              return ask(shown, owner.data());
                          });
        return toDecision(answer);
    };
}

void TfrmCertificate::btnTrustOnceClick()
{
    done(TrustOnce);
}

void TfrmCertificate::btnTrustAlwaysClick()
{
    done(TrustAlways);
}

void TfrmCertificate::btnRefuseClick()
{
    done(Refuse);
}
