// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Small file helpers shared by the tests that upload real files.

#include <QByteArray>
#include <QFile>
#include <QRandomGenerator>
#include <QString>

#include <gtest/gtest.h>

/// Reproducible random content.
inline QByteArray randomBytes(qint64 size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    for (qint64 i = 0; i < size; ++i)
        data[i] = char(gen.generate() & 0xff);
    return data;
}

/// The file's bytes, or "<missing>" so a comparison fails visibly.
inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

/// Replaces the file's content; fails the test when it cannot.
inline void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(data), data.size());
}
