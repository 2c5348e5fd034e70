#include "state/ResumeMarker.h"

#include "state/AtomicFile.h"

#include "state/ListFile.h"
#include "state/UploadList.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

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
    return Marker{lines[0], lines[1], lines[2]};
}

static std::optional<Marker> load(const QString &markerPath)
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
    if (!marker)
        return false;
    const QFileInfo info(marker->localPath);
    if (!info.exists() || !info.isFile())
        return false;
    if (stampOf(marker->localPath) != marker->stamp)
        return false;
    if (list.count() == 0) {
        list.addFile(marker->localPath);
        return true;
    }
    // A marker whose file is not listed any more is ignored: marking every
    // item done would drop files that were never sent.
    const QString key = UploadList::foldKey(marker->localPath);
    int match = -1;
    for (int row = 0; row < list.count(); ++row) {
        if (UploadList::foldKey(list.at(row).path) == key) {
            match = row;
            break;
        }
    }
    if (match < 0)
        return false;
    for (int row = 0; row < match; ++row) {
        list.setDone(row, true);
        list.setStatus(row, QFileInfo::exists(list.at(row).path) ? QStringLiteral("100%")
                                                                 : QStringLiteral("Не найден"));
    }
    return true;
}

bool write(const QString &markerPath, const QString &localPath, const QString &destFolder)
{
    const QByteArray text = ListFile::format({localPath, stampOf(localPath), destFolder});
    return AtomicFile::write(markerPath, text);
}

} // namespace ResumeMarker
