// SPDX-License-Identifier: GPL-3.0-or-later
#include "state/ListFile.h"

#include "state/AtomicFile.h"

#include <QFile>

namespace ListFile {

QStringList parse(const QByteArray &text)
{
    QStringList lines;
    qsizetype end = text.indexOf('\0');
    if (end < 0)
        end = text.size();
    qsizetype pos = 0;
    while (pos < end) {
        qsizetype stop = pos;
        while (stop < end && text[stop] != '\r' && text[stop] != '\n')
            ++stop;
        lines.append(QString::fromUtf8(text.constData() + pos, stop - pos));
        // CR LF, lone LF and lone CR each end one line.
        if (stop < end && text[stop] == '\r')
            ++stop;
        if (stop < end && text[stop] == '\n')
            ++stop;
        pos = stop;
    }
    return lines;
}

QByteArray format(const QStringList &paths)
{
    QByteArray out;
    for (const QString &path : paths) {
        out += path.toUtf8();
        out += "\r\n";
    }
    return out;
}

bool read(const QString &filePath, QStringList *paths)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return false;
    *paths = parse(text);
    return true;
}

bool write(const QString &filePath, const QStringList &paths)
{
    // Written beside and renamed over the old file: a crash or a full disk
    // never leaves half a list.
    const QByteArray text = format(paths);
    return AtomicFile::write(filePath, text);
}

} // namespace ListFile
