// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftp/FtpParse.h"

#include "ftp/ConnectionDefaults.h"
#include "ftp/FtpClient.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace ftp {

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::string upper(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string trimmed(const std::string &s)
{
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end && static_cast<unsigned char>(s[begin]) <= ' ')
        ++begin;
    while (end > begin && static_cast<unsigned char>(s[end - 1]) <= ' ')
        --end;
    return s.substr(begin, end - begin);
}

std::string lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool isHex(const std::string &s)
{
    if (s.empty() || s.size() > 128)
        return false;
    for (char c : s) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

// A whole decimal number of at most 18 digits, so it fits 63 bits.
std::optional<int64_t> decimal(const std::string &s)
{
    if (s.empty() || s.size() > 18)
        return std::nullopt;
    int64_t value = 0;
    for (char c : s) {
        if (!isDigit(c))
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The last line of a reply's text: the one that carries the data of a
// multi-line reply.
std::string lastLine(const std::string &text)
{
    const std::size_t newline = text.rfind('\n');
    return newline == std::string::npos ? text : text.substr(newline + 1);
}

// The blank-separated words of a reply line after its code.
std::vector<std::string> wordsAfterCode(const std::string &line)
{
    std::vector<std::string> words;
    std::size_t pos = std::min<std::size_t>(line.size(), 4);
    while (pos < line.size()) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            ++pos;
        const std::size_t begin = pos;
        while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t')
            ++pos;
        if (pos > begin)
            words.push_back(line.substr(begin, pos - begin));
    }
    return words;
}

// Reads a decimal number of at most `maxDigits` digits at s[pos].
std::optional<unsigned> readNumber(const std::string &s, std::size_t &pos, int maxDigits)
{
    unsigned value = 0;
    int digits = 0;
    while (pos < s.size() && isDigit(s[pos])) {
        if (++digits > maxDigits)
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(s[pos] - '0');
        ++pos;
    }
    if (digits == 0)
        return std::nullopt;
    return value;
}

// The port field of a server field: decimal, 1 to 65535.
std::optional<uint16_t> parsePort(const std::string &s)
{
    if (s.empty() || s.size() > 5)
        return std::nullopt;
    unsigned value = 0;
    for (char c : s) {
        if (!isDigit(c))
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535)
        return std::nullopt;
    return static_cast<uint16_t>(value);
}

bool isValidHostText(const std::string &host)
{
    for (char c : host) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= ' ' || c == '/' || c == '[' || c == ']' || c == '@' || u == 0x7f)
            return false;
    }
    return true;
}

// Takes a scheme off the front of *rest. The scheme chooses the protection:
// ftp:// plain only, ftpes:// explicit TLS required (RFC 4217), ftps://
// implicit TLS on port 990 by default. A trailing slash of a pasted URL names
// the same server.
void takeScheme(std::string *rest, ServerAddress *address)
{
    struct Scheme
    {
        const char *prefix;
        TlsMode tls;
        uint16_t port;
    };
    for (const Scheme &scheme :
         {Scheme{"FTP://", TlsMode::Plain, 21}, Scheme{"FTPES://", TlsMode::Explicit, 21},
          Scheme{"FTPS://", TlsMode::Implicit, 990}}) {
        const std::size_t len = std::string(scheme.prefix).size();
        if (rest->size() >= len && upper(rest->substr(0, len)) == scheme.prefix) {
            *rest = rest->substr(len);
            if (!rest->empty() && rest->back() == '/')
                rest->pop_back();
            address->tls = scheme.tls;
            address->port = scheme.port;
            return;
        }
    }
}

// "[v6]" or "[v6]:port": brackets are only for IPv6 literals.
bool readBracketedHost(const std::string &rest, ServerAddress *address)
{
    const std::size_t close = rest.find(']');
    if (close == std::string::npos)
        return false;
    address->host = rest.substr(1, close - 1);
    if (address->host.find(':') == std::string::npos)
        return false;
    const std::string after = rest.substr(close + 1);
    if (after.empty())
        return true;
    if (after.front() != ':')
        return false;
    const auto port = parsePort(after.substr(1));
    if (!port)
        return false;
    address->port = *port;
    return true;
}

