// SPDX-License-Identifier: GPL-3.0-or-later
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
// folder names and refuses a listing past the same limits (StreamingNameParser
// does that for both). Plain C++ without Qt, so it can be fuzzed alone.

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

/// The folder names of an MLSD listing as it arrives. Lines end at LF; a
/// line longer than the line limit (a CR before its LF counted) gives no name.
class MlsdNameParser final : public StreamingNameParser
{
public:
    explicit MlsdNameParser(const ListingLimits &limits = {});

private:
    bool mayGiveName(char first) const override;
    void readLine(std::string_view line) override;
};

/// The folder names of an MLSD listing already in memory, in listing order,
/// with no limits.
std::vector<std::string> parseMlsdFolderNames(std::string_view text);

} // namespace folders
