// SPDX-License-Identifier: GPL-3.0-or-later
#include "folders/ListingParser.h"

#include "state/Windows1251.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace folders {

namespace {

// One blank-separated field of a line, as offsets into the line.
struct Field
{
    std::size_t begin = 0;
    std::size_t end = 0;
};

// The date of a Unix line lies within the first ten or so fields; a few more
// allow for servers that add columns. Fields past this are never looked at.
constexpr std::size_t MaxFields = 16;

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool allDigits(std::string_view s)
{
    if (s.empty())
        return false;
    for (char c : s) {
        if (!isDigit(c))
            return false;
    }
    return true;
}

std::string_view trimControl(std::string_view s)
{
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end && static_cast<unsigned char>(s[begin]) <= 32)
        ++begin;
    while (end > begin && static_cast<unsigned char>(s[end - 1]) <= 32)
        --end;
    return s.substr(begin, end - begin);
}

// Splits off at most MaxFields fields; returns how many were found.
std::size_t splitFields(std::string_view line, std::array<Field, MaxFields> &fields)
{
    std::size_t count = 0;
    std::size_t i = 0;
    while (count < MaxFields) {
        while (i < line.size() && isBlank(line[i]))
            ++i;
        if (i == line.size())
            break;
        Field &field = fields[count++];
        field.begin = i;
        while (i < line.size() && !isBlank(line[i]))
            ++i;
        field.end = i;
    }
    return count;
}

bool isMonth(std::string_view s)
{
    if (s.size() != 3)
        return false;
    static constexpr std::array<std::string_view, 12> months = {
        "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    for (std::string_view month : months) {
        if (equalsIgnoreCase(s, month))
            return true;
    }
    return false;
}

bool isDayOfMonth(std::string_view s)
{
    return (s.size() == 1 || s.size() == 2) && allDigits(s);
}

// "10:30", "9:05", "10:30:59" (some servers add seconds).
bool isClockTime(std::string_view s)
{
    std::size_t colons = 0;
    bool digitBeforeColon = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == ':') {
            if (!digitBeforeColon || i + 1 == s.size())
                return false;
            ++colons;
            digitBeforeColon = false;
        } else if (isDigit(s[i])) {
            digitBeforeColon = true;
        } else {
            return false;
        }
    }
    return colons >= 1 && colons <= 2;
}

bool isYear(std::string_view s)
{
    return s.size() == 4 && allDigits(s);
}

// "2020-01-15" of ls --time-style=long-iso.
bool isIsoDate(std::string_view s)
{
    return s.size() == 10 && allDigits(s.substr(0, 4)) && s[4] == '-' &&
           allDigits(s.substr(5, 2)) && s[7] == '-' && allDigits(s.substr(8, 2));
}

// "01-15-20" or "01-15-2020" (also with slashes) at the start of a DOS line.
bool isDosDate(std::string_view s)
{
    if (s.size() != 8 && s.size() != 10)
        return false;
    const char sep = s[2];
    if ((sep != '-' && sep != '/') || s[5] != sep)
        return false;
    return allDigits(s.substr(0, 2)) && allDigits(s.substr(3, 2)) && allDigits(s.substr(6));
}

// "10:30AM", "10:30PM", or "22:30" on servers set to a 24-hour clock.
bool isDosTime(std::string_view s)
{
    if (s.size() > 2) {
        const std::string_view suffix = s.substr(s.size() - 2);
        if (equalsIgnoreCase(suffix, "am") || equalsIgnoreCase(suffix, "pm"))
            s.remove_suffix(2);
    }
    return isClockTime(s);
}

std::string_view fieldText(std::string_view line, const Field &field)
{
    return line.substr(field.begin, field.end - field.begin);
}

// DOS/IIS: date, time, "<DIR>" or a size, then the name.
bool parseDosLine(std::string_view line, const std::array<Field, MaxFields> &fields,
                  std::size_t count, ListingEntry &entry)
{
    if (count < 3 || fields[0].begin != 0 || !isDosDate(fieldText(line, fields[0])) ||
        !isDosTime(fieldText(line, fields[1])))
        return false;
    const std::string_view kind = fieldText(line, fields[2]);
    if (equalsIgnoreCase(kind, "<DIR>"))
        entry.type = 'd';
    else if (allDigits(kind))
        entry.type = '-';
    else
        return false;
    entry.name = std::string(trimControl(line.substr(fields[2].end)));
    return true;
}