// "host", "host:port", or a bare IPv6 literal whose colons are not a port.
bool readHost(const std::string &rest, ServerAddress *address)
{
    const std::size_t firstColon = rest.find(':');
    if (firstColon == std::string::npos || rest.find(':', firstColon + 1) != std::string::npos) {
        address->host = rest;
        return true;
    }
    const auto port = parsePort(rest.substr(firstColon + 1));
    if (!port)
        return false;
    address->port = *port;
    address->host = rest.substr(0, firstColon);
    return true;
}

// The blank-separated fields of a listing line, each with where it starts,
// split only as far as `maxFields` so a long name costs nothing.
struct Field
{
    std::size_t begin = 0;
    std::size_t end = 0;
};
std::vector<Field> leadingFields(const std::string &line, std::size_t maxFields)
{
    std::vector<Field> fields;
    std::size_t pos = 0;
    while (fields.size() < maxFields) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            ++pos;
        if (pos == line.size())
            break;
        Field field{pos, pos};
        while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t')
            ++pos;
        field.end = pos;
        fields.push_back(field);
    }
    return fields;
}

bool allDigits(const std::string &s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), isDigit);
}

bool isMonth(const std::string &s)
{
    static const char *const months[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                         "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    const std::string u = upper(s);
    return std::any_of(std::begin(months), std::end(months),
                       [&u](const char *month) { return u == month; });
}

// "10:30", "9:05" or "10:30:59".
bool isClockTime(const std::string &s)
{
    const std::size_t colon = s.find(':');
    if (colon == std::string::npos || colon == 0 || colon > 2)
        return false;
    const std::string rest = s.substr(colon + 1);
    return allDigits(s.substr(0, colon)) &&
           (allDigits(rest) ? rest.size() == 2
                            : rest.size() == 5 && rest[2] == ':' && allDigits(rest.substr(0, 2)) &&
                                  allDigits(rest.substr(3)));
}

// "01-16-24", "01-16-2024", also with slashes.
bool isDosDate(const std::string &s)
{
    return (s.size() == 8 || s.size() == 10) && (s[2] == '-' || s[2] == '/') && s[5] == s[2] &&
           allDigits(s.substr(0, 2)) && allDigits(s.substr(3, 2)) && allDigits(s.substr(6));
}

// "09:15PM", or "21:15" on a server set to a 24-hour clock.
bool isDosTime(std::string s)
{
    const std::string suffix = s.size() > 2 ? upper(s.substr(s.size() - 2)) : std::string();
    if (suffix == "AM" || suffix == "PM")
        s.resize(s.size() - 2);
    return isClockTime(s);
}

// The line of a Unix long listing, anchored on its date: "SIZE Mon DD
// HH:MM|YYYY" or "SIZE YYYY-MM-DD HH:MM", at least two fields (permissions and
// a link count or owner) before the size.
std::optional<ListedFile> unixListedFile(const std::string &line)
{
    if (line.empty() || line[0] != '-')
        return std::nullopt;
    const std::vector<Field> fields = leadingFields(line, 10);
    auto text = [&line, &fields](std::size_t i) {
        return line.substr(fields[i].begin, fields[i].end - fields[i].begin);
    };
    for (std::size_t size = 2; size + 2 < fields.size(); ++size) {
        std::size_t last = 0; // the date's last field
        const std::string first = text(size + 1);
        if (size + 3 < fields.size() && isMonth(first) && text(size + 2).size() <= 2 &&
            allDigits(text(size + 2)) &&
            (isClockTime(text(size + 3)) ||
             (text(size + 3).size() == 4 && allDigits(text(size + 3)))))
            last = size + 3;
        else if (first.size() == 10 && first[4] == '-' && first[7] == '-' &&
                 allDigits(first.substr(0, 4)) && allDigits(first.substr(5, 2)) &&
                 allDigits(first.substr(8)) && isClockTime(text(size + 2)))
            last = size + 2;
        const auto bytes = last != 0 ? decimal(text(size)) : std::nullopt;
        if (!bytes)
            continue;
        // ls puts one blank before the name; more belong to the name.
        const std::size_t nameAt = fields[last].end + 1;
        if (nameAt >= line.size())
            return std::nullopt;
        return ListedFile{line.substr(nameAt), *bytes};
    }
    return std::nullopt;
}

std::optional<ListedFile> dosListedFile(const std::string &line)
{
    const std::vector<Field> fields = leadingFields(line, 4);
    if (fields.size() < 4 || fields[0].begin != 0)
        return std::nullopt;
    auto text = [&line, &fields](std::size_t i) {
        return line.substr(fields[i].begin, fields[i].end - fields[i].begin);
    };
    if (!isDosDate(text(0)) || !isDosTime(text(1)))
        return std::nullopt;
    const auto bytes = decimal(text(2)); // "<DIR>" for a folder
    if (!bytes)
        return std::nullopt;
    return ListedFile{line.substr(fields[3].begin), *bytes};
}

} // namespace

