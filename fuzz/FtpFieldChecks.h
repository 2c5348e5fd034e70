// SPDX-License-Identifier: GPL-3.0-or-later
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

inline bool isLowerHex(const std::string &s)
{
    for (char c : s) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return !s.empty();
}

/// A reply as the reply reader hands it over: passive-mode, SIZE, MLST and
/// FEAT parsers never return a port 0, a negative size or a feature that is
/// not one trimmed upper-case line of the text; the digest parsers give only
/// lower-case hex that the text holds, and ways to ask for a digest that
/// FEAT offers.
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

    for (const ftp::HashMethod &method : ftp::hashMethods(features)) {
        if (method.verb == "HASH") {
            bool listed = false;
            for (const std::string &feature : features)
                listed = listed || feature.rfind("HASH ", 0) == 0;
            FUZZ_CHECK(listed);
            FUZZ_CHECK(
                lowered(reply.text).find(lowered(ftp::hashAlgorithmName(method.algorithm))) !=
                std::string::npos);
        } else {
            FUZZ_CHECK(ftp::featureListed(features, method.verb));
            FUZZ_CHECK(!method.select);
        }
    }
    if (ftp::mlstOffersSize(features))
        FUZZ_CHECK(ftp::featureListed(features, "MLST"));
    if (const auto size = ftp::parseMlstSize(reply)) {
        FUZZ_CHECK(reply.code == 250);
        FUZZ_CHECK(*size >= 0);
        FUZZ_CHECK(mentions(reply.text, *size));
        FUZZ_CHECK(lowered(reply.text).find("size=") != std::string::npos);
    }
    if (const auto hash = ftp::parseHashReply(reply)) {
        FUZZ_CHECK(reply.code == 213);
        FUZZ_CHECK(isLowerHex(hash->hex));
        FUZZ_CHECK(lowered(reply.text).find(hash->hex) != std::string::npos);
        FUZZ_CHECK(0 <= hash->start && hash->start <= hash->end);
        FUZZ_CHECK(mentions(reply.text, hash->start) && mentions(reply.text, hash->end));
        FUZZ_CHECK(!hash->algorithm.empty());
        for (char c : hash->algorithm) {
            const auto u = static_cast<unsigned char>(c);
            FUZZ_CHECK(u > ' ' && u < 0x7f && !(c >= 'a' && c <= 'z'));
        }
    }
    for (const ftp::HashAlgorithm algorithm :
         {ftp::HashAlgorithm::Sha256, ftp::HashAlgorithm::Sha1, ftp::HashAlgorithm::Md5,
          ftp::HashAlgorithm::Crc32}) {
        const std::size_t digits = ftp::hashHexDigits(algorithm);
        if (const auto hex = ftp::parseXHashReply(reply, digits)) {
            FUZZ_CHECK(reply.code >= 200 && reply.code <= 299);
            FUZZ_CHECK(hex->size() == digits && isLowerHex(*hex));
            FUZZ_CHECK(lowered(reply.text).find(*hex) != std::string::npos);
        }
    }
}

/// A line of a LIST listing: a file's size is a number the line holds, and
/// its name is the line's end, never empty.
inline void checkListedFile(const std::string &line)
{
    const auto file = ftp::parseListedFile(line);
    if (!file)
        return;
    FUZZ_CHECK(file->size >= 0);
    FUZZ_CHECK(mentions(line, file->size));
    FUZZ_CHECK(!file->name.empty());
    FUZZ_CHECK(line.size() > file->name.size() &&
               line.compare(line.size() - file->name.size(), std::string::npos, file->name) == 0);
}

/// A path put into a digest command: HASH carries it as it is; an X command
/// carries it bare, or quoted when it has a blank, and never when it also
/// has a quote.
inline void checkHashCommand(const std::string &path)
{
    FUZZ_CHECK(ftp::hashCommand({ftp::HashAlgorithm::Sha256, "HASH", false}, path) ==
               "HASH " + path);
    const auto x = ftp::hashCommand({ftp::HashAlgorithm::Md5, "XMD5", false}, path);
    const bool blank = path.find_first_of(" \t") != std::string::npos;
    if (!x) {
        FUZZ_CHECK(blank && path.find('"') != std::string::npos);
        return;
    }
    FUZZ_CHECK(*x == (blank ? "XMD5 \"" + path + "\"" : "XMD5 " + path));
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
