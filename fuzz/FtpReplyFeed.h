// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Feeding a byte stream to the FTP reply reader in pieces, and the checks on
// what comes out; shared by the reply-stream targets.

#include "FtpFieldChecks.h"
#include "FuzzCheck.h"
#include "ftp/FtpReplyParser.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fuzzchecks {

using ftp::FtpReply;
using ftp::FtpReplyParser;
using Status = FtpReplyParser::Status;

/// What one feed of a whole stream gave: its replies, and how it ended.
struct Outcome
{
    std::vector<FtpReply> replies;
    Status end = Status::NeedMore;
    std::string error;
};

inline bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

inline std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = text.find('\n', begin);
        lines.push_back(text.substr(begin, end == std::string::npos ? end : end - begin));
        if (end == std::string::npos)
            return lines;
        begin = end + 1;
    }
}

/// A reply as RFC 959 section 4.2 shapes it: "xyz text" alone, or "xyz-"
/// ... "xyz text", and within the reader's caps.
inline void checkReplyShape(const FtpReply &reply)
{
    FUZZ_CHECK(reply.code >= 100 && reply.code <= 599);
    FUZZ_CHECK(reply.text.size() >= 3 && reply.text.size() <= FtpReplyParser::kMaxReplyBytes);
    FUZZ_CHECK(reply.text.compare(0, 3, std::to_string(reply.code)) == 0);
    const std::vector<std::string> lines = splitLines(reply.text);
    for (const std::string &line : lines)
        FUZZ_CHECK(line.size() <= FtpReplyParser::kMaxLineBytes);
    const std::string &first = lines.front();
    const std::string &last = lines.back();
    FUZZ_CHECK(last.compare(0, 3, first, 0, 3) == 0);
    FUZZ_CHECK(last.size() == 3 || last[3] == ' ');
    if (lines.size() > 1) {
        FUZZ_CHECK(first[3] == '-');
        FUZZ_CHECK(isDigit(last[0]) && isDigit(last[1]) && isDigit(last[2]));
        // Only the last line may close the reply.
        for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
            const std::string &line = lines[i];
            FUZZ_CHECK(!(line.compare(0, 3, first, 0, 3) == 0 && line.size() >= 3 &&
                         (line.size() == 3 || line[3] == ' ')));
        }
    }
}

/// Feeds `stream` to a fresh reader in pieces of nextPiece() bytes each,
/// checking every feed and every reply (with checkFields, its fields too).
inline Outcome feedAll(const std::string &stream, const std::function<std::size_t()> &nextPiece,
                       bool checkFields)
{
    FtpReplyParser parser;
    Outcome out;
    std::size_t consumed = 1;
    FUZZ_CHECK(parser.feed(stream.data(), 0, &consumed) == Status::NeedMore && consumed == 0);

    std::size_t pos = 0;
    while (pos < stream.size()) {
        const std::size_t piece = std::min(nextPiece(), stream.size() - pos);
        std::size_t offset = 0;
        while (offset < piece) {
            const std::size_t given = piece - offset;
            consumed = given + 1;
            const Status status = parser.feed(stream.data() + pos + offset, given, &consumed);
            FUZZ_CHECK(consumed <= given);
            offset += consumed;
            if (status == Status::Complete) {
                FUZZ_CHECK(consumed > 0 && stream[pos + offset - 1] == '\n');
                FtpReply reply = parser.takeReply();
                checkReplyShape(reply);
                if (checkFields)
                    checkReplyFields(reply);
                out.replies.push_back(std::move(reply));
                continue;
            }
            if (status == Status::Error) {
                out.end = Status::Error;
                out.error = parser.error();
                FUZZ_CHECK(!out.error.empty());
                // It stays in error, also through takeReply(), until reset().
                FUZZ_CHECK(parser.takeReply().code == 0);
                FUZZ_CHECK(parser.feed("200 OK\r\n", 8, &consumed) == Status::Error);
                FUZZ_CHECK(parser.error() == out.error);
                parser.reset();
                FUZZ_CHECK(parser.feed("200 OK\r\n", 8, &consumed) == Status::Complete);
                FUZZ_CHECK(consumed == 8 && parser.takeReply().text == "200 OK");
                return out;
            }
            FUZZ_CHECK(consumed == given);
        }
        pos += piece;
    }
    return out;
}

/// Two feeds of one stream agree in everything.
inline void checkSame(const Outcome &a, const Outcome &b)
{
    FUZZ_CHECK(a.replies.size() == b.replies.size());
    for (std::size_t i = 0; i < a.replies.size(); ++i) {
        FUZZ_CHECK(a.replies[i].code == b.replies[i].code);
        FUZZ_CHECK(a.replies[i].text == b.replies[i].text);
    }
    FUZZ_CHECK(a.end == b.end);
    FUZZ_CHECK(a.error == b.error);
}

/// Piece sizes from a small generator: from `least` bytes up to least + span - 1.
class PieceSizes
{
public:
    PieceSizes(uint32_t seed, std::size_t least, std::size_t span)
        : m_state(seed * 2654435761u + 1), m_least(least), m_span(span)
    {
    }
    std::size_t operator()()
    {
        m_state = m_state * 1103515245u + 12345u;
        return m_least + (m_state >> 8) % m_span;
    }

private:
    uint32_t m_state;
    std::size_t m_least;
    std::size_t m_span;
};

} // namespace fuzzchecks
