// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Pure parsers and formatters for the parts of the FTP dialogue that carry
// data: passive-mode replies, SIZE, FEAT, the size fact of MLST, the size of a
// file in a LIST line, the active-mode commands and the commands that have
// the server hash a file. Kept free of sockets so they can
// be unit-tested and fuzzed.

#include "ftp/FtpClient.h"
#include "ftp/FtpReply.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ftp {

/// Address and port of a "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)"
/// reply (RFC 959 section 4.1.2). The client uses only the port.
struct PasvEndpoint
{
    std::array<uint8_t, 4> address{};
    uint16_t port = 0;
};

/// Finds the six numbers of a 227 reply anywhere in its text (servers differ
/// in the parentheses and wording). Nullopt when absent, out of range or port 0.
std::optional<PasvEndpoint> parsePasvReply(const std::string &text);

/// The port of a "229 Entering Extended Passive Mode (|||port|)" reply
/// (RFC 2428 section 3): any delimiter from '!' to '~', net-prt and net-addr
/// empty. Nullopt when malformed or port 0.
std::optional<uint16_t> parseEpsvReply(const std::string &text);

/// The size of a "213 <size>" reply (RFC 3659 section 4); nullopt for any
/// other code, a non-decimal value or one that overflows 63 bits.
std::optional<int64_t> parseSizeReply(const FtpReply &reply);

/// Whether FEAT's MLST line (RFC 3659 section 7.8, "MLST type*;size*;modify*;")
/// names the size fact, enabled or not.
bool mlstOffersSize(const std::vector<std::string> &features);

/// The size fact of the entry line of a 250 MLST reply (RFC 3659 section
/// 7.2: "250-..." first, then " fact=value;...; pathname", then the closing
/// line). Fact names are case-insensitive. Nullopt for another code, no entry
/// line, or no decimal size fact.
std::optional<int64_t> parseMlstSize(const FtpReply &reply);

/// A regular file as one line of a LIST listing names it.
struct ListedFile
{
    std::string name; ///< the server's bytes, blanks inside kept
    int64_t size = 0;
};

/// Reads one line (without its line break) of a LIST listing in either layout
/// servers use:
///   - Unix long listing: "-rw-r--r-- 1 owner group 1234 Jan 01 10:00 name",
///     a year instead of the time, link count, owner or group possibly
///     missing, or "1234 2024-01-15 10:00 name" (ls --time-style=long-iso).
///     The date anchors the line: the size is the field before it, the name
///     all of the line after the one blank that follows it.
///   - DOS/IIS: "01-16-24  09:15PM  1234 name", the name after the blanks
///     that follow the size.
/// Nullopt for folders, links and anything but a regular file, "total N" and
/// lines of other layouts.
std::optional<ListedFile> parseListedFile(const std::string &line);

/// A command's verb, the text before its first space, upper-cased: verbs are
/// case-insensitive (RFC 959 section 5.3).
std::string commandVerb(const std::string &command);

/// The features of a 211 FEAT reply (RFC 2389 section 3.2): every line between
/// the first and the last, trimmed and upper-cased. Empty for other codes.
std::vector<std::string> parseFeatures(const FtpReply &reply);

/// Whether `features` (as parseFeatures gives them) lists `feature`: the whole
/// line, or its first word when `feature` is a single word ("MLST" matches
/// "MLST type*;size*;"). Case-insensitive.
bool featureListed(const std::vector<std::string> &features, const std::string &feature);

/// "EPRT |1|127.0.0.1|5000|" or "EPRT |2|::1|5000|" (RFC 2428 section 2).
std::string formatEprt(bool ipv6, const std::string &address, uint16_t port);

/// "PORT 127,0,0,1,19,136" (RFC 959 section 4.1.2).
std::string formatPort(const std::array<uint8_t, 4> &address, uint16_t port);

/// One way of having a server hash a whole file: the HASH command with an
/// algorithm (selected first with OPTS HASH unless it already is), or one of
/// the older X commands (XSHA256, XSHA1, XMD5, XCRC), which name theirs.
struct HashMethod
{
    HashAlgorithm algorithm = HashAlgorithm::Sha256;
    std::string verb;    ///< "HASH", "XSHA256", "XSHA1", "XMD5" or "XCRC"
    bool select = false; ///< "OPTS HASH <name>" must come first
    bool operator==(const HashMethod &) const = default;
};

/// What `features` (as parseFeatures gives them) offer, best first: HASH
/// with each algorithm its FEAT line lists (the IETF draft
/// draft-bryan-ftpext-hash: "HASH SHA-256*;SHA-1;MD5", the star on the one
/// selected), SHA-256 first; then the X commands listed, strongest first. Empty when
/// the server offers none that the client can check.
std::vector<HashMethod> hashMethods(const std::vector<std::string> &features);

/// The command that asks for the hash of `path` by `method`. The X commands
/// take an optional range after the path, so a path with a blank goes in
/// double quotes (proftpd reads it so); nullopt for one that also holds a
/// quote, which no form would carry unambiguously.
std::optional<std::string> hashCommand(const HashMethod &method, const std::string &path);

/// A HASH reply as the draft has it: "213 SHA-256 0-1000 <hex> <path>"; a
/// multi-line reply (proftpd says "213-Computing SHA-256 digest" first)
/// carries it on its last line.
struct HashReply
{
    std::string algorithm; ///< as the server names it, upper-cased
    int64_t start = 0;
    int64_t end = 0; ///< the byte after the range (proftpd) or its last byte (the draft)
    std::string hex; ///< lower-case
};
std::optional<HashReply> parseHashReply(const FtpReply &reply);

/// The digest of an X command's reply ("250 <HEX>", or 213, on the last
/// line): the first word of exactly `hexDigits` hex digits, lower-cased.
std::optional<std::string> parseXHashReply(const FtpReply &reply, std::size_t hexDigits);

/// Whether a command may be sent as one control line: no CR, LF or NUL, so a
/// path from the user cannot smuggle in a second command.
bool isSafeCommandLine(const std::string &command);

} // namespace ftp