std::string commandVerb(const std::string &command)
{
    return upper(command.substr(0, command.find(' ')));
}

std::optional<PasvEndpoint> parsePasvReply(const std::string &text)
{
    // Skip the reply code, then try every digit run as the start of the six.
    std::size_t start = text.size() > 3 ? 4 : text.size();
    for (std::size_t i = start; i < text.size(); ++i) {
        if (!isDigit(text[i]) || (i > 0 && isDigit(text[i - 1])))
            continue;
        std::size_t pos = i;
        unsigned values[6];
        bool ok = true;
        for (int n = 0; n < 6 && ok; ++n) {
            auto v = readNumber(text, pos, 3);
            if (!v || *v > 255) {
                ok = false;
                break;
            }
            values[n] = *v;
            if (n < 5) {
                if (pos >= text.size() || text[pos] != ',')
                    ok = false;
                else
                    ++pos;
            }
        }
        if (!ok || (pos < text.size() && isDigit(text[pos])))
            continue;
        PasvEndpoint endpoint;
        for (int n = 0; n < 4; ++n)
            endpoint.address[n] = static_cast<uint8_t>(values[n]);
        endpoint.port = static_cast<uint16_t>(values[4] * 256 + values[5]);
        if (endpoint.port == 0)
            return std::nullopt;
        return endpoint;
    }
    return std::nullopt;
}

std::optional<uint16_t> parseEpsvReply(const std::string &text)
{
    for (std::size_t open = text.find('('); open != std::string::npos;
         open = text.find('(', open + 1)) {
        // (<d><d><d><port><d>) with the same delimiter throughout.
        if (open + 5 >= text.size())
            return std::nullopt;
        const char d = text[open + 1];
        if (d < '!' || d > '~' || isDigit(d) || text[open + 2] != d || text[open + 3] != d)
            continue;
        std::size_t pos = open + 4;
        auto port = readNumber(text, pos, 5);
        if (!port || *port == 0 || *port > 65535)
            continue;
        if (pos + 1 >= text.size() || text[pos] != d || text[pos + 1] != ')')
            continue;
        return static_cast<uint16_t>(*port);
    }
    return std::nullopt;
}

std::optional<int64_t> parseSizeReply(const FtpReply &reply)
{
    if (reply.code != 213 || reply.text.find('\n') != std::string::npos)
        return std::nullopt;
    return decimal(trimmed(reply.text.substr(3)));
}

bool mlstOffersSize(const std::vector<std::string> &features)
{
    for (const std::string &line : features) {
        if (line.compare(0, 5, "MLST ") != 0)
            continue;
        std::size_t begin = 5;
        while (begin < line.size()) {
            std::size_t end = line.find(';', begin);
            if (end == std::string::npos)
                end = line.size();
            std::string fact = trimmed(line.substr(begin, end - begin));
            if (!fact.empty() && fact.back() == '*')
                fact.pop_back();
            if (fact == "SIZE")
                return true;
            begin = end + 1;
        }
    }
    return false;
}

