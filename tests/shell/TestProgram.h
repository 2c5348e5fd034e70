#pragma once

#include "folders/UFolders.h"
#include "shell/UAbout.h"
#include "shell/UConnection.h"
#include "shell/UHelp.h"
#include "shell/UMainForm.h"
#include "upload/UConnLost.h"

#include <QByteArray>
#include <QTemporaryDir>
#include <functional>
#include <memory>

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
    template <class T> T *widget(const char *name) const
    {
        return main->findChild<T *>(QString::fromLatin1(name));
    }

    QTemporaryDir dir;
    UploadFiles files;
    std::unique_ptr<TfrmMainForm> main;
    TfrmConnection *connection = nullptr;
    TfrmConnLost *connLost = nullptr;
    TfrmAbout *about = nullptr;
    std::unique_ptr<TfrmHelp> help;
    TfrmFolders *folders = nullptr;
};

void writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);
