// SPDX-License-Identifier: GPL-3.0-or-later
// The control reply reader on the shapes real servers send and on hostile
// input: it must finish every well-formed reply and fail, with bounded
// memory, on everything else.

#include "ftp/FtpReplyParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using ftp::FtpReply;
using ftp::FtpReplyParser;

namespace {

struct Parsed
{
    std::vector<FtpReply> replies;
    bool failed = false;
    std::string error;
    std::size_t leftover = 0; // bytes not consumed after the last reply
};

// Feeds `wire` in chunks of `chunk` bytes and collects every reply.
Parsed parseAll(const std::string &wire, std::size_t chunk = 1 << 20)
{
    Parsed out;
    FtpReplyParser parser;
    std::size_t pos = 0;
    while (pos < wire.size()) {
        const std::size_t len = std::min(chunk, wire.size() - pos);
        std::size_t used = 0;
        const auto status = parser.feed(wire.data() + pos, len, &used);
        pos += used;
        if (status == FtpReplyParser::Status::Complete) {
            out.replies.push_back(parser.takeReply());
        } else if (status == FtpReplyParser::Status::Error) {
            out.failed = true;
            out.error = parser.error();
            break;
        }
    }
    out.leftover = wire.size() - pos;
    return out;
}

} // namespace

TEST(FtpReplyParser, SingleLineRepliesWithEitherLineEnd)
{
    const Parsed p = parseAll("220 Service ready\r\n331 Password please\n230-\r\n230 \r\n");
    ASSERT_FALSE(p.failed) << p.error;
    ASSERT_EQ(p.replies.size(), 3u);
    EXPECT_EQ(p.replies[0].code, 220);
    EXPECT_EQ(p.replies[0].text, "220 Service ready");
    EXPECT_EQ(p.replies[1].code, 331);
    EXPECT_EQ(p.replies[1].text, "331 Password please");
    EXPECT_EQ(p.replies[2].code, 230);
    EXPECT_EQ(p.replies[2].text, "230-\n230 ");
}

TEST(FtpReplyParser, MultiLineReplyEndsOnlyAtSameCodeAndSpace)
{
    // RFC 959 section 4.2's own example: inner lines may begin with digits,
    // even another code followed by a space.
    const std::string wire = "123-First line\r\n"
                             "Second line\r\n"
                             "  234 A line beginning with numbers\r\n"
                             "234 Another code with a space\r\n"
                             "123-Still inside\r\n"
                             "123 The last line\r\n";
    for (std::size_t chunk : {std::size_t(1), std::size_t(7), std::size_t(4096)}) {
        const Parsed p = parseAll(wire, chunk);
        ASSERT_FALSE(p.failed) << p.error;
        ASSERT_EQ(p.replies.size(), 1u) << "chunk " << chunk;
        EXPECT_EQ(p.replies[0].code, 123);
        EXPECT_EQ(p.replies[0].text, "123-First line\nSecond line\n  234 A line beginning with "
                                     "numbers\n234 Another code with a space\n123-Still "
                                     "inside\n123 The last line");
    }
}

TEST(FtpReplyParser, StopsAtTheEndOfEachReplyLeavingTheNextOne)
{
    FtpReplyParser parser;
    const std::string wire = "150 Opening\r\n226-Done\r\n226 Bye\r\n";
    std::size_t used = 0;
    ASSERT_EQ(parser.feed(wire.data(), wire.size(), &used), FtpReplyParser::Status::Complete);
    EXPECT_EQ(used, std::string("150 Opening\r\n").size());
    EXPECT_EQ(parser.takeReply().code, 150);
    std::size_t used2 = 0;
    ASSERT_EQ(parser.feed(wire.data() + used, wire.size() - used, &used2),
              FtpReplyParser::Status::Complete);
    EXPECT_EQ(used + used2, wire.size());
    const FtpReply second = parser.takeReply();
    EXPECT_EQ(second.code, 226);
    EXPECT_EQ(second.text, "226-Done\n226 Bye");
}

TEST(FtpReplyParser, BareCodeAndStrayEmptyLinesAreAccepted)
{
    const Parsed p = parseAll("\r\n\r\n200\r\n");
    ASSERT_FALSE(p.failed) << p.error;
    ASSERT_EQ(p.replies.size(), 1u);
    EXPECT_EQ(p.replies[0].code, 200);
}

TEST(FtpReplyParser, GarbageWhereACodeBelongsFails)
{
    for (const std::string &wire : std::vector<std::string>{
             "hello\r\n", "22 short\r\n", "2200 four digits\r\n", "220x glued\r\n",
             "600 no such class\r\n", "099 no such class\r\n", "-220 dash first\r\n",
             std::string("2\x00"
                         "0 nul\r\n",
                         9),
             "\xff\xfd\x18\r\n"}) {
        const Parsed p = parseAll(wire);
        EXPECT_TRUE(p.failed) << "accepted: " << wire;
        EXPECT_TRUE(p.replies.empty());
        EXPECT_FALSE(p.error.empty());
    }
}

TEST(FtpReplyParser, OverlongLineFailsWithoutWaitingForItsEnd)
{
    // No newline ever: the parser must give up once the cap is passed.
    const std::string wire = "220 " + std::string(FtpReplyParser::kMaxLineBytes + 10, 'x');
    const Parsed p = parseAll(wire, 4096);
    EXPECT_TRUE(p.failed);
    EXPECT_NE(p.error.find("line"), std::string::npos) << p.error;
    EXPECT_GT(p.leftover, 0u) << "must stop consuming at the cap";

    // Exactly at the cap is still fine.
    const std::string longest = "220 " + std::string(FtpReplyParser::kMaxLineBytes - 4, 'y');
    const Parsed ok = parseAll(longest + "\r\n", 4096);
    ASSERT_FALSE(ok.failed) << ok.error;
    ASSERT_EQ(ok.replies.size(), 1u);
    EXPECT_EQ(ok.replies[0].text, longest);
}

TEST(FtpReplyParser, EndlessMultiLineReplyFailsAtTheReplyCap)
{
    FtpReplyParser parser;
    const std::string line = "211-" + std::string(100, 'f') + "\r\n";
    std::size_t fed = 0;
    FtpReplyParser::Status status = FtpReplyParser::Status::NeedMore;
    while (status == FtpReplyParser::Status::NeedMore && fed < 4 * FtpReplyParser::kMaxReplyBytes) {
        std::size_t used = 0;
        status = parser.feed(line.data(), line.size(), &used);
        fed += used;
    }
    EXPECT_EQ(status, FtpReplyParser::Status::Error);
    EXPECT_LE(fed, FtpReplyParser::kMaxReplyBytes + 1);
    // The same holds for an endless stream of empty lines.
    FtpReplyParser blank;
    const std::string empties(FtpReplyParser::kMaxReplyBytes + 100, '\n');
    std::size_t used = 0;
    EXPECT_EQ(blank.feed(empties.data(), empties.size(), &used), FtpReplyParser::Status::Error);
}

TEST(FtpReplyParser, ErrorSticksUntilResetAndResetStartsClean)
{
    FtpReplyParser parser;
    std::size_t used = 0;
    ASSERT_EQ(parser.feed("xyz\r\n", 5, &used), FtpReplyParser::Status::Error);
    EXPECT_EQ(parser.feed("200 ok\r\n", 8, &used), FtpReplyParser::Status::Error);
    parser.reset();
    ASSERT_EQ(parser.feed("200 ok\r\n", 8, &used), FtpReplyParser::Status::Complete);
    EXPECT_EQ(parser.takeReply().code, 200);
}
