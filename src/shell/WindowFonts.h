// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFont>

/// The fonts of the windows: the desktop's sans-serif and serif fonts at
/// fixed pixel heights, so the fixed-size forms keep their proportions
/// whatever the desktop's own font size. The shell's windows set theirs when
/// they are made; the windows of the layers below are given theirs at
/// start-up.
namespace WindowFonts {

/// The desktop's sans-serif font, px pixels high.
QFont sansSerif(int px, bool bold = false);
/// The desktop's serif font, px pixels high.
QFont serif(int px, bool bold = false);

} // namespace WindowFonts
