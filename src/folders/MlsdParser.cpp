#include "folders/MlsdParser.h"

#include <cstring>

namespace folders {

namespace {

char lowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// `lower` is given in lower case.
bool equalsIgnoreCase(std::string_view s, std::string_view lower)
{
    if (s.size() != lower.size())
        return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (lowerAscii(s[i]) != lower[i])
            return false;
    }
    return true;
}

// The entry's type from its facts, "fact=value;" one after another (RFC 3659
// section 7.2). A fact without "=" is passed over; the first "type" counts.
MlsdType typeOf(std::string_view facts)
{
    while (!facts.empty()) {
        const std::size_t semicolon = facts.find(';');
        const std::string_view fact = facts.substr(0, semicolon);
        const std::size_t equals = fact.find('=');
        if (equals != std::string_view::npos && equalsIgnoreCase(fact.substr(0, equals), "type")) {
            const std::string_view value = fact.substr(equals + 1);
            if (equalsIgnoreCase(value, "dir"))
                return MlsdType::Dir;
            if (equalsIgnoreCase(value, "cdir"))
                return MlsdType::CurrentDir;
            if (equalsIgnoreCase(value, "pdir"))
                return MlsdType::ParentDir;
            return MlsdType::Other;
        }
        if (semicolon == std::string_view::npos)
            break;
        facts.remove_prefix(semicolon + 1);
    }
    return MlsdType::Other;
}

// The type of a line's entry, and its name as the server sent it. The facts
// hold no blank (section 7.2: values are *SCHAR), so the first blank ends
// them, and the name may hold any number of its own.
MlsdType readLine(std::string_view line, std::string_view &name)
{
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos) {
        name = {};
        return MlsdType::Other;
    }
    name = line.substr(blank + 1);
    return typeOf(line.substr(0, blank));
}

} // namespace

MlsdEntry parseMlsdLine(std::string_view line)
{
    std::string_view name;
    const MlsdType type = readLine(line, name);
    if (type == MlsdType::CurrentDir)
        name = ".";
    else if (type == MlsdType::ParentDir)
        name = "..";
    return {type, std::string(name)};
}

MlsdNameParser::MlsdNameParser(const ListingLimits &limits) : m_limits(limits) {}

bool MlsdNameParser::feed(std::string_view bytes)
{
    if (m_tooLarge)
        return false;
    if (bytes.size() > m_limits.maxBytes - m_received)
        return refuse();
    m_received += bytes.size();

    while (!bytes.empty()) {
        const void *hit = std::memchr(bytes.data(), '\n', bytes.size());
        if (!hit) {
            keepPart(bytes);
            break;
        }
        const auto lineSize =
            static_cast<std::size_t>(static_cast<const char *>(hit) - bytes.data());
        const std::string_view part = bytes.substr(0, lineSize);
        if (m_line.empty() && !m_skipLine) {
            // A whole line inside this piece: read in place, nothing copied.
            if (part.size() <= m_limits.maxLineBytes)
                takeLine(part);
        } else {
            keepPart(part);
            if (!m_skipLine)
                takeLine(m_line);
        }
        m_line.clear();
        m_skipLine = false;
        if (m_tooLarge)
            return false;
        bytes.remove_prefix(lineSize + 1);
    }
    return true;
}

std::vector<std::string> MlsdNameParser::finish()
{
    if (!m_tooLarge && !m_skipLine && !m_line.empty())
        takeLine(m_line);
    m_line.clear();
    m_skipLine = false;
    return std::move(m_names);
}

void MlsdNameParser::keepPart(std::string_view part)
{
    if (m_skipLine)
        return;
    if (part.size() > m_limits.maxLineBytes - m_line.size()) {
        m_skipLine = true;
        std::string().swap(m_line);
        return;
    }
    m_line.append(part);
}

void MlsdNameParser::takeLine(std::string_view line)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    // Only a folder's name is copied out of the line.
    std::string_view name;
    if (readLine(line, name) != MlsdType::Dir)
        return;
    m_nameBytes += sizeof(std::string) + name.size();
    if (m_nameBytes > m_limits.maxNameBytes) {
        refuse();
        return;
    }
    m_names.emplace_back(name);
}

bool MlsdNameParser::refuse()
{
    m_tooLarge = true;
    std::vector<std::string>().swap(m_names);
    std::string().swap(m_line);
    return false;
}

std::vector<std::string> parseMlsdFolderNames(std::string_view text)
{
    MlsdNameParser parser(ListingLimits::none());
    parser.feed(text);
    return parser.finish();
}

} // namespace folders
