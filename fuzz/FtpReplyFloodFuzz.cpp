// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: a server that floods the control connection. The input is
// repeated until the stream passes the reply reader's cap on a reply
// (FtpReplyParser::kMaxReplyBytes), so a line that never ends or a multi-line
// reply that never ends meets the caps; a stream of ordinary replies just
// flows through. A target of its own because each run moves a megabyte.
//
// Input: the first byte seeds the piece sizes; the rest is the repeated part.
//
// Checked (FtpReplyFeed.h): every feed and every reply as for the reply
// stream, so every reply that completes is within the caps; a line that never
// ends is stopped by the line cap.

#include "FtpReplyFeed.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace fuzzchecks;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::string body(reinterpret_cast<const char *>(data + 1), size - 1);
    std::string stream;
    while (stream.size() <= ftp::FtpReplyParser::kMaxReplyBytes + 8)
        stream += body;

    // One feed only, in big pieces: FtpReplyFuzz already compares cuttings on
    // short streams, and here every run moves a megabyte.
    const Outcome once = feedAll(stream, PieceSizes(data[0], 1024, 65536), false);

    // Without a line feed the one line never ends: the line cap stops it.
    if (body.find('\n') == std::string::npos)
        FUZZ_CHECK(once.end == ftp::FtpReplyParser::Status::Error &&
                   once.error.rfind("reply line longer than", 0) == 0);
    return 0;
}
