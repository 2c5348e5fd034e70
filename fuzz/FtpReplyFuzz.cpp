// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the incremental reader of FTP control replies, fed a server's
// byte stream in pieces as the socket would deliver them. Every reply it
// completes also goes through the parsers of reply texts and of the server
// field.
//
// Input: the first byte chooses how the stream is cut into pieces; the rest is
// the stream.
//
// Checked (FtpReplyFeed.h, FtpFieldChecks.h): the cutting makes no difference
// (the same replies, the same end and the same error as one whole feed and as
// one byte at a time); a feed never claims more bytes than it was given and
// takes all of them unless a reply completes; every reply starts with a valid
// code, ends as a reply must, and stays within the caps; after an error the
// reader stays in error until reset.

#include "FtpFieldChecks.h"
#include "FtpReplyFeed.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace fuzzchecks;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t mode = data[0];
    const std::string stream(reinterpret_cast<const char *>(data + 1), size - 1);

    const Outcome once = feedAll(
        stream, []() { return SIZE_MAX; }, true);
    checkSame(once, feedAll(
                        stream, []() { return std::size_t{1}; }, false));
    // From one byte up to 2^(low four bits of the mode) bytes.
    checkSame(once, feedAll(stream, PieceSizes(mode, 1, std::size_t{1} << (mode & 0x0f)), false));
    for (const ftp::FtpReply &reply : once.replies)
        checkServerField(reply.text);
    return 0;
}
