// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

/// Files.txt: one local path per line, UTF-8, every line ended by CR LF.
namespace ListFile {

/// Splits text as the list file is read: a line ends at CR LF, lone LF or
/// lone CR; the text ends at the first NUL; a final line break adds no empty
/// line; empty lines are kept; nothing is trimmed.
QStringList parse(const QByteArray &text);
QByteArray format(const QStringList &paths);

/// Missing or unreadable file: nullopt-like empty result with ok=false.
bool read(const QString &filePath, QStringList *paths);
/// Replaces the file atomically; on failure the old file stays intact.
bool write(const QString &filePath, const QStringList &paths);

} // namespace ListFile
