// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

/// Reading a data file that is rewritten from what it held (Settings.ini,
/// Trusted.txt). One that exists but cannot be read (no permission, an I/O
/// error, a folder in its place) must not be written over: what it holds
/// would be lost for a file of one key. The user is told once per file in a
/// run of the program, through the report the windows install.
namespace StoredFile {

enum class Read
{
    Missing,   ///< no such file: the first write creates it
    Read,      ///< *bytes holds the whole file
    Unreadable ///< it exists, but its bytes could not be had
};

Read read(const QString &path, QByteArray *bytes);

using Report = std::function<void(const QString &path)>;
/// Who hears of an unreadable file; empty: nobody.
void setUnreadableReport(Report report);
/// Tells the report of path, unless it was told of it before in this run.
void reportUnreadable(const QString &path);

} // namespace StoredFile
