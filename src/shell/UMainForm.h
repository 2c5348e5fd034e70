// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ftp/FtpClient.h"
#include "state/UploadList.h"
#include "upload/UploadRun.h"
#include "upload/UploadView.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>

#include <functional>
#include <memory>
#include <string>

class DesktopSignals;
class QAction;
class QDragMoveEvent;
class QDropEvent;
class QFileDialog;
class QMenu;
class QMimeData;
class RemoteNames;
class TfrmAbout;
class TfrmConnection;
class TfrmConnLost;
class TfrmFolders;
class TfrmHelp;
class TlsServers;
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

    /// Who answers the window's message boxes (the start-up notice, the
    /// list-save warning, the delete question, the upload run's reports), the
    /// run's connection-lost prompt and the question about a certificate that
    /// did not verify. Without one the window asks a person through its own
    /// dialogs.
    class Prompts
    {
    public:
        virtual ~Prompts() = default;
        /// A message box owned by the window, line breaks as "\n"; returns
        /// the button chosen.
        virtual QMessageBox::StandardButton messageBox(QMessageBox::Icon icon,
                                                       const QString &caption, const QString &text,
                                                       QMessageBox::StandardButtons buttons) = 0;
        /// The connection-lost prompt, line breaks as "\r\n".
        virtual ContinuePrompt::Answer
        askContinue(const QString &message,
                    ContinuePrompt::Countdown countdown = ContinuePrompt::Countdown::Auto) = 0;
        virtual ftp::CertificateDecision
        decideCertificate(const ftp::CertificateInfo &certificate) = 0;
        /// Whether to send the password in clear to `server` ("host:port"),
        /// which used TLS before and offers none now. Nobody there to ask
        /// means no.
        virtual bool allowClearLogin(const QString &server)
        {
            (void)server;
            return false;
        }
    };

    /// Puts `prompts` in front of the window's own dialogs; null: the
    /// window's own again.
    void setAnswerer(Prompts *prompts);
    /// A PEM file of CA certificates trusted besides the system's roots, for
    /// every login; empty: the system's roots only.
    void setExtraCaFile(const QString &path);

    /// The post-creation step: startUp, then the connection dialog once.
    void postCreate(const QStringList &arguments);
    /// The post-creation step up to the connection dialog: adds the existing
    /// files among arguments (without saving the list), shows the window,
    /// reads the settings and announces a pending resume.
    void startUp(const QStringList &arguments);

    /// Whether the Upload button is enabled: not busy, a list, a folder.
    bool canRun() const;
    /// The Upload button's caption as shown.
    QString uploadCaption() const;
    /// The password for the next logins, as the connection dialog sets it.
    void setPassword(const QString &password);

    UploadList &uploadList() { return m_list; }
    UploadState &uploadState() { return m_state; }
    const ConnectionParams &connection() const { return m_connection; }
    const UploadFiles &files() const { return m_files; }

    /// FTP options for the run and the folder browser: Settings.ini
    /// [Options] Passive=0 tries active mode first; waits keep the windows
    /// live; a certificate that does not verify goes to the answerer, else to
    /// the trust store and the certificate dialog; every login shows its
    /// protection in the connection line.
    ftp::FtpService::Options ftpOptions() const;

    /// The certificates trusted so far: Trusted.txt beside Settings.ini.
    TrustStore &trustStore() { return *m_trust; }

    /// How paths are written for each server, shared by the run and the
    /// folder browser; Windows-1251 servers are kept in Settings.ini.
    RemoteNames &remoteNames() { return *m_remoteNames; }

    /// What the desktop is told of upload runs (launcher icon, notification).
    DesktopSignals &desktopSignals() { return *m_desktop; }

    // UploadView
    Answer askContinue(const QString &message, Countdown countdown = Countdown::Auto) override;
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

    /// A byte count as shown: system locale's digit grouping and " байт".
    static QString formatBytes(qint64 bytes);

public slots:
    /// A file handed over by a second start of the program: listed (and
    /// counted in the upload total, and the list saved) unless listed
    /// already; then the command-state update, and the window comes to the
    /// front. An empty path only brings the window forward.
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
    void btnTargetFolderChosen(const QString &folder);
    void edtSrcFileNameChange();
    void lvFilesSelectItem();
    void lvFilesContextPopup(const QPoint &pos);
    void AAddFilesExecute();
    void OpenDialogClose(int result);
    void ADelFilesExecute();

private:
    // The constructor's steps, in their order.
    void createServices();
    void setUpLook();
    void setUpList();
    void createActions();
    void connectHandlers();
    void FormCreate();
    /// Drops from a file manager onto lvFiles: the local files are added as
    /// by the file dialog (list saved, command-state update).
    void lvFilesDragOver(QDragMoveEvent *event);
    void lvFilesDragDrop(QDropEvent *event);
    static QStringList droppedFiles(const QMimeData *data);
    void FormClose();
    void placeLabels();
    void startUpload();
    /// Saves Files.txt; on failure the warning, and the list stays as it is.
    void saveList();
    QMessageBox::StandardButton messageBox(QMessageBox::Icon icon, const QString &caption,
                                           const QString &text,
                                           QMessageBox::StandardButtons buttons);
    /// The same box, shown without a modal loop of its own (an upload run
    /// underneath goes on); `then` gets the button chosen once it closes.
    /// Returns the box while it is up; null when an answerer took it.
    QMessageBox *messageBoxThen(QMessageBox::Icon icon, const QString &caption, const QString &text,
                                QMessageBox::StandardButtons buttons,
                                const std::function<void(QMessageBox::StandardButton)> &then);
    /// Names the paths refused because another listed file has the same
    /// name: one box, without a loop of its own, which the paths refused
    /// while it is up join (a second start hands its files over one by one).
    void reportNameClashes(const QList<UploadList::Clash> &clashes);
    static QString clashText(const QList<UploadList::Clash> &clashes);
    /// A path as a box or a terminal can show it: line breaks as \r and \n.
    static QString shownPath(const QString &path);
    /// A data file that exists but cannot be read is left as it is; told
    /// once per file.
    void reportUnreadableFile(const QString &path);
    /// The rows selected in lvFiles leave the list (and the marker with its
    /// file's row); the list is saved.
    void deleteSelectedRows();
    void setTextIfChanged(class QLabel *label, const QString &text);
    /// The connection line: the server as entered, and after a login the
    /// protection it ended up with.
    void setConnectionSummary(const QString &server);
    void showSecurity(ftp::Security security);

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
    bool m_closing = false;             // closed while a run went on: the run ends the program
    bool m_listWarningShown = false;    // the box saying Files.txt was not saved is up
    QList<UploadList::Clash> m_clashes; // named by the box that is up
    QPointer<QMessageBox> m_clashBox;
    Prompts *m_prompts = nullptr;
    std::string m_extraCaFile;
    std::shared_ptr<TrustStore> m_trust;
    std::unique_ptr<RemoteNames> m_remoteNames;
    ftp::CertificateCallback m_askCertificate; // the dialog, over the trust store
    ftp::CertificateCallback m_certificateDecision;
    std::function<void(ftp::Security)> m_loggedIn;
    std::unique_ptr<TlsServers> m_tlsServers; // servers whose logins used TLS
    QStringList m_clearLoginAllowed;          // servers the user let have the password in clear
    std::function<void(const std::string &, uint16_t)> m_tlsLoggedIn;
    std::function<bool(const std::string &, uint16_t)> m_tlsBefore;
    std::function<bool(const std::string &, uint16_t)> m_clearLoginDecision;
    QString m_connectionSummary;
    DesktopSignals *m_desktop;
};
