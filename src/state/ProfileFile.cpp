// SPDX-License-Identifier: GPL-3.0-or-later
#include "state/ProfileFile.h"

#include "state/AtomicFile.h"
#include "state/StoredFile.h"

#include <QFile>

namespace {

// What editors that save UTF-8 with a byte order mark put first.
constexpr char Utf8Bom[] = "\xEF\xBB\xBF";

struct Line
{
    qsizetype begin; // offset of the line's first byte
    qsizetype end;   // offset just past its text (before the line break)
    qsizetype next;  // offset of the following line
};

QList<Line> splitLines(const QByteArray &text)
{
    QList<Line> lines;
    // A byte order mark is not part of the first line; writes keep it.
    qsizetype pos = text.startsWith(Utf8Bom) ? qsizetype(sizeof Utf8Bom - 1) : 0;
    while (pos < text.size()) {
        qsizetype stop = text.indexOf('\n', pos);
        const qsizetype next = stop < 0 ? text.size() : stop + 1;
        if (stop < 0)
            stop = text.size();
        qsizetype end = stop;
        if (end > pos && text[end - 1] == '\r')
            --end;
        lines.append(Line{pos, end, next});
        pos = next;
    }
    return lines;
}

QByteArray trimBlanks(const QByteArray &s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t'))
        --e;
    return s.mid(b, e - b);
}

bool sameName(const QByteArray &raw, const QString &name)
{
    return QString::fromUtf8(trimBlanks(raw)).compare(name, Qt::CaseInsensitive) == 0;
}

/// The section name of a "[name]" line, or nullopt for any other line.
std::optional<QByteArray> sectionOf(const QByteArray &line)
{
    const QByteArray t = trimBlanks(line);
    if (!t.startsWith('['))
        return std::nullopt;
    const qsizetype close = t.indexOf(']');
    if (close < 0)
        return std::nullopt;
    return t.mid(1, close - 1);
}

struct Found
{
    int sectionLine = -1; // index of the section header
    int lastLine = -1;    // last non-blank line of the section
    int keyLine = -1;     // the key's line
};

Found find(const QByteArray &text, const QList<Line> &lines, const QString &section,
           const QString &key)
{
    Found found;
    bool inside = false;
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray line = text.mid(lines[i].begin, lines[i].end - lines[i].begin);
        if (const auto name = sectionOf(line)) {
            if (found.sectionLine >= 0 && inside)
                break; // the first matching section is the one that counts
            inside = sameName(*name, section);
            if (inside) {
                found.sectionLine = i;
                found.lastLine = i;
            }
            continue;
        }
        if (!inside)
            continue;
        if (!trimBlanks(line).isEmpty())
            found.lastLine = i;
        const qsizetype eq = line.indexOf('=');
        if (eq >= 0 && found.keyLine < 0 && sameName(line.left(eq), key))
            found.keyLine = i;
    }
    return found;
}

QByteArray lineBreakOf(const QByteArray &text)
{
    return text.contains("\r\n") || !text.contains('\n') ? QByteArrayLiteral("\r\n")
                                                         : QByteArrayLiteral("\n");
}

// Ends text with a line feed before a line is put after it. Lines end only at
// LF, so a last line ending in a bare CR gets just the LF: anything more would
// leave a CR in that line's value, anything less would glue the new line onto it.
void endLastLine(QByteArray &text, const QByteArray &br)
{
    if (text.isEmpty() || text == Utf8Bom || text.endsWith('\n'))
        return;
    text += text.endsWith('\r') ? QByteArrayLiteral("\n") : br;
}

} // namespace

std::optional<QString> ProfileFile::lookup(const QByteArray &text, const QString &section,
                                           const QString &key)
{
    const QList<Line> lines = splitLines(text);
    const Found found = find(text, lines, section, key);
    if (found.keyLine < 0)
        return std::nullopt;
    const Line &l = lines[found.keyLine];
    const QByteArray line = text.mid(l.begin, l.end - l.begin);
    QByteArray value = trimBlanks(line.mid(line.indexOf('=') + 1));
    // One pair of enclosing quotes is dropped, as the profile functions do.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.mid(1, value.size() - 2);
    QString result = QString::fromUtf8(value);
    if (result.size() > MaxValueLength) {
        result.truncate(MaxValueLength);
        // A character outside the BMP is two UTF-16 units: cut before it, not
        // through it, or half a character would arrive.
        if (result.back().isHighSurrogate())
            result.chop(1);
    }
    return result;
}

QByteArray ProfileFile::withValue(const QByteArray &text, const QString &section,
                                  const QString &key, const QString &value)
{
    // A line break inside a value would start a line of its own in the file.
    QString clean = value;
    clean.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QByteArray br = lineBreakOf(text);
    const QByteArray entry = key.toUtf8() + '=' + clean.toUtf8();
    const QList<Line> lines = splitLines(text);
    const Found found = find(text, lines, section, key);
    if (found.keyLine >= 0) {
        const Line &l = lines[found.keyLine];
        return text.left(l.begin) + entry + text.mid(l.end);
    }
    if (found.sectionLine >= 0) {
        const Line &l = lines[found.lastLine];
        QByteArray head = text.left(l.next);
        endLastLine(head, br);
        return head + entry + br + text.mid(l.next);
    }
    QByteArray out = text;
    endLastLine(out, br);
    out += '[' + section.toUtf8() + ']' + br + entry + br;
    return out;
}

QString ProfileFile::readString(const QString &section, const QString &key,
                                const QString &defaultValue) const
{
    QFile file(m_filePath);
    if (!file.open(QIODevice::ReadOnly))
        return defaultValue;
    return lookup(file.readAll(), section, key).value_or(defaultValue);
}

bool ProfileFile::writeString(const QString &section, const QString &key, const QString &value)
{
    QByteArray text;
    if (StoredFile::read(m_filePath, &text) == StoredFile::Read::Unreadable) {
        StoredFile::reportUnreadable(m_filePath);
        return false;
    }
    const QByteArray out = withValue(text, section, key, value);
    return AtomicFile::write(m_filePath, out);
}
