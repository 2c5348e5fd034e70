// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Reads the folder names of a "LIST" or "MLSD" transfer, parsing each read
// as it arrives (FolderNameParser, MlsdNameParser); the listing itself is
// never held.

#include "folders/ListingParser.h"

#include <functional>
#include <string>
#include <vector>

namespace ftp {
class FtpTransfer;
}

namespace folders {

/// Bytes asked for by every read of a listing transfer.
inline constexpr int ListingReadSize = 4096;

/// One read of a transfer: fills up to maxLen bytes, returns the count,
/// 0 at the end of the data or -1 on failure.
using ListingRead = std::function<int(char *buffer, int maxLen)>;

/// What the transfer holds.
enum class ListingFormat
{
    List, ///< a "LIST" listing (Unix long or DOS/IIS layout)
    Mlsd  ///< an "MLSD" listing of facts and names
};

/// The folder names of one listing transfer.
struct FolderListing
{
    std::vector<std::string> names; ///< in listing order
    bool tooLarge = false;          ///< a limit was passed; names is then empty
};

/// Reads ListingReadSize bytes at a time until a read returns 0 or fails, or
/// a limit is passed. A failed read ends the listing like the end of data:
/// the names of what arrived before it count. A read that claims more bytes
/// than it was asked for counts as a failure.
FolderListing readFolderNames(const ListingRead &read, const ListingLimits &limits = {},
                              ListingFormat format = ListingFormat::List);

/// readFolderNames() over an open listing transfer; does not close it.
FolderListing readFolderNames(ftp::FtpTransfer &transfer, ListingFormat format);

} // namespace folders
