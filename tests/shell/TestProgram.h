// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "folders/UFolders.h"
#include "shell/UAbout.h"
#include "shell/UConnection.h"
#include "shell/UHelp.h"
#include "shell/UMainForm.h"
#include "support/TestFiles.h"
#include "upload/UConnLost.h"

#include <QByteArray>
#include <QTemporaryDir>
#include <functional>
#include <memory>

/// The child of `parent` called `name`; null when there is none.
template <class T> T *child(const QObject *parent, const char *name)
{
    return parent->findChild<T *>(QString::fromLatin1(name));
}

class FtpTestServer;
class ModalDriver;

/// The program's windows as main() creates them, with the data files in a
/// temporary folder of their own.
class TestProgram
{
public:
    /// prepare runs before the main window is created, to put data files in
    /// place (it gets the folder, with a trailing "/").
    explicit TestProgram(const std::function<void(const QString &)> &prepare = {});
    ~TestProgram();

    QString path(const QString &name) const;
    template <class T> T *widget(const char *name) const { return child<T>(main.get(), name); }

    QTemporaryDir dir;
    UploadFiles files;
    std::unique_ptr<TfrmMainForm> main;
    TfrmConnection *connection = nullptr;
    TfrmConnLost *connLost = nullptr;
    TfrmAbout *about = nullptr;
    std::unique_ptr<TfrmHelp> help;
    TfrmFolders *folders = nullptr;
};

/// Logs the window in to `server` (at `serverField` instead of its own
/// address when given) through the connection dialog and lists `count`
/// small files of equal size for its upload folder.
void prepareRun(TestProgram &p, ModalDriver &driver, const FtpTestServer &server, int count,
                const QString &serverField = {});
