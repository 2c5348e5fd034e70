#include "folders/ListingParser.h"

#include "ftp/FtpClient.h"

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

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
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

// Windows-1251 from 0x80 to 0xBF; 0xC0 to 0xFF are U+0410 to U+044F in order.
// clang-format off
constexpr std::array<char32_t, 64> Cp1251High = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};
// clang-format on

void appendUtf8(std::string &out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view s)
{
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        if (b0 < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            if (b0 == 0xE0)
                low = 0xA0;
            else if (b0 == 0xED)
                high = 0x9F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            if (b0 == 0xF0)
                low = 0x90;
            else if (b0 == 0xF4)
                high = 0x8F;
        } else {
            return false;
        }
        if (s.size() - i < length)
            return false;
        const auto b1 = static_cast<unsigned char>(s[i + 1]);
        if (b1 < low || b1 > high)
            return false;
        for (std::size_t k = 2; k < length; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if (b < 0x80 || b > 0xBF)
                return false;
        }
        i += length;
    }
    return true;
}

} // namespace

GatheredListing gatherListing(const ListingRead &read, std::size_t maxBytes)
{
    GatheredListing result;
    std::array<char, ListingReadSize> buffer;
    for (;;) {
        const int count = read(buffer.data(), ListingReadSize);
        if (count <= 0 || count > ListingReadSize)
            break;
        if (result.text.size() + static_cast<std::size_t>(count) > maxBytes) {
            result.text = std::string();
            result.tooLarge = true;
            break;
        }
        result.text.append(buffer.data(), static_cast<std::size_t>(count));
    }
    return result;
}

GatheredListing gatherListing(ftp::FtpTransfer &transfer, std::size_t maxBytes)
{
    return gatherListing(
        [&transfer](char *buffer, int maxLen) { return transfer.read(buffer, maxLen); }, maxBytes);
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
    std::vector<std::string> names;
    LineScanner scanner(text);
    std::string_view line;
    while (scanner.next(line)) {
        // Cheap test first: most lines of a big listing are files.
        if (line.empty() || (line[0] != 'd' && !isDigit(line[0])))
            continue;
        ListingEntry entry = parseListingLine(line);
        if (entry.type == 'd')
            names.push_back(std::move(entry.name));
    }
    return names;
}

std::string displayName(std::string_view raw)
{
    if (isValidUtf8(raw))
        return std::string(raw);
    std::string out;
    out.reserve(raw.size() * 2);
    for (char c : raw) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80)
            out += c;
        else if (b < 0xC0)
            appendUtf8(out, Cp1251High[b - 0x80]);
        else
            appendUtf8(out, char32_t{0x0410} + (b - 0xC0));
    }
    return out;
}

} // namespace folders
