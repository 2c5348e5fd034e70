// SPDX-License-Identifier: GPL-3.0-or-later
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
// A listing is parsed as it arrives (FolderNameParser): only the folder names
// are kept, never the listing itself, so a server that sends without end
// costs a line's worth of memory and the names, both bounded.
//
// Plain C++ without Qt, so it can be fuzzed alone; every function is linear
// in the size of its input.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace folders {

/// Largest listing read; beyond it the listing is refused as a whole rather
/// than letting a hostile server keep the browser reading for ever.
inline constexpr std::size_t MaxListingBytes = std::size_t{256} * 1024 * 1024;

/// Longest line that can give a name: real names are at most a few hundred
/// bytes, so a longer line is garbage and is skipped like any line of unknown
/// layout. It bounds what is held of a line whose end has not arrived.
inline constexpr std::size_t MaxListingLineBytes = 64 * 1024;

/// Most memory the folder names of one listing may take, each name counted
/// with its string object. About 170,000 names of 15 bytes: no one browses a
/// folder with more subfolders, and the list view would hold several times
/// as much; beyond it the listing is refused as a whole.
inline constexpr std::size_t MaxListingNameBytes = std::size_t{8} * 1024 * 1024;

/// Bounds on one listing; a listing that passes one is refused as a whole.
struct ListingLimits
{
    std::size_t maxBytes = MaxListingBytes;
    std::size_t maxLineBytes = MaxListingLineBytes;
    std::size_t maxNameBytes = MaxListingNameBytes;

    /// No bounds at all: for a listing text that is already in memory.
    static ListingLimits none();
};

/// What the listing parsers share (FolderNameParser for LIST, MlsdNameParser
/// for MLSD): takes a listing piece by piece, in pieces of any size, and keeps
/// only the folder names its lines give. Lines are cut the same however the
/// bytes were cut; of a line whose end has not arrived only its start is
/// held, up to the line limit, and a longer line gives no name.
class StreamingNameParser
{
public:
    /// The next bytes of the listing. False once the listing is refused (a
    /// limit passed); later bytes are then ignored.
    bool feed(std::string_view bytes);

    /// The end of the listing: a last line without a line break counts too.
    /// The folder names in listing order; none when the listing was refused.
    std::vector<std::string> finish();

    /// Whether the listing was refused; the last line, read by finish(), may
    /// still pass the names' budget.
    bool tooLarge() const { return m_tooLarge; }

protected:
    /// Where lines end.
    enum class LineBreaks
    {
        CrOrLf, ///< CR, LF and CR LF end one line each; LF CR ends two
        Lf      ///< LF only: a CR before it is part of the line's bytes
    };

    StreamingNameParser(const ListingLimits &limits, LineBreaks breaks);
    ~StreamingNameParser() = default;

    /// Whether a line whose first byte is `first` may give a name at all;
    /// the bytes of one that cannot are dropped as they come.
    virtual bool mayGiveName(char first) const = 0;
    /// Reads one whole line, no longer than the line limit and without its
    /// line break, and hands the folder name it gives, if any, to keepName().
    virtual void readLine(std::string_view line) = 0;
    /// Keeps a folder name, each counted with its string object against the
    /// names' budget; past it the listing is refused.
    void keepName(std::string name);

private:
    enum class LineState
    {
        Start, ///< no byte of the current line has arrived
        Keep,  ///< it may give a name: its bytes are gathered in m_line
        Skip   ///< it cannot give a name (or is too long): its bytes are dropped
    };

    void takePart(const char *begin, const char *end);
    void endLine();
    bool refuse();

    ListingLimits m_limits;
    LineBreaks m_breaks;
    std::size_t m_received = 0;
    std::size_t m_nameBytes = 0;
    bool m_tooLarge = false;
    bool m_afterCr = false; ///< the last piece ended with CR: an LF first in the next belongs to it
    LineState m_state = LineState::Start;
    std::string m_line; ///< the start of a kept line whose end has not arrived
    std::vector<std::string> m_names;
};

/// The folder names of a "LIST" listing as it arrives, its lines split as
/// splitListingLines() splits them (a CR at the end of one piece and an LF at
/// the start of the next are one line break).
class FolderNameParser final : public StreamingNameParser
{
public:
    explicit FolderNameParser(const ListingLimits &limits = {});

private:
    bool mayGiveName(char first) const override;
    void readLine(std::string_view line) override;
};

/// Splits a listing into lines: CR, LF and CR LF each end one line, LF CR
/// ends two (the second empty). A text that ends with a line break gives no
/// empty last line; an empty text gives no lines. The views point into text.
std::vector<std::string_view> splitListingLines(std::string_view text);

/// Whether two names or keywords are the same, ASCII letters of either case
/// alike (listing keywords such as "<DIR>", months, MLSD facts).
bool equalsIgnoreCase(std::string_view a, std::string_view b);

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

/// The folder names of a listing text already in memory, in listing order,
/// with no limits: FolderNameParser fed the whole text at once.
std::vector<std::string> parseFolderNames(std::string_view text);

/// A name (or any server text) as UTF-8 for display: returned unchanged when
/// it is valid UTF-8, otherwise decoded as Windows-1251, the code page that
/// Russian servers without UTF-8 use.
std::string displayName(std::string_view raw);

} // namespace folders
