// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ftp/FtpClient.h"
#include "state/ConnectionParams.h"
#include "upload/LoginRetry.h"

#include <QString>

#include <functional>
#include <memory>
#include <string>

class RemoteNames;
namespace folders {
struct FolderListing;
enum class ListingFormat;
} // namespace folders

/// What the folder lister needs from the browser window. TfrmFolders
/// implements it; a test can implement it without a screen. askContinue()
/// is the prompt that comes when logging in takes too long.
class BrowserView : public ContinuePrompt
{
public:
    /// The status line.
    virtual void setStatus(const QString &text) = 0;
    /// Empties the folder list.
    virtual void clearEntries() = 0;
    /// Adds an entry to the folder list, named by the server's bytes.
    virtual void addEntry(const std::string &rawName) = 0;
    /// Shows the path of the listing just completed.
    virtual void showPath(const QString &path) = 0;
    /// Lets the window handle its events (repaints, clicks, close requests).
    virtual void processEvents() = 0;
    /// Waits ms with the window live; ends early when the step is aborted.
    virtual void pause(int ms) = 0;
};

/// The folder browser's engine. It holds no connection while the user
/// looks: every listing step logs in afresh, sends "CWD <path>" and "MLSD"
/// (where FEAT lists MLST) or "LIST", fills the view and closes everything
/// again. A server that refuses MLSD outright is asked for LIST instead.
class FolderLister : private LoginWatcher
{
public:
    /// params and ftpOptions are read at every login, so the browser always
    /// uses what the connection dialog holds at that moment. names (may be
    /// null) learns from every listing.
    FolderLister(BrowserView &view, std::function<ConnectionParams()> params,
                 std::function<ftp::FtpService::Options()> ftpOptions, RemoteNames *names);
    ~FolderLister() override;

    /// Forgets the current path, as a new opening of the browser does.
    void reset() { m_currentPath.clear(); }
    /// One listing step toward target: a name from the list, "..", or a
    /// path. False when it ended without a listing; the status line then
    /// says why. Handles are closed when it returns.
    bool step(const std::string &target);
    /// Stops the running step's retries (a close request came).
    void abort() { m_abort = true; }

    /// The server's bytes of the path the last step went to; empty until a
    /// step of this opening has connected.
    const std::string &currentPath() const { return m_currentPath; }
    /// The server field as the connection dialog holds it now.
    QString server() const;

    /// Shortest pause between failed login attempts, and the time after
    /// which the login-timeout prompt comes (tests shorten them).
    int loginRetryPauseMs = 2000;
    int loginWindowMs = 10000;
    /// An upload run is going. A listing step holds the run up while it
    /// goes (both live on the one thread), so it then makes one login
    /// attempt and one listing, and never asks the prompt: a failure shows
    /// in the status line, and Backspace tries again.
    bool runGoing = false;

    /// A failing listing is tried again this many times, each after a new login.
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

private:
    bool listTarget(const std::string &target);
    std::unique_ptr<ftp::FtpTransfer> openListing(bool &mlsdRefused,
                                                  folders::ListingFormat &format);
    bool connectAndLogIn();
    bool showListing(const folders::FolderListing &listing);
    void closeHandles();
    ftp::FtpService::Options serviceOptions() const;

    // LoginWatcher: the view's prompt and events; reasons go to the status line.
    Answer askContinue(const QString &message, Countdown countdown = Countdown::Auto) override;
    void loginReasonChanged(const QString &reason) override;
    void processEvents() override;
    bool stopRequested() const override;
    void pause(int ms) override;

    BrowserView &m_view;
    std::function<ConnectionParams()> m_params;
    std::function<ftp::FtpService::Options()> m_ftpOptions;
    RemoteNames *m_names;

    std::string m_currentPath;
    std::unique_ptr<ftp::FtpService> m_service;
    std::unique_ptr<ftp::FtpConnection> m_connection;
    bool m_abort = false;      ///< a close request came: stop retrying
    QString m_lastLoginReason; ///< why the attempts of this login fail
};
