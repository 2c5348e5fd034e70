// SPDX-License-Identifier: GPL-3.0-or-later
#include "folders/MlsdParser.h"

namespace folders {

namespace {

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
MlsdType readEntry(std::string_view line, std::string_view &name)
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
    const MlsdType type = readEntry(line, name);
    if (type == MlsdType::CurrentDir)
        name = ".";
    else if (type == MlsdType::ParentDir)
        name = "..";
    return {type, std::string(name)};
}

MlsdNameParser::MlsdNameParser(const ListingLimits &limits)
    : StreamingNameParser(limits, LineBreaks::Lf)
{
}

bool MlsdNameParser::mayGiveName(char) const
{
    // The facts come first, in any order: only the whole line tells.
    return true;
}

void MlsdNameParser::readLine(std::string_view line)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    // Only a folder's name is copied out of the line.
    std::string_view name;
    if (readEntry(line, name) == MlsdType::Dir)
        keepName(std::string(name));
}

std::vector<std::string> parseMlsdFolderNames(std::string_view text)
{
    MlsdNameParser parser(ListingLimits::none());
    parser.feed(text);
    return parser.finish();
}

} // namespace folders
