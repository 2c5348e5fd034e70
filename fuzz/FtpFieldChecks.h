#pragma once

// Invariants of the parsers that read fields out of FTP reply texts and of the
// server field, shared by the reply-stream target and the reply-text target.

#include "FuzzCheck.h"
#include "ftp/FtpClient.h"
#include "ftp/FtpParse.h"
#include "ftp/FtpReply.h"

#include <cctype>
#include <string>

namespace fuzzchecks {

/// Whether `text` holds the decimal digits of `value` (leading zeros in the
/// text are allowed, so the plain form is a substring of any form).
inline bool mentions(const std::string &text, long long value)
{
    return text.find(std::to_string(value)) != std::string::npos;
}

inline std::string lowered(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

/// A reply as the reply reader hands it over: passive-mode, SIZE and FEAT
/// parsers never return a port 0, a negative size or a feature that is not
/// one trimmed upper-case line of the text.
inline void checkReplyFields(const ftp::FtpReply &reply)
{
    if (const auto pasv = ftp::parsePasvReply(reply.text)) {
        FUZZ_CHECK(pasv->port != 0);
        FUZZ_CHECK(mentions(reply.text, pasv->port >> 8));
        FUZZ_CHECK(mentions(reply.text, pasv->port & 0xff));
        for (uint8_t b : pasv->address)
            FUZZ_CHECK(mentions(reply.text, b));
    }
    if (const auto port = ftp::parseEpsvReply(reply.text)) {
        FUZZ_CHECK(*port != 0);
        FUZZ_CHECK(mentions(reply.text, *port));
        FUZZ_CHECK(reply.text.find('(') != std::string::npos);
    }
    if (const auto size = ftp::parseSizeReply(reply)) {
        FUZZ_CHECK(reply.code == 213);
        FUZZ_CHECK(*size >= 0);
        FUZZ_CHECK(mentions(reply.text, *size));
        FUZZ_CHECK(reply.text.find('\n') == std::string::npos);
    }
    const std::vector<std::string> features = ftp::parseFeatures(reply);
    if (reply.code != 211)
        FUZZ_CHECK(features.empty());
    std::size_t lines = 1;
    for (char c : reply.text)
        lines += c == '\n';
    FUZZ_CHECK(features.size() + 2 <= lines || features.empty());
    for (const std::string &feature : features) {
        FUZZ_CHECK(!feature.empty());
        FUZZ_CHECK(static_cast<unsigned char>(feature.front()) > ' ');
        FUZZ_CHECK(static_cast<unsigned char>(feature.back()) > ' ');
        FUZZ_CHECK(feature.find('\n') == std::string::npos);
        for (char c : feature)
            FUZZ_CHECK(!(c >= 'a' && c <= 'z'));
        FUZZ_CHECK(reply.text.find(feature) != std::string::npos ||
                   lowered(reply.text).find(lowered(feature)) != std::string::npos);
        FUZZ_CHECK(ftp::featureListed(features, feature));
        FUZZ_CHECK(ftp::featureListed(features, lowered(feature)));
    }
    FUZZ_CHECK(!ftp::featureListed(features, ""));
    FUZZ_CHECK(!ftp::featureListed(features, " \t "));
}

/// The server field (typed by the user or read from Settings.ini) gives a
/// host that is safe to resolve and a port that is not 0.
inline void checkServerField(const std::string &field)
{
    const auto address = ftp::parseServerField(field);
    if (!address)
        return;
    FUZZ_CHECK(address->port != 0);
    FUZZ_CHECK(!address->host.empty());
    for (char c : address->host) {
        const auto u = static_cast<unsigned char>(c);
        FUZZ_CHECK(u > ' ' && u != 0x7f && c != '/' && c != '[' && c != ']' && c != '@');
    }
    if (address->host != "127.0.0.1")
        FUZZ_CHECK(field.find(address->host) != std::string::npos);
    // A port other than a scheme's default (21; 990 for implicit TLS) was typed.
    if (address->port != 21 && address->port != 990)
        FUZZ_CHECK(mentions(field, address->port));
}

} // namespace fuzzchecks
