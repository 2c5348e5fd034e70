// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the upload-run fixtures share, plain and over TLS: the program's
// files, the local files to send, a real server, and a run driven by the
// scripted window.

#include "ScriptedView.h"
#include "support/FtpTestServer.h"
#include "support/TestFiles.h"

#include "state/RemoteNames.h"
#include "state/UploadList.h"
#include "upload/UploadRun.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

class UploadRunSession
{
protected:
    QTemporaryDir programDir; // Settings.ini, Files.txt, Upload.dat, Temp.dat
    QTemporaryDir localDir;   // the files to send
    std::unique_ptr<FtpTestServer> server;
    UploadList list;
    UploadState state;
    ScriptedView view;
    std::function<qint64()> clock; // the run's clock for the time left, when scripted
    int listSaveIntervalMs = 0;    // Files.txt follows every file sent
    QString markerFile;            // Upload.dat somewhere else; empty: in programDir
    RemoteNames *names = nullptr;  // the servers' code pages, when a test has one

    /// Starts the server; the run uploads into its upload folder.
    void startServer(FtpTestServer::Kind kind, const FtpServerOptions &opts = {})
    {
        server = FtpTestServer::start(kind, opts);
        ASSERT_TRUE(server) << FtpTestServer::lastError();
        view.folder = QString::fromStdString(server->uploadFolder());
    }

    QString makeLocal(const QString &name, const QByteArray &data)
    {
        const QString path = localDir.filePath(name);
        writeFile(path, data);
        return path;
    }

    /// Where the upload of `name` lands on the server's disk.
    QString remoteOf(const QString &name) const
    {
        return server->localPath(server->uploadFolder() + "/" + name.toStdString());
    }

    UploadFiles files() const
    {
        return {programDir.filePath("Settings.ini"), programDir.filePath("Files.txt"),
                markerFile.isEmpty() ? programDir.filePath("Upload.dat") : markerFile,
                programDir.filePath("Temp.dat")};
    }

    /// Byte counts and time left, when the rest follows every block.
    int figuresRefreshMs = 0;

    /// Runs the upload with short pauses between logins. everyBlock: the
    /// display and the window are served after every block (most tests);
    /// false keeps the run's usual intervals.
    UploadRun::Outcome runUpload(const ConnectionParams &params,
                                 const ftp::FtpService::Options &options, bool everyBlock = true)
    {
        UploadRun upload(view, list, state, params, files(), options, names);
        upload.clockNs = clock;
        upload.listSaveIntervalMs = listSaveIntervalMs;
        upload.loginRetryPauseMs = 100;
        upload.loginWindowMs = 1000;
        if (everyBlock) {
            upload.progressRefreshMs = 0;
            upload.serviceIntervalMs = 0;
            upload.figuresRefreshMs = figuresRefreshMs;
        }
        return upload.exec();
    }
};
