// SPDX-License-Identifier: GPL-3.0-or-later
#include "state/AppPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <unistd.h>

namespace AppPaths {

static QString withSeparator(const QString &dir)
{
    return dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
}

QString executableDir()
{
    return withSeparator(QCoreApplication::applicationDirPath());
}

/// An installed copy has its data folder next to the bin folder; it keeps
/// its files per user even when run by root, who could write into /usr/bin.
static bool isInstalled(const QString &exeDir)
{
    return QFileInfo::exists(exeDir + QStringLiteral("../share/trelvan/Help.html")) &&
           QDir(exeDir).dirName() == QStringLiteral("bin");
}

QString dataDirFor(const QString &exeDir)
{
    const QString dir = withSeparator(exeDir);
    if (!isInstalled(dir) && ::access(QFile::encodeName(dir).constData(), W_OK) == 0)
        return dir;
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    const QString data = withSeparator(config) + QStringLiteral("trelvan/");
    QDir().mkpath(data);
    return data;
}

QString dataDir()
{
    static const QString dir = dataDirFor(executableDir());
    return dir;
}

QString settingsFile()
{
    return dataDir() + QStringLiteral("Settings.ini");
}
QString listFile()
{
    return dataDir() + QStringLiteral("Files.txt");
}
QString markerFile()
{
    return dataDir() + QStringLiteral("Upload.dat");
}
QString tempFile()
{
    return dataDir() + QStringLiteral("Temp.dat");
}

QString helpFile()
{
    const QString beside = executableDir() + QStringLiteral("Help.html");
    if (QFileInfo::exists(beside))
        return beside;
    const QString installed = executableDir() + QStringLiteral("../share/trelvan/Help.html");
    if (QFileInfo::exists(installed))
        return QFileInfo(installed).canonicalFilePath();
    const QString shared = QStandardPaths::locate(QStandardPaths::GenericDataLocation,
                                                  QStringLiteral("trelvan/Help.html"));
    return shared.isEmpty() ? beside : shared;
}

} // namespace AppPaths
