#pragma once

// Turns the data of a "LIST" transfer into the folder names the browser shows.
//
// Layouts read:
//   - Unix long listing (ls -l style, as vsftpd, proftpd, pure-ftpd and
//     pyftpdlib send it), parsed by fields: type and permissions, link count,
//     owner, group (may be missing), size, month, day, time or year, name.
//     A numeric owner or group is fine, and "YYYY-MM-DD HH:MM" dates
//     (ls --time-style=long-iso) are read as well. The name is sliced from
//     the original line, so blanks inside it survive.
//   - DOS/IIS listing: "01-15-20  10:30AM  <DIR>  name".
// Only directories give names: Unix lines whose first byte is a lowercase
// 'd', and DOS lines with "<DIR>". Everything else ("total N", files, links,
// an uppercase 'D', lines of unknown layout) is skipped. Names come out in
// listing order, neither sorted nor de-duplicated, "." and ".." included,
// trimmed of bytes <= 32 at both ends. A directory line without a name
// gives an empty name.
//
// Names are the server's bytes: they go back unchanged in "CWD ". Only
// displayName() interprets them as text.
//
// Plain C++ without Qt, so it can be fuzzed alone; every function is linear
// in the size of its input.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ftp {
class FtpTransfer;
}

namespace folders {

/// Bytes asked for by every read of a listing transfer.
inline constexpr int ListingReadSize = 4096;

/// Largest listing gathered; beyond it the listing is refused as a whole
/// rather than letting a hostile server fill the memory.
inline constexpr std::size_t MaxListingBytes = std::size_t{256} * 1024 * 1024;

/// One read of a transfer: fills up to maxLen bytes, returns the count,
/// 0 at the end of the data or -1 on failure.
using ListingRead = std::function<int(char *buffer, int maxLen)>;

/// The bytes of one listing transfer.
struct GatheredListing
{
    std::string text;      ///< every byte delivered, in order of arrival
    bool tooLarge = false; ///< the transfer went past the size cap; text is then empty
};

/// Reads ListingReadSize bytes at a time until a read returns 0 or fails.
/// A failed read ends the listing like the end of data: what arrived before
/// it is kept. A read that claims more bytes than it was asked for counts as
/// a failure.
GatheredListing gatherListing(const ListingRead &read, std::size_t maxBytes = MaxListingBytes);

/// gatherListing() over an open "LIST" transfer; does not close it.
GatheredListing gatherListing(ftp::FtpTransfer &transfer, std::size_t maxBytes = MaxListingBytes);

/// Splits a listing into lines: CR, LF and CR LF each end one line, LF CR
/// ends two (the second empty). A text that ends with a line break gives no
/// empty last line; an empty text gives no lines. The views point into text.
std::vector<std::string_view> splitListingLines(std::string_view text);

/// One entry of a listing line.
struct ListingEntry
{
    /// The first byte of a Unix line ('d' directory, '-' file, 'l' link...);
    /// 'd' or '-' for a DOS line; 0 for an empty line.
    char type = 0;
    /// Trimmed; for a link the " -> target" part is cut off.
    std::string name;
};

/// Reads one listing line of either layout. A line whose fields end before
/// the name (or that has no date to find it by) gives an empty name.
ListingEntry parseListingLine(std::string_view line);

/// The folder names of a whole listing text, in listing order.
std::vector<std::string> parseFolderNames(std::string_view text);

/// A name (or any server text) as UTF-8 for display: returned unchanged when
/// it is valid UTF-8, otherwise decoded as Windows-1251, the code page that
/// Russian servers without UTF-8 use.
std::string displayName(std::string_view raw);

} // namespace folders
