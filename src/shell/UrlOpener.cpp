// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/UrlOpener.h"

#include <QDesktopServices>

namespace UrlOpener {

static Opener &current()
{
    static Opener opener;
    return opener;
}

void open(const QUrl &url)
{
    if (current())
        current()(url);
    else
        QDesktopServices::openUrl(url);
}

void setOpener(Opener opener)
{
    current() = std::move(opener);
}

} // namespace UrlOpener
