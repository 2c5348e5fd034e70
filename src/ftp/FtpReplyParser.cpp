// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftp/FtpReplyParser.h"

namespace ftp {

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A reply code is three digits, the first 1 to 5 (RFC 959 section 4.2.1).
int codeOf(const std::string &line)
{
    if (line.size() < 3 || !isDigit(line[0]) || !isDigit(line[1]) || !isDigit(line[2]))
        return 0;
    if (line[0] < '1' || line[0] > '5')
        return 0;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

} // namespace

FtpReplyParser::Status FtpReplyParser::feed(const char *data, std::size_t len,
                                            std::size_t *consumed)
{
    std::size_t used = 0;
    if (m_status == Status::Complete)
        m_status = Status::NeedMore;
    while (used < len && m_status == Status::NeedMore) {
        const char c = data[used++];
        if (++m_replyBytes > kMaxReplyBytes) {
            m_error = "reply longer than " + std::to_string(kMaxReplyBytes) + " bytes";
            m_status = Status::Error;
            break;
        }
        if (c == '\n') {
            m_status = finishLine();
            continue;
        }
        // One byte of slack for the CR of a line that is exactly at the cap.
        if (m_line.size() > kMaxLineBytes) {
            m_error = "reply line longer than " + std::to_string(kMaxLineBytes) + " bytes";
            m_status = Status::Error;
            break;
        }
        m_line.push_back(c);
    }
    if (consumed)
        *consumed = used;
    return m_status;
}

FtpReplyParser::Status FtpReplyParser::finishLine()
{
    std::string line;
    line.swap(m_line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.size() > kMaxLineBytes) {
        m_error = "reply line longer than " + std::to_string(kMaxLineBytes) + " bytes";
        return Status::Error;
    }

    if (!m_inMultiLine) {
        // Stray empty lines between replies carry nothing; they still count
        // against the reply size, so an endless stream of them fails.
        if (line.empty())
            return Status::NeedMore;
        const int code = codeOf(line);
        const bool endsCode = line.size() == 3 || line[3] == ' ';
        if (code == 0 || (!endsCode && line[3] != '-')) {
            std::string shown = line.substr(0, 40);
            m_error = "not an FTP reply: \"" + shown + "\"";
            return Status::Error;
        }
        m_code = code;
        m_text = line;
        if (endsCode)
            return Status::Complete;
        m_inMultiLine = true;
        return Status::NeedMore;
    }

    // Inside a multi-line reply any text may appear; only the same code
    // followed by a space (or nothing) ends it (RFC 959 section 4.2).
    m_text += '\n';
    m_text += line;
    if (codeOf(line) == m_code && (line.size() == 3 || line[3] == ' ')) {
        m_inMultiLine = false;
        return Status::Complete;
    }
    return Status::NeedMore;
}

FtpReply FtpReplyParser::takeReply()
{
    FtpReply reply;
    if (m_status == Status::Complete) {
        reply.code = m_code;
        reply.text.swap(m_text);
    }
    const bool failed = m_status == Status::Error;
    std::string error = m_error;
    reset();
    if (failed) {
        m_status = Status::Error;
        m_error = error;
    }
    return reply;
}

void FtpReplyParser::reset()
{
    m_status = Status::NeedMore;
    m_line.clear();
    m_inMultiLine = false;
    m_code = 0;
    m_text.clear();
    m_replyBytes = 0;
    m_error.clear();
}

} // namespace ftp
