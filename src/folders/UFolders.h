#pragma once

#include "ftp/FtpClient.h"
#include "upload/UploadRun.h"

#include <QDialog>
#include <QIcon>

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QEventLoop;
class QKeyEvent;
class QTimer;
class QTreeWidgetItem;
class RemoteNames;
class TfrmConnLost;
namespace Ui {
class TfrmFolders;
}

/// The folder browser: lists the subfolders of a server folder and lets the
/// user go down into one or up to the parent, then returns the chosen path.
/// It holds no connection while the user looks: every listing step logs in
/// afresh, sends "CWD <path>" and "LIST", and closes everything again.
class TfrmFolders : public QDialog
{
    Q_OBJECT
public:
    /// params and ftpOptions are read at every login, so the browser always
    /// uses what the connection dialog holds at that moment. names (may be
    /// null) learns from every listing, writes the start folder, and is told
    /// the bytes of the folder chosen with OK.
    TfrmFolders(TfrmConnLost *prompt, std::function<ConnectionParams()> params,
                std::function<ftp::FtpService::Options()> ftpOptions, QWidget *parent = nullptr,
                RemoteNames *names = nullptr);
    ~TfrmFolders() override;

    /// Shows the browser modally, starting at startFolder. OK returns the
    /// current path, or the current path joined with the selected entry;
    /// Cancel, Escape and the close box return startFolder unchanged.
    QString chooseFolder(const QString &startFolder);

    /// Whether a listing step is running now.
    bool isListing() const { return m_listing; }
    /// The path the last listing step went to, as shown in memPath.
    QString currentPath() const;

    /// A close request (OK, Cancel, Escape, close box) that comes while a
    /// listing step runs stops the step's retries and closes the dialog once
    /// the step has ended.
    void done(int result) override;

    /// Shortest pause between failed login attempts, and the time after
    /// which the login-timeout prompt comes (tests shorten them).
    int loginRetryPauseMs = 500;
    int loginWindowMs = 10000;

    /// A failing "LIST" is tried again this many times, each after a new login.
    static constexpr int ListRetries = 3;

    // Texts of the status line and of the login-timeout prompt.
    static const QString TextConnecting;  // "Соединение..."
    static const QString TextAuthorizing; // "Авторизация на сервере..."
    static const QString TextRequesting;  // "Запрос списка ..."
    static const QString TextReady;       // "Готово"
    static const QString TextListFailed; // "Не удалось получить список папок"
    static const QString TextNoService; // "Не могу установить соединение с Internet"
    static const QString TextLoginTimeout;
    static const QString TextCertificateRefused; // "Сертификат сервера отклонён"

signals:
    /// Emitted when a listing step ends; ok is false when it ended without a listing.
    void listingFinished(bool ok);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void TimerTimer();
    void lvFoldersDblClick();
    void btnOKClick();
    void btnCancelClick();

private:
    void lvFoldersKeyDown(QKeyEvent *event);
    void openSelectedEntry();
    void listingStep(const std::string &target);
    bool runListingStep(const std::string &target);
    bool connectionStep();
    void closeHandles();
    void pause(int ms);
    void setStatus(const QString &text);
    void addEntry(const std::string &rawName);
    std::optional<std::string> selectedName() const;
    ftp::FtpService::Options serviceOptions() const;
    QString server() const;

    Ui::TfrmFolders *ui;
    TfrmConnLost *m_prompt;
    std::function<ConnectionParams()> m_params;
    std::function<ftp::FtpService::Options()> m_ftpOptions;
    RemoteNames *m_names;
    QTimer *m_timer;
    QIcon m_folderIcon; ///< ilFolders, image 0

    std::string m_currentPath; ///< server bytes; empty until a step has connected
    QString m_startFolder;
    std::unique_ptr<ftp::FtpService> m_service;
    std::unique_ptr<ftp::FtpConnection> m_connection;

    bool m_listing = false;
    bool m_abort = false;               ///< a close request came: stop retrying
    std::optional<int> m_pendingResult; ///< the close request held until the step ends
    QEventLoop *m_pauseLoop = nullptr;
};
