// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace ftp {

/// One complete control reply (RFC 959 section 4.2): its three-digit code and
/// every line of it, without line endings, joined with "\n".
struct FtpReply
{
    int code = 0;
    std::string text;

    /// 1yz: the command was accepted, another reply follows.
    bool isPreliminary() const { return code >= 100 && code < 200; }
    /// 2yz or 3yz: the command was accepted.
    bool isPositive() const { return code >= 200 && code < 400; }
};

} // namespace ftp
