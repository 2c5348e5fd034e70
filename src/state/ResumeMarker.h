#pragma once

#include <QString>
#include <QStringList>
#include <optional>

class UploadList;

/// Upload.dat: which file an upload was cut off in. Three lines, CR LF:
/// local path, its last-write time "YYYY.MM.DD hh:nn:ss.zzz" (local time,
/// seconds rounded down to even, milliseconds 000), destination folder.
namespace ResumeMarker {

/// The time stamp text for the file's current last-write time; empty when
/// the file does not exist.
QString stampOf(const QString &localPath);

struct Marker
{
    QString localPath;
    QString stamp;
    QString destFolder;
};

/// Parses marker text (lines end at CR, LF or CR LF); nullopt with fewer
/// than three lines.
std::optional<Marker> parse(const QByteArray &text);

/// Reads the marker and applies it to the list at start-up. Returns the
/// resume flag. A marker counts only when its file exists, its stamp still
/// matches, and (for a non-empty list) the file is listed: then the items
/// before it are marked done ("100%" or "Не найден"). An empty list gets the
/// marker's file as its one pending item.
bool readAndApply(const QString &markerPath, UploadList &list);

/// The marked file's path, or empty when there is no readable marker.
QString markedPath(const QString &markerPath);

/// Writes the marker atomically; false on failure.
bool write(const QString &markerPath, const QString &localPath, const QString &destFolder);

} // namespace ResumeMarker
