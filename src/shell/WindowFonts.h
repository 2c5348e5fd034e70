#pragma once

#include <QFont>

/// The fonts of the windows. The design names Windows fonts (MS Sans Serif,
/// Tahoma, Times New Roman); here they are the desktop's sans-serif and
/// serif fonts at the same pixel heights.
namespace WindowFonts {

/// The desktop's sans-serif font, px pixels high.
QFont sansSerif(int px, bool bold = false);
/// The desktop's serif font, px pixels high.
QFont serif(int px, bool bold = false);

} // namespace WindowFonts
