#pragma once

// Pure parsers and formatters for the parts of the FTP dialogue that carry
// data: passive-mode replies, SIZE, FEAT and the active-mode commands. Kept
// free of sockets so they can be unit-tested and fuzzed.

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

/// Whether a command may be sent as one control line: no CR, LF or NUL, so a
/// path from the user cannot smuggle in a second command.
bool isSafeCommandLine(const std::string &command);

} // namespace ftp
