// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The path arithmetic of the folder browser, kept apart from the window so
// that every rule can be checked without a server.
//
// Paths are the server's bytes: names taken from a listing go back into
// "CWD " exactly as they came. A target is never trimmed or normalised, so a
// trailing "/" or doubled slashes stay in the path.

#include <optional>
#include <string>
#include <string_view>

namespace folders {

/// The folder a listing step lists when it moves from `current` toward
/// `target`. Target "..": the text before the last "/" when that "/" is not
/// the first character, otherwise the root. Any other target: joined to
/// `current` with a "/", or taken alone when `current` is "/" or empty.
/// The result always begins with "/" ("/" alone is the root).
std::string nextPath(std::string_view current, std::string_view target);

/// What OK returns: `current`, or, when an entry is selected, `current`, "/"
/// and the entry's name joined (so the root with "pub" selected gives
/// "//pub", and the parent entry gives "<current>/.."). Nothing is entered.
std::string chosenPath(std::string_view current, const std::optional<std::string> &selectedName);

/// A path for display: each "/"-separated part decoded by displayName(), so a
/// path typed in UTF-8 and a folder name sent in Windows-1251 both read right.
std::string displayPath(std::string_view path);

} // namespace folders
