#include "ftp/FtpParse.h"

#include "ftp/ConnectionDefaults.h"
#include "ftp/FtpClient.h"

#include <cctype>

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
    const std::string value = trimmed(reply.text.substr(3));
    if (value.empty() || value.size() > 18)
        return std::nullopt;
    int64_t size = 0;
    for (char c : value) {
        if (!isDigit(c))
            return std::nullopt;
        size = size * 10 + (c - '0');
    }
    return size;
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
