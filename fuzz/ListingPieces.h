// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Feeding a listing to a streaming folder-name parser (FolderNameParser,
// MlsdNameParser) whole and in pieces, under limits taken from the input, and
// what it must give then, reckoned from the listing's lines one by one;
// shared by the listing targets.

#include "FuzzCheck.h"
#include "folders/ListingParser.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fuzzchecks {

/// What one feed of a whole listing gave.
struct Parsed
{
    std::vector<std::string> names;
    bool tooLarge = false;
};

/// Limits from the first four bytes of text (it must have them): a line
/// limit of 16 to 271 bytes, a byte cap one short of the text a quarter of
/// the time, a names' budget of three names and a few bytes an eighth.
inline folders::ListingLimits limitsFrom(std::string_view text)
{
    const auto control = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    folders::ListingLimits limits;
    limits.maxLineBytes = 16 + control(0);
    limits.maxBytes = text.size() - (control(1) % 4 == 0 ? 1 : 0);
    limits.maxNameBytes =
        control(2) % 8 == 0 ? 3 * sizeof(std::string) + control(3) : folders::MaxListingNameBytes;
    return limits;
}

/// Feeds text whole, or in pieces of sizes taken from the text (empty ones
/// too, a CR and its LF often apart).
template <class Parser>
Parsed parseInPieces(std::string_view text, const folders::ListingLimits &limits, bool whole)
{
    Parser parser(limits);
    std::size_t pos = 0;
    for (std::size_t k = 0; pos < text.size(); ++k) {
        std::size_t size =
            whole ? text.size() : static_cast<unsigned char>(text[(k * 7 + 3) % text.size()]) % 64;
        if (size == 0) {
            parser.feed({}); // an empty read changes nothing, not even a CR's pairing
            size = 1;
        }
        size = std::min(size, text.size() - pos);
        const bool accepted = parser.feed(text.substr(pos, size));
        FUZZ_CHECK(accepted == !parser.tooLarge());
        pos += size;
    }
    Parsed parsed;
    parsed.names = parser.finish();
    parsed.tooLarge = parser.tooLarge();
    FUZZ_CHECK(!parsed.tooLarge || parsed.names.empty());
    return parsed;
}

/// Checks that the pieces give what the whole text gives; returns that.
template <class Parser>
Parsed wholeAgreesWithPieces(std::string_view text, const folders::ListingLimits &limits)
{
    Parsed whole = parseInPieces<Parser>(text, limits, true);
    const Parsed pieces = parseInPieces<Parser>(text, limits, false);
    FUZZ_CHECK(pieces.tooLarge == whole.tooLarge);
    FUZZ_CHECK(pieces.names == whole.names);
    return whole;
}

/// One line of a listing as the target cut it: its length as the line limit
/// counts it, and the folder name it gives, if any.
struct LineName
{
    std::size_t size = 0;
    std::optional<std::string> name;
};

/// Checks Parser on text under limits taken from it (a text of fewer than
/// four bytes is passed over): fed in pieces it gives what it gives fed whole,
/// and that is the names of the lines no longer than the line limit, the
/// listing refused exactly when the byte cap or the names' budget (every
/// name counted with its string object) is passed.
template <class Parser>
void checkAgainstLines(std::string_view text, const std::vector<LineName> &lines)
{
    if (text.size() < 4)
        return;
    const folders::ListingLimits limits = limitsFrom(text);
    const Parsed whole = wholeAgreesWithPieces<Parser>(text, limits);
    std::vector<std::string> expected;
    std::size_t budget = 0;
    bool tooLarge = text.size() > limits.maxBytes;
    for (const LineName &line : lines) {
        if (line.size > limits.maxLineBytes || !line.name)
            continue;
        budget += sizeof(std::string) + line.name->size();
        tooLarge = tooLarge || budget > limits.maxNameBytes;
        expected.push_back(*line.name);
    }
    FUZZ_CHECK(whole.tooLarge == tooLarge);
    if (!tooLarge)
        FUZZ_CHECK(whole.names == expected);
}

} // namespace fuzzchecks
