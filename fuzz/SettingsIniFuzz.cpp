// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: Settings.ini reading and writing (ProfileFile::lookup and
// ProfileFile::withValue) on arbitrary file text.
//
// Input: the file text, then optionally a byte 0xFF (never part of UTF-8)
// followed by one byte choosing the section and key and the bytes of the
// value to write. Without 0xFF the whole input is the file and a fixed value
// is written.
//
// Checked, for a write of value v under section s and key k:
//   - reading k back gives v as reading cleans it (CR and LF become blanks,
//     surrounding blanks and one pair of enclosing quotes dropped, at most
//     MaxValueLength UTF-16 units and never half a character), whatever case
//     the names are read with;
//   - every other key of the sections the program knows reads as before;
//   - an existing key is rewritten in place: every other line stays as it was;
//   - writing the same value again changes nothing;
//   - whatever is read is well-formed UTF-16 without a line feed.

#include "FuzzCheck.h"
#include "state/ProfileFile.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace {

// The names a write goes to, in several spellings.
const std::array<QString, 4> Sections = {QStringLiteral("Options"), QStringLiteral("options"),
                                         QStringLiteral("OPTIONS"), QStringLiteral("Раздел")};
const std::array<QString, 7> Keys = {QStringLiteral("DestFolder"), QStringLiteral("Server"),
                                     QStringLiteral("User"),       QStringLiteral("Passive"),
                                     QStringLiteral("destfolder"), QStringLiteral("SERVER"),
                                     QStringLiteral("Ключ")};

// The keys whose values a write to another key must leave alone.
const std::array<QString, 2> KnownSections = {QStringLiteral("Options"), QStringLiteral("Раздел")};
const std::array<QString, 5> KnownKeys = {QStringLiteral("DestFolder"), QStringLiteral("Server"),
                                          QStringLiteral("User"), QStringLiteral("Passive"),
                                          QStringLiteral("Ключ")};

bool same(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// What reading gives for a value written as `value`.
QString readBack(const QString &value)
{
    QString clean = value;
    clean.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    QByteArray bytes = clean.toUtf8();
    qsizetype b = 0;
    qsizetype e = bytes.size();
    while (b < e && (bytes[b] == ' ' || bytes[b] == '\t'))
        ++b;
    while (e > b && (bytes[e - 1] == ' ' || bytes[e - 1] == '\t'))
        --e;
    bytes = bytes.mid(b, e - b);
    if (bytes.size() >= 2 && (bytes.front() == '"' || bytes.front() == '\'') &&
        bytes.back() == bytes.front())
        bytes = bytes.mid(1, bytes.size() - 2);
    QString read = QString::fromUtf8(bytes);
    if (read.size() > ProfileFile::MaxValueLength) {
        read.truncate(ProfileFile::MaxValueLength);
        if (read.back().isHighSurrogate())
            read.chop(1);
    }
    return read;
}

void checkRead(const std::optional<QString> &value)
{
    if (!value)
        return;
    FUZZ_CHECK(value->size() <= ProfileFile::MaxValueLength);
    FUZZ_CHECK(!value->contains(QLatin1Char('\n')));
    FUZZ_CHECK(QStringView(*value).isValidUtf16());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const QByteArray input =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const qsizetype mark = input.lastIndexOf('\xff');
    const QByteArray text = mark < 0 ? input : input.left(mark);
    uint8_t choice = 0;
    QString value = QStringLiteral("/incoming/Папка");
    if (mark >= 0 && mark + 1 < input.size()) {
        choice = static_cast<uint8_t>(input[mark + 1]);
        value = QString::fromUtf8(input.mid(mark + 2));
    }
    const QString &section = Sections[choice % Sections.size()];
    const QString &key = Keys[(choice / Sections.size()) % Keys.size()];

    // Everything the program could read before the write.
    QList<std::optional<QString>> before;
    for (const QString &s : KnownSections) {
        for (const QString &k : KnownKeys) {
            before.append(ProfileFile::lookup(text, s, k));
            checkRead(before.back());
        }
    }

    const QByteArray out = ProfileFile::withValue(text, section, key, value);
    const QString expected = readBack(value);
    FUZZ_CHECK(ProfileFile::lookup(out, section, key) == expected);
    FUZZ_CHECK(ProfileFile::lookup(out, section.toUpper(), key.toLower()) == expected);

    qsizetype at = 0;
    for (const QString &s : KnownSections) {
        for (const QString &k : KnownKeys) {
            const std::optional<QString> now = ProfileFile::lookup(out, s, k);
            checkRead(now);
            if (!(same(s, section) && same(k, key)))
                FUZZ_CHECK(now == before[at]);
            ++at;
        }
    }

    if (ProfileFile::lookup(text, section, key)) {
        const QList<QByteArray> oldLines = text.split('\n');
        const QList<QByteArray> newLines = out.split('\n');
        FUZZ_CHECK(oldLines.size() == newLines.size());
        int changed = 0;
        for (qsizetype i = 0; i < oldLines.size(); ++i)
            changed += oldLines[i] != newLines[i];
        FUZZ_CHECK(changed <= 1);
    }

    FUZZ_CHECK(ProfileFile::withValue(out, section, key, value) == out);
    return 0;
}
