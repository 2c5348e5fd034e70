// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ftp/FtpClient.h"
#include "state/TrustStore.h"

#include <QDialog>

#include <memory>

namespace Ui {
class TfrmCertificate;
}

/// The question about a server certificate that did not verify: who it was
/// issued to and by, its validity, its SHA-256 fingerprint and why it did not
/// verify, with a warning when another certificate was trusted for the
/// server before. Answers: trust once (until the program ends), trust always
/// (kept in the trust store), refuse. It never answers by itself: an
/// unattended run waits here for the user.
class TfrmCertificate : public QDialog
{
    Q_OBJECT
public:
    enum Result
    {
        TrustOnce = 1,
        Refuse = 2,
        TrustAlways = 3
    };

    explicit TfrmCertificate(QWidget *parent = nullptr);
    ~TfrmCertificate() override;

    /// Fills the dialog from `certificate` (its `changed` shows the warning).
    void setCertificate(const ftp::CertificateInfo &certificate);

    /// Shows the dialog modally over the window in front and returns the
    /// answer; closing it from the title bar refuses.
    static TrustStore::Answer ask(const ftp::CertificateInfo &certificate, QWidget *parent);

    /// The FTP service's certificate callback: the store answers for a
    /// certificate it trusts, otherwise the dialog asks (over the window in
    /// front, else `parent`) and an "always" goes into the store.
    static ftp::CertificateCallback makeCallback(std::shared_ptr<TrustStore> store,
                                                 QWidget *parent);

    /// The reason a certificate did not verify, in Russian.
    static QString problemText(const ftp::CertificateInfo &certificate);

private slots:
    void btnTrustOnceClick();
    void btnTrustAlwaysClick();
    void btnRefuseClick();

private:
    Ui::TfrmCertificate *ui;
};