// Unix: the date is the anchor. It is the first place where a numeric size is
// followed by "month day time-or-year" (or by "YYYY-MM-DD time"); whatever
// stands between the permissions and the size (link count, owner, group, any
// of them possibly missing) is not looked at, and the name is the rest of the
// line after the date. At least two fields stand before the size (the
// permissions and an owner or a link count), so an owner or group that
// happens to read like a day and a year is not taken for the date. Fields are
// split only as far as the date, so a long name costs nothing here. Returns
// the offset where the name starts, or npos.
std::size_t unixNameOffset(std::string_view line)
{
    // Raw pointers here: this loop runs for every directory line of a
    // listing that may hold a million of them.
    struct Span
    {
        const char *begin;
        const char *end;
        std::size_t size() const { return static_cast<std::size_t>(end - begin); }
        std::string_view text() const { return {begin, size()}; }
    };
    std::array<Span, MaxFields> fields;
    std::size_t count = 0;
    const char *p = line.data();
    const char *const lineEnd = p + line.size();
    while (count < MaxFields) {
        while (p != lineEnd && (*p == ' ' || *p == '\t'))
            ++p;
        if (p == lineEnd)
            break;
        Span &field = fields[count++];
        field.begin = p;
        while (p != lineEnd && *p != ' ' && *p != '\t')
            ++p;
        field.end = p;

        // The newest field may end a date of three fields or of two.
        const std::size_t last = count - 1;
        if (last >= 5 && fields[last - 2].size() == 3 && isMonth(fields[last - 2].text()) &&
            isDayOfMonth(fields[last - 1].text()) && allDigits(fields[last - 3].text())) {
            const std::string_view timeOrYear = field.text();
            if (isClockTime(timeOrYear) || isYear(timeOrYear))
                return static_cast<std::size_t>(field.end - line.data());
        }
        if (last >= 4 && fields[last - 1].size() == 10 && isIsoDate(fields[last - 1].text()) &&
            isClockTime(field.text()) && allDigits(fields[last - 2].text()))
            return static_cast<std::size_t>(field.end - line.data());
    }
    return std::string_view::npos;
}

// Walks the lines of a listing without storing them. The next CR and the next
// LF are each searched once and remembered, so a text that uses only one of
// them is not searched to its end for the other on every line.
class LineScanner
{
public:
    explicit LineScanner(std::string_view text) : m_text(text)
    {
        m_nextCr = find('\r');
        m_nextLf = find('\n');
    }

    bool next(std::string_view &line)
    {
        if (m_pos >= m_text.size())
            return false;
        if (m_nextCr < m_pos)
            m_nextCr = find('\r');
        if (m_nextLf < m_pos)
            m_nextLf = find('\n');
        const std::size_t end = std::min(m_nextCr, m_nextLf);
        line = m_text.substr(m_pos, end - m_pos);
        m_pos = end;
        // One CR, then one LF: CR, LF and CR LF end one line each; LF CR ends two.
        if (m_pos < m_text.size() && m_text[m_pos] == '\r')
            ++m_pos;
        if (m_pos < m_text.size() && m_text[m_pos] == '\n')
            ++m_pos;
        return true;
    }

private:
    // Position of the next c at or after m_pos, or the end of the text.
    std::size_t find(char c) const
    {
        const void *hit = std::memchr(m_text.data() + m_pos, c, m_text.size() - m_pos);
        return hit ? static_cast<std::size_t>(static_cast<const char *>(hit) - m_text.data())
                   : m_text.size();
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
    std::size_t m_nextCr = 0;
    std::size_t m_nextLf = 0;
};

// The first c in [p, end), or end.
const char *find(const char *p, const char *end, char c)
{
    if (p == end) // an empty piece may have no data pointer at all
        return end;
    const void *hit = std::memchr(p, c, static_cast<std::size_t>(end - p));
    return hit ? static_cast<const char *>(hit) : end;
}

} // namespace

