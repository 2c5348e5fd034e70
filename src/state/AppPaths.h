// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

/// Where Trelvan keeps its files. The data files live beside the executable
/// when that folder is writable (a portable install, the build tree);
/// otherwise in $XDG_CONFIG_HOME/trelvan/ (default ~/.config/trelvan/).
/// Help.html is taken from beside the executable, or from the installed data
/// folder.
namespace AppPaths {

/// The folder of the running executable, with its trailing separator.
QString executableDir();
/// The folder of the data files, with its trailing separator; created on demand.
QString dataDir();
/// Same rule for an explicit executable folder (for tests).
QString dataDirFor(const QString &exeDir);

QString settingsFile(); // dataDir() + "Settings.ini"
QString listFile();     // dataDir() + "Files.txt"
QString markerFile();   // dataDir() + "Upload.dat"
QString tempFile();     // dataDir() + "Temp.dat"
QString helpFile();     // Help.html beside the executable, else the installed copy

} // namespace AppPaths
