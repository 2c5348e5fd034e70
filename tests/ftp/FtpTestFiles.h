// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Small helpers of the real-server tests: test data and file access.

#include <QFile>
#include <QString>

#include <cstdint>
#include <random>
#include <string>

/// `size` pseudo-random bytes; the same seed gives the same bytes.
inline std::string randomBytes(std::size_t size, uint32_t seed)
{
    std::mt19937 gen(seed);
    std::string bytes(size, '\0');
    for (char &c : bytes)
        c = static_cast<char>(gen() & 0xff);
    return bytes;
}

inline bool writeFile(const QString &path, const std::string &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           f.write(bytes.data(), static_cast<qint64>(bytes.size())) ==
               static_cast<qint64>(bytes.size());
}

/// The file's bytes, or "<missing>" when it cannot be read.
inline std::string readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return "<missing>";
    return f.readAll().toStdString();
}
