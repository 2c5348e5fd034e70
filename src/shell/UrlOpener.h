// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QUrl>
#include <functional>

/// Opens web and mail links with the desktop's default program. Tests put
/// a recorder in place of the desktop.
namespace UrlOpener {

using Opener = std::function<void(const QUrl &)>;

/// Hands url to the opener; a link that cannot be opened is not reported.
void open(const QUrl &url);
/// Replaces the opener (an empty function restores the desktop's).
void setOpener(Opener opener);

} // namespace UrlOpener
