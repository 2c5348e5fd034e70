// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/WindowFonts.h"

#include <QFontDatabase>

namespace WindowFonts {

QFont sansSerif(int px, bool bold)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(px);
    font.setBold(bold);
    return font;
}

QFont serif(int px, bool bold)
{
    // "Serif" is fontconfig's generic family; the style hint covers
    // platforms that do not know the alias.
    QFont font(QStringLiteral("Serif"));
    font.setStyleHint(QFont::Serif);
    font.setPixelSize(px);
    font.setBold(bold);
    return font;
}

} // namespace WindowFonts
