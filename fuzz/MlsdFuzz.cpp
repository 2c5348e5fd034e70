// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the MLSD fact parser on the data of an "MLSD" transfer, fed
// whole and in pieces.
//
// Input: the bytes of the listing.
//
// Checked:
//   - every entry agrees with a plain reading of the rule: lines end at LF
//     (one CR before it belongs to the ending); the name is every byte after
//     the first blank; cdir and pdir read "." and "..";
//   - parseMlsdFolderNames() gives the names of the "dir" lines, in order;
//   - MlsdNameParser fed in pieces of sizes taken from the input (empty ones
//     too, a CR and its LF often apart) gives the same names as fed the whole
//     text at once, under limits also taken from the input; those names are
//     the ones of the lines no longer than the line limit, and the listing is
//     refused exactly when the byte cap or the names' budget is passed.

#include "FuzzCheck.h"
#include "ListingPieces.h"
#include "folders/MlsdParser.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// A line as the plain rule cuts it: `raw` up to its LF, `line` without the
// CR before that LF.
struct Line
{
    std::string_view raw;
    std::string_view line;
};

std::vector<Line> plainLines(std::string_view text)
{
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = pos;
        while (end < text.size() && text[end] != '\n')
            ++end;
        Line l;
        l.raw = text.substr(pos, end - pos);
        l.line = l.raw;
        if (!l.line.empty() && l.line.back() == '\r')
            l.line.remove_suffix(1);
        lines.push_back(l);
        pos = end + 1;
    }
    return lines;
}

void checkEntry(std::string_view line)
{
    const folders::MlsdEntry entry = folders::parseMlsdLine(line);
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos) {
        FUZZ_CHECK(entry.type == folders::MlsdType::Other && entry.name.empty());
    } else if (entry.type == folders::MlsdType::CurrentDir) {
        FUZZ_CHECK(entry.name == ".");
    } else if (entry.type == folders::MlsdType::ParentDir) {
        FUZZ_CHECK(entry.name == "..");
    } else {
        FUZZ_CHECK(entry.name == line.substr(blank + 1));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const std::vector<Line> lines = plainLines(text);

    std::vector<std::string> oneByOne;
    std::vector<fuzzchecks::LineName> lineNames;
    for (const Line &l : lines) {
        checkEntry(l.line);
        folders::MlsdEntry entry = folders::parseMlsdLine(l.line);
        const bool dir = entry.type == folders::MlsdType::Dir;
        lineNames.push_back({l.raw.size(), dir ? std::optional(entry.name) : std::nullopt});
        if (dir)
            oneByOne.push_back(std::move(entry.name));
    }
    const std::vector<std::string> names = folders::parseMlsdFolderNames(text);
    FUZZ_CHECK(names == oneByOne);
    for (const std::string &name : names)
        FUZZ_CHECK(name.find('\n') == std::string::npos);

    fuzzchecks::checkAgainstLines<folders::MlsdNameParser>(text, lineNames);
    return 0;
}