bool equalsIgnoreCase(std::string_view a, std::string_view b)
{
    auto lower = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

ListingLimits ListingLimits::none()
{
    return {SIZE_MAX, SIZE_MAX, SIZE_MAX};
}

StreamingNameParser::StreamingNameParser(const ListingLimits &limits, LineBreaks breaks)
    : m_limits(limits), m_breaks(breaks)
{
}

bool StreamingNameParser::feed(std::string_view bytes)
{
    if (m_tooLarge)
        return false;
    if (bytes.size() > m_limits.maxBytes - m_received)
        return refuse();
    m_received += bytes.size();

    const char *p = bytes.data();
    const char *const end = p + bytes.size();
    if (m_afterCr && p != end) {
        m_afterCr = false;
        if (*p == '\n')
            ++p;
    }
    // The next CR and the next LF are each searched once and remembered, so a
    // text that uses only one of them is not searched to its end for the
    // other on every line.
    const bool crEnds = m_breaks == LineBreaks::CrOrLf;
    const char *nextCr = crEnds ? find(p, end, '\r') : end;
    const char *nextLf = find(p, end, '\n');
    while (p != end) {
        if (nextCr < p)
            nextCr = find(p, end, '\r');
        if (nextLf < p)
            nextLf = find(p, end, '\n');
        const char *const lineBreak = std::min(nextCr, nextLf);
        if (m_state == LineState::Start && lineBreak != end) {
            // A whole line inside this piece: read in place, nothing copied.
            if (p != lineBreak && mayGiveName(*p) &&
                static_cast<std::size_t>(lineBreak - p) <= m_limits.maxLineBytes)
                readLine(std::string_view(p, static_cast<std::size_t>(lineBreak - p)));
        } else {
            takePart(p, lineBreak);
            if (lineBreak == end)
                break;
            endLine();
        }
        if (m_tooLarge)
            return false;
        // One CR, then one LF: CR, LF and CR LF end one line each; LF CR ends two.
        p = lineBreak + 1;
        if (*lineBreak == '\r') {
            if (p == end)
                m_afterCr = true;
            else if (*p == '\n')
                ++p;
        }
    }
    return true;
}

std::vector<std::string> StreamingNameParser::finish()
{
    if (!m_tooLarge && m_state != LineState::Start)
        endLine();
    m_state = LineState::Start;
    m_afterCr = false;
    return std::move(m_names);
}

void StreamingNameParser::takePart(const char *begin, const char *end)
{
    if (begin == end)
        return;
    if (m_state == LineState::Start)
        m_state = mayGiveName(*begin) ? LineState::Keep : LineState::Skip;
    if (m_state != LineState::Keep)
        return;
    const auto size = static_cast<std::size_t>(end - begin);
    if (size > m_limits.maxLineBytes - m_line.size()) {
        m_state = LineState::Skip;
        std::string().swap(m_line);
        return;
    }
    m_line.append(begin, size);
}

void StreamingNameParser::endLine()
{
    if (m_state == LineState::Keep)
        readLine(m_line);
    m_line.clear();
    m_state = LineState::Start;
}

void StreamingNameParser::keepName(std::string name)
{
    m_nameBytes += sizeof(std::string) + name.size();
    if (m_nameBytes > m_limits.maxNameBytes) {
        refuse();
        return;
    }
    m_names.push_back(std::move(name));
}

bool StreamingNameParser::refuse()
{
    m_tooLarge = true;
    std::vector<std::string>().swap(m_names);
    std::string().swap(m_line);
    return false;
}

FolderNameParser::FolderNameParser(const ListingLimits &limits)
    : StreamingNameParser(limits, LineBreaks::CrOrLf)
{
}

bool FolderNameParser::mayGiveName(char first) const
{
    // Only Unix lines of folders and DOS lines (they start with the date).
    return first == 'd' || isDigit(first);
}

void FolderNameParser::readLine(std::string_view line)
{
    ListingEntry entry = parseListingLine(line);
    if (entry.type == 'd')
        keepName(std::move(entry.name));
}

std::vector<std::string_view> splitListingLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    LineScanner scanner(text);
    std::string_view line;
    while (scanner.next(line))
        lines.push_back(line);
    return lines;
}

ListingEntry parseListingLine(std::string_view line)
{
    ListingEntry entry;
    if (line.empty())
        return entry;

    if (isDigit(line[0])) {
        std::array<Field, MaxFields> fields;
        const std::size_t count = splitFields(line, fields);
        if (parseDosLine(line, fields, count, entry))
            return entry;
    }

    entry.type = line[0];
    const std::size_t nameOffset = unixNameOffset(line);
    if (nameOffset == std::string_view::npos)
        return entry;
    std::string_view name = line.substr(nameOffset);
    if (entry.type == 'l') {
        const std::size_t arrow = name.find(" -> ");
        if (arrow != std::string_view::npos)
            name = name.substr(0, arrow);
    }
    entry.name = std::string(trimControl(name));
    return entry;
}

std::vector<std::string> parseFolderNames(std::string_view text)
{
    FolderNameParser parser(ListingLimits::none());
    parser.feed(text);
    return parser.finish();
}

std::string displayName(std::string_view raw)
{
    return windows1251::isValidUtf8(raw) ? std::string(raw) : windows1251::toUtf8(raw);
}

} // namespace folders
