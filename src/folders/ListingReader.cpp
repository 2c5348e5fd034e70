#include "folders/ListingReader.h"

#include "ftp/FtpClient.h"

#include <array>

namespace folders {

FolderListing readFolderNames(const ListingRead &read, const ListingLimits &limits)
{
    FolderNameParser parser(limits);
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

FolderListing readFolderNames(ftp::FtpTransfer &transfer, const ListingLimits &limits)
{
    return readFolderNames(
        [&transfer](char *buffer, int maxLen) { return transfer.read(buffer, maxLen); }, limits);
}

} // namespace folders
