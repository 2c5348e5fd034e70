// SPDX-License-Identifier: GPL-3.0-or-later
#include "folders/ListingReader.h"

#include "folders/MlsdParser.h"
#include "ftp/FtpClient.h"

#include <array>

namespace folders {

namespace {

template <class Parser> FolderListing readWith(Parser parser, const ListingRead &read)
{
    std::array<char, ListingReadSize> buffer;
    for (;;) {
        const int count = read(buffer.data(), ListingReadSize);
        if (count <= 0 || count > ListingReadSize)
            break;
        if (!parser.feed(std::string_view(buffer.data(), static_cast<std::size_t>(count))))
            break;
    }
    FolderListing listing;
    listing.names = parser.finish(); // the last line may still pass a limit
    listing.tooLarge = parser.tooLarge();
    return listing;
}

} // namespace

FolderListing readFolderNames(const ListingRead &read, const ListingLimits &limits,
                              ListingFormat format)
{
    if (format == ListingFormat::Mlsd)
        return readWith(MlsdNameParser(limits), read);
    return readWith(FolderNameParser(limits), read);
}

FolderListing readFolderNames(ftp::FtpTransfer &transfer, ListingFormat format)
{
    return readFolderNames(
        [&transfer](char *buffer, int maxLen) { return transfer.read(buffer, maxLen); }, {},
        format);
}

} // namespace folders
