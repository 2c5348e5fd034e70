// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

/// The pictures compiled into the program (logo, About picture, icon).
namespace Resources {

/// Registers them; the windows call it, since a static library's resource
/// table is not linked in unless something refers to it.
void ensureLoaded();

} // namespace Resources
