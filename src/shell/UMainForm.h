#pragma once

#include "ftp/FtpClient.h"
#include "state/UploadList.h"
#include "upload/UploadRun.h"
#include "upload/UploadView.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QMessageBox>

#include <memory>

class QAction;
class QDragMoveEvent;
class QDropEvent;
class QFileDialog;
class QMenu;
class QMimeData;
class QTimer;
class TfrmAbout;
class TfrmConnection;
class TfrmConnLost;
class TfrmFolders;
class TfrmHelp;
class TrustStore;
namespace Ui {
class TfrmMainForm;
}

/// The main window: holds the upload list, the destination folder, the
/// connection parameters and the flags of the upload run; starts every
/// other function; applies the enabling rules of its controls.
class TfrmMainForm : public QMainWindow, public UploadView
{
    Q_OBJECT
public:
    /// The window caption; a second instance looks for it.
    static const QString Caption;

    /// The other windows of the program, created after this one.
    struct Windows
    {
        TfrmConnection *connection = nullptr;
        TfrmConnLost *connLost = nullptr;
        TfrmAbout *about = nullptr;
        TfrmHelp *help = nullptr;
        TfrmFolders *folders = nullptr;
    };

    /// The data files where the program keeps its state.
    static UploadFiles defaultFiles();

    /// Creates the window (FormCreate): loads the list from files.listFile
    /// and applies the resume marker files.markerFile.
    explicit TfrmMainForm(const UploadFiles &files = defaultFiles(), QWidget *parent = nullptr);
    ~TfrmMainForm() override;

    void setWindows(const Windows &windows);

    /// Unattended mode, for benchmarks and tests that start the real program:
    /// nothing waits for a person. Message boxes and prompts are written to
    /// standard output and answered OK / Continue, the start-up connection
    /// dialog is skipped (the password comes from here), and with autoRun the
    /// Upload button is pressed once start-up is done and the program ends
    /// after the run with its outcome as exit code (0 completed, 2 not every
    /// file sent, 3 interrupted, 4 not started). It also reports the run's
    /// time and the longest pause of a 10 ms timer during the run.
    /// With report alone (a benchmark that works the window as a person
    /// does), every run, however started, writes that longest pause.
    struct Automation
    {
        bool enabled = false;
        bool autoRun = false;
        bool report = false;
        QString password;
    };
    void setAutomation(const Automation &automation);
    /// Reads TRELVAN_AUTOMATION ("run" or "quiet"), TRELVAN_PASSWORD and
    /// TRELVAN_RUN_REPORT ("1": report).
    static Automation automationFromEnvironment();

    /// The post-creation step: adds the existing files among arguments
    /// (without saving the list), shows the window, reads the settings,
    /// announces a pending resume, then opens the connection dialog once.
    void postCreate(const QStringList &arguments);

    UploadList &uploadList() { return m_list; }
    UploadState &uploadState() { return m_state; }
    const ConnectionParams &connection() const { return m_connection; }
    const UploadFiles &files() const { return m_files; }

    /// FTP options for the run and the folder browser: Settings.ini
    /// [Options] Passive=0 tries active mode first; waits keep the windows
    /// live; a certificate that does not verify goes to the trust store and
    /// the certificate dialog (in unattended mode it is refused unless
    /// trusted already, and TRELVAN_CA_FILE names an extra CA); every login
    /// shows its protection in the connection line.
    ftp::FtpService::Options ftpOptions() const;

    /// The certificates trusted so far: Trusted.txt beside Settings.ini.
    TrustStore &trustStore() { return *m_trust; }

    // UploadView
    int askContinue(const QString &message) override;
    void showMessage(const QString &text, const QString &caption, Icon icon) override;
    int addLogLine(const QString &text) override;
    void appendToLogLine(int index, const QString &suffix) override;
    void showProgress(const Progress &progress) override;
    void focusRow(int row) override;
    void setBusy(bool busy) override;
    void commandStateUpdate() override;
    void processEvents() override;
    QString destFolder() const override;

    /// A byte count as shown: system locale's digit grouping and " байт".
    static QString formatBytes(qint64 bytes);

public slots:
    /// A file handed over by a second start of the program: listed (and
    /// counted in the upload total, and the list saved) unless listed
    /// already; then the window comes to the front. No command-state update.
    void handOffFile(const QString &path);

signals:
    /// The window has closed and no upload run is going: the program ends.
    void closed();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void btnRunClick();
    void edtDstFolderKeyPress();
    void btnCloseClick();
    void btnConnectionClick();
    void btnHelpClick();
    void lblAboutClick();
    void lblCopyrightClick();
    void btnSrcFileNameClick();
    void btnDelFilesClick();
    void btnTargetFolderClick();
    void edtSrcFileNameChange();
    void lvFilesSelectItem();
    void lvFilesContextPopup(const QPoint &pos);
    void AAddFilesExecute();
    void ADelFilesExecute();

private:
    void FormCreate();
    /// Drops from a file manager onto lvFiles: the local files are added as
    /// by the file dialog (list saved, command-state update).
    void lvFilesDragOver(QDragMoveEvent *event);
    void lvFilesDragDrop(QDropEvent *event);
    static QStringList droppedFiles(const QMimeData *data);
    void FormClose();
    void placeLabels();
    bool canRun() const;
    void startUpload();
    /// Saves Files.txt; on failure the warning, and the list stays as it is.
    void saveList();
    QMessageBox::StandardButton messageBox(QMessageBox::Icon icon, const QString &caption,
                                           const QString &text,
                                           QMessageBox::StandardButtons buttons);
    void setTextIfChanged(class QLabel *label, const QString &text);
    /// The connection line: the server as entered, and after a login the
    /// protection it ended up with.
    void setConnectionSummary(const QString &server);
    void showSecurity(ftp::Security security);
    ftp::CertificateDecision decideCertificate(const ftp::CertificateInfo &certificate);

    Ui::TfrmMainForm *ui;
    UploadList m_list;
    UploadState m_state;
    ConnectionParams m_connection;
    UploadFiles m_files;
    Windows m_windows;
    QAction *AAddFiles;
    QAction *ADelFiles;
    QMenu *pupFiles;
    /// Made for each use: an open file dialog watches its folder, and the
    /// program's own writes there (settings, marker) would keep it busy.
    QFileDialog *OpenDialog = nullptr;
    QString m_openFolder; // where the dialog was left, for the next use
    QString m_openFilter; // the file type chosen last
    void createOpenDialog();
    int m_lastPercent = -1;
    bool m_closing = false; // closed while a run went on: the run ends the program
    Automation m_automation;
    void automatedRun();
    /// While a run is busy, a 10 ms timer measures the longest time the
    /// window went without handling events.
    void watchGaps(bool on);
    QTimer *m_gapTicker = nullptr;
    QElapsedTimer m_gapClock;
    qint64 m_lastTickNs = 0;
    qint64 m_longestGapNs = 0;
    std::shared_ptr<TrustStore> m_trust;
    ftp::CertificateCallback m_askCertificate; // the dialog, over the trust store
    ftp::CertificateCallback m_certificateDecision;
    std::function<void(ftp::Security)> m_loggedIn;
    QString m_connectionSummary;
};
