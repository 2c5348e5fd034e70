// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: Files.txt, the upload list file (ListFile::parse and
// ListFile::format).
//
// Input: the file text.
//
// Checked:
//   - no path read holds CR, LF or NUL, and there are no more paths than
//     line breaks plus one;
//   - writing what was read and reading it again gives the same list
//     (parse(format(parse(x))) == parse(x)), and writing that again gives
//     the same bytes;
//   - a list made of the input's pieces (cut at 0xFF bytes, which UTF-8 never
//     holds) survives writing and reading when no path holds CR, LF or NUL.

#include "FuzzCheck.h"
#include "state/ListFile.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>

namespace {

bool hasBreakOrNul(const QString &path)
{
    return path.contains(QLatin1Char('\r')) || path.contains(QLatin1Char('\n')) ||
           path.contains(QChar(0));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const QByteArray text =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));

    const QStringList paths = ListFile::parse(text);
    qsizetype breaks = 0;
    for (char c : text)
        breaks += c == '\r' || c == '\n';
    FUZZ_CHECK(paths.size() <= breaks + 1);
    for (const QString &path : paths)
        FUZZ_CHECK(!hasBreakOrNul(path));

    const QByteArray written = ListFile::format(paths);
    FUZZ_CHECK(ListFile::parse(written) == paths);
    FUZZ_CHECK(ListFile::format(ListFile::parse(written)) == written);

    QStringList pieces;
    for (const QByteArray &piece : text.split('\xff'))
        pieces.append(QString::fromUtf8(piece));
    bool clean = true;
    for (const QString &piece : pieces)
        clean = clean && !hasBreakOrNul(piece);
    if (clean)
        FUZZ_CHECK(ListFile::parse(ListFile::format(pieces)) == pieces);
    return 0;
}
