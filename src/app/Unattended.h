#pragma once

#include "shell/UMainForm.h"
#include "upload/UploadView.h"

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
/// - the start-up connection dialog is skipped; instead the Upload button's
///   caption ("BUTTON caption") and every row ("ROW n [status] path") are
///   printed, and the password comes from the mode.
/// With autoRun the Upload button is pressed once start-up is done, and the
/// program ends after the run with its outcome as exit code (0 completed,
/// 2 not every file sent, 3 interrupted, 4 not started), printing "RESULT",
/// the run's "SECONDS", the longest pause of a 10 ms timer during the run
/// ("LONGEST-GAP-MS") and the upload "TOTAL".
///
/// To the upload run it is the window's view with the questions answered;
/// everything else goes to the window.
class UnattendedView : public UploadView, public TfrmMainForm::Prompts
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

    // UploadView
    Answer askContinue(const QString &message) override;
    void showMessage(const QString &text, const QString &caption, Icon icon) override;
    void runEnded(const QString &message, int filesSent, int filesTotal) override;
    int addLogLine(const QString &text) override;
    void appendToLogLine(int index, const QString &suffix) override;
    void showProgress(const Progress &progress) override;
    void focusRow(int row) override;
    void setBusy(bool busy) override;
    void commandStateUpdate() override;
    void processEvents() override;
    QString destFolder() const override;

    // TfrmMainForm::Prompts
    QMessageBox::StandardButton messageBox(QMessageBox::Icon icon, const QString &caption,
                                           const QString &text,
                                           QMessageBox::StandardButtons buttons) override;
    ftp::CertificateDecision decideCertificate(const ftp::CertificateInfo &certificate) override;

private:
    void printMessage(const QString &caption, const QString &text);
    /// Presses Upload and ends the program with the run's outcome.
    void automatedRun();

    TfrmMainForm &m_window;
    UploadView &m_view; // the window's own
    Mode m_mode;
    std::FILE *m_out;
    QObject m_timers; // a pending start of the run goes with this object
};
