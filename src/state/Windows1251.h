// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Windows-1251, the code page of Russian servers that do not speak UTF-8, and
// the strict UTF-8 test that tells their names apart. Plain C++ without Qt,
// so that the listing parser's fuzz target can use it.

#include <optional>
#include <string>
#include <string_view>

namespace windows1251 {

/// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

/// Windows-1251 bytes as UTF-8; the one byte the code page leaves out (0x98)
/// becomes U+FFFD.
std::string toUtf8(std::string_view bytes);

/// UTF-8 text as Windows-1251 bytes; nullopt when the text is not valid
/// UTF-8 or holds a character the code page lacks.
std::optional<std::string> fromUtf8(std::string_view utf8);

} // namespace windows1251
