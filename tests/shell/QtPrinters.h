// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Failure messages show Qt strings as text, not as bytes.

#include <QString>
#include <ostream>

inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}
