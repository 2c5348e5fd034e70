// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the listing parser on the data of a "LIST" transfer, fed
// whole and in pieces, the folder path arithmetic on the names it gives.
//
// Input: the bytes of the listing.
//
// Checked:
//   - the line splitter agrees with a plain reading of its rule (CR, LF and
//     CR LF end one line each) and the fast folder scan agrees with parsing
//     every line one by one;
//   - every folder name is a trimmed slice of its line, without line breaks;
//   - displayName() gives valid UTF-8 (judged by Qt's own validator), leaves
//     valid UTF-8 alone and turns each byte of anything else into one
//     character;
//   - paths built from the names begin with "/" and ".." undoes a step;
//   - FolderNameParser fed in pieces of sizes taken from the input (empty
//     ones too, a CR and its LF often apart) gives the same names as fed the
//     whole text at once, under limits also taken from the input; those names
//     are the ones of the lines no longer than the line limit, and the
//     listing is refused exactly when the byte cap or the names' budget is
//     passed.

#include "FuzzCheck.h"
#include "ListingPieces.h"
#include "folders/FolderPath.h"
#include "folders/ListingParser.h"

#include <QByteArrayView>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

bool isValidUtf8(std::string_view s)
{
    return QByteArrayView(s.data(), static_cast<qsizetype>(s.size())).isValidUtf8();
}

std::size_t codePoints(std::string_view utf8)
{
    std::size_t count = 0;
    for (char c : utf8)
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

void checkDisplayName(std::string_view raw)
{
    const std::string shown = folders::displayName(raw);
    FUZZ_CHECK(isValidUtf8(shown));
    if (isValidUtf8(raw)) {
        FUZZ_CHECK(shown == raw);
    } else {
        FUZZ_CHECK(shown != raw);
        FUZZ_CHECK(codePoints(shown) == raw.size());
    }
}

// The rule, read plainly: a line runs to the next CR or LF; one CR, then one
// LF, are taken as its end.
std::vector<std::string_view> plainLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = pos;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n')
            ++end;
        lines.push_back(text.substr(pos, end - pos));
        pos = end;
        if (pos < text.size() && text[pos] == '\r')
            ++pos;
        if (pos < text.size() && text[pos] == '\n')
            ++pos;
    }
    return lines;
}

bool isTrimmed(std::string_view s)
{
    return s.empty() || (static_cast<unsigned char>(s.front()) > 32 &&
                         static_cast<unsigned char>(s.back()) > 32);
}

void checkPaths(const std::vector<std::string> &names)
{
    std::string current = "/";
    std::size_t steps = 0;
    for (const std::string &name : names) {
        if (++steps > 8)
            break;
        const std::string next = folders::nextPath(current, name);
        FUZZ_CHECK(!next.empty() && next.front() == '/');
        FUZZ_CHECK(folders::nextPath(next, "..").front() == '/');
        if (name != ".." && name.find('/') == std::string::npos)
            FUZZ_CHECK(folders::nextPath(next, "..") == current);
        FUZZ_CHECK(folders::chosenPath(current, name) == current + "/" + name);
        FUZZ_CHECK(isValidUtf8(folders::displayPath(next)));
        if (name != "..")
            current = next;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);

    const std::vector<std::string_view> lines = folders::splitListingLines(text);
    FUZZ_CHECK(lines == plainLines(text));

    std::vector<std::string> oneByOne;
    std::vector<fuzzchecks::LineName> lineNames;
    for (std::string_view line : lines) {
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string_view::npos);
        const folders::ListingEntry entry = folders::parseListingLine(line);
        if (line.empty())
            FUZZ_CHECK(entry.type == 0);
        else if (entry.type != line[0]) // a DOS line: '<DIR>' or a size
            FUZZ_CHECK(line[0] >= '0' && line[0] <= '9' &&
                       (entry.type == 'd' || entry.type == '-'));
        FUZZ_CHECK(isTrimmed(entry.name));
        FUZZ_CHECK(line.find(entry.name) != std::string_view::npos);
        if (entry.type == 'd')
            oneByOne.push_back(entry.name);
        lineNames.push_back(
            {line.size(), entry.type == 'd' ? std::optional(entry.name) : std::nullopt});
    }
    const std::vector<std::string> names = folders::parseFolderNames(text);
    FUZZ_CHECK(names == oneByOne);

    for (const std::string &name : names)
        checkDisplayName(name);
    checkDisplayName(text);
    checkPaths(names);
    fuzzchecks::checkAgainstLines<folders::FolderNameParser>(text, lineNames);
    return 0;
}