std::optional<int64_t> parseMlstSize(const FtpReply &reply)
{
    if (reply.code != 250)
        return std::nullopt;
    // The entry is the line after the first; RFC 3659 section 7.2 starts it
    // with one blank, and the facts run up to the blank before the path.
    const std::size_t first = reply.text.find('\n');
    if (first == std::string::npos)
        return std::nullopt;
    const std::size_t lineEnd = reply.text.find('\n', first + 1);
    if (lineEnd == std::string::npos)
        return std::nullopt; // the closing line, no entry
    std::string entry = reply.text.substr(first + 1, lineEnd - first - 1);
    if (!entry.empty() && entry[0] == ' ')
        entry.erase(0, 1);
    const std::string facts = entry.substr(0, entry.find(' '));
    std::size_t begin = 0;
    while (begin < facts.size()) {
        std::size_t end = facts.find(';', begin);
        if (end == std::string::npos)
            end = facts.size();
        const std::string fact = facts.substr(begin, end - begin);
        const std::size_t equals = fact.find('=');
        if (equals != std::string::npos && upper(fact.substr(0, equals)) == "SIZE")
            return decimal(fact.substr(equals + 1));
        begin = end + 1;
    }
    return std::nullopt;
}

std::optional<ListedFile> parseListedFile(const std::string &line)
{
    if (auto file = unixListedFile(line))
        return file;
    return dosListedFile(line);
}

std::vector<std::string> parseFeatures(const FtpReply &reply)
{
    std::vector<std::string> features;
    if (reply.code != 211)
        return features;
    std::size_t begin = reply.text.find('\n');
    while (begin != std::string::npos) {
        const std::size_t end = reply.text.find('\n', begin + 1);
        if (end == std::string::npos)
            break; // the last line closes the list
        const std::string line = trimmed(reply.text.substr(begin + 1, end - begin - 1));
        if (!line.empty())
            features.push_back(upper(line));
        begin = end;
    }
    return features;
}

bool featureListed(const std::vector<std::string> &features, const std::string &feature)
{
    const std::string wanted = upper(trimmed(feature));
    if (wanted.empty())
        return false;
    const bool singleWord = wanted.find(' ') == std::string::npos;
    for (const std::string &line : features) {
        if (line == wanted)
            return true;
        if (singleWord && line.size() > wanted.size() &&
            line.compare(0, wanted.size(), wanted) == 0 && line[wanted.size()] == ' ')
            return true;
    }
    return false;
}

const char *hashAlgorithmName(HashAlgorithm algorithm)
{
    switch (algorithm) {
    case HashAlgorithm::Sha256:
        return "SHA-256";
    case HashAlgorithm::Sha1:
        return "SHA-1";
    case HashAlgorithm::Md5:
        return "MD5";
    case HashAlgorithm::Crc32:
        break;
    }
    return "CRC32";
}

std::size_t hashHexDigits(HashAlgorithm algorithm)
{
    switch (algorithm) {
    case HashAlgorithm::Sha256:
        return 64;
    case HashAlgorithm::Sha1:
        return 40;
    case HashAlgorithm::Md5:
        return 32;
    case HashAlgorithm::Crc32:
        break;
    }
    return 8;
}

