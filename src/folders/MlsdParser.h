#pragma once

// Turns the data of an "MLSD" transfer (RFC 3659 section 7) into the folder
// names the browser shows.
//
// Every line is one entry, "fact=value;fact=value; name" (section 7.2): the
// facts run up to the first blank, and the name is every byte after that
// blank, exactly as the server sent it: leading, trailing and doubled blanks
// stay, nothing is trimmed or guessed from columns. Lines end with CR LF; an
// LF alone ends one as well, and only the line ending is taken off (a CR
// elsewhere belongs to the name).
//
// Folders are the entries whose "type" fact is "dir". Fact names and the
// type values are compared without regard to letter case, as section 7
// asks. "cdir" and "pdir" (section 7.5.1) are the listed folder itself and
// its parent, the "." and ".." of a Unix listing: they give no name, as
// servers leave those two out of LIST, and the browser adds its own parent
// entry. Files, links ("OS.unix=slink:..."), and lines without a type give
// no name either.
//
// Like FolderNameParser it reads a listing as it arrives, keeps only the
// folder names and refuses a listing past the same limits. Plain C++ without
// Qt, so it can be fuzzed alone.

#include "folders/ListingParser.h"

#include <string>
#include <string_view>
#include <vector>

namespace folders {

/// What an MLSD entry is, by its "type" fact.
enum class MlsdType
{
    Other,      ///< a file, a link, any other type, or no type at all
    Dir,        ///< "dir": a folder inside the listed one
    CurrentDir, ///< "cdir": the listed folder
    ParentDir   ///< "pdir": its parent
};

/// One line of an MLSD listing.
struct MlsdEntry
{
    MlsdType type = MlsdType::Other;
    /// The bytes after the first blank; "." for cdir and ".." for pdir,
    /// whatever the server named them. Empty for a line without a blank.
    std::string name;
};

/// Reads one MLSD line, its line ending already taken off.
MlsdEntry parseMlsdLine(std::string_view line);

/// Takes an MLSD listing piece by piece, in pieces of any size, and keeps
/// only the folder names: the names come out the same however the bytes
/// were cut. A line longer than the line limit (a CR before its LF counted)
/// gives no name.
class MlsdNameParser
{
public:
    explicit MlsdNameParser(const ListingLimits &limits = {});

    /// The next bytes of the listing. False once the listing is refused (a
    /// limit passed); later bytes are then ignored.
    bool feed(std::string_view bytes);

    /// The end of the listing: a last line without a line break counts too.
    /// The folder names in listing order; none when the listing was refused.
    std::vector<std::string> finish();

    /// Whether the listing was refused.
    bool tooLarge() const { return m_tooLarge; }

private:
    void keepPart(std::string_view part);
    void takeLine(std::string_view line);
    bool refuse();

    ListingLimits m_limits;
    std::size_t m_received = 0;
    std::size_t m_nameBytes = 0;
    bool m_tooLarge = false;
    bool m_skipLine = false; ///< the current line passed the line limit
    std::string m_line;      ///< the start of a line whose end has not arrived
    std::vector<std::string> m_names;
};

/// The folder names of an MLSD listing already in memory, in listing order,
/// with no limits.
std::vector<std::string> parseMlsdFolderNames(std::string_view text);

} // namespace folders
