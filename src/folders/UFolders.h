// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "folders/FolderLister.h"

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
namespace Ui {
class TfrmFolders;
}

/// The folder browser: lists the subfolders of a server folder and lets the
/// user go down into one or up to the parent, then returns the chosen path.
/// Its FolderLister does the listing steps; the window shows them.
class TfrmFolders : public QDialog, private BrowserView
{
    Q_OBJECT
public:
    /// prompt (may be null: every question then counts as Cancel) asks
    /// whether to go on when logging in takes long. params and ftpOptions
    /// are read at every login. names (may be null) learns from every
    /// listing, writes the start folder, and is told the bytes of the folder
    /// chosen with OK.
    TfrmFolders(ContinuePrompt *prompt, std::function<ConnectionParams()> params,
                std::function<ftp::FtpService::Options()> ftpOptions, QWidget *parent = nullptr,
                RemoteNames *names = nullptr);
    ~TfrmFolders() override;

    /// Shows the browser modally, starting at startFolder, and returns at
    /// once: a modal loop of its own would hold up an upload run going on
    /// underneath. folderChosen() then tells the choice. Nothing happens
    /// while the browser is open already.
    void browse(const QString &startFolder);
    /// Tells the browser whether an upload run is going (see
    /// FolderLister::runGoing).
    void setRunGoing(bool going) { m_lister->runGoing = going; }

    /// Whether a listing step is running now.
    bool isListing() const { return m_listing; }
    /// The path the last listing step went to, as shown in memPath.
    QString currentPath() const;
    /// The engine of the listing steps (tests shorten its login times).
    FolderLister &lister() { return *m_lister; }

    /// A close request (OK, Cancel, Escape, close box) that comes while a
    /// listing step runs stops the step's retries and closes the dialog once
    /// the step has ended.
    void done(int result) override;

signals:
    /// Emitted when a listing step ends; ok is false when it ended without a listing.
    void listingFinished(bool ok);
    /// The browser has closed. OK gives the current path, or the current
    /// path joined with the selected entry; Cancel, Escape and the close box
    /// give the start folder unchanged.
    void folderChosen(const QString &folder);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void TimerTimer();
    void FormClose(int result);
    void lvFoldersDblClick();
    void btnOKClick();
    void btnCancelClick();

private:
    void lvFoldersKeyDown(QKeyEvent *event);
    void openSelectedEntry();
    void listingStep(const std::string &target);
    std::optional<std::string> selectedName() const;

    // BrowserView
    Answer askContinue(const QString &message, Countdown countdown = Countdown::Auto) override;
    void setStatus(const QString &text) override;
    void clearEntries() override;
    void addEntry(const std::string &rawName) override;
    void showPath(const QString &path) override;
    void processEvents() override;
    void pause(int ms) override;

    Ui::TfrmFolders *ui;
    ContinuePrompt *m_prompt;
    RemoteNames *m_names;
    std::unique_ptr<FolderLister> m_lister;
    QTimer *m_timer;
    QIcon m_folderIcon; ///< ilFolders, image 0

    QString m_startFolder;
    bool m_listing = false;
    std::optional<int> m_pendingResult; ///< the close request held until the step ends
    QEventLoop *m_pauseLoop = nullptr;
};
