// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "shell/UMainForm.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdio>

/// Unattended mode, for benchmarks and tests that start the real program:
/// nothing waits for a person. It stands in front of the main window and
/// answers for it, one line on its output for each question:
/// - message boxes: "MESSAGE caption: text", answered OK (Yes to a question);
/// - the connection-lost prompt of a run: "PROMPT text", answered Continue;
/// - a certificate that did not verify: "CERTIFICATE host:port fingerprint
///   trusted|refused"; only one trusted before passes, and TRELVAN_CA_FILE
///   may name an extra CA;
/// - a server that used TLS before and offers none now: "CLEARTEXT
///   host:port refused"; the password is never sent in clear unattended;
/// - the start-up connection dialog is skipped; instead the Upload button's
///   caption ("BUTTON caption") and every row ("ROW n [status] path") are
///   printed, and the password comes from the mode.
/// With autoRun the Upload button is pressed once start-up is done, and the
/// program ends after the run with its outcome as exit code (0 completed,
/// 2 not every file sent, 3 interrupted, 4 not started), printing "RESULT",
/// the run's "SECONDS", the longest pause of a 10 ms timer during the run
/// ("LONGEST-GAP-MS") and the upload "TOTAL".
///
/// The upload runs talk to the window; the window passes its questions on to
/// this answerer.
class UnattendedView : public TfrmMainForm::Prompts
{
public:
    struct Mode
    {
        bool enabled = false;
        bool autoRun = false;
        QString password;
    };
    /// Reads TRELVAN_AUTOMATION ("run" or "quiet") and TRELVAN_PASSWORD.
    static Mode modeFromEnvironment();

    /// Answers for `window` until destroyed; the lines go to `out`.
    UnattendedView(TfrmMainForm &window, const Mode &mode, std::FILE *out = stdout);
    ~UnattendedView() override;
    UnattendedView(const UnattendedView &) = delete;
    UnattendedView &operator=(const UnattendedView &) = delete;

    /// The post-creation step without the connection dialog; with autoRun
    /// the run follows.
    void postCreate(const QStringList &arguments);

    // TfrmMainForm::Prompts
    QMessageBox::StandardButton messageBox(QMessageBox::Icon icon, const QString &caption,
                                           const QString &text,
                                           QMessageBox::StandardButtons buttons) override;
    ContinuePrompt::Answer
    askContinue(const QString &message,
                ContinuePrompt::Countdown countdown = ContinuePrompt::Countdown::Auto) override;
    ftp::CertificateDecision decideCertificate(const ftp::CertificateInfo &certificate) override;
    bool allowClearLogin(const QString &server) override;

private:
    /// Presses Upload and ends the program with the run's outcome.
    void automatedRun();

    TfrmMainForm &m_window;
    Mode m_mode;
    std::FILE *m_out;
    QObject m_timers; // a pending start of the run goes with this object
};
