// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

class UploadList;

/// Upload.dat: which file an upload was cut off in. Lines, CR LF: local
/// path, its last-write time "YYYY.MM.DD hh:nn:ss.zzz" (local time, seconds
/// rounded down to even, milliseconds 000), destination folder, the file's
/// size in bytes (a marker of three lines, from an older version, has no
/// size and is matched without it), then the files sent since Files.txt was
/// last written, one a line.
namespace ResumeMarker {

/// The time stamp text for the file's current last-write time; empty when
/// the file does not exist.
QString stampOf(const QString &localPath);

struct Marker
{
    QString localPath;
    QString stamp;
    QString destFolder;
    qint64 size = -1; ///< -1: not recorded
    QStringList sent; ///< sent, but still in Files.txt
};

/// Parses marker text (lines end at CR, LF or CR LF); nullopt with fewer
/// than three lines.
std::optional<Marker> parse(const QByteArray &text);

/// Reads the marker file; nullopt when there is none or it is broken.
std::optional<Marker> load(const QString &markerPath);

/// Whether the marked file is still the one that was cut off: its stamp and
/// (where recorded) its size are as they were when the marker was written.
bool fileUnchanged(const Marker &marker);

/// Reads the marker and applies it to the list at start-up. Returns the
/// resume flag. A marker counts only when its file exists, is unchanged and
/// (for a non-empty list) is listed. The items the marker names as sent are
/// marked done ("100%"); every other item stays pending: the list holds only
/// files not known to be sent. An empty list gets the marker's file as its
/// one pending item.
bool readAndApply(const QString &markerPath, UploadList &list);

/// The marked file's path, or empty when there is no readable marker.
QString markedPath(const QString &markerPath);

/// The marker's text for a file as it is now; `sent`: the files sent since
/// Files.txt was last written.
QByteArray textFor(const QString &localPath, const QString &destFolder,
                   const QStringList &sent = {});

/// Writes the marker atomically; false on failure.
bool write(const QString &markerPath, const QString &localPath, const QString &destFolder);

} // namespace ResumeMarker
