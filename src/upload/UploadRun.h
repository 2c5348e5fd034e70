// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ftp/FtpClient.h"
#include "state/ConnectionParams.h"

#include <QElapsedTimer>
#include <QString>

#include <functional>

class RemoteNames;
class UploadList;
class UploadView;

/// State that outlives one run; the main window owns it. The hand-off adds
/// to uploadTotal while a run goes on; the Close button sets stop.
struct UploadState
{
    bool busy = false;
    bool stop = false;   ///< set by the Close button, never cleared
    bool resume = false; ///< the marker's file is to be continued, not created afresh
    qint64 uploadTotal = 0;
};

/// Where the run keeps and finds its files.
struct UploadFiles
{
    QString settingsFile; ///< Settings.ini: DestFolder is stored at the start
    QString listFile;     ///< Files.txt: rewritten when the list changes
    QString markerFile;   ///< Upload.dat
    QString tempFile;     ///< Temp.dat: the empty file put to create a remote file
};

/// The upload run: sends every pending item of the list into the destination
/// folder, continuing a cut-off file from the byte count the server holds.
/// One long loop on the GUI thread that lets the window breathe after every
/// login attempt and every block.
class UploadRun
{
public:
    enum class Outcome
    {
        NotStarted,  ///< the settings file or a local file could not be used
        Completed,   ///< every item sent
        Incomplete,  ///< ended normally, but some items could not be sent
        Interrupted, ///< Cancel, Close, an error box, or nothing sent but a deleted file
    };

    /// names (may be null) writes the remote paths for the server: without
    /// it they go as UTF-8.
    UploadRun(UploadView &view, UploadList &list, UploadState &state,
              const ConnectionParams &connection, const UploadFiles &files,
              ftp::FtpService::Options ftpOptions, RemoteNames *names = nullptr);

    /// Runs to the end, including the closing message box.
    Outcome exec();

    /// Shortest pause between failed login attempts, and the login window
    /// after which the time-out prompt comes (tests shorten them).
    int loginRetryPauseMs = 2000;
    int loginWindowMs = 10000;
    /// Shortest time between two progress refreshes while blocks flow (the
    /// display always shows a file's last block), and between two calls that
    /// let the window handle its events while blocks flow without waiting
    /// (a wait handles them as they come: ftp::setIdleWait). Tests set both
    /// to 0: every block. A refresh lays the labels out and paints them;
    /// five a second are plenty for the eye. A call with nothing to handle
    /// is cheap, and one every 5 ms keeps the window's longest pause under a
    /// frame at 60 Hz.
    int progressRefreshMs = 200;
    int serviceIntervalMs = 5;
    /// Shortest time between two changes of the byte counts and the time
    /// left (the bar and the percentages keep the pace above; a file's last
    /// block shows all). Those figures change at every refresh: once a second
    /// is as fast as an eye can read them, and each change is an event a
    /// screen reader is told of and asks about. Tests set 0: every refresh.
    int figuresRefreshMs = 1000;
    /// The clock the time left is measured on, in nanoseconds from any start
    /// (tests script it); empty: a steady clock.
    std::function<qint64()> clockNs;
    /// Shortest time between two rewrites of Files.txt as files are sent,
    /// and never less than 50 times what the last rewrite took (20,000 rows
    /// take about 10 ms): a crash between two files then sends again only
    /// what the last seconds sent. Tests set 0: after every file.
    int listSaveIntervalMs = 2000;

    // Texts the run shows.
    static const QString TextInterrupted; // "Закачка файла была прервана"
    static const QString TextCompleted; // "Закачка файлов на сервер завершена"
    static const QString TextIncomplete; // "Закачка завершена, но не все файлы переданы на сервер"
    static const QString TextNoService; // "Не могу установить соединение с Internet"
    static const QString TextLoginTimeout;
    static const QString TextConnectionLost;
    static const QString TextNotFound; // "Не найден"
    static const QString TextError;    // "Ошибка"
    static const QString TextNameTaken; // "Имя повторяется": another file of the list has its name

private:
    struct Impl;
    UploadView &m_view;
    UploadList &m_list;
    UploadState &m_state;
    ConnectionParams m_connection;
    UploadFiles m_files;
    ftp::FtpService::Options m_ftpOptions;
    RemoteNames *m_names;
};
