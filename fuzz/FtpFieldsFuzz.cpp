// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the parsers of FTP reply texts (227 PASV, 229 EPSV, 213 SIZE,
// 250 MLST, 211 FEAT, the digest replies of HASH and the X commands) and of
// the server field, on one reply text as the reply reader hands it over: the
// code's three digits first, lines joined by "\n". The text also goes into a
// digest command as a path, and is read as a line of a LIST listing.
//
// Input: the reply text. Its first three bytes give the code when they are
// one; otherwise the text goes only to the parsers that take bare text.
//
// Checked: see FtpFieldChecks.h.

#include "FtpFieldChecks.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);

    ftp::FtpReply reply;
    reply.text = text;
    if (size >= 3 && data[0] >= '1' && data[0] <= '5' && data[1] >= '0' && data[1] <= '9' &&
        data[2] >= '0' && data[2] <= '9')
        reply.code = (data[0] - '0') * 100 + (data[1] - '0') * 10 + (data[2] - '0');
    fuzzchecks::checkReplyFields(reply);

    fuzzchecks::checkServerField(text);
    fuzzchecks::checkHashCommand(text);
    fuzzchecks::checkListedFile(text);
    return 0;
}
