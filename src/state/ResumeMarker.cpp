// SPDX-License-Identifier: GPL-3.0-or-later
#include "state/ResumeMarker.h"

#include "state/AtomicFile.h"

#include "state/ListFile.h"
#include "state/UploadList.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace ResumeMarker {

QString stampOf(const QString &localPath)
{
    const QFileInfo info(localPath);
    if (!info.exists())
        return {};
    // Local time at two-second resolution, as the classic file stamps have it.
    QDateTime t = info.lastModified().toLocalTime();
    const QTime time = t.time();
    t.setTime(QTime(time.hour(), time.minute(), time.second() - time.second() % 2));
    return t.toString(QStringLiteral("yyyy.MM.dd hh:mm:ss.zzz"));
}

std::optional<Marker> parse(const QByteArray &text)
{
    // Same line rules as the list file, but the marker's lines are never empty
    // on purpose, so the NUL rule makes no difference.
    const QStringList lines = ListFile::parse(text);
    if (lines.size() < 3)
        return std::nullopt;
    Marker marker{lines[0], lines[1], lines[2], -1, {}};
    bool ok = false;
    if (const qint64 size = lines.value(3).toLongLong(&ok); ok && size >= 0)
        marker.size = size;
    marker.sent = lines.mid(4);
    return marker;
}

bool fileUnchanged(const Marker &marker)
{
    const QFileInfo info(marker.localPath);
    if (!info.exists() || !info.isFile())
        return false;
    return stampOf(marker.localPath) == marker.stamp &&
           (marker.size < 0 || info.size() == marker.size);
}

std::optional<Marker> load(const QString &markerPath)
{
    if (markerPath.isEmpty())
        return std::nullopt;
    QFile file(markerPath);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return parse(file.readAll());
}

QString markedPath(const QString &markerPath)
{
    const auto marker = load(markerPath);
    return marker ? marker->localPath : QString();
}

bool readAndApply(const QString &markerPath, UploadList &list)
{
    const auto marker = load(markerPath);
    if (!marker || !fileUnchanged(*marker))
        return false;
    if (list.count() == 0) {
        list.addFile(marker->localPath);
        return true;
    }
    // A marker whose file is not listed any more is ignored. The items
    // before it stay pending: the list drops every file once it is sent, so
    // what it still holds was passed over (a disk not mounted, an error) or
    // never reached. Paths are compared exactly: on Linux README and readme
    // are two files.
    bool listed = false;
    for (int row = 0; row < list.count(); ++row)
        listed = listed || list.at(row).path == marker->localPath;
    if (!listed)
        return false;
    // Files.txt is rewritten every few seconds, not after every file; the
    // marker names the files sent since, so that they are not sent again.
    const QSet<QString> sent(marker->sent.cbegin(), marker->sent.cend());
    for (int row = 0; row < list.count(); ++row) {
        if (list.at(row).path != marker->localPath && sent.contains(list.at(row).path)) {
            list.setDone(row, true);
            list.setStatus(row, QStringLiteral("100%"));
        }
    }
    return true;
}

QByteArray textFor(const QString &localPath, const QString &destFolder, const QStringList &sent)
{
    return ListFile::format(QStringList{localPath, stampOf(localPath), destFolder,
                                        QString::number(QFileInfo(localPath).size())} +
                            sent);
}

bool write(const QString &markerPath, const QString &localPath, const QString &destFolder)
{
    return AtomicFile::write(markerPath, textFor(localPath, destFolder));
}

} // namespace ResumeMarker
