// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/Resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void initTrelvanResources()
{
    Q_INIT_RESOURCE(trelvan);
}

namespace Resources {

void ensureLoaded()
{
    static const bool loaded = (initTrelvanResources(), true);
    Q_UNUSED(loaded);
}

} // namespace Resources
