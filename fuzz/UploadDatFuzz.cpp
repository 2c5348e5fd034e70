// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: Upload.dat, the resume marker (ResumeMarker::parse), and the
// start-up step that applies a marker read from disk to the upload list.
//
// Input: the marker file's bytes. A listed file with a fixed path and time
// stamp (trelvan-fuzz-upload-dat/file.bin in the temporary folder, 2020-03-15
// 12:00:00 local time) stands ready, so that a marker naming it can match.
//
// Checked:
//   - a marker is found exactly when the text has three lines, and its
//     fields are those lines, free of CR, LF and NUL;
//   - a marker written with those fields reads back the same;
//   - applying the marker file to an empty list and to a short list never
//     marks done an item that the marker does not come after, and adds at
//     most the marker's own file.

#include "FuzzCheck.h"
#include "state/ListFile.h"
#include "state/ResumeMarker.h"
#include "state/UploadList.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

bool hasBreakOrNul(const QString &s)
{
    return s.contains(QLatin1Char('\r')) || s.contains(QLatin1Char('\n')) || s.contains(QChar(0));
}

QString realFile()
{
    const QString folder = QDir::tempPath() + QStringLiteral("/trelvan-fuzz-upload-dat");
    QDir().mkpath(folder);
    const QString path = folder + QStringLiteral("/file.bin");
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write("sample") == 6);
    const QDateTime stamp(QDate(2020, 3, 15), QTime(12, 0, 0));
    FUZZ_CHECK(file.setFileTime(stamp, QFileDevice::FileModificationTime));
    FUZZ_CHECK(ResumeMarker::stampOf(path) == QStringLiteral("2020.03.15 12:00:00.000"));
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    static QTemporaryDir dir;
    FUZZ_CHECK(dir.isValid());
    const QByteArray text =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    const auto marker = ResumeMarker::parse(text);
    const QStringList lines = ListFile::parse(text);
    FUZZ_CHECK(marker.has_value() == (lines.size() >= 3));
    if (marker) {
        FUZZ_CHECK(marker->localPath == lines[0] && marker->stamp == lines[1] &&
                   marker->destFolder == lines[2]);
        FUZZ_CHECK(!hasBreakOrNul(marker->localPath) && !hasBreakOrNul(marker->stamp) &&
                   !hasBreakOrNul(marker->destFolder));
        const QByteArray again =
            ListFile::format({marker->localPath, marker->stamp, marker->destFolder});
        const auto reread = ResumeMarker::parse(again);
        FUZZ_CHECK(reread && reread->localPath == marker->localPath &&
                   reread->stamp == marker->stamp && reread->destFolder == marker->destFolder);
    }

    const QString markerPath = dir.filePath(QStringLiteral("Upload.dat"));
    {
        QFile file(markerPath);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        FUZZ_CHECK(file.write(text) == text.size());
    }
    FUZZ_CHECK(ResumeMarker::markedPath(markerPath) == (marker ? marker->localPath : QString()));

    UploadList empty;
    const bool resumeEmpty = ResumeMarker::readAndApply(markerPath, empty);
    FUZZ_CHECK(resumeEmpty ? empty.count() == 1 && marker && empty.at(0).path == marker->localPath
                           : empty.count() == 0);

    // A list holding a real file at a fixed place with a fixed time stamp, so
    // that a seed marker can name it and match.
    static const QString real = realFile();
    UploadList list;
    list.addFile(QStringLiteral("/nonexistent/a"));
    list.addFile(real);
    list.addFile(QStringLiteral("/nonexistent/b"));
    const int before = list.count();
    const bool resume = ResumeMarker::readAndApply(markerPath, list);
    FUZZ_CHECK(list.count() == before);
    int done = 0;
    for (int row = 0; row < list.count(); ++row)
        done += list.at(row).done;
    if (!resume)
        FUZZ_CHECK(done == 0);
    else
        FUZZ_CHECK(marker && (done == 0 || done == 1) && !list.at(done).done);
    return 0;
}