std::vector<HashMethod> hashMethods(const std::vector<std::string> &features)
{
    constexpr HashAlgorithm kPreferred[] = {HashAlgorithm::Sha256, HashAlgorithm::Sha1,
                                            HashAlgorithm::Md5, HashAlgorithm::Crc32};
    std::vector<HashMethod> methods;
    // "HASH CRC32;MD5;SHA-1*;SHA-256;" as proftpd lists it: the star marks
    // the algorithm HASH uses until OPTS HASH selects another.
    for (const std::string &line : features) {
        if (line.compare(0, 5, "HASH ") != 0)
            continue;
        std::vector<std::string> names;
        std::string selected;
        std::size_t begin = 5;
        while (begin <= line.size()) {
            std::size_t end = line.find(';', begin);
            if (end == std::string::npos)
                end = line.size();
            std::string name = trimmed(line.substr(begin, end - begin));
            if (!name.empty() && name.back() == '*') {
                name.pop_back();
                selected = name;
            }
            names.push_back(name);
            begin = end + 1;
        }
        for (const HashAlgorithm algorithm : kPreferred) {
            const std::string name = hashAlgorithmName(algorithm);
            for (const std::string &listed : names) {
                if (listed == name) {
                    methods.push_back({algorithm, "HASH", name != selected});
                    break;
                }
            }
        }
        break;
    }
    constexpr struct
    {
        const char *verb;
        HashAlgorithm algorithm;
    } kXCommands[] = {{"XSHA256", HashAlgorithm::Sha256},
                      {"XSHA1", HashAlgorithm::Sha1},
                      {"XMD5", HashAlgorithm::Md5},
                      {"XCRC", HashAlgorithm::Crc32}};
    for (const auto &x : kXCommands) {
        if (featureListed(features, x.verb))
            methods.push_back({x.algorithm, x.verb, false});
    }
    return methods;
}

std::optional<std::string> hashCommand(const HashMethod &method, const std::string &path)
{
    // HASH takes the rest of the line as the path.
    if (method.verb == "HASH")
        return "HASH " + path;
    if (path.find_first_of(" \t") == std::string::npos)
        return method.verb + " " + path;
    if (path.find('"') != std::string::npos)
        return std::nullopt;
    return method.verb + " \"" + path + "\"";
}

std::optional<HashReply> parseHashReply(const FtpReply &reply)
{
    if (reply.code != 213)
        return std::nullopt;
    const std::vector<std::string> words = wordsAfterCode(lastLine(reply.text));
    if (words.size() < 3)
        return std::nullopt;
    HashReply hash;
    for (char c : words[0]) {
        if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7f)
            return std::nullopt;
    }
    hash.algorithm = upper(words[0]);
    const std::string &range = words[1];
    const std::size_t dash = range.find('-');
    if (dash == std::string::npos)
        return std::nullopt;
    const auto start = decimal(range.substr(0, dash));
    const auto end = decimal(range.substr(dash + 1));
    if (!start || !end || *start > *end)
        return std::nullopt;
    hash.start = *start;
    hash.end = *end;
    if (!isHex(words[2]))
        return std::nullopt;
    hash.hex = lower(words[2]);
    return hash;
}

std::optional<std::string> parseXHashReply(const FtpReply &reply, std::size_t hexDigits)
{
    if (reply.code < 200 || reply.code > 299)
        return std::nullopt;
    for (const std::string &word : wordsAfterCode(lastLine(reply.text))) {
        if (word.size() == hexDigits && isHex(word))
            return lower(word);
    }
    return std::nullopt;
}

std::string formatEprt(bool ipv6, const std::string &address, uint16_t port)
{
    return "EPRT |" + std::string(ipv6 ? "2" : "1") + "|" + address + "|" + std::to_string(port) +
           "|";
}

std::string formatPort(const std::array<uint8_t, 4> &address, uint16_t port)
{
    std::string line = "PORT ";
    for (uint8_t b : address)
        line += std::to_string(b) + ",";
    line += std::to_string(port >> 8) + "," + std::to_string(port & 0xff);
    return line;
}

bool isSafeCommandLine(const std::string &command)
{
    if (command.empty())
        return false;
    for (char c : command) {
        if (c == '\r' || c == '\n' || c == '\0')
            return false;
    }
    return true;
}

std::optional<ServerAddress> parseServerField(const std::string &field)
{
    std::string rest = trimmed(field);
    ServerAddress address;
    takeScheme(&rest, &address);
    const bool read = !rest.empty() && rest.front() == '[' ? readBracketedHost(rest, &address)
                                                           : readHost(rest, &address);
    if (!read || !isValidHostText(address.host))
        return std::nullopt;
    if (address.host.empty())
        address.host = kDefaultHost;
    return address;
}

} // namespace ftp
