// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ftp/FtpReply.h"

#include <cstddef>
#include <string>

namespace ftp {

/// Incremental reader of control replies (RFC 959 section 4.2), fed with raw
/// bytes as they arrive. It stops at the end of each reply so that bytes of
/// the next one stay with the caller, and it bounds its memory: a line longer
/// than kMaxLineBytes or a reply longer than kMaxReplyBytes is an error, as is
/// a line that does not start with a reply code.
class FtpReplyParser
{
public:
    enum class Status
    {
        NeedMore,
        Complete,
        Error
    };

    static constexpr std::size_t kMaxLineBytes = 64 * 1024;
    static constexpr std::size_t kMaxReplyBytes = 1024 * 1024;

    /// Consumes bytes up to and including the end of a reply. *consumed says
    /// how many of `len` were used. After Complete, takeReply() hands the
    /// reply over and the parser is ready for the next one; after Error it
    /// stays in error until reset().
    Status feed(const char *data, std::size_t len, std::size_t *consumed);

    /// The reply completed by the last feed(); resets for the next reply.
    FtpReply takeReply();

    /// Why the last feed() failed.
    const std::string &error() const { return m_error; }

    /// Forgets any partial reply and error.
    void reset();

private:
    Status finishLine();

    Status m_status = Status::NeedMore;
    std::string m_line; // current line without its end
    bool m_inMultiLine = false;
    int m_code = 0;
    std::string m_text;
    std::size_t m_replyBytes = 0;
    std::string m_error;
};

} // namespace ftp
